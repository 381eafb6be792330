// The record behind the core's shared-state mutex, through which every
// event leaves the core, and the strict way of locking it.
//
// The mutex is the innermost lock of the core: event delivery holds it
// while observers and the telemetry sink run, so an observer must never call
// back into a core operation that takes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "core/message.h"
#include "protocol/common/protocol_error.h"
#include "protocol/events/protocol_event.h"
#include "protocol/helpers/scrub_hash.h"
#include "util/result.h"
#include "util/sync.h"

namespace brenvik {

enum class LifecycleState : uint8_t { Stopped = 0, Running = 1, Paused = 2 };
// "Stopped", "Running", "Paused".
std::string_view lifecycle_state_name(LifecycleState s);

// One event handed to a telemetry sink for recording; the sink owns it.
struct TelemetryEventInput {
  std::unique_ptr<ProtocolEvent> event;
};
// What a telemetry sink records. Further input kinds belong to the
// telemetry pipe.
using TelemetryInput = std::variant<TelemetryEventInput>;

// Receives the events that telemetry records. Implementations must not
// throw; if one does, delivery contains it and logs it.
class TelemetrySink {
 public:
  virtual ~TelemetrySink() = default;
  // Takes ownership of one input.
  virtual void record(TelemetryInput input) = 0;
  // Looks at an event in place; true when it consumed it (then no copy is
  // prepared for record()).
  virtual bool observe(const ProtocolEvent& event) = 0;
};

// What the core holds of an attached telemetry pipe.
struct TelemetryTap {
  std::shared_ptr<TelemetrySink> sink;
  // False while telemetry is off; delivery then skips the telemetry stage.
  std::shared_ptr<std::atomic<bool>> enabled = std::make_shared<std::atomic<bool>>(true);
  // Present when identifiers are to be scrubbed before recording.
  std::optional<ScrubKey> scrub_key;
};

// An event observer receives its own copy of every delivered event.
using EventObserver = std::function<void(ProtocolEvent)>;

struct SharedState {
  // In registration order; only grows.
  std::vector<std::shared_ptr<EventObserver>> event_observers;
  LifecycleState lifecycle = LifecycleState::Stopped;
  std::shared_ptr<TelemetryTap> telemetry_tap;
  // Messages already announced to the host (by the replay of parked
  // messages) that the next receive_message calls hand out first, oldest
  // first.
  std::deque<Message> ready_messages;
};

using SharedStateMutex = Mutex<SharedState>;
using SharedStateHandle = std::shared_ptr<SharedStateMutex>;

inline constexpr std::string_view kSharedStatePoisonedText = "Shared state mutex poisoned";

// Locks the shared state. A poisoned mutex is released again and reported
// as ProtocolError Internal "Shared state mutex poisoned", every time.
Result<SharedStateMutex::Guard, ProtocolError> lock_shared_state(SharedStateMutex& shared);

}  // namespace brenvik
