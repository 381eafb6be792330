#include "bindings/buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace brenvik::ffi {
namespace {
// Backing address of every empty buffer; never written, never freed.
uint8_t g_empty_byte = 0;
}  // namespace

ByteBuffer empty_buffer() {
  return ByteBuffer{0, 0, &g_empty_byte};
}

ByteBuffer alloc_buffer(uint64_t size) {
  if (size == 0) return empty_buffer();
  void* p = std::calloc(static_cast<size_t>(size), 1);
  if (!p) throw std::bad_alloc();
  return ByteBuffer{size, size, static_cast<uint8_t*>(p)};
}

ByteBuffer buffer_from(ByteView bytes) {
  ByteBuffer b = alloc_buffer(bytes.size());
  if (!bytes.empty()) std::memcpy(b.data, bytes.data(), bytes.size());
  return b;
}

std::optional<std::string> check_buffer(const ByteBuffer& b) {
  if (b.data == nullptr) {
    if (b.capacity != 0) return "null ByteBuffer with non-zero capacity";
    if (b.len != 0) return "null ByteBuffer with non-zero length";
    return std::nullopt;
  }
  if (b.len > b.capacity) return "ByteBuffer length exceeds its capacity";
  return std::nullopt;
}

void release_buffer(const ByteBuffer& b) {
  if (b.data != nullptr && b.capacity != 0) std::free(b.data);
}

ArgBuffer::~ArgBuffer() {
  // Every argument buffer came from this library's allocator, whatever its
  // length says: one whose length exceeds its capacity is refused by the
  // conversion but still released here, since the allocator needs no size.
  if (b_.data != nullptr && b_.capacity != 0) std::free(b_.data);
}

}  // namespace brenvik::ffi
