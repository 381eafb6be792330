#include "protocol/core/shared_state.h"

#include <exception>

#include "protocol/helpers/core_helpers.h"
#include "util/log.h"

namespace brenvik {

std::string_view lifecycle_state_name(LifecycleState s) {
  switch (s) {
    case LifecycleState::Stopped:
      return "Stopped";
    case LifecycleState::Running:
      return "Running";
    case LifecycleState::Paused:
      return "Paused";
  }
  return "Stopped";
}

Result<SharedStateMutex::Guard, ProtocolError> lock_shared_state(SharedStateMutex& m) {
  auto g = m.lock();
  if (m.is_poisoned()) return Err(ProtocolError::internal(std::string(kSharedStatePoisonedText)));
  return g;
}

void deliver_event(CoreSharedState& state, const ProtocolEvent& event) {
  for (const auto& sink : state.observer_sinks) {
    if (!sink || !*sink) continue;
    try {
      (*sink)(event);
    } catch (...) {
      std::string payload = panic_payload_text(std::current_exception());
      BRENVIK_LOG(LogLevel::Error, "brenvik_protocol::protocol::types",
                  {"message",
                   "EventCallback panicked; continuing. Handlers must not panic \xE2\x80\x94 see "
                   "BrenvikProtocol::on_event."},
                  {"event", LogValue::display(event.diagnostic_text())}, {"panic", payload});
    }
  }
}

}  // namespace brenvik
