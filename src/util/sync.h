// Mutex and read-write lock wrappers that remember when a holder left the
// locked section by an escaping exception ("poisoned"), and the three
// acquisition functions that take such a lock anyway, log a warning and hand
// the data over as it was left.
//
//   Mutex<Queue> queue;
//   {
//     auto g = lock_or_recover(queue);   // caller's position captured here
//     g->push(item);
//   }
//
// The poisoned flag is set when an exclusive guard (mutex or write) is
// destroyed while an exception is propagating that was not already
// propagating when the guard was made; a shared (read) guard never sets it.
// Nothing clears it.
//
// The value is GUARDED_BY the lock; the guards below are the proof that it
// is held, so their accessors, lock() and read()/write() are exempt from the
// compiler's thread-safety analysis (it cannot follow a lock held by a
// returned object). See util/thread_annotations.h. A warning (target "brenvik_protocol_core::sync",
// fields `message` and `location` = "file:line:column") is logged on every acquisition of a
// poisoned lock; the mutex and the two read-write acquisitions are separate log sites with their
// own texts.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <source_location>
#include <string_view>
#include <utility>

#include "util/thread_annotations.h"

namespace brenvik {

inline constexpr std::string_view kSyncLogTarget = "brenvik_protocol_core::sync";
inline constexpr std::string_view kMutexPoisonedText =
    "Mutex poisoned \xE2\x80\x94 recovering with inner value";
inline constexpr std::string_view kRwLockPoisonedText =
    "RwLock poisoned \xE2\x80\x94 recovering with inner value";

namespace sync_detail {
// Logs one poison warning (WARN, kSyncLogTarget) at `loc`.
void warn_poisoned(std::string_view text, const std::source_location& loc);
}  // namespace sync_detail

template <typename T>
class Mutex {
 public:
  template <typename... Args>
  explicit Mutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  class Guard {
   public:
    Guard(Guard&& o) noexcept
        : m_(std::exchange(o.m_, nullptr)), exceptions_at_entry_(o.exceptions_at_entry_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() { unlock(); }
    // Unlocks before the guard goes away (poisoning as the destructor
    // would); idempotent.
    void unlock() NO_THREAD_SAFETY_ANALYSIS {
      if (!m_) return;
      if (std::uncaught_exceptions() > exceptions_at_entry_)
        m_->poisoned_.store(true, std::memory_order_release);
      m_->mu_.unlock();
      m_ = nullptr;
    }
    T& operator*() const NO_THREAD_SAFETY_ANALYSIS { return m_->value_; }
    T* operator->() const NO_THREAD_SAFETY_ANALYSIS { return &m_->value_; }

   private:
    friend class Mutex;
    explicit Guard(Mutex* m) : m_(m), exceptions_at_entry_(std::uncaught_exceptions()) {}
    Mutex* m_;
    int exceptions_at_entry_;
  };

  // Takes the lock, waiting as long as needed; poisoning is ignored here
  // (lock_or_recover is the logging form).
  Guard lock() NO_THREAD_SAFETY_ANALYSIS {
    mu_.lock();
    return Guard(this);
  }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  AnnotatedMutex mu_;
  std::atomic<bool> poisoned_{false};
  T value_ GUARDED_BY(mu_);
};

template <typename T>
class RwLock {
 public:
  template <typename... Args>
  explicit RwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  class ReadGuard {
   public:
    ReadGuard(ReadGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() NO_THREAD_SAFETY_ANALYSIS {
      if (l_) l_->mu_.unlock_shared();
    }
    const T& operator*() const NO_THREAD_SAFETY_ANALYSIS { return l_->value_; }
    const T* operator->() const NO_THREAD_SAFETY_ANALYSIS { return &l_->value_; }

   private:
    friend class RwLock;
    explicit ReadGuard(RwLock* l) : l_(l) {}
    RwLock* l_;
  };

  class WriteGuard {
   public:
    WriteGuard(WriteGuard&& o) noexcept
        : l_(std::exchange(o.l_, nullptr)), exceptions_at_entry_(o.exceptions_at_entry_) {}
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() NO_THREAD_SAFETY_ANALYSIS {
      if (!l_) return;
      if (std::uncaught_exceptions() > exceptions_at_entry_)
        l_->poisoned_.store(true, std::memory_order_release);
      l_->mu_.unlock();
    }
    T& operator*() const NO_THREAD_SAFETY_ANALYSIS { return l_->value_; }
    T* operator->() const NO_THREAD_SAFETY_ANALYSIS { return &l_->value_; }

   private:
    friend class RwLock;
    explicit WriteGuard(RwLock* l) : l_(l), exceptions_at_entry_(std::uncaught_exceptions()) {}
    RwLock* l_;
    int exceptions_at_entry_;
  };

  ReadGuard read() NO_THREAD_SAFETY_ANALYSIS {
    mu_.lock_shared();
    return ReadGuard(this);
  }
  WriteGuard write() NO_THREAD_SAFETY_ANALYSIS {
    mu_.lock();
    return WriteGuard(this);
  }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  AnnotatedSharedMutex mu_;
  std::atomic<bool> poisoned_{false};
  T value_ GUARDED_BY(mu_);
};

// The three acquisitions of the keep-working policy. None can fail.
template <typename T>
typename Mutex<T>::Guard lock_or_recover(
    Mutex<T>& m, const std::source_location& loc = std::source_location::current()) {
  auto g = m.lock();
  if (m.is_poisoned()) sync_detail::warn_poisoned(kMutexPoisonedText, loc);
  return g;
}

template <typename T>
typename RwLock<T>::ReadGuard read_or_recover(
    RwLock<T>& l, const std::source_location& loc = std::source_location::current()) {
  auto g = l.read();
  if (l.is_poisoned()) sync_detail::warn_poisoned(kRwLockPoisonedText, loc);
  return g;
}

template <typename T>
typename RwLock<T>::WriteGuard write_or_recover(
    RwLock<T>& l, const std::source_location& loc = std::source_location::current()) {
  auto g = l.write();
  if (l.is_poisoned()) sync_detail::warn_poisoned(kRwLockPoisonedText, loc);
  return g;
}

}  // namespace brenvik
