#include "router/dors_router.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "util/error.h"
#include "util/log.h"

namespace brenvik {

namespace {

constexpr int64_t kNsPerSec = 1'000'000'000;

enum class BatteryRule : uint8_t { Draining, Frugal };

struct Profile {
  float w_signal, w_hop, w_bandwidth, w_load, w_power, w_delivery, w_queue;
  float bias, bias_prefer_online;
  std::optional<float> fixed_signal;
  float bandwidth_reference;
  float bandwidth_unknown, bandwidth_unknown_prefer_online;
  float power_base;
  BatteryRule battery;
  float peer_power_adjustment;
  float internet_preference_adjustment;
};

// Indexed by TransportType: Internet, BLE, Wi-Fi Direct, Reticulum, Nostr.
constexpr Profile kProfiles[5] = {
    {0, 0, 0.35f, 0.15f, 0.10f, 0.30f, 0.10f, 10, 25, 60.0f, 10'000'000, 50, 70, 60,
     BatteryRule::Draining, 0, 50},
    {0.30f, 0.15f, 0, 0.15f, 0.30f, 0.05f, 0.05f, 0, 0, std::nullopt, 150'000, 40, 40, 90,
     BatteryRule::Frugal, 5, -40},
    {0, 0.20f, 0.35f, 0.20f, 0, 0.15f, 0.10f, 0, 0, std::nullopt, 2'000'000, 90, 90, 40,
     BatteryRule::Draining, -10, 0},
    {0.05f, 0.20f, 0.05f, 0.15f, 0.25f, 0.30f, 0, 0, 0, std::nullopt, 2'700, 20, 20, 75,
     BatteryRule::Frugal, 0, -40},
    {0, 0, 0.20f, 0.20f, 0.15f, 0.35f, 0.10f, 5, 5, 50.0f, 1'000'000, 40, 40, 55,
     BatteryRule::Draining, 0, 30},
};

float clampf(float v, float lo, float hi) {
  return std::min(std::max(v, lo), hi);
}

template <typename C>
float mean_of(const C& c) {
  float sum = 0;
  for (auto v : c) sum += float(v);
  return sum / float(c.size());
}

bool prefers_internet(const Message& m) {
  auto it = m.metadata.find("transport_preference");
  return it != m.metadata.end() && it->second == "internet";
}

// The nanoseconds of `secs` seconds, or nothing when they cannot be formed
// (then the condition that uses them is never met).
__int128 secs_ns(uint64_t secs) {
  return __int128(secs) * kNsPerSec;
}

// NaN sorts as the lowest value.
float sort_key(float v) {
  return std::isnan(v) ? -std::numeric_limits<float>::infinity() : v;
}

std::string optional_name(std::optional<TransportType> t) {
  if (!t) return "None";
  return "Some(" + std::string(transport_type_display_name(*t)) + ")";
}

}  // namespace

std::string DorsError::message() const {
  switch (kind) {
    case Kind::NoTransportAvailable:
      return "No transport available";
    case Kind::NoRelayAvailable:
      return "No relay available";
    case Kind::Transport:
      return kTransportErrorPrefix(transport.message());
    case Kind::Core:
      return kCoreErrorPrefix(core.message());
    case Kind::Other:
      return text;
  }
  return text;
}

uint8_t transport_preference_rank(TransportType t) {
  switch (t) {
    case TransportType::Internet:
      return 0;
    case TransportType::WifiDirect:
      return 1;
    case TransportType::Ble:
      return 2;
    case TransportType::Reticulum:
      return 3;
    case TransportType::Nostr:
      return 4;
  }
  return 5;
}

DorsRouter::DorsRouter(DorsConfig config, const Clock& clock) : config_(config), clock_(clock) {}

const DorsRouter::History* DorsRouter::history(TransportType t) const {
  const auto& h = histories_[idx(t)];
  return h ? &*h : nullptr;
}

uint32_t DorsRouter::failures(TransportType t) const {
  return failures_[idx(t)].value_or(0);
}

size_t DorsRouter::queue_sample_count(TransportType t) const {
  const History* h = history(t);
  return h ? h->queue_samples.size() : 0;
}

size_t DorsRouter::score_history_size(TransportType t) const {
  return score_history_[idx(t)].size();
}

void DorsRouter::observe(TransportType type, const TransportMetrics& m, const Message& message) {
  const int64_t t0 = clock_.wall_unix_ns();
  snapshots_[idx(type)] = Snapshot{m, t0};
  auto& hopt = histories_[idx(type)];
  if (!hopt) hopt.emplace();
  History& h = *hopt;
  const size_t w = size_t(std::max<uint64_t>(config_.metrics_window, 1));
  auto push = [w](auto& window, auto value) {
    window.push_back(value);
    while (window.size() > w) window.pop_front();
  };
  push(h.queue_samples, m.queue_depth);
  push(h.utilization_samples, clampf(m.queue_utilization, 0.0f, 1.0f));
  if (m.rssi_dbm) push(h.rssi_samples, *m.rssi_dbm);
  const uint32_t s = m.messages_delivered + m.messages_failed;  // wraps, as counted
  if (s != 0) push(h.success_samples, std::min(float(m.messages_delivered) / float(s), 1.0f));

  if (type != TransportType::Ble) return;
  const int64_t t1 = clock_.wall_unix_ns();
  if (m.rssi_dbm) {
    if (*m.rssi_dbm > config_.poor_rssi_dbm) {
      poor_signal_since_.reset();
    } else if (!poor_signal_since_) {
      poor_signal_since_ = t1;
    }
  }
  const uint64_t r = config_.congestion_queue_depth;
  const uint64_t q = m.queue_depth;
  const float mean = mean_of(h.queue_samples);
  if (r == 0) {
    if (q == 0) {
      congested_since_.reset();
    } else if (!congested_since_) {
      congested_since_ = t1;
    }
  } else if (q >= r || mean >= float(r)) {
    if (!congested_since_) congested_since_ = t1;
  } else {
    const float l_f = std::ceil(clampf(config_.congestion_clear_ratio, 0.0f, 1.0f) * float(r));
    const uint64_t l = std::max<uint64_t>(uint64_t(l_f), 1);
    if (q <= l && mean <= float(l)) congested_since_.reset();
  }
  const int ttl = message.ttl;
  if (ttl <= config_.low_ttl_threshold) {
    low_ttl_since_ = t1;
  } else if (ttl - 1 > config_.low_ttl_threshold) {
    low_ttl_since_.reset();
  }
}

void DorsRouter::record_success(TransportType type) {
  failures_[idx(type)] = 0;
}

void DorsRouter::record_failure(TransportType type) {
  auto& f = failures_[idx(type)];
  const uint32_t v = f.value_or(0);
  f = v == std::numeric_limits<uint32_t>::max() ? v : v + 1;
}

void DorsRouter::override_with_fallback(TransportType type) {
  BRENVIK_LOG(LogLevel::Debug, kLogTarget,
              {"message", "DORS: current transport overridden by fallback"},
              {"previous", LogValue::display(optional_name(current_))},
              {"new", LogValue::display(transport_type_display_name(type))});
  current_ = type;
  last_switch_at_ = clock_.wall_unix_ns();
}

std::pair<bool, std::optional<EscalationReason>> DorsRouter::evaluate_escalation() const {
  const int64_t now = clock_.wall_unix_ns();
  auto elapsed = [now](int64_t mark) { return __int128(now) - mark; };
  const History* h = history(TransportType::Ble);

  const auto& f = failures_[idx(TransportType::Ble)];
  const bool failing = f && *f >= config_.failure_threshold;
  const bool poor =
      poor_signal_since_ && elapsed(*poor_signal_since_) >= secs_ns(config_.poor_signal_secs);
  const bool congested =
      congested_since_ && elapsed(*congested_since_) >= secs_ns(config_.congestion_secs) && h &&
      !h->queue_samples.empty() &&
      mean_of(h->queue_samples) >= float(std::max<uint64_t>(config_.congestion_queue_depth, 1));
  const bool low_ttl =
      low_ttl_since_ && elapsed(*low_ttl_since_) <= secs_ns(config_.low_ttl_window_secs);
  const bool low_success =
      h && !h->success_samples.empty() &&
      h->success_samples.size() >= config_.min_success_samples &&
      mean_of(h->success_samples) < clampf(config_.min_success_rate, 0.0f, 1.0f);

  std::optional<EscalationReason> reason;
  if (failing) {
    reason = EscalationReason::RetryThreshold;
  } else if (poor) {
    reason = EscalationReason::PoorSignal;
  } else if (congested) {
    reason = EscalationReason::Congestion;
  } else if (low_ttl) {
    reason = EscalationReason::LowTtl;
  } else if (low_success) {
    reason = EscalationReason::LowSuccessRate;
  }
  const auto& snap = snapshots_[idx(TransportType::Ble)];
  const bool suppressed = snap && snap->metrics.battery_level &&
                          *snap->metrics.battery_level < config_.escalation_battery_floor_percent &&
                          !snap->metrics.is_charging;
  return {suppressed, reason};
}

bool DorsRouter::should_escalate_to_wifi() const {
  auto [suppressed, reason] = evaluate_escalation();
  return reason.has_value() && !suppressed;
}

std::optional<EscalationReason> DorsRouter::escalation_reason() const {
  auto [suppressed, reason] = evaluate_escalation();
  if (suppressed) return std::nullopt;
  return reason;
}

std::vector<float> DorsRouter::recent_scores(TransportType type, int64_t cutoff_ns) const {
  std::vector<float> out;
  for (const auto& [at, total] : score_history_[idx(type)]) {
    if (at >= cutoff_ns) out.push_back(total);
  }
  return out;
}

void DorsRouter::record_score(TransportType type, int64_t at_ns, float total) {
  auto& hist = score_history_[idx(type)];
  hist.emplace_back(at_ns, total);
  const size_t cap = size_t(std::max<uint64_t>(config_.metrics_window, 10));
  while (hist.size() > cap) hist.pop_front();
}

TransportScore DorsRouter::score_transport(const Message& message, TransportType type,
                                           const TransportMetrics& m) const {
  const Profile& p = kProfiles[idx(type)];
  const History* h = history(type);
  const bool online = config_.prefer_online;
  TransportScore s;

  if (p.fixed_signal) {
    s.signal = *p.fixed_signal;
  } else {
    std::optional<float> r;
    if (m.rssi_dbm) {
      r = float(*m.rssi_dbm);
    } else if (h && !h->rssi_samples.empty()) {
      r = mean_of(h->rssi_samples);
    }
    if (!r) {
      s.signal = 50;
    } else if (*r >= -50) {
      s.signal = 100;
    } else if (*r >= -70) {
      s.signal = 70 + (*r + 70) * 30 / 20;
    } else if (*r >= -85) {
      s.signal = 40 + (*r + 85) * 30 / 15;
    } else {
      s.signal = std::max(std::max(*r + 100, 0.0f) * 40 / 15, 0.0f);
    }
  }

  if (message.hop_count != 0 && message.ttl != 0) {
    s.hop_headroom =
        std::max(0.0f, (float(message.ttl) - float(message.hop_count)) / float(message.ttl) * 100);
  } else {
    s.hop_headroom = 100;
  }

  if (m.bandwidth) {
    s.bandwidth = std::min(100.0f, float(*m.bandwidth) / p.bandwidth_reference * 100);
  } else {
    s.bandwidth = online ? p.bandwidth_unknown_prefer_online : p.bandwidth_unknown;
  }

  const float u =
      h && !h->utilization_samples.empty() ? mean_of(h->utilization_samples) : m.queue_utilization;
  const float q = h && !h->queue_samples.empty() ? mean_of(h->queue_samples) : float(m.queue_depth);
  const float rq = float(std::max<uint64_t>(config_.congestion_queue_depth, 1));
  s.load = std::max(0.0f, 100 * (1 - clampf(u, 0, 1)) - 30 * std::min(clampf(q / rq, 0, 1), 1.0f));

  float pw = p.power_base;
  if (m.power_cost) pw = std::max(0.0f, pw - clampf(100 * *m.power_cost, 0, 40));
  if (m.battery_level) {
    const float b = float(std::min<uint8_t>(*m.battery_level, 100));
    const float t = float(std::max<uint8_t>(config_.battery_low_percent, 1));
    if (m.is_charging) {
      pw = std::min(pw + 10, 100.0f);
    } else if (b <= t) {
      if (p.battery == BatteryRule::Draining) {
        pw = std::max(0.0f, pw * (1 - (t - b) / t));
      } else {
        pw = clampf(pw + (1 - b / 100) * 20, 0, 100);
      }
    } else if (p.battery == BatteryRule::Draining) {
      pw = std::max(0.0f, pw - 15 * std::max(0.0f, 1 - b / 100));
    }
  } else if (m.is_charging) {
    pw = std::min(pw + 5, 100.0f);
  }
  if (m.peer_count && p.peer_power_adjustment != 0) {
    pw = clampf(pw + p.peer_power_adjustment, 0, 100);
  }
  s.power = clampf(pw, 0, 100);

  float succ = 0.85f;
  if (auto r = m.effective_success_rate()) {
    succ = *r;
  } else if (h && !h->success_samples.empty()) {
    succ = mean_of(h->success_samples);
  }
  s.delivery = clampf(100 * clampf(succ, 0, 1), 0, 100);

  float qt = 100 * clampf(1 - clampf(q / rq, 0, 1.5f), 0, 1);
  if (auto fr = m.effective_failure_rate()) qt = std::max(0.0f, qt - clampf(100 * *fr, 0, 40));
  if (m.peer_count) {
    const float n = float(*m.peer_count);
    const float rp = float(std::max<uint8_t>(config_.peer_count_reference, 1));
    if (n <= rp) {
      qt = std::min(qt + 5, 100.0f);
    } else {
      qt = std::max(0.0f, qt * (1 - 0.4f * clampf((n - rp) / rp, 0, 1.5f)));
    }
  }
  s.queue = clampf(qt, 0, 100);

  const bool pref = prefers_internet(message);
  const float adjustment = pref ? p.internet_preference_adjustment : 0.0f;
  const float bias = (type == TransportType::Internet && online) ? p.bias_prefer_online : p.bias;
  const float weighted = s.signal * p.w_signal + s.hop_headroom * p.w_hop +
                         s.bandwidth * p.w_bandwidth + s.load * p.w_load + s.power * p.w_power +
                         s.delivery * p.w_delivery + s.queue * p.w_queue;
  s.total = std::max(0.0f, bias + adjustment + weighted);
  if (type == TransportType::Internet && !online && !pref) s.total -= 10000;
  return s;
}

std::optional<TransportType> DorsRouter::select_transport(const Message& message,
                                                          const AvailableTransports& available) {
  if (available.empty()) return std::nullopt;
  std::vector<std::pair<TransportType, float>> candidates;
  candidates.reserve(available.size());
  for (const auto& [type, metrics] : available) {
    observe(type, metrics, message);
    const TransportScore s = score_transport(message, type, metrics);
    record_score(type, clock_.wall_unix_ns(), s.total);
    candidates.emplace_back(type, s.total);
  }
  return decide(std::move(candidates));
}

bool DorsRouter::is_degraded(TransportType t, int64_t now) const {
  if (failures(t) >= config_.failure_threshold) return true;
  if (const History* h = history(t)) {
    if (!h->success_samples.empty() && h->success_samples.size() >= config_.min_success_samples &&
        mean_of(h->success_samples) < clampf(config_.min_success_rate, 0, 1)) {
      return true;
    }
  }
  if (t == TransportType::Ble) {
    const auto& snap = snapshots_[idx(t)];
    if (snap && snap->metrics.rssi_dbm && *snap->metrics.rssi_dbm <= -91) {
      const __int128 secs =
          poor_signal_since_ ? (__int128(now) - *poor_signal_since_) / kNsPerSec : 0;
      if (secs >= __int128(config_.poor_signal_secs) * 2) return true;
    }
  }
  return false;
}

std::optional<TransportType> DorsRouter::do_switch(TransportType best, float best_total) {
  BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "DORS: transport switched"},
              {"from", LogValue::display(optional_name(current_))},
              {"to", LogValue::display(transport_type_display_name(best))},
              {"score", double(best_total)});
  last_switch_at_ = clock_.wall_unix_ns();
  current_ = best;
  return best;
}

