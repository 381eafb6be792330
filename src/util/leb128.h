// LEB128 varints (unsigned and signed) and zigzag mapping, as used by the
// compact wire frame and the document engine's encodings.
#pragma once

#include <cstdint>

#include "util/bytes.h"
#include "util/codec_error.h"
#include "util/result.h"

namespace brenvik {

constexpr uint64_t zigzag_encode(int64_t v) { return (uint64_t(v) << 1) ^ uint64_t(v >> 63); }
constexpr int64_t zigzag_decode(uint64_t v) { return int64_t(v >> 1) ^ -int64_t(v & 1); }

void leb128_put_u64(Bytes& out, uint64_t v);
void leb128_put_i64(Bytes& out, int64_t v);

// Reads a value starting at data[pos] and advances pos past it. At most 10
// bytes are read; a value above 64 bits is Overflow, running off the end is
// Truncated. Overlong forms (redundant trailing 0x80 groups) are accepted, as
// decoders of this format conventionally do; callers that need canonical input
// re-encode and compare.
Result<uint64_t, CodecError> leb128_get_u64(ByteView data, size_t& pos);
Result<int64_t, CodecError> leb128_get_i64(ByteView data, size_t& pos);

// Fast path used by hot decoders: inline single-byte case.
inline Result<uint64_t, CodecError> leb128_read_u64(ByteView data, size_t& pos) {
  if (pos < data.size() && data[pos] < 0x80) return uint64_t(data[pos++]);
  return leb128_get_u64(data, pos);
}

}  // namespace brenvik
