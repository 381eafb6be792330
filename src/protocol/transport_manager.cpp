#include "protocol/transport_manager.h"

#include <algorithm>
#include <cmath>

#include "util/log.h"

namespace brenvik {

namespace {

uint32_t sat_inc(uint32_t v) {
  return v == UINT32_MAX ? v : v + 1;
}

void halve_when_large(LinkStats& s) {
  uint64_t total = uint64_t(s.successes) + uint64_t(s.failures);
  if (total > 10000) {
    s.successes /= 2;
    s.failures /= 2;
  }
}

std::string tried_list(const std::vector<TransportType>& tried) {
  std::string out = "[";
  for (size_t i = 0; i < tried.size(); ++i) {
    if (i) out += ", ";
    out += transport_type_display_name(tried[i]);
  }
  return out + "]";
}

bool is_peer_not_reachable(const TransportError& e) {
  return e.kind == TransportError::Kind::PeerNotReachable;
}

}  // namespace

float adjusted_router_score(float s) {
  return s < 0 ? std::max(s + 10000.0f, 0.0f) : s;
}

TransportManager::TransportManager(DorsConfig dors, const Clock& clock)
    : clock_(clock), router_(std::move(dors), clock) {}

void TransportManager::register_transport(TransportType type, std::shared_ptr<Transport> t) {
  transports_[type] = std::move(t);
}

std::shared_ptr<Transport> TransportManager::get(TransportType type) const {
  auto it = transports_.find(type);
  return it == transports_.end() ? nullptr : it->second;
}

void TransportManager::remove(TransportType type) {
  transports_.erase(type);
  link_stats_.erase(type);
  if (current_transport_ == type) current_transport_.reset();
}

std::vector<TransportType> TransportManager::active_transports() const {
  std::vector<TransportType> out;
  out.reserve(transports_.size());
  for (const auto& [t, _] : transports_) out.push_back(t);
  return out;
}

void TransportManager::set_peer_wire_v1(const std::string& peer_id, bool enabled) {
  if (!enabled) {
    wire_v1_peers_.erase(peer_id);
    return;
  }
  if (wire_v1_peers_.contains(peer_id)) return;
  if (wire_v1_peers_.size() >= kWireV1PeerCapacity) wire_v1_peers_.clear();
  wire_v1_peers_.insert(peer_id);
}

TransportMetrics TransportManager::merged_metrics(TransportType type, TransportMetrics m) const {
  auto it = link_stats_.find(type);
  if (it != link_stats_.end()) {
    const LinkStats& l = it->second;
    uint64_t sum = uint64_t(l.successes) + uint64_t(l.failures);
    if (m.messages_delivered == 0 && m.messages_failed == 0 && sum != 0) {
      float share = float(l.successes) / float(sum);
      m.success_rate = share;
      m.failure_rate = std::clamp(1.0f - share, 0.0f, 1.0f);
      m.messages_delivered = l.successes;
      m.messages_failed = l.failures;
    }
    if (l.rtt_ewma_ms) {
      double r = std::round(double(*l.rtt_ewma_ms));
      m.latency_ms = uint32_t(std::clamp(r, 0.0, 4294967295.0));
    }
    if (l.hop_ewma) m.ack_hop_count = *l.hop_ewma;
  }
  if (battery_known_ && !m.battery_level) {
    m.battery_level = battery_level_;
    m.is_charging = is_charging_;
  }
  return m;
}

AvailableTransports TransportManager::available_transports() const {
  AvailableTransports out;
  for (const auto& [type, t] : transports_) {
    TransportStatus s = t->status();
    if (s != TransportStatus::Available) {
      BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "Transport excluded from available set"},
                  {"transport", transport_type_display_name(type)},
                  {"status", transport_status_name(s)});
      continue;
    }
    out.emplace(type, merged_metrics(type, t->metrics()));
  }
  return out;
}

