// The TLS presentation language as RFC 9420 uses it (RFC 8446 §3 plus
// RFC 9420 §2.1): fixed-width big-endian integers, enums as their underlying
// integer, `opaque x<V>` and `T x<V>` vectors with the variable-size length
// header, `optional<T>`, fixed-size opaque arrays, `select` on a tag, and
// structs.
//
// A wire struct declares its fields exactly once, in a static `tls_fields()`
// returning a tuple of field descriptors; encoding and decoding are both
// derived from that one list, so the two directions cannot drift apart:
//
//   struct Lifetime {
//     uint64_t not_before = 0;
//     uint64_t not_after = 0;
//     static constexpr auto tls_fields() {
//       return std::tuple{tls::field(&Lifetime::not_before), tls::field(&Lifetime::not_after)};
//     }
//   };
//
// A `select` whose tag immediately precedes the selected body is a
// std::variant whose alternatives carry a static `tls_tag` (or are wrapped in
// tls::Case<Tag, T>). A select whose tag lives elsewhere (the membership tag
// of a PublicMessage depends on its sender) is a `tls::when` field: a
// std::optional that is on the wire exactly when a predicate over the fields
// already decoded holds, with no presence octet.
//
// Decoding is bounded by the input: every length is checked against the
// bytes that remain before anything is copied or allocated, vector elements
// are decoded one by one from the bytes actually present (never reserved from
// a count), and the types form no recursion, so nesting depth is fixed by the
// type structure. Errors are sticky: the first one stops the reader and every
// later read returns zero without consuming input.
//
// Encoding a value that violates its own declaration (a `when` field set
// while its predicate is false, a vector longer than 2^30 - 1 bytes) is a
// programming error and throws std::logic_error.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::rfc9420 {

enum class TlsError {
  Truncated,         // the input ended inside a value
  InvalidVarint,     // a length header with the reserved prefix 0b11
  NonMinimalVarint,  // a length header longer than its value needs
  InvalidOptional,   // an optional's presence octet other than 0 or 1
  UnknownSelector,   // a select tag with no case (unknown type, reserved value)
  InvalidConstant,   // a field whose value is fixed (version = mls10) differs
  EmptyElement,      // a vector element that occupies no bytes
  TrailingBytes,     // bytes left over after a whole value
  VectorOverrun,     // a vector element runs past the end of its vector
};

std::string_view tls_error_message(TlsError e);

// Largest length a variable-size header can carry (30 bits).
inline constexpr uint64_t kTlsMaxVarint = (uint64_t{1} << 30) - 1;

// Appends the minimal variable-size header for `value`; requires
// value <= kTlsMaxVarint (otherwise throws std::logic_error).
void tls_put_varint(Bytes& out, uint64_t value);

class TlsWriter {
 public:
  TlsWriter() = default;
  explicit TlsWriter(size_t reserve) { out_.reserve(reserve); }

  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) { put_u16_be(out_, v); }
  void u32(uint32_t v) { put_u32_be(out_, v); }
  void u64(uint64_t v) { put_u64_be(out_, v); }
  void raw(ByteView b) { append(out_, b); }
  void opaque(ByteView b) {
    tls_put_varint(out_, b.size());
    raw(b);
  }

  // Opens a vector: its elements follow until the matching end_vector, which
  // puts the length header in front of them.
  size_t begin_vector() const { return out_.size(); }
  void end_vector(size_t start);

  const Bytes& bytes() const& { return out_; }
  Bytes take() { return std::move(out_); }

 private:
  Bytes out_;
};

class TlsReader {
 public:
  explicit TlsReader(ByteView in) : in_(in), end_(in.size()) {}

  bool ok() const { return !error_; }
  TlsError error() const { return *error_; }
  // Records the first error; later reads return zero and consume nothing.
  void fail(TlsError e) {
    if (!error_) error_ = e;
  }

  size_t position() const { return pos_; }
  // Bytes left before the current limit (the end of the enclosing vector or
  // of the input).
  size_t remaining() const { return error_ ? 0 : end_ - pos_; }
  bool at_limit() const { return error_ || pos_ == end_; }

  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  uint64_t u64();
  // Returns a view of the next n bytes (empty on error).
  ByteView raw(size_t n);
  // Reads a variable-size header (RFC 9420 §2.1.2); 0 on error.
  uint64_t varint();
  // Reads `opaque x<V>` into out.
  void opaque(Bytes& out);

  // Narrows the readable range to the next n bytes (a vector's body);
  // returns the outer limit to hand back to pop_limit.
  std::optional<size_t> push_limit(uint64_t n);
  void pop_limit(size_t outer) { end_ = outer; }

