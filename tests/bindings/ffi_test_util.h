// Helpers that play the host's part in tests: buffers made through the buffer
// exports, fresh statuses, and readers of what the library hands back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brenvik_ffi.h"
#include "util/bytes.h"

namespace brenvik::ffi::testing {

inline BrenvikFfiCallStatus fresh_status() {
  return BrenvikFfiCallStatus{0, {0, 0, nullptr}};
}

inline BrenvikFfiByteBuffer host_buffer(const Bytes& bytes) {
  BrenvikFfiCallStatus st = fresh_status();
  BrenvikFfiHostBytes hb{static_cast<int32_t>(bytes.size()), bytes.data()};
  return brenvik_ffi_buffer_from_bytes(hb, &st);
}
inline BrenvikFfiByteBuffer host_buffer(std::string_view text) {
  return host_buffer(to_bytes(text));
}

// Takes the bytes of a buffer the library returned and frees it.
inline Bytes take(BrenvikFfiByteBuffer b) {
  Bytes out = b.data ? Bytes(b.data, b.data + b.len) : Bytes{};
  BrenvikFfiCallStatus st = fresh_status();
  brenvik_ffi_buffer_free(b, &st);
  return out;
}
inline std::string take_text(BrenvikFfiByteBuffer b) {
  return to_string(take(b));
}

// The error text of a status with code 2 (raw UTF-8), freeing its buffer.
inline std::string take_error_text(BrenvikFfiCallStatus& st) {
  return take_text(st.error_buf);
}

inline Bytes be32(int32_t v) {
  Bytes b;
  put_u32_be(b, static_cast<uint32_t>(v));
  return b;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) append(out, p);
  return out;
}
inline Bytes str_field(std::string_view s) {
  return cat({be32(int32_t(s.size())), to_bytes(s)});
}

}  // namespace brenvik::ffi::testing
