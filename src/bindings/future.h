// The generic future behind the future exports. No method of this library hands
// one out (every call is synchronous), but the exports must exist and behave
// for a future that could: poll stores the continuation and calls it with
// (data, 0) once the result is ready; cancel marks it and wakes the
// continuation; complete hands out the result or code 3; free releases it.
#pragma once

#include <cstdint>

#include "bindings/buffer.h"
#include "util/thread_annotations.h"

namespace brenvik::ffi {

class Future {
 public:
  Future() = default;
  ~Future();
  Future(const Future&) = delete;
  Future& operator=(const Future&) = delete;

  // Stores the outcome and wakes a waiting continuation. A buffer result
  // belongs to the future until complete hands it out.
  void resolve_scalar(uint64_t bits) EXCLUDES(mu_);
  void resolve_buffer(ByteBuffer b) EXCLUDES(mu_);
  void resolve_void() EXCLUDES(mu_) { resolve_scalar(0); }

  void poll(BrenvikFfiFutureContinuation cont, uint64_t data) EXCLUDES(mu_);
  void cancel() EXCLUDES(mu_);
  // Copies the outcome into `status` (code 3 when cancelled) and returns the
  // raw result; the buffer, when there is one, passes to the caller.
  uint64_t complete_scalar(BrenvikFfiCallStatus* status) EXCLUDES(mu_);
  ByteBuffer complete_buffer(BrenvikFfiCallStatus* status) EXCLUDES(mu_);

 private:
  // Takes the continuation, unlocks, then calls it outside the lock.
  void wake() RELEASE(mu_);
  AnnotatedMutex mu_;
  bool ready_ GUARDED_BY(mu_) = false;
  bool cancelled_ GUARDED_BY(mu_) = false;
  BrenvikFfiFutureContinuation cont_ GUARDED_BY(mu_) = nullptr;
  uint64_t cont_data_ GUARDED_BY(mu_) = 0;
  uint64_t scalar_ GUARDED_BY(mu_) = 0;
  ByteBuffer buffer_ GUARDED_BY(mu_){0, 0, nullptr};
};

// A future handle is the address of a Future made with new.
uint64_t future_handle(Future* f);
Future* future_from(uint64_t handle);

}  // namespace brenvik::ffi