std::optional<TransportType> DorsRouter::decide(
    std::vector<std::pair<TransportType, float>> candidates) {
  if (candidates.empty()) return std::nullopt;
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    return sort_key(a.second) > sort_key(b.second);
  });

  float top = -std::numeric_limits<float>::infinity();
  bool any_finite = false;
  for (const auto& [t, total] : candidates) {
    if (std::isfinite(total)) {
      top = any_finite ? std::max(top, total) : total;
      any_finite = true;
    }
  }
  const std::pair<TransportType, float>* best = nullptr;
  for (const auto& c : candidates) {
    if (any_finite && !(std::isfinite(c.second) && c.second >= top - 0.01f)) continue;
    if (!best || transport_preference_rank(c.first) < transport_preference_rank(best->first)) {
      best = &c;
    }
  }
  const TransportType best_type = best->first;
  const float b = best->second;

  if (log_enabled(LogLevel::Debug)) {
    std::string scores = "[";
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (i) scores += ", ";
      scores += transport_type_display_name(candidates[i].first);
      scores += "=" + std::to_string(candidates[i].second);
    }
    scores += "]";
    BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "DORS scored transports"},
                {"scores", LogValue::display(scores)},
                {"best", LogValue::display(transport_type_display_name(best_type))},
                {"previous", LogValue::display(optional_name(current_))},
                {"prefer_online", config_.prefer_online});
  }

  if (!current_) return do_switch(best_type, b);
  const TransportType cur = *current_;
  auto cur_it = std::find_if(candidates.begin(), candidates.end(),
                             [cur](const auto& c) { return c.first == cur; });
  if (cur_it == candidates.end()) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "DORS: current transport unavailable, switching immediately"},
                {"lost", LogValue::display(transport_type_display_name(cur))},
                {"fallback", LogValue::display(transport_type_display_name(best_type))});
    return do_switch(best_type, b);
  }
  if (cur == best_type) return cur;
  const float c = cur_it->second;
  auto blocked = [&] {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "DORS: switch blocked by hysteresis/cooldown/stability"},
                {"current", LogValue::display(transport_type_display_name(cur))},
                {"current_score", double(c)},
                {"candidate", LogValue::display(transport_type_display_name(best_type))},
                {"candidate_score", double(b)});
    return std::optional<TransportType>(cur);
  };
  if (c < 0 && b >= 0) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message",
                 "DORS: leaving demoted Internet fallback for an available mesh transport "
                 "(bypassing cooldown)"},
                {"current", LogValue::display(transport_type_display_name(cur))},
                {"current_score", double(c)},
                {"candidate", LogValue::display(transport_type_display_name(best_type))},
                {"candidate_score", double(b)});
    return do_switch(best_type, b);
  }
  const int64_t now = clock_.wall_unix_ns();
  if (is_degraded(cur, now)) {
    if (b > 10) return do_switch(best_type, b);
    return blocked();
  }
  if (!(b > c && b - c >= config_.hysteresis_margin)) return blocked();
  if (last_switch_at_) {
    const __int128 secs = (__int128(now) - *last_switch_at_) / kNsPerSec;
    if (secs < __int128(config_.switch_cooldown_secs)) return blocked();
  }
  const __int128 cutoff128 = __int128(now) - secs_ns(config_.stability_window_secs);
  const int64_t cutoff = cutoff128 < std::numeric_limits<int64_t>::min()
                             ? std::numeric_limits<int64_t>::min()
                             : int64_t(cutoff128);
  const std::vector<float> best_recent = recent_scores(best_type, cutoff);
  const std::vector<float> cur_recent = recent_scores(cur, cutoff);
  if (!best_recent.empty() && !cur_recent.empty() &&
      !(mean_of(best_recent) - mean_of(cur_recent) >= 0.5f * config_.hysteresis_margin)) {
    return blocked();
  }
  return do_switch(best_type, b);
}

std::vector<std::pair<TransportType, TransportScore>> DorsRouter::score_all_detailed(
    const Message& message, const AvailableTransports& available) const {
  std::vector<std::pair<TransportType, TransportScore>> out;
  out.reserve(available.size());
  for (const auto& [type, metrics] : available) {
    out.emplace_back(type, score_transport(message, type, metrics));
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    const float ka = sort_key(a.second.total), kb = sort_key(b.second.total);
    if (ka != kb) return ka > kb;
    return transport_preference_rank(a.first) < transport_preference_rank(b.first);
  });
  return out;
}

std::vector<std::pair<TransportType, float>> DorsRouter::score_all(
    const Message& message, const AvailableTransports& available) const {
  std::vector<std::pair<TransportType, float>> out;
  for (auto& [t, s] : score_all_detailed(message, available)) out.emplace_back(t, s.total);
  return out;
}

}  // namespace brenvik
