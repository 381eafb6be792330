// DeltaOfDelta columns: the first value, then for every later value the
// change of the difference between neighbours, bit-packed most significant
// bit first with prefix codes (0 for an unchanged slope, up to 64-bit
// payloads). Small changes of slope cost one bit per value.
#pragma once

#include <algorithm>
#include <bit>
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
      int64_t v;
      Step st = next_raw(v);
      if (st == Step::Error) return Err(error_);
      if (st == Step::End)
        return Err(ColumnarError::rle_decode("The elements of decoder is less than n (" +
                                             std::to_string(n) + ")"));
      if (!fits<T>(v)) return Err(conversion_error(v));
      out.push_back(T(v));
    }
    return out;
  }

  // Every value, converted to T; fails when there are more than max_values.
  // The loop keeps its cursor and slope in locals and decodes from one
  // 64-bit window per step. An unchanged slope is a single 0 bit, and the
  // stretches of them that regular columns (timestamps, counters) are made
  // of are written eight values at a time without a branch per value; the
  // output is kept sized ahead of the values written and cut at the end.
  template <typename T>
  ColumnarResult<std::vector<T>> decode_all(size_t max_values) {
    std::vector<T> out;
    int64_t first = 0;
    Step st = next_raw(first);
    if (st == Step::Error) return Err(error_);
    if (st == Step::End) return out;
    if (max_values == 0) return Err(too_many(max_values));
    if (!fits<T>(first)) return Err(conversion_error(first));
    // Every value after the first costs at least one bit, so the stream
    // bounds the count; the room made before reading is capped as for any
    // count, and grows as values arrive.
    constexpr size_t kSlack = 8;
    uint64_t most = uint64_t(std::max<int64_t>(total_bits_ - int64_t(bitpos_), 0)) + 1;
    out.resize(
        size_t(std::min<uint64_t>({most, max_values, kMaxReserveBytes / sizeof(T) - kSlack})) +
        kSlack);
    out[0] = T(first);
    size_t n = 1;  // values written
    uint64_t pos = bitpos_;
    uint64_t x = uint64_t(prev_), d = uint64_t(prev_delta_);
    std::optional<ColumnarError> err;
    for (;;) {
      int64_t left = total_bits_ - int64_t(pos);
      if (left <= 0) break;
      if (out.size() - n < kSlack) out.resize(out.size() * 2);
      T* p = out.data() + n;
      uint64_t w = window(pos);
      if (!(w >> 63)) {
        uint64_t zeros = w ? uint64_t(std::countl_zero(w)) : 64;
        if (int64_t(zeros) > left) zeros = uint64_t(left);
        uint64_t take = std::min<uint64_t>({zeros, kSlack, max_values - n});
        bool bad = false;
        for (uint64_t i = 0; i < kSlack; ++i) {
          uint64_t v = x + (i + 1) * d;
          bad |= (i < take) & !fits<T>(int64_t(v));
          p[i] = T(int64_t(v));
        }
        if (bad) [[unlikely]] {
          for (uint64_t i = 0; i < take; ++i) {
            x += d;
            if (!fits<T>(int64_t(x))) break;
          }
          err = conversion_error(int64_t(x));
          break;
        }
        x += take * d;
        n += take;
        pos += take;
        if (take == 0) [[unlikely]] {
          err = too_many(max_values);
          break;
        }
        continue;
      }
      static constexpr unsigned kPayload[5] = {7, 9, 12, 21, 64};
      static constexpr uint64_t kOffset[5] = {63, 255, 2047, 1048575, 0};
      unsigned ones = unsigned(std::countl_one(w));
      unsigned code = ones >= 5 ? 4 : ones - 1;
      unsigned code_len = ones >= 5 ? 5 : ones + 1;
      unsigned k = kPayload[code];
      if (left < int64_t(code_len + k)) [[unlikely]] {
        err = ColumnarError::rle_decode(left < int64_t(code_len)
                                            ? "DeltaOfDelta stream ends inside a code"
                                            : "DeltaOfDelta stream ends inside a payload");
        break;
      }
      // With a short code the payload sits in the same window.
      uint64_t payload = k == 64 ? window(pos + code_len) : (w << code_len) >> (64 - k);
      pos += code_len + k;
      if (n == max_values) [[unlikely]] {
        err = too_many(max_values);
        break;
      }
      d += payload - kOffset[code];
      x += d;
      if (!fits<T>(int64_t(x))) [[unlikely]] {
        err = conversion_error(int64_t(x));
        break;
      }
      *p = T(int64_t(x));
      ++n;
    }
    bitpos_ = pos;
    prev_ = int64_t(x);
    prev_delta_ = int64_t(d);
    if (err) {
      error_ = *err;
      return Err(std::move(*err));
    }
    out.resize(n);
    return out;
  }

  // The input after the last byte from which a bit was read.
  ByteView rest() const { return data_.subspan(size_t((bitpos_ + 7) / 8)); }

 private:
  enum class Step { Value, End, Error };
  template <typename T>
  static bool fits(int64_t v) {
    return i128(v) >= i128(std::numeric_limits<T>::min()) &&
           i128(v) <= i128(std::numeric_limits<T>::max());
  }
  static ColumnarError conversion_error(int64_t v) {
    return ColumnarError::rle_decode(std::to_string(v) + " cannot be safely converted from i128");
  }
  bool can_read(unsigned k) const { return int64_t(bitpos_) + int64_t(k) <= total_bits_; }
  static ColumnarError too_many(size_t max_values) {
    return ColumnarError::rle_decode("column holds more than " + std::to_string(max_values) +
                                     " values");
  }
  // The next 64 bits of the input from the current bit, most significant
  // first; bits past the end of the input read as zero.
  uint64_t peek64() const { return window(bitpos_); }
  // The 64 bits of the input from bit `at` on, most significant first.
  uint64_t window(uint64_t at) const {
    size_t byte = size_t(at >> 3);
    unsigned off = unsigned(at & 7);
    if (byte + 9 <= data_.size()) [[likely]] {
      uint64_t w = brenvik::load_u64_be(data_.data() + byte);
      return off ? (w << off) | (uint64_t(data_[byte + 8]) >> (8 - off)) : w;
    }
    return window_near_end(byte, off);
  }
  // The last few bytes: assembled one by one, zeros past the end.
  [[gnu::noinline]] uint64_t window_near_end(size_t byte, unsigned off) const {
    uint64_t w = 0;
    for (size_t i = 0; i < 9; ++i) {
      uint64_t b = byte + i < data_.size() ? data_[byte + i] : 0;
      int shift = 56 - 8 * int(i) + int(off);
      w |= shift >= 0 ? (shift < 64 ? b << shift : 0) : b >> -shift;
    }
    return w;
  }
  // Decodes the next value into v.
  Step next_raw(int64_t& v) {
    if (!first_taken_) {
      first_taken_ = true;
      if (!first_) return Step::End;
      prev_ = *first_;
      v = prev_;
      return Step::Value;
    }
    if (!first_ || !can_read(1)) return Step::End;
    uint64_t w = peek64();
    int64_t dod = 0;
    if (!(w >> 63)) {
      ++bitpos_;  // an unchanged slope: a single 0 bit
    } else {
      static constexpr unsigned kPayload[5] = {7, 9, 12, 21, 64};
      static constexpr int64_t kOffset[5] = {63, 255, 2047, 1048575, 0};
      unsigned ones = unsigned(std::countl_one(w));
      unsigned code = ones >= 5 ? 4 : ones - 1;
      unsigned code_len = ones >= 5 ? 5 : ones + 1;
      if (!can_read(code_len)) {
        error_ = ColumnarError::rle_decode("DeltaOfDelta stream ends inside a code");
        return Step::Error;
      }
      unsigned k = kPayload[code];
      if (!can_read(code_len + k)) {
        error_ = ColumnarError::rle_decode("DeltaOfDelta stream ends inside a payload");
        return Step::Error;
      }
      bitpos_ += code_len;
      uint64_t p = peek64();
      uint64_t payload = k == 64 ? p : p >> (64 - k);
      bitpos_ += k;
      dod = int64_t(payload - uint64_t(kOffset[code]));
    }
    prev_delta_ = int64_t(uint64_t(prev_delta_) + uint64_t(dod));
    prev_ = int64_t(uint64_t(prev_) + uint64_t(prev_delta_));
    v = prev_;
    return Step::Value;
  }

  ByteView data_;           // the bit stream and whatever follows it
  uint64_t bitpos_ = 0;     // bits consumed from data_
  int64_t total_bits_ = 0;  // readable bits: len*8 + last_bits - 8
  std::optional<int64_t> first_;
  bool first_taken_ = false;
  int64_t prev_ = 0;
  int64_t prev_delta_ = 0;
  ColumnarError error_ = ColumnarError::unknown();
};

}  // namespace kesu
