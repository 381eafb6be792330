// Strict JSON pull reader for the library's records.
//
// The reader walks one input buffer token by token; record readers drive it
// field by field so that every refusal carries an exact text and the
// position where reading stopped:
//
//   JsonReader r(text);
//   static constexpr JsonField kFields[] = {{"id", FieldRule::Required},
//                                           {"note", FieldRule::Optional}};
//   Foo foo;
//   auto st = read_record(r, "struct Foo", kFields, [&](size_t i) -> JsonStatus {
//     switch (i) {
//       case 0: { BRENVIK_TRY(foo.id, r.read_string()); return {}; }
//       case 1: { BRENVIK_TRY(foo.note, r.read_optional_string()); return {}; }
//     }
//     return {};
//   });
//   if (st.ok()) st = r.finish();      // only whitespace may follow
//   if (!st.ok()) log(st.error().to_string());  // "... at line L column C"
//
// Rules enforced here:
// - whitespace between tokens: space, tab, line feed, carriage return;
// - strings: JSON escapes incl. \uXXXX with surrogate pairs (unpaired
//   surrogates refused), raw control characters refused, the bytes of every
//   string that is read checked as UTF-8 (skipped values are only checked
//   for syntax);
// - numbers: JSON grammar; integers that fit u64 / i64 stay exact, others
//   (fraction, exponent, -0, beyond 64 bits) are floats; integer reads refuse
//   floats ("invalid type: floating point `5.0`, expected u64") and
//   out-of-range integers ("invalid value: integer `-1`, expected u64");
// - arrays and objects nest at most 128 levels ("recursion limit exceeded");
// - errors at the end of input name the open construct ("EOF while parsing
//   a value / a list / an object / a string").
//
// Positions: line and column count from 1; the column is the number of bytes
// of the line up to and including the last byte the reader looked at, so an
// error found at the very start of a line reports column 0.
//
// Views returned by read_string_view()/next_key() point into the input or
// into the reader's scratch buffer and stay valid until the next call on the
// reader. The input must outlive the reader.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

struct JsonError {
  std::string message;  // without position, e.g. "missing field `id`"
  size_t line = 0;
  size_t column = 0;
  // message + " at line L column C"
  std::string to_string() const;
};

using JsonStatus = Result<void, JsonError>;

enum class JsonType { Null, Bool, Number, String, Array, Object };

