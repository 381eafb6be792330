// Reference-counted objects shared with the host by handle.
//
// A handle is the address of the object's HandleHeader. The count lives with
// the object: clone adds one, release subtracts one and the release that takes
// it to zero destroys the object. A count that reaches the largest i64 sticks
// there, so a runaway clone leaks the object instead of freeing it early.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace brenvik::ffi {

struct HandleHeader {
  std::atomic<int64_t> count{1};
  void (*destroy)(HandleHeader*) = nullptr;
};

template <typename T>
struct HandleBox final : HandleHeader {
  template <typename... A>
  explicit HandleBox(A&&... args) : value(std::forward<A>(args)...) {
    destroy = [](HandleHeader* h) { delete static_cast<HandleBox*>(h); };
  }
  T value;
};

// Adds one reference; returns the handle unchanged.
uint64_t handle_clone(uint64_t handle);
// Drops one reference; destroys the object when it was the last.
void handle_release(uint64_t handle);
// The current count (for diagnostics and tests).
int64_t handle_count(uint64_t handle);

// One counted reference to a T, owned by the holder. Move-only. T may be
// incomplete where a Ref is only moved, adopted or released.
template <typename T>
class Ref {
 public:
  Ref() = default;
  template <typename... A>
  static Ref make(A&&... args) {
    Ref r;
    r.h_ = new HandleBox<T>(std::forward<A>(args)...);
    return r;
  }
  // Takes over the reference a handle stands for (no count change).
  static Ref adopt(uint64_t handle) {
    if (handle == 0) throw std::invalid_argument("null object handle");
    Ref r;
    r.h_ = reinterpret_cast<HandleHeader*>(static_cast<uintptr_t>(handle));
    return r;
  }
  Ref(Ref&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  // A second reference to the same object.
  Ref clone() const { return adopt(handle_clone(handle())); }
  // Gives the reference to the host as a handle.
  uint64_t into_handle() {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(std::exchange(h_, nullptr)));
  }
  uint64_t handle() const { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h_)); }
  explicit operator bool() const { return h_ != nullptr; }

  T& operator*() const { return static_cast<HandleBox<T>*>(h_)->value; }
  T* operator->() const { return &**this; }

  void reset() {
    if (h_)
      handle_release(
          static_cast<uint64_t>(reinterpret_cast<uintptr_t>(std::exchange(h_, nullptr))));
  }

 private:
  HandleHeader* h_ = nullptr;
};

}  // namespace brenvik::ffi
