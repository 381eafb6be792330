// Column strategies as types, and the framed column set: a record type's
// fields stored column by column, each column a byte string, with the number
// of columns in front. The record count is not written; a reader takes the
// shortest column's length.
#pragma once

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kesu/columnar/delta_of_delta.h"
#include "kesu/columnar/rle.h"

namespace kesu {

// A column read value by value: next() gives the next value, nullopt at the
// clean end of the column, or an error.
template <typename T>
class PlainColumnDecoder;
template <typename T>
class DeltaOfDeltaColumnDecoder;

// Each strategy offers encode(values) -> ColumnarResult<Bytes>,
// decode(bytes, max_values) -> ColumnarResult<std::vector<value_type>>, and
// open(bytes) -> ColumnarResult<Decoder> for reading value by value.
template <typename T>
struct AnyRleColumn {
  using value_type = T;
  using Decoder = AnyRleDecoder<T>;
  static ColumnarResult<Decoder> open(ByteView b) { return Decoder(b); }
  static ColumnarResult<Bytes> encode(const std::vector<T>& v) { return encode_any_rle(v); }
  static ColumnarResult<std::vector<T>> decode(ByteView b, size_t max_values) {
    return AnyRleDecoder<T>(b).decode_all(max_values);
  }
};

template <typename T>
struct DeltaRleColumn {
  using value_type = T;
  using Decoder = DeltaRleDecoder<T>;
  static ColumnarResult<Decoder> open(ByteView b) { return Decoder(b); }
  static ColumnarResult<Bytes> encode(const std::vector<T>& v) { return encode_delta_rle(v); }
  static ColumnarResult<std::vector<T>> decode(ByteView b, size_t max_values) {
    return DeltaRleDecoder<T>(b).decode_all(max_values);
  }
};

struct BoolRleColumn {
  using value_type = bool;
  using Decoder = BoolRleDecoder;
  static ColumnarResult<Decoder> open(ByteView b) { return Decoder(b); }
  static ColumnarResult<Bytes> encode(const std::vector<bool>& v) { return encode_bool_rle(v); }
  static ColumnarResult<std::vector<bool>> decode(ByteView b, size_t max_values) {
    return BoolRleDecoder(b).decode_all(max_values);
  }
};

template <typename T>
struct DeltaOfDeltaColumn {
  using value_type = T;
  using Decoder = DeltaOfDeltaColumnDecoder<T>;
  static ColumnarResult<Decoder> open(ByteView b);
  static ColumnarResult<Bytes> encode(const std::vector<T>& v) {
    if constexpr (std::is_same_v<T, int64_t>)
      return encode_delta_of_delta(v);
    else
      return encode_delta_of_delta(std::vector<int64_t>(v.begin(), v.end()));
  }
  static ColumnarResult<std::vector<T>> decode(ByteView b, size_t max_values) {
    auto d = DeltaOfDeltaDecoder::open(b);
    if (!d.ok()) return Err(std::move(d).error());
    return d->template decode_all<T>(max_values);
  }
};

// The compact sequence: LEB128 count, then each value in its compact form.
template <typename T>
struct PlainColumn {
  using value_type = T;
  using Decoder = PlainColumnDecoder<T>;
  static ColumnarResult<Decoder> open(ByteView b);
  static ColumnarResult<Bytes> encode(const std::vector<T>& v) {
    Bytes out;
    write_uvarint(out, v.size());
    for (const T& x : v) RleValue<T>::write(out, x);
    return out;
  }
  static ColumnarResult<std::vector<T>> decode(ByteView b, size_t max_values) {
    ByteReader r(b);
    auto n = r.read_uvarint();
    if (!n.ok()) return Err(ColumnarError::serialize(std::move(n).error()));
    if (*n > max_values) return Err(too_many_values(max_values));
    std::vector<T> out;
    out.reserve(bounded_reserve<T>(*n, r.remaining()));
    for (uint64_t i = 0; i < *n; ++i) {
      auto x = RleValue<T>::read(r);
      if (!x.ok()) return Err(ColumnarError::serialize(std::move(x).error()));
      out.push_back(*x);
    }
    return out;
  }
};

// A DeltaOfDelta column read value by value, each value converted to T.
template <typename T>
class DeltaOfDeltaColumnDecoder {
 public:
  explicit DeltaOfDeltaColumnDecoder(DeltaOfDeltaDecoder d) : d_(std::move(d)) {}
  ColumnarResult<std::optional<T>> next() {
    auto v = d_.next();
    if (!v.ok()) return Err(std::move(v).error());
    if (!v->has_value()) return std::optional<T>();
    int64_t x = **v;
    if (i128(x) < i128(std::numeric_limits<T>::min()) ||
        i128(x) > i128(std::numeric_limits<T>::max()))
      return Err(
          ColumnarError::rle_decode(std::to_string(x) + " cannot be safely converted from i128"));
    return std::optional<T>(T(x));
  }

