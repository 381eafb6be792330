#include "bindings/future.h"

#include <stdexcept>
#include <utility>

namespace brenvik::ffi {

Future::~Future() {
  if (buffer_.data != nullptr && !check_buffer(buffer_)) release_buffer(buffer_);
}

void Future::wake() {
  auto cont = std::exchange(cont_, nullptr);
  uint64_t data = cont_data_;
  mu_.unlock();
  if (cont) cont(data, 0);
}

void Future::resolve_scalar(uint64_t bits) {
  mu_.lock();
  scalar_ = bits;
  ready_ = true;
  wake();
}

void Future::resolve_buffer(ByteBuffer b) {
  mu_.lock();
  buffer_ = b;
  ready_ = true;
  wake();
}

void Future::poll(BrenvikFfiFutureContinuation cont, uint64_t data) {
  mu_.lock();
  cont_ = cont;
  cont_data_ = data;
  if (ready_ || cancelled_) {
    wake();
    return;
  }
  mu_.unlock();
}

void Future::cancel() {
  mu_.lock();
  cancelled_ = true;
  wake();
}

uint64_t Future::complete_scalar(BrenvikFfiCallStatus* status) {
  MutexLock lock(mu_);
  if (cancelled_) {
    if (status) status->code = 3;
    return 0;
  }
  return scalar_;
}

ByteBuffer Future::complete_buffer(BrenvikFfiCallStatus* status) {
  MutexLock lock(mu_);
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