 private:
  ByteView in_;
  size_t pos_ = 0;
  size_t end_;
  std::optional<TlsError> error_;
};

// An optional value kept on the heap, with value semantics (deep copy,
// comparison of contents). On the wire it is exactly `optional<T>`. Lists of
// mostly absent large values (the blank nodes of a ratchet tree: one byte on
// the wire each) use it so that memory follows the bytes received rather
// than sizeof(T) per entry.
template <typename T>
class OptionalBox {
 public:
  OptionalBox() = default;
  OptionalBox(std::nullopt_t) {}  // NOLINT: implicit like std::optional
  OptionalBox(T v) : p_(std::make_unique<T>(std::move(v))) {}  // NOLINT
  OptionalBox(const OptionalBox& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
  OptionalBox(OptionalBox&&) noexcept = default;
  OptionalBox& operator=(const OptionalBox& o) {
    if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
    return *this;
  }
  OptionalBox& operator=(OptionalBox&&) noexcept = default;

  bool has_value() const { return p_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  // Require has_value().
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }
  // The value or nullptr.
  const T* get() const { return p_.get(); }

  T& emplace() {
    p_ = std::make_unique<T>();
    return *p_;
  }
  void reset() { p_.reset(); }

  friend bool operator==(const OptionalBox& a, const OptionalBox& b) {
    if (!a.p_ || !b.p_) return !a.p_ && !b.p_;
    return *a.p_ == *b.p_;
  }

 private:
  std::unique_ptr<T> p_;
};

// A value kept on the heap with value semantics; on the wire exactly T. Used
// for large values inside lists whose other entries are small on the wire,
// for the same reason as OptionalBox.
template <typename T>
class Box {
 public:
  Box() : p_(std::make_unique<T>()) {}
  Box(T v) : p_(std::make_unique<T>(std::move(v))) {}  // NOLINT: implicit by design
  Box(const Box& o) : p_(std::make_unique<T>(*o.p_)) {}
  Box(Box&& o) noexcept : p_(std::move(o.p_)) {}
  Box& operator=(const Box& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  Box& operator=(Box&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  // A moved-from Box is only assignable or destructible.
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }
  friend bool operator==(const Box& a, const Box& b) { return *a.p_ == *b.p_; }

 private:
  std::unique_ptr<T> p_;
};

// ---------------------------------------------------------------------------
// Codec dispatch. tls_write/tls_read pick the encoding from the C++ type.

template <typename T>
struct TlsCodec;  // specialised below per family of types

template <typename T>
void tls_write(TlsWriter& w, const T& v) {
  TlsCodec<T>::write(w, v);
}
template <typename T>
void tls_read(TlsReader& r, T& v) {
  TlsCodec<T>::read(r, v);
}

namespace tls {

// One member of the struct, coded by its type.
template <typename S, typename M>
struct Field {
  M S::*member;
  void write(TlsWriter& w, const S& s) const { tls_write(w, s.*member); }
  void read(TlsReader& r, S& s) const { tls_read(r, s.*member); }
};
template <typename S, typename M>
constexpr Field<S, M> field(M S::*m) {
  return {m};
}

// A member whose value is fixed by the protocol (`ProtocolVersion version =
// mls10`): written from the member, refused on decode when it differs.
template <typename S, typename M>
struct Constant {
  M S::*member;
  M expected;
  void write(TlsWriter& w, const S& s) const { tls_write(w, s.*member); }
  void read(TlsReader& r, S& s) const {
    tls_read(r, s.*member);
    if (r.ok() && !(s.*member == expected)) r.fail(TlsError::InvalidConstant);
  }
};
template <typename S, typename M>
constexpr Constant<S, M> constant(M S::*m, M expected) {
  return {m, expected};
}

// A std::optional member present on the wire exactly when `pred(struct)`
// holds; the predicate may read only fields declared before this one.
template <typename S, typename Get, typename Pred>
struct When {
  Get get;
  Pred pred;
  void write(TlsWriter& w, const S& s) const {
    const auto& opt = get(s);
    if (pred(s) != opt.has_value())
      throw std::logic_error("conditional wire field set against its condition");
    if (opt) tls_write(w, *opt);
  }
  void read(TlsReader& r, S& s) const {
    auto& opt = get(s);
    opt.reset();
    if (!r.ok() || !pred(s)) return;
    tls_read(r, opt.emplace());
  }
};
template <typename S, typename M, typename Pred>
constexpr auto when(std::optional<M> S::*m, Pred pred) {
  auto get = [m](auto& s) -> auto& {
    return s.*m;
  };
  return When<S, decltype(get), Pred>{get, pred};
}
// The same, reaching a member of a nested struct through an accessor
// (`[](auto& s) -> auto& { return s.auth.confirmation_tag; }`).
template <typename S, typename Get, typename Pred>
constexpr auto when_at(Get get, Pred pred) {
  return When<S, Get, Pred>{get, pred};
}

// A field reached through an accessor, for members of nested structs that
// are laid out flat on the wire.
template <typename S, typename Get>
struct At {
  Get get;
  void write(TlsWriter& w, const S& s) const { tls_write(w, get(s)); }
  void read(TlsReader& r, S& s) const { tls_read(r, get(s)); }
};
template <typename S, typename Get>
constexpr At<S, Get> at(Get get) {
  return {get};
}

// A select case carrying an existing type under a tag of the enclosing select.
template <auto Tag, typename T>
struct Case {
  static constexpr auto tls_tag = Tag;
  T value{};
  bool operator==(const Case&) const = default;
};

// A case with no body (`struct{}`).
template <auto Tag>
struct Empty {
  static constexpr auto tls_tag = Tag;
  bool operator==(const Empty&) const = default;
};

}  // namespace tls

template <typename T>
concept TlsStruct = requires {
  T::tls_fields();
};

template <typename T>
concept TlsTagged = requires {
  T::tls_tag;
};

// Writes the first N field descriptors of a struct: the to-be-signed form of
// a signed struct is its field list without the trailing signature.
template <size_t N, TlsStruct S>
void tls_write_prefix(TlsWriter& w, const S& s) {
  constexpr auto fields = S::tls_fields();
  static_assert(N <= std::tuple_size_v<std::remove_const_t<decltype(fields)>>);
  [&]<size_t... I>(std::index_sequence<I...>) {
    (std::get<I>(fields).write(w, s), ...);
  }
  (std::make_index_sequence<N>{});
}

template <TlsStruct S>
constexpr size_t tls_field_count() {
  return std::tuple_size_v<std::remove_const_t<decltype(S::tls_fields())>>;
}

template <TlsStruct S>
struct TlsCodec<S> {
  static void write(TlsWriter& w, const S& s) { tls_write_prefix<tls_field_count<S>()>(w, s); }
  static void read(TlsReader& r, S& s) {
    constexpr auto fields = S::tls_fields();
    std::apply([&](const auto&... f) { (f.read(r, s), ...); }, fields);
  }
};

template <std::unsigned_integral T>
struct TlsCodec<T> {
  static void write(TlsWriter& w, T v) {
    if constexpr (sizeof(T) == 1)
      w.u8(v);
    else if constexpr (sizeof(T) == 2)
      w.u16(v);
    else if constexpr (sizeof(T) == 4)
      w.u32(v);
    else
      w.u64(v);
  }
  static void read(TlsReader& r, T& v) {
    if constexpr (sizeof(T) == 1)
      v = r.u8();
    else if constexpr (sizeof(T) == 2)
      v = r.u16();
    else if constexpr (sizeof(T) == 4)
      v = r.u32();
    else
      v = r.u64();
  }
};

template <typename E>
requires std::is_enum_v<E>
struct TlsCodec<E> {
  using U = std::underlying_type_t<E>;
  static void write(TlsWriter& w, E v) { TlsCodec<U>::write(w, static_cast<U>(v)); }
  static void read(TlsReader& r, E& v) {
    U u{};
    TlsCodec<U>::read(r, u);
    v = static_cast<E>(u);
  }
};

// opaque x<V>
template <>
struct TlsCodec<Bytes> {
  static void write(TlsWriter& w, const Bytes& v) { w.opaque(v); }
  static void read(TlsReader& r, Bytes& v) { r.opaque(v); }
};

// opaque x<V> from a view, for structures that are only ever encoded (the
// labelled inputs of signatures, KDFs and hashes); they need no copy of the
// content. Decoding into a view is deliberately not provided.
template <>
struct TlsCodec<ByteView> {
  static void write(TlsWriter& w, ByteView v) { w.opaque(v); }
};

// opaque x[N]
template <size_t N>
struct TlsCodec<std::array<uint8_t, N>> {
  static void write(TlsWriter& w, const std::array<uint8_t, N>& v) { w.raw(v); }
  static void read(TlsReader& r, std::array<uint8_t, N>& v) {
    ByteView b = r.raw(N);
    if (b.size() == N) std::memcpy(v.data(), b.data(), N);
  }
};

// T x<V>: the header counts bytes, not elements. Elements are appended one
// at a time as they decode, so memory follows the bytes present.
template <typename T>
struct TlsCodec<std::vector<T>> {
  static void write(TlsWriter& w, const std::vector<T>& v) {
    size_t start = w.begin_vector();
    for (const T& e : v) tls_write(w, e);
    w.end_vector(start);
  }
  static void read(TlsReader& r, std::vector<T>& v) {
    v.clear();
    uint64_t len = r.varint();
    auto outer = r.push_limit(len);
    if (!outer) return;
    while (!r.at_limit()) {
      size_t before = r.position();
      tls_read(r, v.emplace_back());
      if (r.ok() && r.position() == before) r.fail(TlsError::EmptyElement);
    }
    r.pop_limit(*outer);
  }
};

// optional<T>
template <typename T>
struct TlsCodec<std::optional<T>> {
  static void write(TlsWriter& w, const std::optional<T>& v) {
    w.u8(v ? 1 : 0);
    if (v) tls_write(w, *v);
  }
  static void read(TlsReader& r, std::optional<T>& v) {
    v.reset();
    uint8_t present = r.u8();
    if (!r.ok()) return;
    if (present > 1) return r.fail(TlsError::InvalidOptional);
    if (present == 1) tls_read(r, v.emplace());
  }
};

template <typename T>
struct TlsCodec<Box<T>> {
  static void write(TlsWriter& w, const Box<T>& v) { tls_write(w, *v); }
  static void read(TlsReader& r, Box<T>& v) { tls_read(r, *v); }
};

template <typename T>
struct TlsCodec<OptionalBox<T>> {
  static void write(TlsWriter& w, const OptionalBox<T>& v) {
    w.u8(v ? 1 : 0);
    if (v) tls_write(w, *v);
  }
  static void read(TlsReader& r, OptionalBox<T>& v) {
    v.reset();
    uint8_t present = r.u8();
    if (!r.ok()) return;
    if (present > 1) return r.fail(TlsError::InvalidOptional);
    if (present == 1) tls_read(r, v.emplace());
  }
};

// select on a tag that precedes the body: the tag is written from the
// alternative held, and on decode picks the alternative whose tls_tag equals
// it; a tag with no alternative is UnknownSelector.
template <TlsTagged... Alts>
struct TlsCodec<std::variant<Alts...>> {
  using Tag = std::remove_cvref_t<decltype((Alts::tls_tag, ...))>;
  static_assert((std::is_same_v<Tag, std::remove_cvref_t<decltype(Alts::tls_tag)>> && ...),
                "all cases of a select share one tag type");