class JsonReader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit JsonReader(std::string_view input) : in_(input) {}
  explicit JsonReader(ByteView input) : in_(as_chars(input)) {}
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Type of the next value, after whitespace; consumes nothing else.
  // EOF: "EOF while parsing a value"; a byte no value starts with: "expected value".
  Result<JsonType, JsonError> peek_type();
  // True when the next value is null, without consuming it.
  Result<bool, JsonError> peek_null();

  // Objects. begin_object() consumes '{' (the next value must be an object,
  // else "invalid type: ..., expected <expecting>"). next_key() reads the next
  // key and its ':' and returns true, or consumes '}' and returns false.
  JsonStatus begin_object(std::string_view expecting = "a map");
  Result<bool, JsonError> next_key(std::string_view& key);

  // Arrays. begin_array() consumes '['. next_element() returns true when a
  // value follows (the caller must then read or skip it), or consumes ']'
  // and returns false.
  JsonStatus begin_array(std::string_view expecting = "a sequence");
  Result<bool, JsonError> next_element();

  // Scalars. Each consumes exactly one value; a value of another JSON type is
  // refused with "invalid type: <found>, expected <what>".
  Result<std::string_view, JsonError> read_string_view();
  Result<std::string, JsonError> read_string();
  Result<bool, JsonError> read_bool();
  // Integers of one width and signedness: a float, even a whole one, is
  // "invalid type: floating point `5.0`, expected u32"; an integer outside
  // the range is "invalid value: integer `-1`, expected u32". Defined for
  // uint8_t, uint16_t, uint32_t, uint64_t, int32_t and int64_t.
  template <typename T>
  Result<T, JsonError> read_int();
  Result<uint64_t, JsonError> read_u64() { return read_int<uint64_t>(); }
  Result<uint32_t, JsonError> read_u32() { return read_int<uint32_t>(); }
  Result<uint16_t, JsonError> read_u16() { return read_int<uint16_t>(); }
  Result<uint8_t, JsonError> read_u8() { return read_int<uint8_t>(); }
  Result<int64_t, JsonError> read_i64() { return read_int<int64_t>(); }
  Result<int32_t, JsonError> read_i32() { return read_int<int32_t>(); }
  // Any JSON number; integers convert to the nearest float. f32 rounds the
  // f64 value (out-of-range magnitudes become infinities).
  Result<double, JsonError> read_f64();
  Result<float, JsonError> read_f32();
  // Consumes `null`, else "invalid type: <found>, expected unit".
  JsonStatus read_null();
  // An array of numbers 0..255.
  Result<Bytes, JsonError> read_byte_array();

  // Optional values: null reads as absent, anything else as the value.
  Result<std::optional<std::string>, JsonError> read_optional_string();
  Result<std::optional<uint64_t>, JsonError> read_optional_u64();
  Result<std::optional<int64_t>, JsonError> read_optional_i64();
  Result<std::optional<bool>, JsonError> read_optional_bool();
  Result<std::optional<double>, JsonError> read_optional_f64();

  // Consumes one well-formed value of any type without keeping it.
  JsonStatus skip_value();
  // Reads one value of any type into a generic value (duplicate keys keep
  // the last value; unsigned/signed/float numbers keep their kind).
  Result<nlohmann::json, JsonError> read_value();

  // After the top-level value: only whitespace may follow, else
  // "trailing characters".
  JsonStatus finish();

  // Errors at the current position (after the last byte looked at).
  JsonError error(std::string message) const { return error_at(pos_, std::move(message)); }
  // Errors about the next unread byte (the position includes it).
  JsonError peek_error(std::string message) const {
    return error_at(pos_ < in_.size() ? pos_ + 1 : pos_, std::move(message));
  }
  // "invalid type: <found>, expected <expecting>" for the next value; the
  // scalar is consumed, an array or object is not.
  JsonError invalid_type(std::string_view expecting);
  // "invalid length N, expected <expecting> with M element(s)".
  JsonError invalid_length(size_t found, std::string_view expecting, size_t field_count) const;
  JsonError missing_field(std::string_view key) const;
  // Reported at the end of the repeated key.
  JsonError duplicate_field(std::string_view key) const;

  // Saving and restoring the position lets a reader look ahead (for example
  // find a tag key anywhere in an object) and then read from the mark again.
  struct Mark {
    size_t pos;
    int depth;
  };
  Mark mark() const { return {pos_, depth_}; }
  void reset(Mark m) {
    pos_ = m.pos;
    depth_ = m.depth;
  }
  // Byte offset of the next unread byte.
  size_t offset() const { return pos_; }
  std::string_view input() const { return in_; }

 private:
  struct Number {
    enum Kind { U64, I64, F64 } kind;
    uint64_t u = 0;
    int64_t i = 0;
    double f = 0;
  };

  // Position just after input[0..end).
  JsonError error_at(size_t end, std::string message) const;
  // Skips whitespace; returns the next byte or -1 at EOF.
  int peek_ws();
  JsonError eof_or(size_t at, const char* msg) const;
  JsonStatus enter();
  Result<bool, JsonError> next_key_impl(std::string_view& key, bool validate);
  // After the opening '"'. With `validate` the bytes are checked as UTF-8,
  // surrogate escapes must pair, and the unescaped text is returned; without,
  // only the syntax is checked and the returned view is empty.
  Result<std::string_view, JsonError> parse_string(bool validate);
  Result<uint32_t, JsonError> parse_hex4();
  // At '-' or a digit. With `convert` false only the syntax is checked.
  Result<Number, JsonError> parse_number(bool convert = true);
  JsonStatus skip_scalar(int c);
  JsonStatus parse_ident(std::string_view rest);          // after the first letter
  Result<std::string, JsonError> describe_and_consume();  // for invalid_type
  // null as absent, else `read` (one of the scalar readers).
  template <typename T, typename Read>
  Result<std::optional<T>, JsonError> read_optional(Read read);
  Result<nlohmann::json, JsonError> read_value_at_depth();

  std::string_view in_;
  size_t pos_ = 0;
  size_t key_end_ = 0;  // position after the last key read (duplicate errors)
  int depth_ = 0;
  bool first_ = true;  // no entry read yet in the innermost open container
  std::string scratch_;
};

// How a record field behaves when it is left out.
enum class FieldRule : uint8_t {
  Required,   // object form: "missing field `k`"; array form: must be present
  Optional,   // object form: absent when missing; array form: must be present
  Defaulted,  // may be left out in both forms (array form: only at the end)
};

