#include "bindings/host_outbox.h"

#include <utility>

namespace brenvik::ffi {

void HostOutbox::push(std::function<void()> delivery) {
  std::lock_guard lock(mu_);
  queue_.push_back(std::move(delivery));
  nonempty_.store(true, std::memory_order_release);
}

void HostOutbox::deliver() noexcept {
  // A call queued by another thread and missed here is delivered by that
  // thread's own deliver().
  if (!nonempty_.load(std::memory_order_acquire)) return;
  std::unique_lock lock(mu_);
  if (delivering_) return;
  delivering_ = true;
  while (!queue_.empty()) {
    {
      std::function<void()> next = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      try {
        next();
      } catch (...) {
        // Each delivery reports its own failures; one that escapes must not
        // stop the ones after it.
      }
      // `next` (and any host handle it holds) is released before relocking.
    }
    lock.lock();
  }
  nonempty_.store(false, std::memory_order_release);
  delivering_ = false;
}

size_t HostOutbox::pending() const {
  std::lock_guard lock(mu_);
  return queue_.size();
}

}  // namespace brenvik::ffi
