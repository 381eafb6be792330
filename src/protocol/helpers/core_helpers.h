// Small stateless routines shared by many operations of the protocol core:
// shortening texts echoed into events, bounded decoding of base64 payloads
// carried in JSON, stable codes for send-failure reasons, the text of a
// caught exception, and the battery reading behind relay decisions.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/types.h"
#include "util/bytes.h"
#include "util/hex.h"
#include "util/result.h"

namespace brenvik {

// Longest text an event echoes from a peer's notice before it is cut.
inline constexpr size_t kEventTextLimit = 200;
// Suffix of a cut text: a horizontal ellipsis, a space and "(truncated)".
inline constexpr std::string_view kTruncatedSuffix = "\xE2\x80\xA6 (truncated)";
// Largest base64 text decoded from a JSON payload field.
inline constexpr size_t kMaxBase64PayloadChars = 1'048'576;

// The text itself when it is at most 200 bytes; otherwise its longest prefix
// of at most 200 bytes that ends on a UTF-8 character boundary, followed by
// kTruncatedSuffix. Bytes that are not UTF-8 continuation bytes count as
// character starts, so invalid input is cut without crashing.
std::string truncate_at_char_boundary(std::string_view text);

// Decodes standard base64 with canonical padding. A text longer than
// kMaxBase64PayloadChars is refused before any decoding ("payload too large:
// N encoded bytes exceeds 1048576 limit"); other refusals carry the
// decoder's message, which callers treat as opaque.
Result<Bytes, std::string> decode_base64_payload(std::string_view text);

// Two lowercase hexadecimal digits per byte (the util encoder).
inline std::string hex_lower(ByteView bytes) {
  return hex_encode(bytes);
}

// Maps a free-form failure reason to one of the seventeen stable codes: a
// reason that already is a code (exact bytes) maps to itself, "Welcome send
// confirmation timed out" to "send_confirmation_timed_out", anything else to
// "transport_send_failed". The returned view refers to static text.
std::string_view failure_reason_code(std::string_view reason);

// The text of a caught exception: a thrown std::string or C string as is,
// the what() of a std::exception, otherwise "<non-string panic payload>".
// Requires a non-null pointer.
std::string panic_payload_text(const std::exception_ptr& payload);
inline constexpr std::string_view kNonStringPanicPayload = "<non-string panic payload>";

// What one transport's status says about the battery.
struct BatteryStatus {
  std::optional<uint8_t> level;
  bool charging = false;
};

struct BatteryReading {
  bool known = false;
  uint8_t level = 0;  // meaningful only when known
  bool charging = false;
  bool operator==(const BatteryReading&) const = default;
};

// The battery reading relay decisions use. The preferred transport's own
// level wins; otherwise the level comes from the first other transport, in
// the order internet relay, Wi-Fi Direct, BLE, Reticulum, Nostr, that
// reports one. The charging flag comes from the preferred transport's status
// when it has one, else from the first status present in that order.
BatteryReading relay_battery_reading(std::optional<TransportType> preferred,
                                     const std::map<TransportType, BatteryStatus>& statuses);

}  // namespace brenvik
