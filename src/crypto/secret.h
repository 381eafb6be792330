// Containers for key material that wipe themselves when released.
//
// SecretArray<N> holds a fixed-size secret inline (no heap), SecretBytes a
// variable-size one on the heap. Both overwrite their contents with
// OPENSSL_cleanse before the storage is given back, on destruction, on
// assignment and on move-from. Neither type prints or converts implicitly to
// a string; comparisons are constant-time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "util/bytes.h"

namespace brenvik::crypto {

// Overwrites n bytes at p in a way the compiler cannot elide.
void secure_wipe(void* p, size_t n) noexcept;

// Constant-time equality of two byte strings. Different lengths compare
// unequal; the time depends only on the lengths.
bool ct_equal(ByteView a, ByteView b) noexcept;

template <size_t N>
class SecretArray {
 public:
  SecretArray() noexcept { bytes_.fill(0); }
  // Requires in.size() == N (checked by callers that take hostile input).
  explicit SecretArray(ByteView in) noexcept {
    bytes_.fill(0);
    if (in.size() == N) std::memcpy(bytes_.data(), in.data(), N);
  }
  SecretArray(const SecretArray&) noexcept = default;
  SecretArray& operator=(const SecretArray&) noexcept = default;
  ~SecretArray() { secure_wipe(bytes_.data(), N); }

  static constexpr size_t size() noexcept { return N; }
  uint8_t* data() noexcept { return bytes_.data(); }
  const uint8_t* data() const noexcept { return bytes_.data(); }
  ByteView view() const noexcept { return {bytes_.data(), N}; }
  std::span<uint8_t, N> span() noexcept { return std::span<uint8_t, N>(bytes_); }
  uint8_t& operator[](size_t i) noexcept { return bytes_[i]; }
  const uint8_t& operator[](size_t i) const noexcept { return bytes_[i]; }

  friend bool operator==(const SecretArray& a, const SecretArray& b) noexcept {
    return ct_equal(a.view(), b.view());
  }

 private:
  std::array<uint8_t, N> bytes_;
};

class SecretBytes {
 public:
  SecretBytes() noexcept = default;
  // A zero-filled secret of n bytes.
  explicit SecretBytes(size_t n);
  explicit SecretBytes(ByteView in);
  SecretBytes(const SecretBytes& o) : SecretBytes(o.view()) {}
  SecretBytes(SecretBytes&& o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr, o.n_ = 0; }
  SecretBytes& operator=(const SecretBytes& o);
  SecretBytes& operator=(SecretBytes&& o) noexcept;
  ~SecretBytes() { release(); }

  size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  uint8_t* data() noexcept { return p_; }
  const uint8_t* data() const noexcept { return p_; }
  ByteView view() const noexcept { return {p_, n_}; }
  std::span<uint8_t> span() noexcept { return {p_, n_}; }
  uint8_t& operator[](size_t i) noexcept { return p_[i]; }
  const uint8_t& operator[](size_t i) const noexcept { return p_[i]; }
  // Wipes and frees the contents; the secret becomes empty.
  void clear() noexcept { release(); }

  friend bool operator==(const SecretBytes& a, const SecretBytes& b) noexcept {
    return ct_equal(a.view(), b.view());
  }

 private:
  void release() noexcept;
  uint8_t* p_ = nullptr;
  size_t n_ = 0;
};

namespace testing_hooks {
// Called by SecretBytes after wiping and before freeing a buffer, with the
// buffer's address and size, so that tests can inspect the released memory.
// Pass nullptr to remove. Not thread-safe; for tests only.
using ReleaseObserver = void (*)(const uint8_t* p, size_t n);
void set_release_observer(ReleaseObserver fn) noexcept;
}  // namespace testing_hooks

}  // namespace brenvik::crypto
