// DORS: the router that chooses, for each outgoing message, which available
// transport carries it. It scores every candidate from seven weighted terms
// (signal, hop headroom, bandwidth, load, power, delivery, queue) with a
// fixed profile per transport type, then keeps a healthy current transport
// unless a challenger is clearly (hysteresis), not too soon (cooldown) and
// steadily (stability) better; a failing or vanished current transport is
// replaced at once. The internet relay ranks below every mesh transport
// unless the host prefers online delivery or the message asks for it.
//
// The router also watches BLE (poor signal, congestion, low TTL, failures,
// low success) to tell whether BLE should give way to Wi-Fi Direct.
//
// No lock of its own: the owner serialises every call.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/message.h"
#include "core/types.h"
#include "transport/transport.h"
#include "util/clock.h"

namespace brenvik {

struct DorsConfig {
  bool prefer_online = false;
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

enum class EscalationReason : uint8_t {
  RetryThreshold = 0,
  PoorSignal = 1,
  Congestion = 2,
  LowTtl = 3,
  LowSuccessRate = 4,
};

struct DorsError {
  enum class Kind : uint8_t { NoTransportAvailable, NoRelayAvailable, Transport, Core, Other };
  Kind kind = Kind::Other;
  std::string text;
  TransportError transport;
  CoreError core;

  static DorsError no_transport_available() { return {Kind::NoTransportAvailable, {}, {}, {}}; }
  static DorsError no_relay_available() { return {Kind::NoRelayAvailable, {}, {}, {}}; }
  static DorsError from_transport(TransportError e) {
    return {Kind::Transport, {}, std::move(e), {}};
  }
  static DorsError from_core(CoreError e) { return {Kind::Core, {}, {}, std::move(e)}; }
  static DorsError other(std::string t) { return {Kind::Other, std::move(t), {}, {}}; }

  // "No transport available", "No relay available", "Transport error: ...",
  // "Core error: ..." or the text.
  std::string message() const;
};

struct TransportScore {
  float signal = 0;
  float hop_headroom = 0;
  float bandwidth = 0;
  float load = 0;
  float power = 0;
  float delivery = 0;
  float queue = 0;
  float total = 0;

  bool operator==(const TransportScore&) const = default;
};

// Preference among near-equal scores (lower wins): Internet 0, Wi-Fi Direct
// 1, BLE 2, Reticulum 3, Nostr 4.
uint8_t transport_preference_rank(TransportType t);

using AvailableTransports = std::map<TransportType, TransportMetrics>;

class DorsRouter {
 public:
  static constexpr std::string_view kLogTarget = "brenvik_protocol_router::dors";

  explicit DorsRouter(DorsConfig config = {}, const Clock& clock = system_clock());

  const DorsConfig& config() const { return config_; }
  // Replaces the whole configuration, unchecked; other state is kept.
  void update_config(const DorsConfig& config) { config_ = config; }

  // Feeds one available transport's metrics into its windows and, for BLE,
  // the poor-signal, congestion and low-TTL marks.
  void observe(TransportType type, const TransportMetrics& metrics, const Message& message);
  void record_success(TransportType type);
  void record_failure(TransportType type);
  // A fallback carried what the router's choice could not: it becomes current.
  void override_with_fallback(TransportType type);

  // (suppressed by a low battery, reason).
  std::pair<bool, std::optional<EscalationReason>> evaluate_escalation() const;
  bool should_escalate_to_wifi() const;
  std::optional<EscalationReason> escalation_reason() const;

  // Totals of the type's score history recorded at or after the cutoff
  // (wall clock, Unix nanoseconds), oldest first.
  std::vector<float> recent_scores(TransportType type, int64_t cutoff_ns) const;
  // Appends one total to the type's score history (trimmed to
  // max(metrics_window, 10)); select_transport calls it for each candidate.
  void record_score(TransportType type, int64_t at_ns, float total);

  // Score of one transport for one message; reads state, changes nothing.
  TransportScore score_transport(const Message& message, TransportType type,
                                 const TransportMetrics& metrics) const;
  // Observes and scores every available transport, then keeps or switches
  // the current one. None only for an empty set.
  std::optional<TransportType> select_transport(const Message& message,
                                                const AvailableTransports& available);
  // The keep-or-switch decision over scored candidates (the second half of
  // select_transport): applies the near-tie rule, the demotion escape, the
  // degraded-transport rule, hysteresis, cooldown and stability.
  std::optional<TransportType> decide(std::vector<std::pair<TransportType, float>> candidates);

  // Every available transport with its total / full score, highest first,
  // ties by preference rank. No state changes.
  std::vector<std::pair<TransportType, float>> score_all(
      const Message& message, const AvailableTransports& available) const;
  std::vector<std::pair<TransportType, TransportScore>> score_all_detailed(
      const Message& message, const AvailableTransports& available) const;

  std::optional<TransportType> current() const { return current_; }
  std::optional<int64_t> last_switch_at() const { return last_switch_at_; }
  std::optional<int64_t> poor_signal_since() const { return poor_signal_since_; }
  std::optional<int64_t> congested_since() const { return congested_since_; }
  std::optional<int64_t> low_ttl_since() const { return low_ttl_since_; }
  uint32_t failures(TransportType type) const;
  // Window sizes, for inspection.
  size_t queue_sample_count(TransportType type) const;
  size_t score_history_size(TransportType type) const;

 private:
  static constexpr size_t kTypes = 5;
  struct Snapshot {
    TransportMetrics metrics;
    int64_t seen_at = 0;
  };
  struct History {
    std::deque<uint64_t> queue_samples;
    std::deque<float> utilization_samples;
    std::deque<int16_t> rssi_samples;
    std::deque<float> success_samples;
  };
  static size_t idx(TransportType t) { return size_t(t); }
  bool is_degraded(TransportType t, int64_t now) const;
  std::optional<TransportType> do_switch(TransportType best, float best_total);
  const History* history(TransportType t) const;

  DorsConfig config_;
  const Clock& clock_;
  std::optional<TransportType> current_;
  std::optional<int64_t> last_switch_at_;
  std::optional<int64_t> poor_signal_since_;
  std::optional<int64_t> congested_since_;
  std::optional<int64_t> low_ttl_since_;
  std::array<std::optional<Snapshot>, kTypes> snapshots_;
  std::array<std::optional<History>, kTypes> histories_;
  std::array<std::deque<std::pair<int64_t, float>>, kTypes> score_history_;
  std::array<std::optional<uint32_t>, kTypes> failures_;
};

}  // namespace brenvik
