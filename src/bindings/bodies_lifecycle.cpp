// Bodies of the constructor, the lifecycle, the event stream, the lock
// diagnostics and the cheap statistics of BrenvikProtocol.
#include <atomic>

#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "util/log.h"

namespace brenvik::ffi::body {

namespace {

LifecycleState interface_state(ProtocolState s) {
  switch (s) {
    case ProtocolState::Stopped:
      return LifecycleState::Stopped;
    case ProtocolState::Running:
      return LifecycleState::Running;
    case ProtocolState::Paused:
      return LifecycleState::Paused;
  }
  return LifecycleState::Stopped;
}

event::NetworkMetrics zero_metrics() {
  return event::NetworkMetrics{0, 0, 0.0f, 0};
}

// One lifecycle transition: the core's first, then the mirror, both under
// `inner` so two transitions never interleave.
Result<void, InterfaceError> transition(BrenvikProtocol& self,
                                        Result<void, ProtocolError> (ProtocolCore::*op)(),
                                        ProtocolState to) {
  BRENVIK_TRY(auto g, self.lock_inner());
  auto r = ((**g).*op)();
  if (!r.ok()) return Err(to_interface_error(r.error()));
  return self.write_state(to);
}

}  // namespace

Result<Ref<BrenvikProtocol>, InterfaceError> brenvikprotocol_ctor_new(
    BrenvikProtocolConfig config) {
  return BrenvikProtocol::create(config);
}

Result<void, InterfaceError> brenvikprotocol_start(BrenvikProtocol& self) {
  BRENVIK_TRY_VOID(transition(self, &ProtocolCore::start, ProtocolState::Running));
  // Raised after `inner` is released, so the host's handler may call back in.
  self.emit_host_event(zero_metrics());
  return {};
}

Result<void, InterfaceError> brenvikprotocol_stop(BrenvikProtocol& self) {
  return transition(self, &ProtocolCore::stop, ProtocolState::Stopped);
}

Result<void, InterfaceError> brenvikprotocol_pause(BrenvikProtocol& self) {
  return transition(self, &ProtocolCore::pause, ProtocolState::Paused);
}

Result<void, InterfaceError> brenvikprotocol_resume(BrenvikProtocol& self) {
  return transition(self, &ProtocolCore::resume, ProtocolState::Running);
}

Result<void, InterfaceError> brenvikprotocol_process(BrenvikProtocol& self) {
  BRENVIK_TRY(auto g, self.lock_inner());
  auto r = (*g)->process_tick();
  if (!r.ok()) return Err(to_interface_error(r.error()));
  return {};
}

LifecycleState brenvikprotocol_get_state(BrenvikProtocol& self) {
  return interface_state(self.state());
}

std::optional<std::string> brenvikprotocol_poll_event(BrenvikProtocol& self) {
  return self.poll_event();
}

void brenvikprotocol_emit_test_event(BrenvikProtocol& self) {
  self.emit_host_event(zero_metrics());
}

void brenvikprotocol_set_event_callback(BrenvikProtocol& self,
                                        std::shared_ptr<EventCallbackProxy> callback) {
  self.set_event_callback(std::move(callback));
}

LockDiagnostics brenvikprotocol_protocol_lock_diagnostics(BrenvikProtocol& self) {
  return self.lock_diagnostics();
}

uint32_t brenvikprotocol_ble_get_peer_count(BrenvikProtocol& self) {
  auto& l = self.ble_state();
  if (l.is_poisoned()) warn_lock_recovered(kMutexPoisonedText, "ble_state");
  return l.lock()->peer_count;
}

uint64_t brenvikprotocol_get_pending_ack_count(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  return (*g)->ack_manager().size();
}

uint64_t brenvikprotocol_get_retry_queue_size(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  return (*g)->retry_queue().size();
}

}  // namespace brenvik::ffi::body