  static void write(TlsWriter& w, const std::variant<Alts...>& v) {
    std::visit(
        [&](const auto& alt) {
          using A = std::remove_cvref_t<decltype(alt)>;
          tls_write(w, A::tls_tag);
          write_body(w, alt);
        },
        v);
  }
  static void read(TlsReader& r, std::variant<Alts...>& v) {
    Tag tag{};
    tls_read(r, tag);
    if (!r.ok()) return;
    bool found = (try_alt<Alts>(r, v, tag) || ...);
    if (!found) r.fail(TlsError::UnknownSelector);
  }

 private:
  template <typename A>
  static void write_body(TlsWriter& w, const A& alt) {
    if constexpr (requires { alt.value; } && !TlsStruct<A>)
      tls_write(w, alt.value);
    else if constexpr (TlsStruct<A>)
      tls_write(w, alt);
  }
  template <typename A>
  static void read_body(TlsReader& r, A& alt) {
    if constexpr (requires { alt.value; } && !TlsStruct<A>)
      tls_read(r, alt.value);
    else if constexpr (TlsStruct<A>)
      tls_read(r, alt);
  }
  template <typename A>
  static bool try_alt(TlsReader& r, std::variant<Alts...>& v, Tag tag) {
    if (!(A::tls_tag == tag)) return false;
    read_body(r, v.template emplace<A>());
    return true;
  }
};

// ---------------------------------------------------------------------------
// Whole-value entry points.

template <typename T>
Bytes tls_encode(const T& v) {
  TlsWriter w;
  tls_write(w, v);
  return w.take();
}

// Decodes exactly one T from the whole input; trailing bytes are an error.
template <typename T>
Result<T, TlsError> tls_decode(ByteView in) {
  TlsReader r(in);
  T v{};
  tls_read(r, v);
  if (!r.ok()) return Err(r.error());
  if (r.remaining() != 0) return Err(TlsError::TrailingBytes);
  return v;
}

// Decodes one T from the front of `r`, leaving the rest for the caller.
template <typename T>
Result<T, TlsError> tls_decode_from(TlsReader& r) {
  T v{};
  tls_read(r, v);
  if (!r.ok()) return Err(r.error());
  return v;
}

}  // namespace brenvik::rfc9420