struct JsonField {
  std::string_view key;
  FieldRule rule;
};

// Reads a record from a JSON object or from a JSON array of its field values
// in declared order. For every field present, `read_field(index)` is called
// with the reader positioned at the field's value; it must consume exactly
// that value. Unknown keys are skipped (their values must be well-formed); a
// known key given twice is "duplicate field `k`"; the first missing Required
// key (declared order) is "missing field `k`". In the array form a missing
// non-Defaulted value is "invalid length <index>, expected <expecting> with
// <N> elements" and surplus values are "trailing characters". Anything other
// than an object or array is "invalid type: ..., expected <expecting>".
// `expecting` names the record as in "struct Message". At most 64 fields
// (more is a programming error and aborts in debug builds).
// Fields not present are left to the caller's defaults.
template <typename ReadField>
JsonStatus read_record(JsonReader& r, std::string_view expecting, std::span<const JsonField> fields,
                       ReadField&& read_field);

// Reads a unit enumeration: a JSON string equal to one of `spellings`
// (exactly, case included) or an object with one such key whose value is
// null. Returns the index of the spelling. Other text: "unknown variant
// `x`, expected one of `a`, `b`, ...".
Result<size_t, JsonError> read_unit_enum(JsonReader& r, std::string_view expecting,
                                         std::span<const std::string_view> spellings);

// "unknown variant `x`, expected ..." (the list wording for 0, 1, 2 or more
// spellings).
std::string unknown_variant_message(std::string_view found,
                                    std::span<const std::string_view> spellings);

// Looks ahead in the object at the reader's position for `key` and returns
// its string value (absent when the key is missing), leaving the reader where
// it was, so that a tagged record can pick its kind before reading its
// fields. Only the object's syntax up to the key is checked here; a non-string
// value of `key` is "invalid type: ..., expected a string".
Result<std::optional<std::string>, JsonError> peek_object_string(JsonReader& r,
                                                                 std::string_view key);

// Parses a whole text as one generic value (then only whitespace).
Result<nlohmann::json, JsonError> parse_json(std::string_view text);

// ---- implementation of the template ----

template <typename ReadField>
JsonStatus read_record(JsonReader& r, std::string_view expecting, std::span<const JsonField> fields,
                       ReadField&& read_field) {
  BRENVIK_TRY(JsonType t, r.peek_type());
  if (t == JsonType::Object) {
    BRENVIK_TRY_VOID(r.begin_object(expecting));
    uint64_t seen = 0;
    std::string_view key;
    for (;;) {
      BRENVIK_TRY(bool more, r.next_key(key));
      if (!more) break;
      size_t idx = fields.size();
      for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].key == key) {
          idx = i;
          break;
        }
      }
      if (idx == fields.size()) {
        BRENVIK_TRY_VOID(r.skip_value());
        continue;
      }
      if (seen >> idx & 1) return Err(r.duplicate_field(fields[idx].key));
      seen |= uint64_t(1) << idx;
      BRENVIK_TRY_VOID(read_field(idx));
    }
    for (size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].rule == FieldRule::Required && !(seen >> i & 1))
        return Err(r.missing_field(fields[i].key));
    }
    return {};
  }
  if (t == JsonType::Array) {
    BRENVIK_TRY_VOID(r.begin_array(expecting));
    bool ended = false;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (!ended) {
        BRENVIK_TRY(bool more, r.next_element());
        ended = !more;
      }
      if (ended) {
        if (fields[i].rule != FieldRule::Defaulted)
          return Err(r.invalid_length(i, expecting, fields.size()));
        continue;
      }
      BRENVIK_TRY_VOID(read_field(i));
    }
    if (!ended) {
      BRENVIK_TRY(bool more, r.next_element());
      if (more) return Err(r.peek_error("trailing characters"));
    }
    return {};
  }
  return Err(r.invalid_type(expecting));
}

// Reads one whole text into a fresh T: `read_fields(reader, out)` fills it,
// then only whitespace may follow.
template <typename T, typename ReadFields>
Result<T, JsonError> read_whole_record(std::string_view text, ReadFields read_fields) {
  JsonReader r(text);
  T out{};
  BRENVIK_TRY_VOID(read_fields(r, out));
  BRENVIK_TRY_VOID(r.finish());
  return out;
}

}  // namespace brenvik
