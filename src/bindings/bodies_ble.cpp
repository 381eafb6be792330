// Bodies of the BLE entries: the host owns the radio, tells the library what
// it sees and pulls the fragments to write.
#include <vector>

#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "transport/ble_transport.h"
#include "util/log.h"

namespace brenvik::ffi::body {

namespace {

InterfaceError ble_state_poisoned() {
  return InterfaceError::with_message(InterfaceError::Kind::LockPoisoned,
                                      "ble_state: " + std::string(kPoisonedLockText));
}

// The strict take of `ble_state` used by the link-state entries: a poisoned
// table would make the peer count and the lost-peer reports disagree.
Result<Mutex<BleState>::Guard, InterfaceError> lock_ble_state_strict(BrenvikProtocol& self) {
  auto g = self.ble_state().lock();
  if (self.ble_state().is_poisoned()) return Err(ble_state_poisoned());
  return g;
}

BleTransport* ble_transport(ProtocolCore& core) {
  return transport_cast<BleTransport>(core.transports().get(brenvik::TransportType::Ble).get());
}

// Tells the core and the host that a peer is gone, unless the other radio
// still reaches it.
Result<void, InterfaceError> report_lost(BrenvikProtocol& self, const std::string& peer_id) {
  if (self.peer_reachable_elsewhere(peer_id, LostOn::Ble)) return {};
  {
    BRENVIK_TRY(auto g, self.lock_inner());
    (*g)->on_peer_lost(peer_id);
  }
  self.emit_host_event(event::NeighborLost{peer_id});
  return {};
}

}  // namespace

std::optional<OutboundFrame> brenvikprotocol_ble_get_next_fragment(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  auto t = (*g)->transports().get(brenvik::TransportType::Ble);
  if (!t) return std::nullopt;
  // A host that pulls has a working link.
  if (t->status() != TransportStatus::Available) t->set_status(TransportStatus::Available);
  auto r = t->get_next_fragment();
  if (!r.ok() || !r.value()) return std::nullopt;
  brenvik::OutboundFrame& f = *r.value();
  return ffi::OutboundFrame{std::move(f.target), std::move(f.bytes)};
}

void brenvikprotocol_ble_return_fragment(BrenvikProtocol& /*self*/) {}

Result<void, InterfaceError> brenvikprotocol_ble_peer_discovered(BrenvikProtocol& self,
                                                                 std::string peer_id,
                                                                 int16_t rssi) {
  {
    BRENVIK_TRY(auto g, lock_ble_state_strict(self));
    g->peers.insert(peer_id);
    g->peer_count = static_cast<uint32_t>(g->peers.size());
  }
  {
    BRENVIK_TRY(auto g, self.lock_inner());
    if (auto* ble = ble_transport(**g))
      ble->peer_discovered(
          BlePeer{peer_id, rssi, std::nullopt, (*g)->clock().wall_unix_ms(), true});
  }
  return self.note_neighbor_discovered(peer_id, "BLE", rssi);
}

Result<void, InterfaceError> brenvikprotocol_ble_peer_lost(BrenvikProtocol& self,
                                                           std::string peer_id) {
  bool was_known = false;
  {
    BRENVIK_TRY(auto g, lock_ble_state_strict(self));
    was_known = g->peers.erase(peer_id) > 0;
    g->peer_count = static_cast<uint32_t>(g->peers.size());
  }
  {
    BRENVIK_TRY(auto g, self.lock_inner());
    if (auto* ble = ble_transport(**g)) ble->peer_lost(peer_id);
  }
  // A peer never reported in reach produces no event.
  if (!was_known) return {};
  return report_lost(self, peer_id);
}

Result<void, InterfaceError> brenvikprotocol_ble_status_changed(BrenvikProtocol& self,
                                                                bool is_available) {
  {
    BRENVIK_TRY(auto g, self.lock_inner());
    if (auto t = (*g)->transports().get(brenvik::TransportType::Ble))
      t->set_status(is_available ? TransportStatus::Available : TransportStatus::Unavailable);
  }
  if (is_available) return {};
  std::vector<std::string> former;
  {
    BRENVIK_TRY(auto g, lock_ble_state_strict(self));
    former.assign(g->peers.begin(), g->peers.end());
    g->peers.clear();
    g->peer_count = 0;
  }
  for (const auto& id : former) BRENVIK_TRY_VOID(report_lost(self, id));
  return {};
}

Result<void, InterfaceError> brenvikprotocol_ble_set_peer_mtu(BrenvikProtocol& self,
                                                              std::string peer_id,
                                                              uint32_t max_payload) {
  BRENVIK_TRY(auto g, self.lock_inner());
  if (auto t = (*g)->transports().get(brenvik::TransportType::Ble)) {
    t->set_peer_mtu(peer_id, max_payload);
  } else {
    BRENVIK_LOG(LogLevel::Warn, kBindingsLogTarget,
                {"message", "ble_set_peer_mtu: BLE transport not registered; ignoring"},
                {"peer_id", peer_id}, {"max_payload", uint64_t(max_payload)});
  }
  return {};
}

Result<void, InterfaceError> brenvikprotocol_ble_clear_peer_mtu(BrenvikProtocol& self,
                                                                std::string peer_id) {
  BRENVIK_TRY(auto g, self.lock_inner());
  if (auto t = (*g)->transports().get(brenvik::TransportType::Ble)) {
    t->clear_peer_mtu(peer_id);
  } else {
    BRENVIK_LOG(LogLevel::Warn, kBindingsLogTarget,
                {"message", "ble_clear_peer_mtu: BLE transport not registered; ignoring"},
                {"peer_id", peer_id});
  }
  return {};
}

uint64_t brenvikprotocol_ble_undersized_mtu_reports(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  auto* ble = ble_transport(**g);
  return ble ? ble->undersized_mtu_reports() : 0;
}

uint64_t brenvikprotocol_ble_fragment_fallback_count(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  auto* ble = ble_transport(**g);
  return ble ? ble->fragment_fallback_count() : 0;
}

uint64_t brenvikprotocol_ble_recipient_not_among_peers_count(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  auto* ble = ble_transport(**g);
  return ble ? ble->recipient_not_among_peers_count() : 0;
}

void brenvikprotocol_set_ble_transport_callback(
    BrenvikProtocol& self, std::shared_ptr<BleTransportCallbackProxy> callback) {
  std::shared_ptr<BleTransportCallbackProxy> current = callback;
  {
    auto& l = self.transport_callbacks();
    if (l.is_poisoned()) warn_lock_recovered(kRwLockPoisonedText, "transport_callbacks");
    auto g = l.write();
    std::swap(g->ble, callback);
  }
  // The replaced callback (now in `callback`) is released after the lock.
  self.wire_ble_callback(current);
}

}  // namespace brenvik::ffi::body
