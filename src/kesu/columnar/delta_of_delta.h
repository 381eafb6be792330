// DeltaOfDelta columns: the first value, then for every later value the
// change of the difference between neighbours, bit-packed most significant
// bit first with prefix codes (0 for an unchanged slope, up to 64-bit
// payloads). Small changes of slope cost one bit per value.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "kesu/columnar/columnar_error.h"
#include "kesu/columnar/varint.h"

namespace kesu {

class DeltaOfDeltaEncoder {
 public:
  // Fails with RleEncodeError "delta overflow 64 bits" or "delta of delta
  // overflow 64 bits" when a difference does not fit 64 bits; the encoder is
  // unchanged by a failed append.
  ColumnarResult<bool> append(int64_t v);
  Bytes finish();

 private:
  void write_bits(uint64_t w, unsigned k);

  std::optional<int64_t> first_;
  int64_t prev_ = 0;
  int64_t prev_delta_ = 0;
  std::vector<uint64_t> words_{0};
  unsigned used_ = 0;  // bits used in the last word
  bool wrote_ = false;
};

ColumnarResult<Bytes> encode_delta_of_delta(const std::vector<int64_t>& values);

class DeltaOfDeltaDecoder {
 public:
  // Reads the first value and the last-bits byte. A last-bits byte above 8
  // is refused: it would let the reader count bits past the end of the input.
  static ColumnarResult<DeltaOfDeltaDecoder> open(ByteView bytes);

  // The next value as a 64-bit integer; nullopt when no bit is left.
  ColumnarResult<std::optional<int64_t>> next();

  // Exactly n values converted to T, or an error when fewer are present.
  template <typename T>
  ColumnarResult<std::vector<T>> take(size_t n) {
    std::vector<T> out;
    out.reserve(std::min<size_t>(n, kMaxReserveBytes / sizeof(T)));
    for (size_t i = 0; i < n; ++i) {
      auto v = next();
      if (!v.ok()) return Err(std::move(v).error());
      if (!v->has_value())
        return Err(ColumnarError::rle_decode("The elements of decoder is less than n (" +
                                             std::to_string(n) + ")"));
      auto c = convert<T>(**v);
      if (!c.ok()) return Err(std::move(c).error());
      out.push_back(*c);
    }
    return out;
  }

  // Every value, converted to T; fails when there are more than max_values.
  template <typename T>
  ColumnarResult<std::vector<T>> decode_all(size_t max_values) {
    std::vector<T> out;
    for (;;) {
      auto v = next();
      if (!v.ok()) return Err(std::move(v).error());
      if (!v->has_value()) return out;
      if (out.size() == max_values)
        return Err(ColumnarError::rle_decode("column holds more than " +
                                             std::to_string(max_values) + " values"));
      auto c = convert<T>(**v);
      if (!c.ok()) return Err(std::move(c).error());
      out.push_back(*c);
    }
  }

  // The input after the last byte from which a bit was read.
  ByteView rest() const { return data_.subspan(size_t((bitpos_ + 7) / 8)); }

 private:
  template <typename T>
  static ColumnarResult<T> convert(int64_t v) {
    if (i128(v) < i128(std::numeric_limits<T>::min()) ||
        i128(v) > i128(std::numeric_limits<T>::max()))
      return Err(
          ColumnarError::rle_decode(std::to_string(v) + " cannot be safely converted from i128"));
    return T(v);
  }
  bool can_read(unsigned k) const { return int64_t(bitpos_) + int64_t(k) <= total_bits_; }
  uint64_t read_bits(unsigned k);

  ByteView data_;           // the bit stream and whatever follows it
  uint64_t bitpos_ = 0;     // bits consumed from data_
  int64_t total_bits_ = 0;  // readable bits: len*8 + last_bits - 8
  std::optional<int64_t> first_;
  bool first_taken_ = false;
  int64_t prev_ = 0;
  int64_t prev_delta_ = 0;
};

}  // namespace kesu
