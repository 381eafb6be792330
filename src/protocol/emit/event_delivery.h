// Event emission: the one routine through which every protocol event leaves
// the core (deliver_event), the entry points that raise events, the
// deferral of events raised while the protocol is not running, and the two
// callables the core installs in the transport layer at start.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/emit/shared_state.h"
#include "protocol/events/protocol_event.h"
#include "transport/ble_transport.h"

namespace brenvik {

// Delivers one event under the caller's lock of the shared state:
// 1. every observer, in registration order, receives its own copy; an
//    observer that throws is logged at ERROR (with the event's diagnostic
//    form) and the next observer still receives the event;
// 2. when a telemetry tap is present and enabled, the sink may consume the
//    event in place (observe); otherwise it records a copy from which media
//    key material is removed and, with a scrub key, every identifier field
//    is replaced by its scrub text. A sink that throws loses only that
//    input (ERROR log). Nothing thrown reaches the caller.
// Observers always receive the event exactly as raised.
void deliver_event(EventSharedState& state, ProtocolEvent event);

// Locks the shared state and delivers the event now, whatever the
// lifecycle. With a poisoned mutex the event is dropped silently.
void emit_event(SharedStateMutex& shared, ProtocolEvent event);

// Events raised while the protocol is not running wait here (at most 8192;
// further ones are dropped and counted) until start or resume flushes them.
struct DeferredEvents {
  static constexpr size_t kCapacity = 8192;
  std::vector<ProtocolEvent> events;
  uint64_t dropped = 0;  // refused because the buffer was full

  // Appends while below capacity; otherwise counts the event as dropped
  // (the newest is the one lost) and returns false.
  bool defer(ProtocolEvent event);
};

// Reads the lifecycle once (a poisoned lock counts as not running): when
// Running emits the event now, otherwise defers it.
void emit_or_defer_event(SharedStateMutex& shared, DeferredEvents& deferred, ProtocolEvent event);
// The same for a list, in order, with the lifecycle read once for the whole
// batch: a batch raised while Running is emitted in full even if the
// lifecycle changes during delivery.
void emit_or_defer_event_batch(SharedStateMutex& shared, DeferredEvents& deferred,
                               std::vector<ProtocolEvent> events);
// Emits every deferred event, oldest first, then reports a non-zero drop
// count once in a WARN record (fields `suppressed` and `cap`) and resets it.
void flush_deferred_events(SharedStateMutex& shared, DeferredEvents& deferred);

// The sink the core puts into the transport registry at start: locks the
// shared state, recovering (with a warning) from poison, and delivers. It
// never defers.
EventObserver make_transport_event_sink(std::shared_ptr<SharedStateMutex> shared);

// The observer the core hands to the BLE transport: an evicted incomplete
// assembly raises FragmentAssemblyEvicted (message id, completion
// percentage, reason "capacity"), delivered like the transport sink does.
EvictionObserver make_fragment_eviction_callback(std::shared_ptr<SharedStateMutex> shared);

}  // namespace brenvik
