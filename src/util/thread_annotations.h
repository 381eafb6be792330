// Lock discipline the compiler can check: Clang's thread-safety attributes
// as macros (empty for other compilers), and mutexes and scoped locks that
// carry them, so that a member marked GUARDED_BY(mu_) cannot be touched
// without mu_ held, and a function marked REQUIRES(mu_) cannot be called
// without it. `make test` runs the check (scripts/check_thread_safety.py).
//
//   class Queue {
//     void push(int v) EXCLUDES(mu_) { MutexLock l(mu_); items_.push_back(v); }
//     AnnotatedMutex mu_;
//     std::vector<int> items_ GUARDED_BY(mu_);
//   };
//
// The owning wrappers of util/sync.h (Mutex<T>, RwLock<T>) keep their value
// GUARDED_BY their mutex; their guards hand the value out and are the proof
// that the lock is held, which the analysis cannot follow through a returned
// object, so those few accessors are exempt from it.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define BRENVIK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BRENVIK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BRENVIK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BRENVIK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BRENVIK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) BRENVIK_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) BRENVIK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) BRENVIK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) BRENVIK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) BRENVIK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) BRENVIK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) BRENVIK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) BRENVIK_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define EXCLUDES(...) BRENVIK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS BRENVIK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace brenvik {

// std::mutex with the capability attribute.
class CAPABILITY("mutex") AnnotatedMutex {
 public:
  AnnotatedMutex() = default;
  AnnotatedMutex(const AnnotatedMutex&) = delete;
  AnnotatedMutex& operator=(const AnnotatedMutex&) = delete;
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// std::shared_mutex with the capability attribute.
class CAPABILITY("shared mutex") AnnotatedSharedMutex {
 public:
  AnnotatedSharedMutex() = default;
  AnnotatedSharedMutex(const AnnotatedSharedMutex&) = delete;
  AnnotatedSharedMutex& operator=(const AnnotatedSharedMutex&) = delete;
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds a mutex (or a shared mutex exclusively) for its scope.
template <typename M>
class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~ScopedLock() RELEASE() { m_.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  M& m_;
};
using MutexLock = ScopedLock<AnnotatedMutex>;
using WriterLock = ScopedLock<AnnotatedSharedMutex>;

// Holds a shared mutex in shared mode for its scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(AnnotatedSharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~ReaderLock() RELEASE() { m_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  AnnotatedSharedMutex& m_;
};

}  // namespace brenvik
