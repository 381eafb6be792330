// The host event stream: the registered EventCallback and the queue that
// poll_event reads.
//
// Every event goes to the callback (when one is registered) and then into the
// queue, whatever the callback did: a callback that fails must not cost a host
// that also polls the event.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "bindings/callbacks.h"
#include "util/thread_annotations.h"

namespace brenvik::ffi {

// First-in first-out queue of event JSON, at most kCapacity entries; an append
// to a full queue drops the oldest.
class EventQueue {
 public:
  static constexpr size_t kCapacity = 1000;
  void push(std::string event_json) EXCLUDES(mu_);
  std::optional<std::string> pop() EXCLUDES(mu_);
  size_t size() const EXCLUDES(mu_);

 private:
  mutable AnnotatedMutex mu_;
  std::deque<std::string> q_ GUARDED_BY(mu_);
};

// The registered EventCallback. A replaced callback is released outside the
// lock, so its free slot never runs while the table is held.
class EventCallbackSlot {
 public:
  void set(std::shared_ptr<EventCallbackProxy> cb) EXCLUDES(mu_);
  std::shared_ptr<EventCallbackProxy> get() const EXCLUDES(mu_);

 private:
  mutable AnnotatedSharedMutex mu_;
  std::shared_ptr<EventCallbackProxy> cb_ GUARDED_BY(mu_);
};

// Calls the callback without holding the slot's lock, then appends the event
// to the queue. A failing or faulting callback is logged; the event is queued
// all the same.
void deliver_host_event(const EventCallbackSlot& slot, EventQueue& queue, std::string event_json);

}  // namespace brenvik::ffi
