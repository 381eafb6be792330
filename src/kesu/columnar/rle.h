// Run-length column strategies: AnyRle (runs of equal values and literal
// stretches), DeltaRle (AnyRle of 128-bit differences) and BoolRle (lengths of
// alternating runs starting with false).
//
// Readers bound every run count to 1,000,000,000 either way, never reserve
// memory from a count they have not checked, and materialise whole columns
// only up to a limit the caller states (a run is cheap to write and can stand
// for a billion values).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "kesu/columnar/columnar_error.h"
#include "kesu/columnar/varint.h"

namespace kesu {

// Largest run or literal stretch a reader accepts, and the longest a writer emits.
constexpr uint64_t kMaxRleCount = 1'000'000'000;

// How a value of a column type is written inside a run-length column.
template <typename T>
struct RleValue;
template <>
struct RleValue<uint8_t> {
  static void write(Bytes& o, uint8_t v) { o.push_back(v); }
  static SerdeResult<uint8_t> read(ByteReader& r) { return r.read_u8(); }
};
template <>
struct RleValue<uint32_t> {
  static void write(Bytes& o, uint32_t v) { write_uvarint32(o, v); }
  static SerdeResult<uint32_t> read(ByteReader& r) { return r.read_uvarint32(); }
};
template <>
struct RleValue<uint64_t> {
  static void write(Bytes& o, uint64_t v) { write_uvarint(o, v); }
  static SerdeResult<uint64_t> read(ByteReader& r) { return r.read_uvarint(); }
};
template <>
struct RleValue<int32_t> {
  static void write(Bytes& o, int32_t v) { write_ivarint32(o, v); }
  static SerdeResult<int32_t> read(ByteReader& r) { return r.read_ivarint32(); }
};
template <>
struct RleValue<int64_t> {
  static void write(Bytes& o, int64_t v) { write_ivarint(o, v); }
  static SerdeResult<int64_t> read(ByteReader& r) { return r.read_ivarint(); }
};
template <>
struct RleValue<i128> {
  static void write(Bytes& o, i128 v) { write_ivarint128(o, v); }
  static SerdeResult<i128> read(ByteReader& r) { return r.read_ivarint128(); }
};

inline ColumnarError too_few_values(size_t n) {
  return ColumnarError::rle_decode("The elements of decoder is less than n(" + std::to_string(n) +
                                   ")");
}
inline ColumnarError too_many_values(size_t max) {
  return ColumnarError::rle_decode("column holds more than " + std::to_string(max) + " values");
}

// ---- AnyRle ----------------------------------------------------------------

template <typename T>
class AnyRleEncoder {
 public:
  void append(const T& y) {
    switch (state_) {
      case State::Empty:
        last_ = y;
        state_ = State::Lone;
        return;
      case State::Lone:
        if (y == last_) {
          run_ = 2;
          state_ = State::Run;
        } else {
          literal_.push_back(last_);
          last_ = y;
          state_ = State::Literal;
        }
        return;
      case State::Run:
        if (y == last_) {
          ++run_;
        } else {
          write_run(last_, run_);
          last_ = y;
          state_ = State::Lone;
        }
        return;
      case State::Literal:
        if (y == last_) {
          write_literal();
          run_ = 2;
          state_ = State::Run;
        } else {
          literal_.push_back(last_);
          last_ = y;
        }
        return;
    }
  }

  // Flushes the pending state and returns the column's bytes; the encoder is
  // empty afterwards.
  Bytes finish() {
    switch (state_) {
      case State::Empty:
        break;
      case State::Lone:
        write_ivarint(out_, -1);
        RleValue<T>::write(out_, last_);
        break;
      case State::Run:
        write_run(last_, run_);
        break;
      case State::Literal:
        literal_.push_back(last_);
        write_literal();
        break;
    }
    state_ = State::Empty;
    return std::move(out_);
  }

