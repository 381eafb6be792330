// Reading the two descriptive fields a delivery acknowledgement carries in
// its metadata: how many hops the acknowledged message took as the
// acknowledging device saw it ("ack_hop_count") and which transport it
// arrived on there ("ack_transport"). Both come from a peer, so anything
// unexpected falls back to a neutral value instead of failing the
// acknowledgement.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/types.h"

namespace brenvik {

// An unsigned 8-bit decimal with an optional leading "+". A lone sign, any
// other character, an empty value, a value above 255 or a missing key give 0.
uint8_t parse_ack_hop_count(std::optional<std::string_view> value);

// "internet", "wifidirect", "wifi_direct", "wifi-direct", "reticulum" and
// "nostr", compared ASCII case-insensitively; every other value, and a
// missing key, means BLE.
TransportType ack_transport_from_name(std::optional<std::string_view> value);

}  // namespace brenvik
