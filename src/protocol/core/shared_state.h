// The mutex-guarded part of the protocol core through which every event
// leaves it: the observer sinks and the lifecycle state. The core keeps one
// shared handle; the event sinks the core gives the transport registry and
// the BLE transport at start keep further handles, so they can deliver
// without the core.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "core/message.h"
#include "protocol/core/protocol_error.h"
#include "protocol/events/protocol_event.h"
#include "util/result.h"
#include "util/sync.h"

namespace brenvik {

enum class LifecycleState : uint8_t { Stopped = 0, Running = 1, Paused = 2 };
// "Stopped", "Running", "Paused".
std::string_view lifecycle_state_name(LifecycleState s);

// An observer receives its own copy of every delivered event, in
// registration order.
using EventObserver = std::function<void(ProtocolEvent)>;

// Named apart from the event-delivery helpers' record of the same role:
// both live in this namespace, and one name for two layouts would let the
// linker mix their destructors and lock functions.
struct CoreSharedState {
  std::vector<std::shared_ptr<EventObserver>> observer_sinks;
  LifecycleState lifecycle = LifecycleState::Stopped;
  // Messages already announced to the host (by the replay of parked
  // messages) that the next receive_message calls hand out first, oldest
  // first.
  std::deque<Message> ready_messages;
};

using SharedStateMutex = Mutex<CoreSharedState>;
using SharedStateHandle = std::shared_ptr<SharedStateMutex>;

inline constexpr std::string_view kSharedStatePoisonedText = "Shared state mutex poisoned";

// Takes the shared-state mutex; a poisoned mutex fails with the send-failure
// error "Shared state mutex poisoned" (the guard is released).
Result<SharedStateMutex::Guard, ProtocolError> lock_shared_state(SharedStateMutex& m);

// Hands each observer, in order, its own copy of the event. An observer
// that throws is logged and skipped; the others still receive the event.
// The caller holds the shared-state lock.
void deliver_event(CoreSharedState& state, const ProtocolEvent& event);

}  // namespace brenvik
