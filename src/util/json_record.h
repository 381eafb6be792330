// One field list per JSON record, from which both its writer and its strict
// reader are derived, so that the two directions cannot drift apart.
//
// A record declares its fields once, in the order the writer emits them and
// the array form lists them, by specialising JsonRecord:
//
//   template <>
//   struct JsonRecord<SeenId> {
//     static constexpr std::string_view kName = "struct SeenId";
//     static constexpr auto fields() {
//       return std::tuple{json_field("id", &SeenId::id),
//                         json_field("seen_at_ms", &SeenId::seen_at_ms)};
//     }
//   };
//
//   write_json_record(w, seen);                  // {"id":"…","seen_at_ms":5}
//   BRENVIK_TRY_VOID(read_json_record(r, seen));  // read_record's rules and texts
//
// A field's codec writes and reads its value; the default codec follows the
// member's type (JsonCodec<T>). Required fields are written always; an
// optional member is Defaulted on reading (null or missing reads as absent)
// and left out of the output when absent. A field with its own wire form
// names a codec: any type with `write(JsonWriter&, const T&) const` and
// `read(JsonReader&, T&) const -> JsonStatus`, plus `present(const T&)` when
// the field may be left out (json_optional leaves an absent value out,
// json_nullable writes it as null).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik {

// Specialised per record: kName (the reader's "expecting" text, as in
// "struct Message") and fields(), a tuple of json_field(...).
template <typename Rec>
struct JsonRecord;

// The default codec of a member type.
template <typename T, typename = void>
struct JsonCodec;

template <>
struct JsonCodec<std::string> {
  static void write(JsonWriter& w, const std::string& v) { w.str(v); }
  static JsonStatus read(JsonReader& r, std::string& out) {
    BRENVIK_TRY(out, r.read_string());
    return {};
  }
};

template <>
struct JsonCodec<bool> {
  static void write(JsonWriter& w, bool v) { w.boolean(v); }
  static JsonStatus read(JsonReader& r, bool& out) {
    BRENVIK_TRY(out, r.read_bool());
    return {};
  }
};

template <typename T>
struct JsonCodec<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static void write(JsonWriter& w, T v) {
    if constexpr (std::is_signed_v<T>) {
      w.i64(v);
    } else {
      w.u64(v);
    }
  }
  static JsonStatus read(JsonReader& r, T& out) {
    BRENVIK_TRY(out, r.template read_int<T>());
    return {};
  }
};

template <>
struct JsonCodec<nlohmann::json> {
  static void write(JsonWriter& w, const nlohmann::json& v) { w.value(v); }
  static JsonStatus read(JsonReader& r, nlohmann::json& out) {
    BRENVIK_TRY(out, r.read_value());
    return {};
  }
};

// Byte strings as arrays of numbers 0..255.
template <>
struct JsonCodec<Bytes> {
  static void write(JsonWriter& w, const Bytes& v) { w.byte_array(v); }
  static JsonStatus read(JsonReader& r, Bytes& out) {
    BRENVIK_TRY(out, r.read_byte_array());
    return {};
  }
};

// A list through the codec of its elements.
template <typename Inner>
struct JsonArrayCodec {
  Inner inner{};
  template <typename T>
  void write(JsonWriter& w, const std::vector<T>& v) const {
    w.begin_array();
    for (const auto& e : v) inner.write(w, e);
    w.end_array();
  }
  template <typename T>
  JsonStatus read(JsonReader& r, std::vector<T>& out) const {
    BRENVIK_TRY_VOID(r.begin_array());
    for (;;) {
      BRENVIK_TRY(bool more, r.next_element());
      if (!more) return {};
      T v{};
      BRENVIK_TRY_VOID(inner.read(r, v));
      out.push_back(std::move(v));
    }
  }
};
template <typename Inner>
constexpr JsonArrayCodec<Inner> json_array(Inner inner) {
  return {inner};
}

template <typename T>
struct JsonCodec<std::vector<T>, std::enable_if_t<!std::is_same_v<T, uint8_t>>>
    : JsonArrayCodec<JsonCodec<T>> {};

// A unit enumeration written as one of `names` (indexed by the enumerator's
// value) and read by read_unit_enum's rules.
template <typename E, size_t N>
struct NamedEnumJsonCodec {
  std::string_view expecting;
  std::array<std::string_view, N> names;
  void write(JsonWriter& w, E v) const { w.str(names.at(size_t(v))); }
  JsonStatus read(JsonReader& r, E& out) const {
    BRENVIK_TRY(size_t v, read_unit_enum(r, expecting, names));
    out = E(v);
    return {};
  }
};

// An optional value through the codec of its value: left out when absent,
// null read as absent.
template <typename Inner>
struct OptionalJsonCodec {
  Inner inner{};
  template <typename T>
  bool present(const std::optional<T>& v) const {
    return v.has_value();
  }
  template <typename T>
  void write(JsonWriter& w, const std::optional<T>& v) const {
    inner.write(w, *v);
  }
  template <typename T>
  JsonStatus read(JsonReader& r, std::optional<T>& out) const {
    BRENVIK_TRY(bool is_null, r.peek_null());
    if (is_null) {
      out.reset();
      return r.read_null();
    }
    T v{};
    BRENVIK_TRY_VOID(inner.read(r, v));
    out = std::move(v);
    return {};
  }
};

