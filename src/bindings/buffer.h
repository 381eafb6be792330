// The library's side of BrenvikFfiByteBuffer: allocation, release, invariant
// checks, and the guard that owns an argument buffer for the length of a call.
//
// Every buffer the host ever sees was allocated here, so that
// brenvik_ffi_buffer_free can release it with the matching allocator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "brenvik_ffi.h"
#include "util/bytes.h"

namespace brenvik::ffi {

using ByteBuffer = BrenvikFfiByteBuffer;

// The empty buffer the library makes: capacity 0, len 0, and a non-null data
// pointer that must not be read.
ByteBuffer empty_buffer();
// The zero value of a buffer result: {0, 0, null}.
inline ByteBuffer null_buffer() {
  return ByteBuffer{0, 0, nullptr};
}

// A buffer of `size` zero bytes. Size 0 gives the empty buffer.
ByteBuffer alloc_buffer(uint64_t size);
// A new buffer holding a copy of `bytes` (capacity = len = size).
ByteBuffer buffer_from(ByteView bytes);
inline ByteBuffer buffer_from(std::string_view text) {
  return buffer_from(as_bytes(text));
}

// Describes the first broken invariant of `b`, or nothing when it is sound.
std::optional<std::string> check_buffer(const ByteBuffer& b);

// Releases the storage of a sound buffer; nothing to do when capacity is 0.
// Requires check_buffer(b) to be empty.
void release_buffer(const ByteBuffer& b);

// A buffer argument that belongs to the library from the moment of the call;
// released on every path when the guard goes out of scope.
class ArgBuffer {
 public:
  explicit ArgBuffer(ByteBuffer b) noexcept : b_(b) {}
  ~ArgBuffer();
  ArgBuffer(const ArgBuffer&) = delete;
  ArgBuffer& operator=(const ArgBuffer&) = delete;

  const ByteBuffer& raw() const { return b_; }
  // The bytes in use. Requires check_buffer(raw()) to be empty.
  ByteView view() const { return {b_.data, static_cast<size_t>(b_.data ? b_.len : 0)}; }

 private:
  ByteBuffer b_;
};

}  // namespace brenvik::ffi
