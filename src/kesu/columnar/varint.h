// The engine's compact serializer: LEB128 and zigzag varints of 32, 64 and
// 128 bits, signed LEB128, fixed-width floats, booleans, options, byte and
// text strings. Writers append to a growable buffer and cannot fail; readers
// work on a bounded cursor and report one of the serializer's error kinds.
//
// The 64-bit unsigned and signed LEB128 forms are those of util/leb128.h and
// are read and written through it. The 32-bit and 128-bit widths differ from
// it in their length limits (5 bytes with a last byte of at most 0x0F; 19
// bytes with a last byte of at most 0x03), so they have their own loops here.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/leb128.h"
#include "util/result.h"
#include "util/utf8.h"

namespace kesu {

using brenvik::Bytes;
using brenvik::ByteView;
using brenvik::Err;
using brenvik::Result;

using i128 = __int128;
using u128 = unsigned __int128;

enum class SerdeErrorKind {
  UnexpectedEnd,      // input ended inside a value
  BadVarint,          // last permitted varint byte has bit 7 set or exceeds its limit
  BadBool,            // boolean byte neither 0 nor 1
  BadOption,          // option tag neither 0 nor 1
  BadUtf8,            // text is not valid UTF-8
  CustomSerialize,    // a record's own serialization step failed
  CustomDeserialize,  // a record's own deserialization step refused the data
};

// An error of the compact serializer. `detail` carries the text of the
// custom kinds (and an optional precision for the others).
struct SerdeError {
  SerdeErrorKind kind;
  std::string detail;

  SerdeError(SerdeErrorKind k) : kind(k) {}  // NOLINT: implicit by design
  SerdeError(SerdeErrorKind k, std::string d) : kind(k), detail(std::move(d)) {}

  // The description of the kind, followed by the detail when there is one.
  std::string message() const;
  // "Kind" or "Kind(\"detail\")".
  std::string debug() const;
  bool operator==(const SerdeError&) const = default;
};

template <typename T>
using SerdeResult = Result<T, SerdeError>;

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
using brenvik::is_valid_utf8;

// ---- writers -------------------------------------------------------------

inline void write_u8(Bytes& out, uint8_t v) {
  out.push_back(v);
}
inline void write_bool(Bytes& out, bool v) {
  out.push_back(v ? 1 : 0);
}
inline void write_uvarint(Bytes& out, uint64_t v) {
  brenvik::leb128_put_u64(out, v);
}
inline void write_uvarint32(Bytes& out, uint32_t v) {
  brenvik::leb128_put_u64(out, v);
}
void write_uvarint128(Bytes& out, u128 v);

constexpr uint32_t zigzag32(int32_t v) {
  return (uint32_t(v) << 1) ^ uint32_t(v >> 31);
}
constexpr int32_t unzigzag32(uint32_t u) {
  return int32_t(u >> 1) ^ -int32_t(u & 1);
}
constexpr u128 zigzag128(i128 v) {
  return (u128(v) << 1) ^ u128(v >> 127);
}
constexpr i128 unzigzag128(u128 u) {
  return i128(u >> 1) ^ -i128(u & 1);
}

inline void write_ivarint32(Bytes& out, int32_t v) {
  write_uvarint32(out, zigzag32(v));
}
inline void write_ivarint(Bytes& out, int64_t v) {
  write_uvarint(out, brenvik::zigzag_encode(v));
}
inline void write_ivarint128(Bytes& out, i128 v) {
  write_uvarint128(out, zigzag128(v));
}
inline void write_sleb128(Bytes& out, int64_t v) {
  brenvik::leb128_put_i64(out, v);
}

void write_f64_le(Bytes& out, double v);
void write_f64_be(Bytes& out, double v);
// LEB128 length, then the bytes.
void write_bytes(Bytes& out, ByteView b);
inline void write_str(Bytes& out, std::string_view s) {
  write_bytes(out, brenvik::as_bytes(s));
}

// ---- reader --------------------------------------------------------------

// A cursor over a byte slice. Reads never look past the end; a failed read
// leaves the cursor somewhere inside the bytes it examined, and callers treat
// any error as the end of the whole decode.
class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(ByteView data) : data_(data) {}