TransportStatusSnapshot TransportManager::status_snapshot() const {
  TransportStatusSnapshot snap;
  for (const auto& [type, t] : transports_) {
    TransportStatus s = t->status();
    snap.statuses.emplace(type, s);
    if (s == TransportStatus::Available)
      snap.metrics.emplace(type, merged_metrics(type, t->metrics()));
  }
  return snap;
}

Result<void, ProtocolError> TransportManager::start_all() {
  for (const auto& [type, t] : transports_) {
    auto r = t->start();
    if (!r.ok()) {
      return Err(ProtocolError::internal("Failed to start transport " +
                                         std::string(transport_type_display_name(type)) + ": " +
                                         r.error().message()));
    }
  }
  return {};
}

Result<void, ProtocolError> TransportManager::stop_all() {
  for (const auto& [type, t] : transports_) {
    auto r = t->stop();
    if (!r.ok()) {
      return Err(ProtocolError::internal("Failed to stop transport " +
                                         std::string(transport_type_display_name(type)) + ": " +
                                         r.error().message()));
    }
  }
  return {};
}

std::optional<std::pair<TransportType, Message>> TransportManager::receive() {
  for (const auto& [type, t] : transports_) {
    auto r = t->receive();
    if (!r.ok()) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget, {"message", "Transport receive error"},
                  {"transport", transport_type_display_name(type)}, {"error", r.error().message()});
      continue;
    }
    if (!r.value()) continue;
    Message m = std::move(*r.value());
    BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "TransportManager found message"},
                {"transport", transport_type_display_name(type)}, {"sender", m.sender},
                {"recipient", m.recipient});
    return std::make_pair(type, std::move(m));
  }
  return std::nullopt;
}

void TransportManager::record_ack_latency(TransportType type, uint32_t rtt_ms, uint8_t hops) {
  LinkStats& s = link_stats_[type];
  s.successes = sat_inc(s.successes);
  float rtt = float(rtt_ms);
  float h = float(hops);
  s.rtt_ewma_ms = s.rtt_ewma_ms ? 0.3f * rtt + 0.7f * *s.rtt_ewma_ms : rtt;
  s.hop_ewma = s.hop_ewma ? 0.2f * h + 0.8f * *s.hop_ewma : h;
  s.updated_at = clock_.monotonic();
  halve_when_large(s);
}

void TransportManager::record_transport_failure(TransportType type) {
  LinkStats& s = link_stats_[type];
  s.failures = sat_inc(s.failures);
  halve_when_large(s);
}

std::optional<LinkStats> TransportManager::link_stats(TransportType type) const {
  auto it = link_stats_.find(type);
  if (it == link_stats_.end()) return std::nullopt;
  return it->second;
}

void TransportManager::set_battery_status(uint8_t level, bool charging) {
  battery_known_ = true;
  battery_level_ = std::min<uint8_t>(level, 100);
  is_charging_ = charging;
}

void TransportManager::emit_router_event(ProtocolEvent event) {
  if (event_sink_ && *event_sink_) (*event_sink_)(std::move(event));
}

std::optional<std::string> TransportManager::name_of(std::optional<TransportType> t) {
  if (!t) return std::nullopt;
  return std::string(transport_type_name(*t));
}

void TransportManager::routing_record(
    uint8_t phase, std::optional<TransportType> previous, std::optional<TransportType> chosen,
    uint8_t reason, std::optional<float> score,
    std::vector<std::pair<TransportType, TransportScore>> scores) {
  if (!routing_sink_ || !*routing_sink_) return;
  RoutingDecision d;
  d.scores = std::move(scores);
  d.score = score;
  d.at_ms = uint64_t(std::max<int64_t>(clock_.wall_unix_ms(), 0));
  d.phase = phase;
  d.previous = transport_byte(previous);
  d.chosen = transport_byte(chosen);
  d.reason = reason;
  (*routing_sink_)(d);
}

std::optional<Message> TransportManager::apply_wire_format(const Message& message) const {
  if (message.compact_wire || wire_v1_peers_.empty() || !wire_v1_peers_.contains(message.recipient))
    return std::nullopt;
  Message copy = message;
  copy.compact_wire = true;
  return copy;
}