 private:
  enum class State { Empty, Lone, Run, Literal };
  // Runs longer than a reader accepts are split into several groups.
  void write_run(const T& x, uint64_t n) {
    while (n > 0) {
      uint64_t part = std::min(n, kMaxRleCount);
      write_ivarint(out_, int64_t(part));
      RleValue<T>::write(out_, x);
      n -= part;
    }
  }
  void write_literal() {
    size_t i = 0;
    while (i < literal_.size()) {
      size_t part = size_t(std::min<uint64_t>(literal_.size() - i, kMaxRleCount));
      write_ivarint(out_, -int64_t(part));
      for (size_t k = 0; k < part; ++k) RleValue<T>::write(out_, literal_[i + k]);
      i += part;
    }
    literal_.clear();
  }

  State state_ = State::Empty;
  T last_{};
  uint64_t run_ = 0;
  std::vector<T> literal_;
  Bytes out_;
};

template <typename T>
Bytes encode_any_rle(const std::vector<T>& values) {
  AnyRleEncoder<T> e;
  for (const T& v : values) e.append(v);
  return e.finish();
}

template <typename T>
class AnyRleDecoder {
 public:
  explicit AnyRleDecoder(ByteView bytes) : r_(bytes) {}

  // The next value; nullopt at the clean end of the column (the input ends
  // where a count is expected, or inside the count's varint).
  ColumnarResult<std::optional<T>> next() {
    T v{};
    uint64_t n = 0;
    auto st = next_run(v, n, 1, /*for_take=*/false);
    if (!st.ok()) return Err(std::move(st).error());
    if (n == 0) return std::optional<T>();
    return std::optional<T>(v);
  }

  // Exactly n values, or an error when the column holds fewer. rest() gives
  // the bytes after the last byte consumed.
  ColumnarResult<std::vector<T>> take(size_t n) {
    std::vector<T> out;
    out.reserve(std::min<size_t>(n, kMaxReserveBytes / sizeof(T)));
    while (out.size() < n) {
      T v{};
      uint64_t k = 0;
      auto st = next_run(v, k, n - out.size(), /*for_take=*/true);
      if (!st.ok()) return Err(std::move(st).error());
      if (k == 0) return Err(too_few_values(n));
      out.insert(out.end(), size_t(k), v);
    }
    return out;
  }

  // Every value of the column; fails when it holds more than max_values.
  ColumnarResult<std::vector<T>> decode_all(size_t max_values) {
    std::vector<T> out;
    for (;;) {
      // A literal stretch is read value by value right here: the same reads
      // and checks in the same order as next_run, without its per-value
      // bookkeeping, which cost more than the value itself.
      while (literal_ && remaining_ > 0) {
        auto lv = RleValue<T>::read(r_);
        if (!lv.ok()) return Err(ColumnarError::serialize(std::move(lv).error()));
        if (out.size() >= max_values) return Err(too_many_values(max_values));
        out.push_back(*lv);
        --remaining_;
      }
      T v{};
      uint64_t k = 0;
      auto st = next_run(v, k, std::numeric_limits<uint64_t>::max(), false);
      if (!st.ok()) return Err(std::move(st).error());
      if (k == 0) return out;
      if (k > max_values - out.size()) return Err(too_many_values(max_values));
      out.insert(out.end(), size_t(k), v);
    }
  }

  ByteView rest() const { return r_.rest(); }

  // Reads up to `want` (>= 1) equal values at once: returns the value and how
  // many were consumed in k (0 at the clean end). Exposed for the delta
  // column, which works on runs of differences.
  ColumnarResult<bool> next_run(T& value, uint64_t& k, uint64_t want, bool for_take) {
    if (remaining_ == 0) {
      if (r_.at_end()) {
        k = 0;
        return true;
      }
      size_t before = r_.position();
      auto c = r_.read_ivarint();
      if (!c.ok()) {
        if (for_take || c.error().kind == SerdeErrorKind::UnexpectedEnd) {
          r_.skip_to(before);
          k = 0;
          return true;
        }
        return Err(ColumnarError::serialize(std::move(c).error()));
      }
      int64_t count = *c;
      if (count > int64_t(kMaxRleCount) || count < -int64_t(kMaxRleCount))
        return Err(
            ColumnarError::rle_decode("decode Rle count is too large : " + std::to_string(count)));
      if (count == 0) return Err(ColumnarError::rle_decode("Invalid count"));
      if (count > 0) {
        auto v = RleValue<T>::read(r_);
        if (!v.ok()) return Err(ColumnarError::serialize(std::move(v).error()));
        run_value_ = *v;
        literal_ = false;
        remaining_ = uint64_t(count);
      } else {
        literal_ = true;
        remaining_ = uint64_t(-count);
      }
    }
    if (literal_) {
      auto v = RleValue<T>::read(r_);
      if (!v.ok()) return Err(ColumnarError::serialize(std::move(v).error()));
      value = *v;
      k = 1;
      --remaining_;
      return true;
    }
    k = std::min(remaining_, want);
    value = run_value_;
    remaining_ -= k;
    return true;
  }