  size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ >= data_.size(); }
  size_t position() const { return pos_; }
  // The unread bytes; valid as long as the underlying buffer.
  ByteView rest() const { return data_.subspan(pos_); }
  ByteView data() const { return data_; }
  void skip_to(size_t pos) { pos_ = pos < data_.size() ? pos : data_.size(); }

  SerdeResult<uint8_t> read_u8() {
    if (pos_ >= data_.size()) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
    return data_[pos_++];
  }
  SerdeResult<bool> read_bool();
  // Reads an option tag: false for absent (0x00), true for present (0x01).
  SerdeResult<bool> read_option_tag();

  SerdeResult<uint64_t> read_uvarint() {
    if (pos_ < data_.size() && data_[pos_] < 0x80) return uint64_t(data_[pos_++]);
    return read_uvarint_slow();
  }
  SerdeResult<uint32_t> read_uvarint32() {
    if (pos_ < data_.size() && data_[pos_] < 0x80) return uint32_t(data_[pos_++]);
    return read_uvarint32_slow();
  }
  SerdeResult<u128> read_uvarint128();
  SerdeResult<int64_t> read_ivarint() {
    if (pos_ < data_.size() && data_[pos_] < 0x80) return brenvik::zigzag_decode(data_[pos_++]);
    auto r = read_uvarint_slow();
    if (!r.ok()) return Err(std::move(r).error());
    return brenvik::zigzag_decode(*r);
  }
  SerdeResult<int32_t> read_ivarint32();
  SerdeResult<i128> read_ivarint128() {
    if (pos_ < data_.size() && data_[pos_] < 0x80) return unzigzag128(data_[pos_++]);
    return read_ivarint128_slow();
  }
  // Signed LEB128 of a 64-bit value. The overflow error (tenth byte neither
  // 0x00 nor 0x7F) is BadVarint with the text "The number being read is
  // larger than can be represented".
  SerdeResult<int64_t> read_sleb128() {
    // Numbers that end within the next eight bytes (up to 56 bits, which
    // cannot overflow) are gathered from one load; the rest, and the end of
    // the input, take the byte-by-byte path.
    if (remaining() >= 8) {
      uint64_t w = brenvik::load_u64_le(data_.data() + pos_);
      uint64_t stops = ~w & 0x8080808080808080ull;
      if (stops) {
        unsigned len = unsigned(__builtin_ctzll(stops) >> 3) + 1;
        unsigned unused = 64 - 7 * len;
        uint64_t x = brenvik::leb128_detail::gather7(w, len);
        pos_ += len;
        // The last group's top bit is the sign.
        return int64_t(x << unused) >> unused;
      }
    }
    return read_sleb128_slow();
  }

  SerdeResult<double> read_f64_le();
  SerdeResult<double> read_f64_be();
  // n raw bytes as a view into the input.
  SerdeResult<ByteView> read_raw(size_t n) {
    if (n > remaining()) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
    ByteView v = data_.subspan(pos_, n);
    pos_ += n;
    return v;
  }
  // LEB128 length, then a view of that many bytes (no copy).
  SerdeResult<ByteView> read_bytes() {
    // Most lengths fit one byte: read them here, the rest out of line.
    if (pos_ < data_.size() && data_[pos_] < 0x80 && data_[pos_] < data_.size() - pos_) {
      size_t n = data_[pos_];
      ByteView v = data_.subspan(pos_ + 1, n);
      pos_ += 1 + n;
      return v;
    }
    return read_bytes_slow();
  }
  // Like read_bytes, and the bytes must be UTF-8.
  SerdeResult<std::string_view> read_str() {
    auto b = read_bytes();
    if (!b.ok()) return Err(std::move(b).error());
    // Keys and short texts are mostly ASCII: check that first, eight bytes
    // at a time, and run the full validation only when a high bit is set.
    const uint8_t* p = b->data();
    size_t n = b->size(), i = 0;
    uint64_t high = 0;
    for (; i + 8 <= n; i += 8) high |= brenvik::load_u64_le(p + i);
    for (; i < n; ++i) high |= p[i];
    std::string_view s = brenvik::as_chars(*b);
    if ((high & 0x8080808080808080ull) != 0 && !is_valid_utf8(s))
      return Err(SerdeError(SerdeErrorKind::BadUtf8));
    return s;
  }

 private:
  SerdeResult<uint64_t> read_uvarint_slow();
  SerdeResult<ByteView> read_bytes_slow();
  SerdeResult<int64_t> read_sleb128_slow();
  SerdeResult<uint32_t> read_uvarint32_slow();
  SerdeResult<i128> read_ivarint128_slow();

  ByteView data_;
  size_t pos_ = 0;
};

// The most elements a reader reserves room for before it has read them:
// 1,048,576 bytes' worth, and never more than the remaining input could hold
// at one byte per element. Containers grow as elements actually arrive.
constexpr size_t kMaxReserveBytes = 1u << 20;
template <typename T>
constexpr size_t bounded_reserve(uint64_t count, size_t remaining_bytes) {
  uint64_t cap = kMaxReserveBytes / sizeof(T);
  if (cap == 0) cap = 1;
  uint64_t n = count < remaining_bytes ? count : remaining_bytes;
  return size_t(n < cap ? n : cap);
}

}  // namespace kesu
