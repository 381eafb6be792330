// The relay gate of the process tick: promotes the device to relay after a
// window in which it carried enough traffic for others, and demotes it when
// relaying is switched off, the battery runs low, or others stop using it.
#include <algorithm>
#include <map>

#include "protocol/mesh/mesh_neighbors.h"
#include "protocol/mesh/relay_role.h"

namespace brenvik {

uint8_t relay_battery_floor(RelayPriority priority, bool charging, uint8_t min_battery_percent) {
  if (priority == RelayPriority::High || charging) return kMinRelayBatteryFloor;
  return std::max(min_battery_percent, kMinRelayBatteryFloor);
}

float relay_battery_scale(const BatteryReading& battery, RelayPriority priority, uint8_t floor,
                          float bias_min_scale) {
  // NaN compares false both ways: treat it as the smallest scale.
  const float s = bias_min_scale >= 0.0f ? std::min(bias_min_scale, 1.0f) : 0.0f;
  if (!battery.known || priority == RelayPriority::High || battery.charging || battery.level >= 100)
    return 1.0f;
  if (battery.level <= floor) return s;
  const float m = float(std::min<uint8_t>(floor, 100));
  return s + (float(battery.level) - m) / (100.0f - m) * (1.0f - s);
}

namespace {

float non_negative(float v) {
  return v > 0.0f ? v : 0.0f;
}

// Whether `window` has fully passed between `start` and `now`.
bool window_elapsed(MonoTime start, MonoTime now, const ConfigDuration& window) {
  if (now < start) return false;
  const uint64_t elapsed_ns = uint64_t((now - start).count());
  const uint64_t secs = elapsed_ns / ConfigDuration::kNanosPerSecond;
  const uint32_t nanos = uint32_t(elapsed_ns % ConfigDuration::kNanosPerSecond);
  if (secs != window.secs) return secs > window.secs;
  return nanos >= window.nanos;
}

}  // namespace

std::optional<ProtocolEvent> MeshNeighbors::run_relay_gate(MonoTime now, const RelayConfig& relay,
                                                           const MeshRelayConfig& mesh,
                                                           const BatteryReading& battery) {
  RelayRole& role = role_;

  // 1. The battery is what the transports report, read by the caller.
  // 2. The floor, and the snapshot the forwarding path reads.
  const uint8_t floor =
      relay_battery_floor(relay.priority, battery.charging, relay.min_battery_percent);
  role.battery = RelayBatterySnapshot{battery.known, battery.level, battery.charging,
                                      relay.priority == RelayPriority::High, floor};

  // 3-5. Refill the relay-wide bucket at the rate in force so far, then
  //      size it for the battery.
  const float scale = relay_battery_scale(battery, relay.priority, floor, mesh.bias_min_scale);
  TokenBucket& bucket = budget_.relay_bucket();
  bucket.refill(now);
  bucket.rate = non_negative(mesh.rate_per_sec * scale);
  bucket.capacity = non_negative(mesh.burst * scale);
  bucket.tokens = std::min(bucket.tokens, bucket.capacity);

  // 6. Switched off.
  if (relay.priority == RelayPriority::Low || !relay.enabled) {
    role.forwards_in_window = 0;
    role.idle_windows = 0;
    if (role.active) {
      role.active = false;
      return ProtocolEvent(event::RelayDemoted{"relaying disabled by configuration"});
    }
    return std::nullopt;
  }
  // 7. Battery too low.
  if (battery.known && battery.level < floor) {
    role.forwards_in_window = 0;
    role.idle_windows = 0;
    if (role.active) {
      role.active = false;
      return ProtocolEvent(event::RelayDemotedBattery{battery.level, floor});
    }
    return std::nullopt;
  }
  // 8. Judge only whole windows.
  if (!window_elapsed(role.activity_window_start, now, mesh.activity_window)) return std::nullopt;
  const uint64_t forwarded = role.forwards_in_window;
  role.forwards_in_window = 0;
  role.activity_window_start = now;

  // 9. Busy window.
  if (forwarded >= std::max<uint64_t>(mesh.activity_min_forwards, 1)) {
    role.idle_windows = 0;
    if (!role.active) {
      role.active = true;
      return ProtocolEvent(event::RelayPromoted{
          uint64_t(known_.size()),
          battery.known ? std::optional<uint8_t>(battery.level) : std::nullopt});
    }
    return std::nullopt;
  }
  // 10. Quiet window.
  if (!role.active) return std::nullopt;
  if (role.idle_windows != UINT32_MAX) ++role.idle_windows;
  if (role.idle_windows >= mesh.activity_idle_windows) {
    role.active = false;
    return ProtocolEvent(event::RelayDemoted{"no traffic carried for other devices recently"});
  }
  return std::nullopt;
}

}  // namespace brenvik
