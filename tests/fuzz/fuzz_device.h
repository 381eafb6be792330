// A whole device as a host drives it, for the device target and its seeds:
// built from a construction record (BLE on, encryption off, as the messages
// a device exchanges today travel), started, with two BLE neighbours.
#pragma once

#include <string>

#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "util/clock.h"

namespace brenvik::fuzz {

inline constexpr const char* kDeviceId = "fuzz-dev";
inline constexpr const char* kNeighbourA = "peer-a";
inline constexpr const char* kNeighbourB = "peer-b";

ffi::BrenvikProtocolConfig device_config(std::string user_id);

// Creates and starts a device with both neighbours discovered; null when
// the library refuses (which the fixture's fixed record never makes it do).
ffi::Ref<ffi::BrenvikProtocol> start_device(const std::string& user_id, const Clock& clock);

}  // namespace brenvik::fuzz