Result<void, ProtocolError> TransportManager::send(const Message& message) {
  std::optional<Message> wired = apply_wire_format(message);
  const Message& m = wired ? *wired : message;

  AvailableTransports available = available_transports();
  if (available.empty()) {
    return Err(ProtocolError::transport(TransportError::not_available("No available transport")));
  }
  std::optional<TransportType> previous = current_transport_;
  std::optional<TransportType> chosen_opt = router_.select_transport(m, available);
  if (!chosen_opt) {
    return Err(ProtocolError::transport(
        TransportError::not_available("No suitable transport selected from available transports")));
  }
  TransportType chosen = *chosen_opt;

  // Ranked candidates, highest first.
  std::vector<std::pair<TransportType, float>> ranked;
  std::vector<std::pair<TransportType, TransportScore>> detail;
  if (routing_score_detail_ && routing_sink_) {
    detail = router_.score_all_detailed(m, available);
    for (auto& [t, s] : detail) {
      s.total = adjusted_router_score(s.total);
      ranked.emplace_back(t, s.total);
    }
  } else {
    ranked = router_.score_all(m, available);
    for (auto& [t, s] : ranked) s = adjusted_router_score(s);
  }

  event::DorsScoreUpdated scored;
  for (const auto& [t, s] : ranked)
    scored.scores.emplace_back(std::string(transport_type_name(t)), s);
  emit_router_event(std::move(scored));
  routing_record(0, previous, std::nullopt, kNoTransportByte, std::nullopt, detail);

  float chosen_score = 0;
  for (const auto& [t, s] : ranked)
    if (t == chosen) chosen_score = s;
  auto sel_reason = previous ? TransportSelectionReason::PrimarySelected
                             : TransportSelectionReason::InitialSelection;
  emit_router_event(event::DorsTransportSelected{
      name_of(previous), std::string(transport_type_name(chosen)), sel_reason, chosen_score});
  routing_record(1, previous, chosen, uint8_t(sel_reason), chosen_score);

  auto it = transports_.find(chosen);
  if (it == transports_.end()) {
    return Err(ProtocolError::internal(
        "Transport " + std::string(transport_type_display_name(chosen)) + " not found"));
  }
  std::optional<TransportError> last_error;
  auto r = it->second->send(m);
  if (r.ok()) {
    current_transport_ = chosen;
    if (previous != chosen) {
      auto reason = (!previous || available.contains(*previous))
                        ? TransportSelectionReason::PrimarySuccess
                        : TransportSelectionReason::CurrentUnavailable;
      emit_router_event(event::DorsTransportSwitched{
          name_of(previous), std::string(transport_type_name(chosen)), reason, std::nullopt});
      routing_record(2, previous, chosen, uint8_t(reason), chosen_score);
    }
    return {};
  }
  if (is_peer_not_reachable(r.error())) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Peer not reachable via primary transport, trying fallback"},
                {"transport", transport_type_display_name(chosen)}, {"error", r.error().message()});
    last_error = r.error();
  } else {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Primary transport send failed, trying fallback"},
                {"transport", transport_type_display_name(chosen)}, {"error", r.error().message()});
    router_.record_failure(chosen);
  }

  std::vector<TransportType> tried{chosen};
  for (const auto& [c, _] : ranked) {
    if (c == chosen) continue;
    bool escalation = false;
    if (chosen == TransportType::Ble && c == TransportType::WifiDirect) {
      if (auto er = router_.escalation_reason()) {
        escalation = true;
        uint8_t code = uint8_t(*er) + 1;
        MonoTime now = clock_.monotonic();
        bool guarded = last_escalation_at_ && last_escalation_reason_ == code &&
                       now - *last_escalation_at_ < std::chrono::seconds(kEscalationGuardSecs);
        if (!guarded) {
          last_escalation_reason_ = code;
          last_escalation_at_ = now;
          emit_router_event(event::DorsEscalationTriggered{EscalationPhase::Triggered, "ble",
                                                           "wifiDirect", EscalationReasonCode(code),
                                                           std::nullopt});
          routing_record(3, TransportType::Ble, TransportType::WifiDirect, uint8_t(code + 5),
                         std::nullopt);
        }
      }
    }
    auto ct = transports_.find(c);
    if (ct == transports_.end()) continue;
    tried.push_back(c);
    auto cr = ct->second->send(m);
    if (cr.ok()) {
      current_transport_ = c;
      router_.override_with_fallback(c);
      auto reason = escalation ? TransportSelectionReason::EscalationApplied
                               : TransportSelectionReason::FallbackSuccess;
      if (previous != c) {
        emit_router_event(event::DorsTransportSwitched{
            name_of(previous), std::string(transport_type_name(c)), reason,
            std::string("primary send failed, fallback succeeded")});
        routing_record(2, previous, c, uint8_t(reason), std::nullopt);
      }
      if (escalation) {
        emit_router_event(event::DorsEscalationTriggered{
            EscalationPhase::Applied, "ble", "wifiDirect", EscalationReasonCode::FallbackSuccess,
            std::string("primary BLE send failed, fallback to WiFi succeeded")});
        routing_record(3, TransportType::Ble, TransportType::WifiDirect, 3, std::nullopt);
      }
      return {};
    }
    if (is_peer_not_reachable(cr.error())) {
      last_error = cr.error();
    } else {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message", "Fallback transport send failed, trying next"},
                  {"transport", transport_type_display_name(c)}, {"error", cr.error().message()});
      router_.record_failure(c);
      last_error = cr.error();
    }
  }
  if (last_error) return Err(ProtocolError::transport(std::move(*last_error)));
  return Err(ProtocolError::transport(
      TransportError::send_failed("All transports failed (tried " + tried_list(tried) + ")")));
}

