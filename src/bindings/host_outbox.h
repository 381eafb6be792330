// Host callbacks waiting for the facade's `inner` lock to be released.
//
// Events and transport signals arise while a call holds `inner`. Calling the
// host from there would let a callback that calls back into the same object
// lock `inner` again on the same thread and hang; so they are queued here
// inside the locked section and handed to the host on the way out, after the
// lock is released, in the order they arose. One thread at a time hands them
// over: a thread that finds another already delivering leaves its own to it,
// and a call made from inside a callback only queues, so a callback never
// nests inside another and the order holds across threads.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

namespace brenvik::ffi {

class HostOutbox {
 public:
  HostOutbox() = default;
  HostOutbox(const HostOutbox&) = delete;
  HostOutbox& operator=(const HostOutbox&) = delete;

  // Queues one host call; never calls the host.
  void push(std::function<void()> delivery);
  // Hands every queued call to the host, in order, unless another thread (or
  // an outer frame of this one) is doing so already. Never throws: a failing
  // delivery is its own business (each logs its failure).
  // REQUIRES: the caller holds no lock a host callback might need.
  void deliver() noexcept;
  // The number of calls still queued (for tests).
  size_t pending() const;

 private:
  mutable std::mutex mu_;
  std::deque<std::function<void()>> queue_;
  bool delivering_ = false;
  // Whether the queue may hold anything: lets the common release with nothing
  // queued skip the mutex. Written under mu_.
  std::atomic<bool> nonempty_{false};
};

}  // namespace brenvik::ffi