// The same, but an absent value is written as null instead of left out.
template <typename Inner>
struct NullableJsonCodec : OptionalJsonCodec<Inner> {
  template <typename T>
  void write(JsonWriter& w, const std::optional<T>& v) const {
    if (v) {
      this->inner.write(w, *v);
    } else {
      w.null();
    }
  }
  template <typename T>
  bool present(const std::optional<T>&) const {
    return true;
  }
};

template <typename T>
struct JsonCodec<std::optional<T>> : OptionalJsonCodec<JsonCodec<T>> {};

template <typename Inner>
constexpr OptionalJsonCodec<Inner> json_optional(Inner inner) {
  return {inner};
}
template <typename Inner>
constexpr NullableJsonCodec<Inner> json_nullable(Inner inner) {
  return {{inner}};
}

// A codec from two plain functions, for a field with its own wire form.
template <typename T>
struct FnJsonCodec {
  void (*write_fn)(JsonWriter&, const T&);
  Result<T, JsonError> (*read_fn)(JsonReader&);
  void write(JsonWriter& w, const T& v) const { write_fn(w, v); }
  JsonStatus read(JsonReader& r, T& out) const {
    BRENVIK_TRY(out, read_fn(r));
    return {};
  }
};
template <typename T>
constexpr FnJsonCodec<T> json_codec(void (*write)(JsonWriter&, const T&),
                                    Result<T, JsonError> (*read)(JsonReader&)) {
  return {write, read};
}

// A nested record that declares its own JsonRecord.
template <typename Rec>
struct JsonRecordCodec;

namespace json_record_detail {
template <typename T>
struct is_optional : std::false_type {};
template <typename T>
struct is_optional<std::optional<T>> : std::true_type {};

template <typename C, typename T>
constexpr bool has_present = requires(const C& c, const T& v) {
  { c.present(v) } -> std::convertible_to<bool>;
};
}  // namespace json_record_detail

template <typename Rec, typename M, typename Codec>
struct JsonRecordField {
  std::string_view key;
  FieldRule rule;
  M Rec::*member;
  Codec codec;

  void write(JsonWriter& w, const Rec& rec) const {
    const M& v = rec.*member;
    if constexpr (json_record_detail::has_present<Codec, M>) {
      if (!codec.present(v)) return;
    }
    w.key(key);
    codec.write(w, v);
  }
  JsonStatus read(JsonReader& r, Rec& rec) const { return codec.read(r, rec.*member); }
};

// A field through the default codec of its type: Required, or Defaulted for
// an optional member.
template <typename Rec, typename M>
constexpr auto json_field(std::string_view key, M Rec::*member) {
  constexpr FieldRule rule =
      json_record_detail::is_optional<M>::value ? FieldRule::Defaulted : FieldRule::Required;
  return JsonRecordField<Rec, M, JsonCodec<M>>{key, rule, member, {}};
}

// A field with its own codec and rule.
template <typename Rec, typename M, typename Codec>
constexpr auto json_field(std::string_view key, M Rec::*member, Codec codec,
                          FieldRule rule = FieldRule::Required) {
  return JsonRecordField<Rec, M, Codec>{key, rule, member, codec};
}

// The reader's key table of a record, derived from its field list.
template <typename Rec>
constexpr auto json_record_keys() {
  return std::apply(
      [](const auto&... f) {
        return std::array<JsonField, sizeof...(f)>{JsonField{f.key, f.rule}...};
      },
      JsonRecord<Rec>::fields());
}

// Writes the record as a compact object, fields in declared order.
template <typename Rec>
void write_json_record(JsonWriter& w, const Rec& rec) {
  static constexpr auto fields = JsonRecord<Rec>::fields();
  w.begin_object();
  std::apply([&](const auto&... f) { (f.write(w, rec), ...); }, fields);
  w.end_object();
}

// Reads the record by read_record's rules (object or array form) into `rec`;
// fields not present keep the values `rec` had.
template <typename Rec>
JsonStatus read_json_record(JsonReader& r, Rec& rec) {
  static constexpr auto fields = JsonRecord<Rec>::fields();
  static constexpr auto keys = json_record_keys<Rec>();
  return read_record(r, JsonRecord<Rec>::kName, keys, [&](size_t i) -> JsonStatus {
    JsonStatus st;
    size_t k = 0;
    std::apply(
        [&](const auto&... f) { (void)((k++ == i ? (st = f.read(r, rec), true) : false) || ...); },
        fields);
    return st;
  });
}

// The same, into a default-constructed record.
template <typename Rec>
Result<Rec, JsonError> read_json_record(JsonReader& r) {
  Rec rec{};
  BRENVIK_TRY_VOID(read_json_record(r, rec));
  return rec;
}

template <typename Rec>
struct JsonRecordCodec {
  void write(JsonWriter& w, const Rec& rec) const { write_json_record(w, rec); }
  JsonStatus read(JsonReader& r, Rec& rec) const { return read_json_record(r, rec); }
};

}  // namespace brenvik
