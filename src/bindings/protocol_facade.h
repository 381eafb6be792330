// BrenvikProtocol: the object the host holds. It keeps the protocol core
// behind the `inner` lock, and beside it what only the host boundary needs:
// the event stream (callback and poll queue), the host's transport callbacks,
// the BLE peer table, the forced transport, the lifecycle mirror that
// get_state answers without `inner`, and the five transport switches.
//
// Lock order, outermost first: `inner`; under it, briefly and one at a time,
// the holder record, `state` (written by the lifecycle bodies),
// `forced_transport` (read by the send bodies) and the core's own shared
// state, under which the event sink takes the callback slot and then the
// queue. `ble_state`, `transport_callbacks` and `forced_transport` (written)
// are taken alone, never while `inner` is held. `inner` is not re-entrant:
// a body that must call something taking `inner` releases its guard first.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <unordered_set>

#include "bindings/callbacks.h"
#include "bindings/errors.h"
#include "bindings/events.h"
#include "bindings/ffi_types.h"
#include "bindings/handle.h"
#include "bindings/host_outbox.h"
#include "bindings/inner_lock.h"
#include "protocol/core/protocol_core.h"
#include "protocol/stats/visualizer_stats.h"
#include "util/clock.h"
#include "util/result.h"
#include "util/sync.h"

namespace brenvik::ffi {

// The facade's mirror of the core's lifecycle; written only after the core's
// own transition succeeded.
enum class ProtocolState : uint8_t { Stopped, Running, Paused };
std::string_view protocol_state_text(ProtocolState s);  // "Stopped", "Running", "Paused"

// The BLE peers the host reported in reach and not yet lost. The empty id is
// a valid member.
struct BleState {
  std::unordered_set<std::string> peers;
  uint32_t peer_count = 0;
};

// The host's transport callbacks, kept so they can be installed again into
// transports created later.
struct TransportCallbacks {
  std::shared_ptr<BleTransportCallbackProxy> ble;
  std::shared_ptr<WifiDirectTransportCallbackProxy> wifi_direct;
  std::shared_ptr<ReticulumTransportCallbackProxy> reticulum;
  std::shared_ptr<NostrTransportCallbackProxy> nostr;
};

// Which radio a peer was lost on (for the other-radio reachability check).
enum class LostOn : uint8_t { Ble, WifiDirect };

class BrenvikProtocol {
 public:
  using InnerGuard = InnerLock<std::unique_ptr<ProtocolCore>>::Guard;

  // Builds the object from the host's construction record: defaults filled,
  // configuration validated, core built, the enabled radio transports
  // registered and the event sink installed. Nothing is started. `clock`
  // must outlive the object.
  static Result<Ref<BrenvikProtocol>, InterfaceError> create(const BrenvikProtocolConfig& config,
                                                             const Clock& clock = system_clock());

  // Use create(); public only so the handle box can construct it.
  BrenvikProtocol(std::unique_ptr<ProtocolCore> core, const TransportSwitches& switches);
  BrenvikProtocol(const BrenvikProtocol&) = delete;
  BrenvikProtocol& operator=(const BrenvikProtocol&) = delete;

  // ---------------------------------------------------------------- locks
  // Takes `inner`; a poisoned `inner` is LockPoisoned "inner: <poison>".
  Result<InnerGuard, InterfaceError> lock_inner(
      std::source_location site = std::source_location::current());
  // Takes `inner`; a poisoned one is used with a WARN.
  InnerGuard lock_inner_or_recover(std::source_location site = std::source_location::current());
  LockDiagnostics lock_diagnostics() const;

  // Marks `inner` poisoned by unwinding through a held guard (test support
  // for the poisoned paths; a real poisoning comes from a fault in a body).
  void poison_inner_for_test();

  // ---------------------------------------------------------------- events
  // Events the core emits arrive through the sink while `inner` is held and
  // wait in the host outbox; the facade's own events (start, link state) go
  // through emit_host_event. The outbox is handed over whenever `inner` is
  // released and by emit_host_event: each event calls the host callback (when
  // set) and then queues the JSON for poll_event, whatever the callback did.
  // No host callback ever runs with `inner` held, so one may call any method.
  void emit_host_event(const ProtocolEvent& event);
  // Queues a host call behind the events already waiting (transport signals).
  void queue_host_call(std::function<void()> call) { outbox_->push(std::move(call)); }
  // Hands the outbox over now unless this thread holds `inner`.
  void deliver_host_calls();
  void set_event_callback(std::shared_ptr<EventCallbackProxy> cb) {
    event_callback_->set(std::move(cb));
  }
  std::optional<std::string> poll_event() { return event_queue_->pop(); }
  size_t queued_event_count() const { return event_queue_->size(); }

  // ---------------------------------------------------------------- state
  ProtocolState state() const;
  // Sets the mirror; LockPoisoned "state: <poison>" when it is poisoned.
  Result<void, InterfaceError> write_state(ProtocolState s);

  // ------------------------------------------------- BLE and link state
  RwLock<TransportCallbacks>& transport_callbacks() { return transport_callbacks_; }
  Mutex<BleState>& ble_state() { return ble_state_; }
  RwLock<std::optional<brenvik::TransportType>>& forced_transport() { return forced_transport_; }
  // The pinned transport; LockPoisoned "forced_transport: <poison>".
  Result<std::optional<brenvik::TransportType>, InterfaceError> read_forced_transport();

  // Installs the host's BLE callback as the BLE transport's outbound hook
  // (takes `inner`; the caller must not hold it).
  void wire_ble_callback(const std::shared_ptr<BleTransportCallbackProxy>& cb);
  // Tells the core about a neighbour and, unless it is blocked or the id is
  // empty, raises NeighborDiscovered with the label and reading.
  Result<void, InterfaceError> note_neighbor_discovered(const std::string& peer_id,
                                                        std::string_view label,
                                                        std::optional<int16_t> rssi);
  // Whether a peer lost on one radio is still in reach over the other.
  bool peer_reachable_elsewhere(const std::string& peer_id, LostOn lost_on);

  // The mesh-visualisation state behind the statistics; taken alone, never
  // while `inner` is held.
  Mutex<VisualizerState>& visualizer() { return visualizer_; }

  bool ble_enabled() const { return switches_.ble; }
  bool wifi_direct_enabled() const { return switches_.wifi_direct; }

 private:
  LockTelemetry lock_telemetry_;
  InnerLock<std::unique_ptr<ProtocolCore>> inner_;
  std::shared_ptr<EventCallbackSlot> event_callback_ = std::make_shared<EventCallbackSlot>();
  std::shared_ptr<EventQueue> event_queue_ = std::make_shared<EventQueue>();
  std::shared_ptr<HostOutbox> outbox_ = std::make_shared<HostOutbox>();
  RwLock<TransportCallbacks> transport_callbacks_;
  RwLock<ProtocolState> state_{ProtocolState::Stopped};
  Mutex<BleState> ble_state_;
  RwLock<std::optional<brenvik::TransportType>> forced_transport_;
  Mutex<VisualizerState> visualizer_;
  const TransportSwitches switches_;
};

// The interface form of the core's transport types and back.
brenvik::TransportType core_transport_type(TransportType t);
TransportType interface_transport_type(brenvik::TransportType t);
// "Internet", "BLE", "WiFiDirect", "Reticulum", "Nostr".
std::string_view transport_display_name(brenvik::TransportType t);

}  // namespace brenvik::ffi
