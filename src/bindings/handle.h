// Reference-counted objects shared with the host by handle.
//
// A handle is an opaque 64-bit value that names a slot of the process-wide
// handle table: the slot's index in the low 32 bits and the slot's generation
// in the high 32. The slot keeps the object's address and, in one atomic word,
// the generation and the reference count; the library reaches an object only
// through its slot, so a freed, double-freed or made-up handle is refused
// (std::invalid_argument, status code 2 at the boundary) and never followed
// into memory. Releasing the last reference bumps the slot's generation before
// the object is destroyed, so every earlier handle of that slot goes stale at
// once. Clone adds one reference, release subtracts one; a count that reaches
// the largest u32 sticks there, so a runaway clone leaks the object instead of
// freeing it early.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace brenvik::ffi {

// The part of a boxed object the table sees: how to destroy it, and which type
// it is, so that a handle of one object type passed where another is expected
// is refused instead of reinterpreted.
struct HandleHeader {
  void (*destroy)(HandleHeader*) = nullptr;
  const void* type = nullptr;
};

// One tag per boxed type; its address identifies the type.
template <typename T>
inline constexpr char kHandleTypeTag = 0;

template <typename T>
struct HandleBox final : HandleHeader {
  template <typename... A>
  explicit HandleBox(A&&... args) : value(std::forward<A>(args)...) {
    destroy = [](HandleHeader* h) { delete static_cast<HandleBox*>(h); };
    type = &kHandleTypeTag<T>;
  }
  T value;
};

// Puts a new object into a free slot with one reference; returns its handle.
// Takes over `h` (destroyed here when the table is full, which then throws).
uint64_t handle_register(HandleHeader* h);
// Adds one reference; returns the handle unchanged. Throws std::invalid_argument
// for a null, released or unknown handle.
uint64_t handle_clone(uint64_t handle);
// Drops one reference; destroys the object when it was the last. Throws like
// handle_clone, without touching anything, for a handle that is not live.
void handle_release(uint64_t handle);
// The object of a live handle, without a count change; throws like handle_clone.
// The result stays valid while the caller holds a reference.
HandleHeader* handle_resolve(uint64_t handle);
// The current count (for diagnostics and tests); throws like handle_clone.
int64_t handle_count(uint64_t handle);
// The text of a refused handle.
std::string invalid_handle_message(uint64_t handle);

// One counted reference to a T, owned by the holder. Move-only. T may be
// incomplete where a Ref is only moved, adopted or released.
template <typename T>
class Ref {
 public:
  Ref() = default;
  template <typename... A>
  static Ref make(A&&... args) {
    Ref r;
    auto* box = new HandleBox<T>(std::forward<A>(args)...);
    r.handle_ = handle_register(box);
    r.h_ = box;
    return r;
  }
  // Takes over the reference a handle stands for (no count change). Throws
  // std::invalid_argument when the handle is not live.
  static Ref adopt(uint64_t handle) {
    Ref r;
    r.h_ = handle_resolve(handle);
    r.handle_ = handle;
    return r;
  }
  // Like adopt, but an empty Ref for a handle that is not live, so that a
  // wrapper takes every argument before it refuses any (see require_live).
  static Ref try_adopt(uint64_t handle) noexcept {
    Ref r;
    try {
      r.h_ = handle_resolve(handle);
      r.handle_ = handle;
    } catch (...) {
    }
    return r;
  }
  Ref(Ref&& o) noexcept : handle_(std::exchange(o.handle_, 0)), h_(std::exchange(o.h_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      reset();
      handle_ = std::exchange(o.handle_, 0);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  // A second reference to the same object.
  Ref clone() const { return adopt(handle_clone(handle_)); }
  // Gives the reference to the host as a handle.
  uint64_t into_handle() {
    h_ = nullptr;
    return std::exchange(handle_, 0);
  }
  uint64_t handle() const { return handle_; }
  explicit operator bool() const { return h_ != nullptr; }

  // The object; throws std::invalid_argument when the handle names an object of
  // another type.
  T& operator*() const {
    if (h_->type != &kHandleTypeTag<T>)
      throw std::invalid_argument("object handle " + std::to_string(handle_) +
                                  " names an object of another type");
    return static_cast<HandleBox<T>*>(h_)->value;
  }
  T* operator->() const { return &**this; }

  void reset() {
    h_ = nullptr;
    if (uint64_t h = std::exchange(handle_, 0)) handle_release(h);
  }

 private:
  uint64_t handle_ = 0;
  HandleHeader* h_ = nullptr;
};

// Throws the refusal of `handle` when `r` did not take it.
template <typename T>
void require_live(const Ref<T>& r, uint64_t handle) {
  if (!r) throw std::invalid_argument(invalid_handle_message(handle));
}

}  // namespace brenvik::ffi
