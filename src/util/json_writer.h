// Compact JSON writer for the library's records.
//
// Output rules (shared by every record so that one writer serves them all):
// - no whitespace at all, no trailing line break;
// - strings escape only '"', '\\' and bytes below 0x20 (\b \t \n \f \r by
//   letter, the rest as \u00XX with lowercase hex); '/', 0x7F and non-ASCII
//   bytes are copied as they are;
// - integers in plain decimal, 64-bit values in full;
// - floats as the shortest text that reads back to the same value (f32 values
//   use the f32 shortest form), whole values keep ".0", exponents are written
//   as "e" and a signed decimal without '+' (1e21, 1.5e-7), the switch to
//   exponent form happens at 1e16 / below 1e-5 for f64 and at 1e13 / below
//   1e-6 for f32; NaN and infinities are written as null.
//
// The writer does not check the structure: callers pair begin/end and give
// every object entry a key() before its value. Commas are inserted
// automatically. Writing cannot fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "util/bytes.h"

namespace brenvik {

// Low-level appenders, usable without a JsonWriter.
void json_append_string(std::string& out, std::string_view text);
void json_append_u64(std::string& out, uint64_t v);
void json_append_i64(std::string& out, int64_t v);
void json_append_f64(std::string& out, double v);
void json_append_f32(std::string& out, float v);

class JsonWriter {
 public:
  JsonWriter() = default;
  // Starts with `reserve` bytes of capacity.
  explicit JsonWriter(size_t reserve) { out_.reserve(reserve); }

  JsonWriter& begin_object() { return open('{'); }
  JsonWriter& end_object() { return close('}'); }
  JsonWriter& begin_array() { return open('['); }
  JsonWriter& end_array() { return close(']'); }

  // Writes an object key; the next call must write its value.
  JsonWriter& key(std::string_view k) {
    sep();
    json_append_string(out_, k);
    out_.push_back(':');
    need_comma_ = false;
    return *this;
  }

  JsonWriter& str(std::string_view v) {
    sep();
    json_append_string(out_, v);
    return done();
  }
  JsonWriter& u64(uint64_t v) {
    sep();
    json_append_u64(out_, v);
    return done();
  }
  JsonWriter& i64(int64_t v) {
    sep();
    json_append_i64(out_, v);
    return done();
  }
  JsonWriter& f64(double v) {
    sep();
    json_append_f64(out_, v);
    return done();
  }
  JsonWriter& f32(float v) {
    sep();
    json_append_f32(out_, v);
    return done();
  }
  JsonWriter& boolean(bool v) {
    sep();
    out_.append(v ? "true" : "false");
    return done();
  }
  JsonWriter& null() {
    sep();
    out_.append("null");
    return done();
  }
  // A byte string as an array of decimal numbers 0..255.
  JsonWriter& byte_array(ByteView bytes);
  // Inserts an already-serialised JSON value verbatim (caller guarantees it is
  // well-formed compact JSON).
  JsonWriter& raw(std::string_view json) {
    sep();
    out_.append(json);
    return done();
  }
  // A generic value, written by the rules above (object keys in the value's
  // own order; floats as f64).
  JsonWriter& value(const nlohmann::json& v);

  // Shorthands for an entry: key(k) then the value.
  JsonWriter& field_str(std::string_view k, std::string_view v) { return key(k).str(v); }
  JsonWriter& field_u64(std::string_view k, uint64_t v) { return key(k).u64(v); }
  JsonWriter& field_i64(std::string_view k, int64_t v) { return key(k).i64(v); }
  JsonWriter& field_f64(std::string_view k, double v) { return key(k).f64(v); }
  JsonWriter& field_f32(std::string_view k, float v) { return key(k).f32(v); }
  JsonWriter& field_bool(std::string_view k, bool v) { return key(k).boolean(v); }
  JsonWriter& field_null(std::string_view k) { return key(k).null(); }

  const std::string& text() const { return out_; }
  // Moves the text out; the writer is empty afterwards.
  std::string take() {
    need_comma_ = false;
    return std::move(out_);
  }

 private:
  void sep() {
    if (need_comma_) out_.push_back(',');
  }
  JsonWriter& done() {
    need_comma_ = true;
    return *this;
  }
  JsonWriter& open(char c) {
    sep();
    out_.push_back(c);
    need_comma_ = false;
    return *this;
  }
  JsonWriter& close(char c) {
    out_.push_back(c);
    need_comma_ = true;
    return *this;
  }

  std::string out_;
  bool need_comma_ = false;
};

// Serialises a generic value compactly by the rules above.
std::string json_dump(const nlohmann::json& v);

}  // namespace brenvik
