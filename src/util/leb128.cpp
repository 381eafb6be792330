#include "util/leb128.h"

namespace brenvik {

void leb128_put_u64(Bytes& out, uint64_t v) {
  uint8_t buf[10];
  out.insert(out.end(), buf, leb128_store_unsigned(buf, v));
}

void leb128_put_i64(Bytes& out, int64_t v) {
  uint8_t buf[10];
  out.insert(out.end(), buf, leb128_store_i64(buf, v));
}

Result<uint64_t, CodecError> leb128_get_u64(ByteView data, size_t& pos) {
  uint64_t result = 0;
  for (unsigned shift = 0, i = 0; i < 10; ++i, shift += 7) {
    if (pos >= data.size()) return Err(CodecError::Truncated);
    uint8_t byte = data[pos++];
    uint64_t part = byte & 0x7F;
    if (i == 9 && part > 1) return Err(CodecError::Overflow);
    result |= part << shift;
    if (!(byte & 0x80)) return result;
  }
  return Err(CodecError::Overflow);
}

Result<int64_t, CodecError> leb128_get_i64(ByteView data, size_t& pos) {
  int64_t result = 0;
  unsigned shift = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (pos >= data.size()) return Err(CodecError::Truncated);
    uint8_t byte = data[pos++];
    if (i == 9) {
      // The tenth byte holds only bit 63: it must be a pure sign extension.
      if (byte != 0x00 && byte != 0x7F) return Err(CodecError::Overflow);
      result |= int64_t(uint64_t(byte & 1) << 63);
      return result;
    }
    result |= int64_t(uint64_t(byte & 0x7F) << shift);
    shift += 7;
    if (!(byte & 0x80)) {
      if (shift < 64 && (byte & 0x40)) result |= int64_t(~uint64_t(0) << shift);
      return result;
    }
  }
  return Err(CodecError::Overflow);
}

Result<void, CodecError> leb128_get_u64_many(ByteView data, size_t& pos, std::span<uint64_t> out) {
  const uint8_t* p = data.data();
  const size_t n = data.size();
  const size_t want = out.size();
  size_t k = 0;
  while (k < want) {
    if (pos <= n && n - pos >= 8) {
      const uint64_t w = load_u64_le(p + pos);
      uint64_t stops = ~w & 0x8080808080808080ull;
      if (stops == 0x8080808080808080ull && want - k >= 8) {
        // Eight one-byte values.
        for (unsigned i = 0; i < 8; ++i) out[k + i] = (w >> (8 * i)) & 0x7f;
        k += 8;
        pos += 8;
        continue;
      }
      if (stops != 0) {
        // Every terminating byte in the word ends one value.
        unsigned start = 0;
        do {
          const unsigned end = unsigned(__builtin_ctzll(stops) >> 3) + 1;
          out[k++] = leb128_detail::gather7(w >> (8 * start), end - start);
          start = end;
          stops &= stops - 1;
        } while (stops != 0 && k < want);
        pos += start;
        continue;
      }
    }
    auto r = leb128_get_u64(data, pos);
    if (!r.ok()) return Err(r.error());
    out[k++] = *r;
  }
  return {};
}

}  // namespace brenvik
