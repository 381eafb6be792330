// SharedBytes: an immutable byte string shared by reference count.
//
// Keys and values of the key/value store are handed around without copying
// the bytes: a copy of a SharedBytes adds a reference to the buffer that owns
// them. A SharedBytes may view part of a larger buffer (a value inside a
// decoded block, a key inside a table file); the view keeps the whole buffer
// alive.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "util/bytes.h"

namespace kesu {

using brenvik::Bytes;
using brenvik::ByteView;

// Unsigned-byte lexicographic order; a proper prefix sorts first.
inline int compare_bytes(ByteView a, ByteView b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  if (n != 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

class SharedBytes {
 public:
  SharedBytes() = default;

  // Copies the bytes into a new buffer (one allocation; none when empty).
  static SharedBytes copy_of(ByteView v) {
    if (v.empty()) return {};
    auto buf = std::make_shared_for_overwrite<uint8_t[]>(v.size());
    std::memcpy(buf.get(), v.data(), v.size());
    const uint8_t* p = buf.get();
    return SharedBytes(std::shared_ptr<const void>(std::move(buf), p), p, v.size());
  }
  static SharedBytes copy_of(std::string_view s) { return copy_of(brenvik::as_bytes(s)); }

  // Takes ownership of a vector without copying its bytes.
  static SharedBytes from_vector(Bytes&& b) {
    if (b.empty()) return {};
    auto owner = std::make_shared<const Bytes>(std::move(b));
    const uint8_t* p = owner->data();
    const size_t n = owner->size();
    return SharedBytes(std::move(owner), p, n);
  }

  // A view of [p, p + n) kept alive by `owner`.
  SharedBytes(std::shared_ptr<const void> owner, const uint8_t* p, size_t n)
      : owner_(std::move(owner)), data_(p), size_(n) {}

  // Requires off + len <= size(). Shares the buffer.
  SharedBytes slice(size_t off, size_t len) const {
    if (len == 0) return {};
    return SharedBytes(owner_, data_ + off, len);
  }

  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  ByteView view() const noexcept { return {data_, size_}; }
  operator ByteView() const noexcept { return view(); }  // NOLINT: implicit by design
  uint8_t operator[](size_t i) const { return data_[i]; }
  std::string_view as_chars() const { return brenvik::as_chars(view()); }
  Bytes to_vector() const { return Bytes(data_, data_ + size_); }

  friend bool operator==(const SharedBytes& a, const SharedBytes& b) {
    return compare_bytes(a, b) == 0;
  }
  friend std::strong_ordering operator<=>(const SharedBytes& a, const SharedBytes& b) {
    return compare_bytes(a, b) <=> 0;
  }

 private:
  std::shared_ptr<const void> owner_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Transparent key order for ordered containers of SharedBytes or Bytes,
// allowing lookups by ByteView.
struct BytesLess {
  using is_transparent = void;
  bool operator()(ByteView a, ByteView b) const { return compare_bytes(a, b) < 0; }
  bool operator()(const SharedBytes& a, const SharedBytes& b) const {
    return compare_bytes(a, b) < 0;
  }
  bool operator()(const SharedBytes& a, ByteView b) const { return compare_bytes(a, b) < 0; }
  bool operator()(ByteView a, const SharedBytes& b) const { return compare_bytes(a, b) < 0; }
  bool operator()(const Bytes& a, const Bytes& b) const { return compare_bytes(a, b) < 0; }
  bool operator()(const Bytes& a, ByteView b) const { return compare_bytes(a, b) < 0; }
  bool operator()(ByteView a, const Bytes& b) const { return compare_bytes(a, b) < 0; }
};

}  // namespace kesu
