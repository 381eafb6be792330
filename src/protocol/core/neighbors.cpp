// What the core does when the host reports a neighbour coming into reach or
// going out of it, and the tick's relay gate: the neighbour component keeps
// the tables, the core reads the transports and delivers the events.
#include <map>

#include "protocol/core/protocol_core.h"
#include "util/log.h"

namespace brenvik {

void ProtocolCore::on_neighbor_discovered(const std::string& peer_id,
                                          std::optional<TransportType> transport) {
  // Our own id echoed back by a transport is not a neighbour.
  if (peer_id == local_user_id_) return;
  if (is_user_blocked(peer_id)) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Ignoring neighbor discovery for blocked user"}, {"peer_id", peer_id});
    return;
  }
  if (std::optional<std::string> evicted = mesh_.record_sighting(peer_id, clock_.monotonic())) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Known peers at capacity, evicting least-recently-seen"},
                {"peer_id", peer_id}, {"evicted", *evicted},
                {"cap", uint64_t(KnownPeers::kCapacity)});
  }
  // A rediscovered peer is the moment to retry what waited for it: messages
  // parked or unacknowledged towards it go out again now rather than at the
  // next back-off step. Custody hand-off, Welcome re-arming, document offers
  // and key-package pushes join here with the custody, session, data and
  // MLS layers.
  flush_outbox_for_peer(peer_id, transport);
}

void ProtocolCore::on_peer_lost(const std::string& peer_id) {
  peer_lost(peer_id);
}

void ProtocolCore::peer_lost(const std::string& peer_id) {
  mesh_.forget(peer_id);
}

void ProtocolCore::count_forward_for_others() {
  mesh_.count_forward_for_others();
}

void ProtocolCore::relay_gate() {
  // The battery as the transports report it, the carrying one first.
  std::map<TransportType, BatteryStatus> statuses;
  for (const auto& [type, metrics] : transport_manager_.status_snapshot().metrics)
    statuses.emplace(type, BatteryStatus{metrics.battery_level, metrics.is_charging});
  const BatteryReading battery =
      relay_battery_reading(transport_manager_.current_transport(), statuses);
  if (std::optional<ProtocolEvent> change =
          mesh_.run_relay_gate(clock_.monotonic(), config_.relay, config_.mesh_relay, battery))
    emit_event(std::move(*change));
}

}  // namespace brenvik