Result<void, ProtocolError> TransportManager::send_via(const Message& message, TransportType type) {
  auto it = transports_.find(type);
  std::string name(transport_type_display_name(type));
  if (it == transports_.end())
    return Err(ProtocolError::internal("Transport " + name + " not found"));
  if (it->second->status() != TransportStatus::Available)
    return Err(ProtocolError::internal("Transport " + name + " is not available"));
  std::optional<Message> wired = apply_wire_format(message);
  auto r = it->second->send(wired ? *wired : message);
  if (!r.ok()) return Err(ProtocolError::transport(std::move(r).error()));
  current_transport_ = type;
  return {};
}

Result<TransportType, ProtocolError> TransportManager::send_to_peer(const std::string& peer_id,
                                                                    const Message& message) {
  std::optional<Message> adjusted;
  bool in_set = wire_v1_peers_.contains(peer_id);
  if (message.compact_wire != in_set) {
    adjusted = message;
    adjusted->compact_wire = in_set;
  }
  const Message& m = adjusted ? *adjusted : message;
  std::optional<std::string> last_text;
  for (TransportType t : {TransportType::WifiDirect, TransportType::Ble}) {
    auto it = transports_.find(t);
    if (it == transports_.end() || it->second->status() != TransportStatus::Available) continue;
    auto r = it->second->send_to_peer(peer_id, m);
    if (r.ok()) return t;
    last_text = r.error().message();
  }
  std::string text = "no mesh transport holds a link to " + peer_id;
  if (last_text) text += " (" + *last_text + ")";
  return Err(ProtocolError::transport(TransportError::peer_not_reachable(std::move(text))));
}

std::optional<TransportType> TransportManager::direct_link_transport(
    const std::string& peer_id) const {
  for (TransportType t : {TransportType::WifiDirect, TransportType::Ble}) {
    if (transport_reaches_peer(t, peer_id)) return t;
  }
  return std::nullopt;
}

