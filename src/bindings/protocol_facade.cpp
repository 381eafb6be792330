#include "bindings/protocol_facade.h"

#include <stdexcept>

#include "bindings/error_mapping.h"
#include "bindings/host_config.h"
#include "protocol/events/event_json.h"
#include "transport/ble_transport.h"
#include "transport/wifi_direct_transport.h"
#include "util/log.h"

namespace brenvik::ffi {

std::string_view protocol_state_text(ProtocolState s) {
  switch (s) {
    case ProtocolState::Stopped:
      return "Stopped";
    case ProtocolState::Running:
      return "Running";
    case ProtocolState::Paused:
      return "Paused";
  }
  return "Stopped";
}

brenvik::TransportType core_transport_type(TransportType t) {
  switch (t) {
    case TransportType::Internet:
      return brenvik::TransportType::Internet;
    case TransportType::BLE:
      return brenvik::TransportType::Ble;
    case TransportType::WiFiDirect:
      return brenvik::TransportType::WifiDirect;
    case TransportType::Reticulum:
      return brenvik::TransportType::Reticulum;
    case TransportType::Nostr:
      return brenvik::TransportType::Nostr;
  }
  throw std::logic_error("TransportType out of range");
}

TransportType interface_transport_type(brenvik::TransportType t) {
  switch (t) {
    case brenvik::TransportType::Internet:
      return TransportType::Internet;
    case brenvik::TransportType::Ble:
      return TransportType::BLE;
    case brenvik::TransportType::WifiDirect:
      return TransportType::WiFiDirect;
    case brenvik::TransportType::Reticulum:
      return TransportType::Reticulum;
    case brenvik::TransportType::Nostr:
      return TransportType::Nostr;
  }
  throw std::logic_error("TransportType out of range");
}

std::string_view transport_display_name(brenvik::TransportType t) {
  return brenvik::transport_type_display_name(t);
}

namespace {

InterfaceError poisoned(std::string_view lock_name) {
  return InterfaceError::with_message(
      InterfaceError::Kind::LockPoisoned,
      std::string(lock_name) + ": " + std::string(kPoisonedLockText));
}

}  // namespace

Result<Ref<BrenvikProtocol>, InterfaceError> BrenvikProtocol::create(
    const BrenvikProtocolConfig& host, const Clock& clock) {
  FacadeConfig fc = protocol_config_from_host(host);
  const TransportSwitches switches = fc.config.transports;
  auto core = ProtocolCore::create(std::move(fc.config), clock);
  if (!core.ok()) return Err(to_interface_error(core.error()));
  std::unique_ptr<ProtocolCore> c = std::move(core).value();

  // Only the radio and network transports the host switched on; Nostr needs
  // the MLS identity and is set up with it.
  if (switches.ble)
    c->transports().register_transport(brenvik::TransportType::Ble,
                                       std::make_shared<BleTransport>(clock));
  if (switches.wifi_direct)
    c->transports().register_transport(brenvik::TransportType::WifiDirect,
                                       std::make_shared<WifiDirectTransport>(clock));

  auto obj = Ref<BrenvikProtocol>::make(std::move(c), switches);

  // The sink holds the callback slot, the queue and the outbox, never the
  // object, so it neither keeps the object alive nor takes `inner`. It runs
  // inside locked sections, so it only queues; the outbox is handed over when
  // `inner` is released.
  {
    auto g = obj->inner_.lock_or_recover();
    std::weak_ptr<EventCallbackSlot> cb = obj->event_callback_;
    std::weak_ptr<EventQueue> q = obj->event_queue_;
    std::weak_ptr<HostOutbox> out = obj->outbox_;
    (*g)->add_observer([cb, q, out](ProtocolEvent event) {
      auto outbox = out.lock();
      if (!outbox) return;
      outbox->push([cb, q, json = serialize_event_json(event)]() mutable {
        auto slot = cb.lock();
        auto queue = q.lock();
        if (slot && queue) deliver_host_event(*slot, *queue, std::move(json));
      });
    });
  }
  return obj;
}

BrenvikProtocol::BrenvikProtocol(std::unique_ptr<ProtocolCore> core,
                                 const TransportSwitches& switches)
    : lock_telemetry_(core->clock()),
      inner_(lock_telemetry_, std::move(core)),
      switches_(switches) {
  inner_.set_after_release([out = outbox_] { out->deliver(); });
}

Result<BrenvikProtocol::InnerGuard, InterfaceError> BrenvikProtocol::lock_inner(
    std::source_location site) {
  auto g = inner_.lock(site);
  if (!g.ok()) {
    if (g.error() == kReentrantCallText)
      return Err(InterfaceError::with_message(InterfaceError::Kind::InvalidState,
                                              "inner: " + std::string(kReentrantCallText)));
    return Err(poisoned("inner"));
  }
  return std::move(g).value();
}

BrenvikProtocol::InnerGuard BrenvikProtocol::lock_inner_or_recover(std::source_location site) {
  return inner_.lock_or_recover(site);
}

LockDiagnostics BrenvikProtocol::lock_diagnostics() const {
  HolderSnapshot s = lock_telemetry_.snapshot();
  return LockDiagnostics{s.held, std::move(s.site), std::move(s.thread), s.held_ms};
}

void BrenvikProtocol::poison_inner_for_test() {
  try {
    auto g = inner_.lock_or_recover();
    throw std::runtime_error("fault inside a body");
  } catch (const std::runtime_error&) {
  }
}

void BrenvikProtocol::emit_host_event(const ProtocolEvent& event) {
  std::weak_ptr<EventCallbackSlot> cb = event_callback_;
  std::weak_ptr<EventQueue> q = event_queue_;
  outbox_->push([cb, q, json = serialize_event_json(event)]() mutable {
    auto slot = cb.lock();
    auto queue = q.lock();
    if (slot && queue) deliver_host_event(*slot, *queue, std::move(json));
  });
  deliver_host_calls();
}

void BrenvikProtocol::deliver_host_calls() {
  if (!inner_.held_by_this_thread()) outbox_->deliver();
}

ProtocolState BrenvikProtocol::state() const {
  auto& l = const_cast<RwLock<ProtocolState>&>(state_);
  if (l.is_poisoned()) warn_lock_recovered(kRwLockPoisonedText, "state");
  return *l.read();
}

Result<void, InterfaceError> BrenvikProtocol::write_state(ProtocolState s) {
  auto g = state_.write();
  if (state_.is_poisoned()) return Err(poisoned("state"));
  *g = s;
  return {};
}

Result<std::optional<brenvik::TransportType>, InterfaceError>
BrenvikProtocol::read_forced_transport() {
  auto g = forced_transport_.read();
  if (forced_transport_.is_poisoned()) return Err(poisoned("forced_transport"));
  return *g;
}

namespace {

// The host only notes the signal; a failure of its callback must not undo the
// send that queued the fragments.
void signal_fragments_available(const BleTransportCallbackProxy& held) {
  try {
    auto r = held.on_fragments_available();
    if (!r.ok())
      BRENVIK_LOG(LogLevel::Warn, kBindingsLogTarget, {"message", "BLE transport callback failed"},
                  {"error", r.error()});
  } catch (const std::exception& e) {
    BRENVIK_LOG(LogLevel::Warn, kBindingsLogTarget, {"message", "BLE transport callback failed"},
                {"error", e.what()});
  }
}

}  // namespace

void BrenvikProtocol::wire_ble_callback(const std::shared_ptr<BleTransportCallbackProxy>& cb) {
  auto g = lock_inner_or_recover();
  auto t = (*g)->transports().get(brenvik::TransportType::Ble);
  if (!t || !cb) return;
  std::shared_ptr<BleTransportCallbackProxy> held = cb;
  std::weak_ptr<HostOutbox> out = outbox_;
  // The signal arises inside a send, with `inner` held: it waits in the
  // outbox like an event.
  t->set_on_messages_available([held, out] {
    if (auto outbox = out.lock()) outbox->push([held] { signal_fragments_available(*held); });
  });
}

Result<void, InterfaceError> BrenvikProtocol::note_neighbor_discovered(
    const std::string& peer_id, std::string_view label, std::optional<int16_t> rssi) {
  if (peer_id.empty()) return {};
  bool blocked = false;
  {
    BRENVIK_TRY(auto g, lock_inner());
    blocked = (*g)->is_user_blocked(peer_id);
    (*g)->on_neighbor_discovered(peer_id, std::nullopt);
  }
  if (!blocked) emit_host_event(event::NeighborDiscovered{peer_id, std::string(label), rssi});
  return {};
}

bool BrenvikProtocol::peer_reachable_elsewhere(const std::string& peer_id, LostOn lost_on) {
  switch (lost_on) {
    case LostOn::Ble: {
      auto g = lock_inner_or_recover();
      auto wd = (*g)->transports().get(brenvik::TransportType::WifiDirect);
      if (!wd) return false;
      for (const auto& p : wd->connected_peers())
        if (p.peer_id == peer_id) return true;
      return false;
    }
    case LostOn::WifiDirect: {
      if (ble_state_.is_poisoned()) warn_lock_recovered(kMutexPoisonedText, "ble_state");
      auto g = ble_state_.lock();
      return g->peers.contains(peer_id);
    }
  }
  return false;
}

}  // namespace brenvik::ffi