 private:
  ByteReader r_;
  uint64_t remaining_ = 0;
  bool literal_ = false;
  T run_value_{};
};

// ---- DeltaRle --------------------------------------------------------------

inline i128 saturating_add(i128 a, i128 b) {
  i128 r;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? std::numeric_limits<i128>::max() : std::numeric_limits<i128>::min();
  return r;
}
inline i128 saturating_sub(i128 a, i128 b) {
  i128 r;
  if (__builtin_sub_overflow(a, b, &r))
    return b < 0 ? std::numeric_limits<i128>::max() : std::numeric_limits<i128>::min();
  return r;
}

template <typename T>
ColumnarResult<T> convert_from_i128(i128 v) {
  static_assert(std::is_integral_v<T>);
  if (v < i128(std::numeric_limits<T>::min()) || v > i128(std::numeric_limits<T>::max()))
    return Err(
        ColumnarError::rle_decode(i128_to_string(v) + " cannot be safely converted from i128"));
  return T(v);
}

template <typename T>
class DeltaRleEncoder {
 public:
  void append(T v) {
    i128 x = i128(v);
    inner_.append(saturating_sub(x, acc_));
    acc_ = x;
  }
  // Like append, but a difference outside the 128-bit range (possible only
  // for 128-bit columns) is refused with OverflowError instead of clamped,
  // since a clamped difference decodes to a different value. The writer is
  // unchanged on failure.
  ColumnarResult<bool> try_append(T v) {
    i128 x = i128(v);
    i128 d;
    if (__builtin_sub_overflow(x, acc_, &d)) return Err(ColumnarError::overflow());
    inner_.append(d);
    acc_ = x;
    return true;
  }
  Bytes finish() { return inner_.finish(); }

 private:
  AnyRleEncoder<i128> inner_;
  i128 acc_ = 0;
};

template <typename T>
Bytes encode_delta_rle(const std::vector<T>& values) {
  DeltaRleEncoder<T> e;
  for (T v : values) e.append(v);
  return e.finish();
}

template <typename T>
class DeltaRleDecoder {
 public:
  explicit DeltaRleDecoder(ByteView bytes) : inner_(bytes) {}

  ColumnarResult<std::optional<T>> next() {
    auto d = inner_.next();
    if (!d.ok()) return Err(std::move(d).error());
    if (!d->has_value()) return std::optional<T>();
    acc_ = saturating_add(acc_, **d);
    auto v = convert_from_i128<T>(acc_);
    if (!v.ok()) return Err(std::move(v).error());
    return std::optional<T>(*v);
  }

  ColumnarResult<std::vector<T>> take(size_t n) {
    std::vector<T> out;
    out.reserve(std::min<size_t>(n, kMaxReserveBytes / sizeof(T)));
    auto st = fill(out, n, true);
    if (!st.ok()) return Err(std::move(st).error());
    if (out.size() < n) return Err(too_few_values(n));
    return out;
  }

  ColumnarResult<std::vector<T>> decode_all(size_t max_values) {
    std::vector<T> out;
    auto st = fill(out, max_values, false);
    if (!st.ok()) return Err(std::move(st).error());
    if (out.size() == max_values) {
      // The column may hold more than allowed: one more value is an error.
      auto more = next();
      if (!more.ok()) return Err(std::move(more).error());
      if (more->has_value()) return Err(too_many_values(max_values));
    }
    return out;
  }

