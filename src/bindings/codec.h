// Value codec of the exported interface.
//
// Every compound value crosses the interface as bytes in a buffer: integers and
// floats big-endian, bool one byte, strings and byte arrays an i32 length then
// the bytes, optionals a 0/1 tag byte, sequences and maps an i32 count, enums an
// i32 variant number counted from 1, records their fields in declared order.
// Reads fail with the exact texts hosts match on; writes fail only past the i32
// length limit, which is an internal fault (std::length_error).
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/buffer.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::ffi {

// A read failure: the codec's message, later wrapped by the call frame.
using LiftError = std::string;
template <typename T>
using LiftResult = Result<T, LiftError>;

// Read position over the bytes of one buffer. Views the bytes; never copies.
class Reader {
 public:
  explicit Reader(ByteView bytes) : data_(bytes) {}
  size_t remaining() const { return data_.size() - pos_; }

  // Fails with "not enough bytes remaining in buffer (R < N)" when fewer than
  // n bytes are left; otherwise returns them and advances.
  LiftResult<ByteView> take(size_t n);

 private:
  ByteView data_;
  size_t pos_ = 0;
};

// Appends values to one growing output buffer, allocated the way every
// ByteBuffer is, so that a lowered result is handed to the host without a copy.
class Writer {
 public:
  Writer() = default;
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void put(uint8_t b) {
    reserve(1);
    buf_.data[buf_.len++] = b;
  }
  void put(ByteView bytes);
  void put_length(size_t n);  // i32; throws std::length_error past 2^31-1
  ByteView view() const { return {buf_.data, static_cast<size_t>(buf_.len)}; }
  // The written bytes as a buffer owned by the caller; the writer is emptied.
  ByteBuffer into_buffer();
  // A copy of the written bytes.
  Bytes copy() const { return Bytes(view().begin(), view().end()); }

 private:
  void reserve(size_t extra) {
    if (buf_.capacity - buf_.len < extra) grow(extra);
  }
  void grow(size_t extra);
  ByteBuffer buf_{0, 0, nullptr};
};

std::string not_enough_bytes(size_t remaining, size_t needed);

// Names and counts of the interface enums; specialised by the generated types.
template <typename E>
struct EnumInfo;
template <typename E>
concept InterfaceEnum = std::is_enum_v<E> && requires {
  EnumInfo<E>::count;
};

template <typename T>
struct Codec;

template <typename T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) struct Codec<T> {
  static LiftResult<T> read(Reader& r) {
    auto b = r.take(sizeof(T));
    if (!b.ok()) return Err(std::move(b).error());
    std::make_unsigned_t<T> v = 0;
    for (uint8_t byte : *b) v = static_cast<std::make_unsigned_t<T>>((v << 8) | byte);
    return static_cast<T>(v);
  }
  static void write(Writer& w, T v) {
    auto u = static_cast<std::make_unsigned_t<T>>(v);
    for (int s = int(sizeof(T)) * 8 - 8; s >= 0; s -= 8) w.put(uint8_t(u >> s));
  }
};

template <>
struct Codec<float> {
  static LiftResult<float> read(Reader& r) {
    auto v = Codec<uint32_t>::read(r);
    if (!v.ok()) return Err(std::move(v).error());
    return std::bit_cast<float>(*v);
  }
  static void write(Writer& w, float v) { Codec<uint32_t>::write(w, std::bit_cast<uint32_t>(v)); }
};

template <>
struct Codec<double> {
  static LiftResult<double> read(Reader& r) {
    auto v = Codec<uint64_t>::read(r);
    if (!v.ok()) return Err(std::move(v).error());
    return std::bit_cast<double>(*v);
  }
  static void write(Writer& w, double v) { Codec<uint64_t>::write(w, std::bit_cast<uint64_t>(v)); }
};

template <>
struct Codec<bool> {
  static LiftResult<bool> read(Reader& r);
  static void write(Writer& w, bool v) { w.put(v ? 1 : 0); }
};

// Reads an i32 length or count; negative values fail.
LiftResult<size_t> read_length(Reader& r);

// The codec's error for bytes that are not valid UTF-8, or nothing.
std::optional<LiftError> utf8_problem(ByteView bytes);

