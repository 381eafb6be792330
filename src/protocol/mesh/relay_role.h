// The relay role: whether this device currently carries traffic for others.
// The process tick decides it once per pass (ProtocolCore::relay_gate) from
// the relay settings, the battery and the traffic actually forwarded; the
// forwarding path reads the battery snapshot written here and counts the
// frames it forwards.
#pragma once

#include <cstdint>

#include "protocol/config/protocol_config.h"
#include "protocol/helpers/core_helpers.h"
#include "util/clock.h"

namespace brenvik {

// What the last gate run saw of the battery, kept for the forwarding path.
struct RelayBatterySnapshot {
  bool known = false;
  uint8_t level = 0;
  bool charging = false;
  bool high_priority = false;
  uint8_t floor = 15;
  bool operator==(const RelayBatterySnapshot&) const = default;
};

struct RelayRole {
  // The device counts as a relay; changes only in the gate.
  bool active = false;
  MonoTime activity_window_start;
  // Frames forwarded for others since the window started.
  uint64_t forwards_in_window = 0;
  // Consecutive closed windows without enough traffic while active.
  uint32_t idle_windows = 0;
  RelayBatterySnapshot battery;
};

// The lowest floor ever applied: below it a relay would drain a phone that
// is about to die; a configured floor at or under it acts as it.
inline constexpr uint8_t kMinRelayBatteryFloor = 15;

// The battery level under which the device stops relaying: the minimum when
// the user asked for high priority or the device is charging, otherwise the
// configured floor, never below the minimum.
uint8_t relay_battery_floor(RelayPriority priority, bool charging, uint8_t min_battery_percent);

// How much of the relay-wide forwarding budget the battery allows, from
// `bias_min_scale` (clamped to 0..1) at the floor up to 1.0 at a full
// battery. An unknown battery, high priority or charging give 1.0.
float relay_battery_scale(const BatteryReading& battery, RelayPriority priority, uint8_t floor,
                          float bias_min_scale);

}  // namespace brenvik
