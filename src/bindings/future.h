// The generic future behind the future exports. No method of this library hands
// one out (every call is synchronous), but the exports must exist and behave
// for a future that could: poll stores the continuation and calls it with
// (data, 0) once the result is ready; cancel marks it and wakes the
// continuation; complete hands out the result or code 3; free releases it.
#pragma once

#include <cstdint>
#include <mutex>

#include "bindings/buffer.h"

namespace brenvik::ffi {

class Future {
 public:
  Future() = default;
  ~Future();
  Future(const Future&) = delete;
  Future& operator=(const Future&) = delete;

  // Stores the outcome and wakes a waiting continuation. A buffer result
  // belongs to the future until complete hands it out.
  void resolve_scalar(uint64_t bits);
  void resolve_buffer(ByteBuffer b);
  void resolve_void() { resolve_scalar(0); }

  void poll(BrenvikFfiFutureContinuation cont, uint64_t data);
  void cancel();
  // Copies the outcome into `status` (code 3 when cancelled) and returns the
  // raw result; the buffer, when there is one, passes to the caller.
  uint64_t complete_scalar(BrenvikFfiCallStatus* status);
  ByteBuffer complete_buffer(BrenvikFfiCallStatus* status);

 private:
  void wake(std::unique_lock<std::mutex>& lock);
  std::mutex mu_;
  bool ready_ = false;
  bool cancelled_ = false;
  BrenvikFfiFutureContinuation cont_ = nullptr;
  uint64_t cont_data_ = 0;
  uint64_t scalar_ = 0;
  ByteBuffer buffer_{0, 0, nullptr};
};

// A future handle is the address of a Future made with new.
uint64_t future_handle(Future* f);
Future* future_from(uint64_t handle);

}  // namespace brenvik::ffi
