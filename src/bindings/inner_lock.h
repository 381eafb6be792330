// The facade's `inner` lock: the mutex around the protocol core that almost
// every exported call holds for its whole duration, together with the record
// of who holds it right now.
//
// The holder record (thread label, the statement that took the lock, since
// when) lives behind its own small mutex, so protocol_lock_diagnostics can
// read it from another thread while a call hangs inside `inner` and tell the
// host which statement holds it, on which thread and for how long.
//
// Poisoning follows util/sync.h: a guard released while an exception that
// started after the lock was taken is propagating marks the lock poisoned
// for good. lock() then refuses ("inner: poisoned lock: ..."), while
// lock_or_recover() logs the recovery warning and goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <utility>

#include "util/clock.h"
#include "util/result.h"
#include "util/sync.h"

namespace brenvik::ffi {

inline constexpr std::string_view kPoisonedLockText = "poisoned lock: another task failed inside";
inline constexpr std::string_view kBindingsLogTarget = "brenvik_protocol_bindings";

// The thread's name, or "unnamed-" and its numeric id when it has none;
// computed once per thread and shared by every holder record it writes.
std::shared_ptr<const std::string> current_thread_label();

// Who holds `inner`.
struct LockHolder {
  std::shared_ptr<const std::string> thread;
  std::source_location site;
  MonoTime since;
};

// What protocol_lock_diagnostics reports.
struct HolderSnapshot {
  bool held = false;
  std::string site;  // "file:line"; empty when not held
  std::string thread;
  uint64_t held_ms = 0;
};

// The holder record. Nests inside `inner`; taken briefly.
class LockTelemetry {
 public:
  explicit LockTelemetry(const Clock& clock = system_clock()) : clock_(clock) {}
  void record(const std::source_location& site);
  void clear();
  HolderSnapshot snapshot() const;

 private:
  const Clock& clock_;
  mutable Mutex<std::optional<LockHolder>> holder_;
};

// Logs the WARN that a poisoned facade lock was taken anyway.
void warn_lock_recovered(std::string_view message, std::string_view lock_name);

// The refusal of a call that would take `inner` on a thread that holds it
// already: a host callback the library calls synchronously inside a call (the
// storage providers) calling back into the same object.
inline constexpr std::string_view kReentrantCallText =
    "called from inside a host callback that runs while this object is busy (a storage "
    "provider method); make the call after the callback has returned";

// Which `inner` locks the current thread holds (a handful at most).
bool this_thread_holds(const void* lock);
void note_held(const void* lock);
void note_released(const void* lock);

// Thrown by lock_or_recover() on a re-entrant take; the call frame reports it
// with status code 2.
class ReentrantCall : public std::logic_error {
 public:
  ReentrantCall() : std::logic_error(std::string("inner: ") + std::string(kReentrantCallText)) {}
};

template <typename T>
class InnerLock {
 public:
  template <typename... Args>
  explicit InnerLock(LockTelemetry& telemetry, Args&&... args)
      : telemetry_(telemetry), mu_(std::forward<Args>(args)...) {}
  InnerLock(const InnerLock&) = delete;
  InnerLock& operator=(const InnerLock&) = delete;

  // Holds `inner`; releasing it clears the holder record first.
  class Guard {
   public:
    Guard(Guard&& o) noexcept : owner_(std::exchange(o.owner_, nullptr)), g_(std::move(o.g_)) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() { release(); }
    T& operator*() const { return *g_; }
    T* operator->() const { return &*g_; }
    // Clears the holder, unlocks, then runs the lock's after-release hook;
    // idempotent.
    void release() {
      if (!owner_) return;
      InnerLock* owner = std::exchange(owner_, nullptr);
      owner->telemetry_.clear();
      g_.unlock();  // poisons when unwinding began after the take
      note_released(owner);
      // A copy: the hook may run host code that drops the object's last
      // reference held elsewhere.
      if (owner->after_release_) std::function<void()>(owner->after_release_)();
    }

   private:
    friend class InnerLock;
    Guard(InnerLock* owner, typename Mutex<T>::Guard g) : owner_(owner), g_(std::move(g)) {}
    InnerLock* owner_;
    typename Mutex<T>::Guard g_;
  };

  // Runs after every release, on the releasing thread, with the lock free.
  // Set once, before the lock is shared; must not throw.
  void set_after_release(std::function<void()> hook) { after_release_ = std::move(hook); }

  // Fails with the poison text when `inner` is poisoned, and with
  // kReentrantCallText when this thread holds it already; no holder recorded.
  Result<Guard, std::string> lock(std::source_location site = std::source_location::current()) {
    if (this_thread_holds(this)) return Err(std::string(kReentrantCallText));
    auto g = mu_.lock();
    if (mu_.is_poisoned()) return Err(std::string(kPoisonedLockText));
    telemetry_.record(site);
    note_held(this);
    return Guard(this, std::move(g));
  }

  // Never fails: a poisoned `inner` is logged and used as it is.
  // Throws ReentrantCall when this thread holds it already.
  Guard lock_or_recover(std::source_location site = std::source_location::current()) {
    if (this_thread_holds(this)) throw ReentrantCall();
    auto g = mu_.lock();
    if (mu_.is_poisoned()) warn_lock_recovered(kMutexPoisonedText, "inner");
    telemetry_.record(site);
    note_held(this);
    return Guard(this, std::move(g));
  }

  bool is_poisoned() const { return mu_.is_poisoned(); }
  bool held_by_this_thread() const { return this_thread_holds(this); }

 private:
  LockTelemetry& telemetry_;
  Mutex<T> mu_;
  std::function<void()> after_release_;
};

}  // namespace brenvik::ffi