  ByteView rest() const { return inner_.rest(); }

 private:
  // Appends values until `limit` values are in out or the column ends.
  ColumnarResult<bool> fill(std::vector<T>& out, size_t limit, bool for_take) {
    while (out.size() < limit) {
      i128 d = 0;
      uint64_t k = 0;
      auto st = inner_.next_run(d, k, limit - out.size(), for_take);
      if (!st.ok()) return Err(std::move(st).error());
      if (k == 0) return true;
      if (d == 0) {
        auto v = convert_from_i128<T>(acc_);
        if (!v.ok()) return Err(std::move(v).error());
        out.insert(out.end(), size_t(k), *v);
        continue;
      }
      if (k > 1 && fill_run(out, d, k)) continue;
      for (uint64_t i = 0; i < k; ++i) {
        acc_ = saturating_add(acc_, d);
        auto v = convert_from_i128<T>(acc_);
        if (!v.ok()) return Err(std::move(v).error());
        out.push_back(*v);
      }
    }
    return true;
  }

  // A run of k equal differences is an arithmetic progression: when its
  // first and last sums fit T, so does every sum between them, and they are
  // written with plain 64-bit arithmetic. Returns false (nothing written)
  // when the run leaves T somewhere, so that the caller finds the exact sum
  // that does not fit.
  bool fill_run(std::vector<T>& out, i128 d, uint64_t k) {
    constexpr i128 lo = i128(std::numeric_limits<T>::min());
    constexpr i128 hi = i128(std::numeric_limits<T>::max());
    // acc_ always holds a sum already converted to T, so with |d| below
    // 2^64 and k at most 10^9 the products stay far inside 128 bits.
    if (d <= -(i128(1) << 64) || d >= (i128(1) << 64)) return false;
    i128 first = acc_ + d, last = acc_ + d * i128(k);
    if (first < lo || first > hi || last < lo || last > hi) return false;
    size_t at = out.size();
    out.resize(at + size_t(k));
    T* p = out.data() + at;
    uint64_t x = uint64_t(acc_), step = uint64_t(d);
    for (uint64_t i = 0; i < k; ++i) {
      x += step;  // wraps like T: every true sum fits T
      p[i] = T(x);
    }
    acc_ = last;
    return true;
  }

  AnyRleDecoder<i128> inner_;
  i128 acc_ = 0;
};

// ---- BoolRle ---------------------------------------------------------------

class BoolRleEncoder {
 public:
  void append(bool y) {
    if (y == current_) {
      ++count_;
    } else {
      write_count(count_);
      current_ = y;
      count_ = 1;
    }
  }
  Bytes finish() {
    if (count_ != 0) write_count(count_);
    count_ = 0;
    current_ = false;
    return std::move(out_);
  }

 private:
  // A run longer than readers accept becomes max, 0, rest: the zero-length
  // run of the other value keeps the alternation.
  void write_count(uint64_t n) {
    while (n > kMaxRleCount) {
      write_uvarint(out_, kMaxRleCount);
      write_uvarint(out_, 0);
      n -= kMaxRleCount;
    }
    write_uvarint(out_, n);
  }
  bool current_ = false;
  uint64_t count_ = 0;
  Bytes out_;
};

Bytes encode_bool_rle(const std::vector<bool>& values);

class BoolRleDecoder {
 public:
  explicit BoolRleDecoder(ByteView bytes) : r_(bytes) {}

  ColumnarResult<std::optional<bool>> next();
  ColumnarResult<std::vector<bool>> take(size_t n);
  ColumnarResult<std::vector<bool>> decode_all(size_t max_values);
  ByteView rest() const { return r_.rest(); }

  // Up to `want` equal values: the value and how many in k (0 at the end).
  ColumnarResult<bool> next_run(bool& value, uint64_t& k, uint64_t want, bool for_take);

 private:
  ByteReader r_;
  bool current_ = true;
  uint64_t remaining_ = 0;
};

}  // namespace kesu
