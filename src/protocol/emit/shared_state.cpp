#include "protocol/emit/shared_state.h"

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

Result<SharedStateMutex::Guard, ProtocolError> lock_shared_state(SharedStateMutex& shared) {
  auto guard = shared.lock();
  if (shared.is_poisoned()) {
    // The guard is released on return; it marks the mutex again only if
    // this thread is itself unwinding.
    return Err(ProtocolError::internal(std::string(kSharedStatePoisonedText)));
  }
  return guard;
}

}  // namespace brenvik
