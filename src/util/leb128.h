// LEB128 varints (unsigned and signed) and zigzag mapping, as used by the
// compact wire frame and the document engine's encodings.
#pragma once

#include <cstdint>
#include <span>

#include "util/bytes.h"
#include "util/codec_error.h"
#include "util/result.h"

namespace brenvik {

constexpr uint64_t zigzag_encode(int64_t v) {
  return (uint64_t(v) << 1) ^ uint64_t(v >> 63);
}
constexpr int64_t zigzag_decode(uint64_t v) {
  return int64_t(v >> 1) ^ -int64_t(v & 1);
}

// Stores v at p, which has room for the longest form (10 bytes for 64-bit
// values, 19 for 128-bit ones), and returns the end of what was stored. Every
// LEB128 writer of the tree goes through these two.
template <typename Unsigned>
inline uint8_t* leb128_store_unsigned(uint8_t* p, Unsigned v) {
  while (v >= 0x80) {
    *p++ = uint8_t(v) | 0x80;
    v >>= 7;
  }
  *p++ = uint8_t(v);
  return p;
}
inline uint8_t* leb128_store_i64(uint8_t* p, int64_t v) {
  for (;;) {
    uint8_t byte = uint8_t(v) & 0x7F;
    v >>= 7;  // arithmetic shift keeps the sign
    if ((v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40))) {
      *p++ = byte;
      return p;
    }
    *p++ = byte | 0x80;
  }
}

void leb128_put_u64(Bytes& out, uint64_t v);
void leb128_put_i64(Bytes& out, int64_t v);

// Reads a value starting at data[pos] and advances pos past it. At most 10
// bytes are read; a value above 64 bits is Overflow, running off the end is
// Truncated. Overlong forms (redundant trailing 0x80 groups) are accepted, as
// decoders of this format conventionally do; callers that need canonical input
// re-encode and compare.
Result<uint64_t, CodecError> leb128_get_u64(ByteView data, size_t& pos);
Result<int64_t, CodecError> leb128_get_i64(ByteView data, size_t& pos);

namespace leb128_detail {
// Gathers the 7-bit groups of the low `len` bytes of `w` (1 <= len <= 8)
// into one value.
inline uint64_t gather7(uint64_t w, unsigned len) {
  uint64_t x =
      w & (len == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * len)) - 1) & 0x7f7f7f7f7f7f7f7full;
  x = ((x & 0x7f007f007f007f00ull) >> 1) | (x & 0x007f007f007f007full);
  x = ((x & 0x3fff00003fff0000ull) >> 2) | (x & 0x00003fff00003fffull);
  x = ((x & 0x0fffffff00000000ull) >> 4) | (x & 0x000000000fffffffull);
  return x;
}
}  // namespace leb128_detail

// Fast path used by hot decoders: with eight readable bytes, values of up to
// eight bytes (56 bits) are decoded from one load without a loop; anything
// else takes leb128_get_u64. Same results and errors as leb128_get_u64.
inline Result<uint64_t, CodecError> leb128_read_u64(ByteView data, size_t& pos) {
  if (pos < data.size() && data.size() - pos >= 8) {
    const uint64_t w = load_u64_le(data.data() + pos);
    const uint64_t stops = ~w & 0x8080808080808080ull;
    if (stops != 0) {
      const unsigned len = unsigned(__builtin_ctzll(stops) >> 3) + 1;
      pos += len;
      return leb128_detail::gather7(w, len);
    }
  } else if (pos < data.size() && data[pos] < 0x80) {
    return uint64_t(data[pos++]);
  }
  return leb128_get_u64(data, pos);
}

// Decodes exactly out.size() consecutive unsigned values starting at
// data[pos] and advances pos past them. Several short values are taken from
// each 8-byte load, so runs of small values decode much faster than one call
// per value. On error (as leb128_get_u64) the contents of `out` and `pos`
// are unspecified.
Result<void, CodecError> leb128_get_u64_many(ByteView data, size_t& pos, std::span<uint64_t> out);

}  // namespace brenvik
