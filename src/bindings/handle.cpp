#include "bindings/handle.h"

#include <limits>

namespace brenvik::ffi {
namespace {
constexpr int64_t kStuck = std::numeric_limits<int64_t>::max();

HandleHeader* header(uint64_t handle) {
  if (handle == 0) throw std::invalid_argument("null object handle");
  return reinterpret_cast<HandleHeader*>(static_cast<uintptr_t>(handle));
}
}  // namespace

uint64_t handle_clone(uint64_t handle) {
  HandleHeader* h = header(handle);
  int64_t c = h->count.load(std::memory_order_relaxed);
  while (c != kStuck && !h->count.compare_exchange_weak(c, c + 1, std::memory_order_relaxed)) {
  }
  return handle;
}

void handle_release(uint64_t handle) {
  HandleHeader* h = header(handle);
  int64_t c = h->count.load(std::memory_order_relaxed);
  do {
    if (c == kStuck) return;
  } while (!h->count.compare_exchange_weak(c, c - 1, std::memory_order_release,
                                           std::memory_order_relaxed));
  if (c == 1) {
    std::atomic_thread_fence(std::memory_order_acquire);
    h->destroy(h);
  }
}

int64_t handle_count(uint64_t handle) {
  return header(handle)->count.load(std::memory_order_acquire);
}

}  // namespace brenvik::ffi
