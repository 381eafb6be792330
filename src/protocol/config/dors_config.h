// Settings of the transport router, in the order the record travels on the
// exported interface. No rule checks them: the router reads them as given.
#pragma once

#include <cstdint>

namespace brenvik {

struct DorsConfig {
  bool prefer_online = false;  // from the host
  float hysteresis_margin = 15.0f;
  uint64_t switch_cooldown_secs = 20;
  uint32_t failure_threshold = 2;
  float min_success_rate = 0.3f;
  uint64_t min_success_samples = 5;
  int16_t poor_rssi_dbm = -85;
  uint64_t congestion_queue_depth = 50;
  uint64_t stability_window_secs = 8;
  uint64_t poor_signal_secs = 10;
  uint8_t low_ttl_threshold = 2;
  uint64_t congestion_secs = 10;
  uint64_t low_ttl_window_secs = 20;
  uint64_t metrics_window = 10;
  float congestion_clear_ratio = 0.5f;
  uint8_t battery_low_percent = 20;
  uint8_t escalation_battery_floor_percent = 30;
  uint8_t peer_count_reference = 4;
  bool operator==(const DorsConfig&) const = default;
};

}  // namespace brenvik