template <>
struct Codec<std::string> {
  // Checks the bytes as UTF-8.
  static LiftResult<std::string> read(Reader& r);
  static void write(Writer& w, std::string_view v);
};

// Also the form of a sequence of u8: an i32 count, then one byte each.
template <>
struct Codec<Bytes> {
  static LiftResult<Bytes> read(Reader& r);
  static void write(Writer& w, ByteView v);
};

template <typename T>
struct Codec<std::optional<T>> {
  static LiftResult<std::optional<T>> read(Reader& r) {
    auto tag = r.take(1);
    if (!tag.ok()) return Err(std::move(tag).error());
    if ((*tag)[0] == 0) return std::optional<T>{};
    if ((*tag)[0] != 1) return Err(LiftError("unexpected tag byte for Option"));
    auto v = Codec<T>::read(r);
    if (!v.ok()) return Err(std::move(v).error());
    return std::optional<T>(std::move(v).value());
  }
  static void write(Writer& w, const std::optional<T>& v) {
    w.put(v ? 1 : 0);
    if (v) Codec<T>::write(w, *v);
  }
};

template <typename T>
struct Codec<std::vector<T>> {
  static LiftResult<std::vector<T>> read(Reader& r) {
    auto n = read_length(r);
    if (!n.ok()) return Err(std::move(n).error());
    std::vector<T> out;
    // Every element takes at least one byte, so the buffer bounds the count.
    out.reserve(std::min(*n, r.remaining()));
    for (size_t i = 0; i < *n; ++i) {
      auto v = Codec<T>::read(r);
      if (!v.ok()) return Err(std::move(v).error());
      out.push_back(std::move(v).value());
    }
    return out;
  }
  static void write(Writer& w, const std::vector<T>& v) {
    w.put_length(v.size());
    for (const auto& e : v) Codec<T>::write(w, e);
  }
};

// A key that occurs twice keeps the later value.
template <typename K, typename V>
struct Codec<std::map<K, V>> {
  static LiftResult<std::map<K, V>> read(Reader& r) {
    auto n = read_length(r);
    if (!n.ok()) return Err(std::move(n).error());
    std::map<K, V> out;
    for (size_t i = 0; i < *n; ++i) {
      auto k = Codec<K>::read(r);
      if (!k.ok()) return Err(std::move(k).error());
      auto v = Codec<V>::read(r);
      if (!v.ok()) return Err(std::move(v).error());
      out.insert_or_assign(std::move(k).value(), std::move(v).value());
    }
    return out;
  }
  static void write(Writer& w, const std::map<K, V>& m) {
    w.put_length(m.size());
    for (const auto& [k, v] : m) {
      Codec<K>::write(w, k);
      Codec<V>::write(w, v);
    }
  }
};

template <InterfaceEnum E>
struct Codec<E> {
  static LiftResult<E> read(Reader& r) {
    auto n = Codec<int32_t>::read(r);
    if (!n.ok()) return Err(std::move(n).error());
    if (*n < 1 || *n > EnumInfo<E>::count) {
      return Err(LiftError("Invalid " + std::string(EnumInfo<E>::name) +
                           " enum value: " + std::to_string(*n)));
    }
    return static_cast<E>(*n);
  }
  static void write(Writer& w, E v) { Codec<int32_t>::write(w, static_cast<int32_t>(v)); }
};

// The display name of an enum value ("Medium", "SessionPending").
template <InterfaceEnum E>
std::string_view variant_name(E v) {
  return EnumInfo<E>::variant_names[static_cast<int32_t>(v) - 1];
}

// Reads one value that must fill `bytes` exactly.
template <typename T>
LiftResult<T> read_exact(ByteView bytes) {
  Reader r(bytes);
  auto v = Codec<T>::read(r);
  if (!v.ok()) return v;
  if (r.remaining() != 0) {
    return Err(LiftError(
        "junk data left in buffer after lifting (count: " + std::to_string(r.remaining()) + ")"));
  }
  return v;
}

template <typename T>
Bytes write_value(const T& v) {
  Writer w;
  Codec<T>::write(w, v);
  return w.copy();
}

// Writes one value straight into a new buffer for the host.
template <typename T>
ByteBuffer write_buffer(const T& v) {
  Writer w;
  Codec<T>::write(w, v);
  return w.into_buffer();
}

}  // namespace brenvik::ffi
