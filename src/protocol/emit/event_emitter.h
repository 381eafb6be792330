// EventEmitter: the one way events leave the core. It owns the shared state
// (lifecycle, observers, host callbacks) behind its mutex and the buffer of
// events deferred while the core is not running. The delivery rules
// themselves are the functions of event_delivery.h; this class holds their
// state so that no other part of the core does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/emit/event_delivery.h"
#include "protocol/emit/shared_state.h"
#include "protocol/events/protocol_event.h"

namespace brenvik {

class EventEmitter {
 public:
  EventEmitter() : shared_(std::make_shared<SharedStateMutex>()) {}
  EventEmitter(const EventEmitter&) = delete;
  EventEmitter& operator=(const EventEmitter&) = delete;

  // The shared state, for the steps that read the lifecycle or deliver
  // several events under one lock. Lives as long as the emitter.
  SharedStateMutex& state() const { return *shared_; }
  // A counted handle, for parts that deliver on their own (the transport
  // registry's sink, the BLE eviction observer) and may outlive a call.
  const SharedStateHandle& handle() const { return shared_; }

  // Delivers now whatever the lifecycle; dropped when the state is poisoned.
  void emit(ProtocolEvent event) { emit_event(*shared_, std::move(event)); }
  // Delivers now when Running, else keeps (at most 8192, the rest counted).
  void emit_or_defer(ProtocolEvent event) {
    emit_or_defer_event(*shared_, deferred_, std::move(event));
  }
  void emit_or_defer_batch(std::vector<ProtocolEvent> events) {
    emit_or_defer_event_batch(*shared_, deferred_, std::move(events));
  }
  // Delivers and clears the deferred buffer; one WARN for dropped events.
  void flush_deferred() { flush_deferred_events(*shared_, deferred_); }

  size_t deferred_count() const { return deferred_.events.size(); }
  uint64_t deferred_dropped() const { return deferred_.dropped; }

 private:
  SharedStateHandle shared_;
  DeferredEvents deferred_;
};

}  // namespace brenvik