 private:
  DeltaOfDeltaDecoder d_;
};

template <typename T>
ColumnarResult<DeltaOfDeltaColumnDecoder<T>> DeltaOfDeltaColumn<T>::open(ByteView b) {
  auto d = DeltaOfDeltaDecoder::open(b);
  if (!d.ok()) return Err(std::move(d).error());
  return DeltaOfDeltaColumnDecoder<T>(std::move(d).value());
}

// A plain column read value by value: the count is read when the decoder is
// opened and only bounds the reading; nothing is reserved from it. Bytes after
// the counted values are ignored, as by PlainColumn::decode.
template <typename T>
class PlainColumnDecoder {
 public:
  static ColumnarResult<PlainColumnDecoder> open(ByteView b) {
    PlainColumnDecoder d;
    d.r_ = ByteReader(b);
    auto n = d.r_.read_uvarint();
    if (!n.ok()) return Err(ColumnarError::serialize(std::move(n).error()));
    d.remaining_ = *n;
    return d;
  }
  ColumnarResult<std::optional<T>> next() {
    if (remaining_ == 0) return std::optional<T>();
    auto x = RleValue<T>::read(r_);
    if (!x.ok()) return Err(ColumnarError::serialize(std::move(x).error()));
    --remaining_;
    return std::optional<T>(*x);
  }

 private:
  ByteReader r_;
  uint64_t remaining_ = 0;
};

template <typename T>
ColumnarResult<PlainColumnDecoder<T>> PlainColumn<T>::open(ByteView b) {
  return PlainColumnDecoder<T>::open(b);
}

// Returns CustomDeserialize carrying the error's display text. The error's
// debug form goes to the log sink at debug level, at most once a second
// (a peer decides how many malformed columns arrive).
SerdeError column_deserialize_error(const ColumnarError& e);
// CustomSerialize carrying the error's display text.
SerdeError column_serialize_error(const ColumnarError& e);

// Writes N and the N column byte strings.
void write_column_set(Bytes& out, const std::vector<Bytes>& columns);

// Reads N and returns views of the first `declared` columns; N below
// `declared` is CustomDeserialize. Columns beyond those declared are left
// unread.
SerdeResult<std::vector<ByteView>> read_column_set(ByteReader& r, size_t declared);

// Encodes a record set given as one vector per field.
template <typename... Cols>
SerdeResult<Bytes> encode_columns(const std::vector<typename Cols::value_type>&... fields) {
  std::vector<Bytes> cols;
  std::optional<SerdeError> err;
  auto one = [&](auto r) {
    if (err) return;
    if (!r.ok()) {
      err = column_serialize_error(r.error());
      return;
    }
    cols.push_back(std::move(r).value());
  };
  (one(Cols::encode(fields)), ...);
  if (err) return Err(std::move(*err));
  Bytes out;
  write_column_set(out, cols);
  return out;
}

// Decodes a framed column set into one vector per field, all cut to the
// shortest column's length. No column may hold more than max_records values.
template <typename... Cols>
SerdeResult<std::tuple<std::vector<typename Cols::value_type>...>> decode_columns(
    ByteReader& r, size_t max_records) {
  auto views = read_column_set(r, sizeof...(Cols));
  if (!views.ok()) return Err(std::move(views).error());
  std::tuple<std::vector<typename Cols::value_type>...> out;
  std::optional<SerdeError> err;
  size_t i = 0;
  auto one = [&](auto tag, auto& dst) {
    using C = decltype(tag);
    size_t idx = i++;
    if (err) return;
    auto d = C::decode((*views)[idx], max_records);
    if (!d.ok()) {
      err = column_deserialize_error(d.error());
      return;
    }
    dst = std::move(d).value();
  };
  std::apply([&](auto&... dst) { (one(Cols{}, dst), ...); }, out);
  if (err) return Err(std::move(*err));
  size_t n = std::apply([](auto&... v) { return std::min({v.size()...}); }, out);
  std::apply([n](auto&... v) { (v.resize(n), ...); }, out);
  return out;
}

}  // namespace kesu
