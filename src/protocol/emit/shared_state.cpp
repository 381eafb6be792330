#include "protocol/emit/shared_state.h"

namespace brenvik {

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