std::vector<NeighborEntry> TransportManager::connected_neighbors() const {
  std::vector<NeighborEntry> out;
  std::unordered_set<std::string> seen;
  for (TransportType t : {TransportType::WifiDirect, TransportType::Ble}) {
    auto it = transports_.find(t);
    if (it == transports_.end()) continue;
    for (auto& p : it->second->connected_peers()) {
      if (!seen.insert(p.peer_id).second) continue;
      out.push_back(NeighborEntry{std::move(p), t});
    }
  }
  return out;
}

bool TransportManager::transport_reaches_peer(TransportType type,
                                              const std::string& peer_id) const {
  auto it = transports_.find(type);
  if (it == transports_.end() || it->second->status() != TransportStatus::Available) return false;
  if (type != TransportType::Ble && type != TransportType::WifiDirect) return true;
  for (const auto& p : it->second->connected_peers())
    if (p.peer_id == peer_id) return true;
  return false;
}

bool TransportManager::has_direct_mesh_link(TransportType type, const std::string& peer_id) const {
  if (type != TransportType::Ble && type != TransportType::WifiDirect) return false;
  return transport_reaches_peer(type, peer_id);
}

std::vector<TransportType> TransportManager::reachable_peers() const {
  std::vector<TransportType> out;
  for (const auto& [type, t] : transports_) {
    if (type == TransportType::Ble || type == TransportType::WifiDirect) continue;
    if (t->status() == TransportStatus::Available) out.push_back(type);
  }
  return out;
}

namespace {
uint64_t whole_secs(MonoTime from, MonoTime to) {
  if (to <= from) return 0;
  return uint64_t(std::chrono::duration_cast<std::chrono::seconds>(to - from).count());
}
uint64_t lifetime_secs(const PeerFailureRecord& r) {
  return r.from_presence ? TransportManager::kPresenceFailureLifetimeSecs
                         : TransportManager::kFailureLifetimeSecs;
}
}  // namespace

void TransportManager::evict_peer_failures(MonoTime now) {
  for (auto it = peer_failures_.begin(); it != peer_failures_.end();) {
    auto& recs = it->second.records;
    std::erase_if(recs, [&](const PeerFailureRecord& r) {
      return whole_secs(r.at, now) >= lifetime_secs(r);
    });
    if (recs.empty())
      it = peer_failures_.erase(it);
    else
      ++it;
  }
}

void TransportManager::record_peer_failure(const std::string& peer_id, TransportType type,
                                           bool online, bool from_presence, MonoTime now) {
  if (peer_id.empty()) return;
  if (!peer_failures_.contains(peer_id) && peer_failures_.size() >= kPeerFailureCapacity) {
    evict_peer_failures(now);
    while (peer_failures_.size() >= kPeerFailureCapacity) {
      auto oldest = peer_failures_.begin();
      for (auto it = peer_failures_.begin(); it != peer_failures_.end(); ++it) {
        const auto& a = it->second.last_at;
        const auto& b = oldest->second.last_at;
        if (!b) break;
        if (!a || *a < *b) oldest = it;
      }
      peer_failures_.erase(oldest);
    }
  }
  PeerFailureEntry& e = peer_failures_[peer_id];
  auto rec = std::find_if(e.records.begin(), e.records.end(),
                          [&](const PeerFailureRecord& r) { return r.transport == type; });
  if (rec != e.records.end()) {
    rec->at = now;
    rec->online = online;
    rec->from_presence = from_presence;
  } else {
    e.records.push_back(PeerFailureRecord{type, now, online, from_presence});
  }
  e.last_at = now;
}

bool TransportManager::has_live_unreachable_report(const std::string& peer_id, TransportType type,
                                                   MonoTime now) const {
  auto it = peer_failures_.find(peer_id);
  if (it == peer_failures_.end()) return false;
  for (const auto& r : it->second.records) {
    if (r.transport != type || r.online) continue;
    if (whole_secs(r.at, now) < lifetime_secs(r)) return true;
  }
  return false;
}

const PeerFailureEntry* TransportManager::peer_failure_entry(const std::string& peer_id) const {
  auto it = peer_failures_.find(peer_id);
  return it == peer_failures_.end() ? nullptr : &it->second;
}

}  // namespace brenvik
