#include "bindings/future.h"

#include <stdexcept>
#include <utility>

namespace brenvik::ffi {

Future::~Future() {
  if (buffer_.data != nullptr && !check_buffer(buffer_)) release_buffer(buffer_);
}

void Future::wake(std::unique_lock<std::mutex>& lock) {
  auto cont = std::exchange(cont_, nullptr);
  uint64_t data = cont_data_;
  lock.unlock();
  if (cont) cont(data, 0);
}

void Future::resolve_scalar(uint64_t bits) {
  std::unique_lock lock(mu_);
  scalar_ = bits;
  ready_ = true;
  wake(lock);
}

void Future::resolve_buffer(ByteBuffer b) {
  std::unique_lock lock(mu_);
  buffer_ = b;
  ready_ = true;
  wake(lock);
}

void Future::poll(BrenvikFfiFutureContinuation cont, uint64_t data) {
  std::unique_lock lock(mu_);
  cont_ = cont;
  cont_data_ = data;
  if (ready_ || cancelled_) wake(lock);
}

void Future::cancel() {
  std::unique_lock lock(mu_);
  cancelled_ = true;
  wake(lock);
}

uint64_t Future::complete_scalar(BrenvikFfiCallStatus* status) {
  std::lock_guard lock(mu_);
  if (cancelled_) {
    if (status) status->code = 3;
    return 0;
  }
  return scalar_;
}

ByteBuffer Future::complete_buffer(BrenvikFfiCallStatus* status) {
  std::lock_guard lock(mu_);
  if (cancelled_) {
    if (status) status->code = 3;
    return null_buffer();
  }
  return std::exchange(buffer_, null_buffer());
}

uint64_t future_handle(Future* f) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(f));
}

Future* future_from(uint64_t handle) {
  if (handle == 0) throw std::invalid_argument("null future handle");
  return reinterpret_cast<Future*>(static_cast<uintptr_t>(handle));
}

}  // namespace brenvik::ffi
