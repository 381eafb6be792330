#include "bindings/events.h"

#include <exception>

#include "util/log.h"

namespace brenvik::ffi {

void EventQueue::push(std::string event_json) {
  MutexLock lock(mu_);
  q_.push_back(std::move(event_json));
  while (q_.size() > kCapacity) q_.pop_front();
}

std::optional<std::string> EventQueue::pop() {
  MutexLock lock(mu_);
  if (q_.empty()) return std::nullopt;
  std::string e = std::move(q_.front());
  q_.pop_front();
  return e;
}

size_t EventQueue::size() const {
  MutexLock lock(mu_);
  return q_.size();
}

void EventCallbackSlot::set(std::shared_ptr<EventCallbackProxy> cb) {
  std::shared_ptr<EventCallbackProxy> previous;
  {
    WriterLock lock(mu_);
    previous = std::exchange(cb_, std::move(cb));
  }
  // `previous` is released here, after the lock.
}

std::shared_ptr<EventCallbackProxy> EventCallbackSlot::get() const {
  ReaderLock lock(mu_);
  return cb_;
}

void deliver_host_event(const EventCallbackSlot& slot, EventQueue& queue, std::string event_json) {
  if (auto cb = slot.get()) {
    std::string failure;
    try {
      auto r = cb->on_event(event_json);
      if (!r.ok()) failure = r.error();
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "Unknown panic!";
    }
    if (!failure.empty()) {
      BRENVIK_LOG(LogLevel::Warn, "brenvik_protocol::bindings::events",
                  {"message", "Event callback failed; the event stays queued for poll_event"},
                  {"error", failure});
    }
  }
  queue.push(std::move(event_json));
}

}  // namespace brenvik::ffi
