#include "util/json_reader.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "util/debug_string.h"
#include "util/json_writer.h"
#include "util/utf8.h"

namespace brenvik {
namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";

bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | cp >> 6));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | cp >> 12));
    out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | cp >> 18));
    out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// f64 -> f32 with round-to-nearest and overflow to infinity (a plain cast of
// an out-of-range double is undefined).
float narrow_to_f32(double d) {
  const double a = std::fabs(d);
  if (a <= double(FLT_MAX) || std::isnan(d)) return static_cast<float>(d);
  // Halfway between FLT_MAX and the next power of two rounds to infinity.
  if (a < 3.4028235677973366e38) return std::copysign(FLT_MAX, float(d > 0 ? 1 : -1));
  return std::copysign(INFINITY, float(d > 0 ? 1 : -1));
}

}  // namespace

std::string JsonError::to_string() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

JsonError JsonReader::error_at(size_t end, std::string message) const {
  if (end > in_.size()) end = in_.size();
  size_t line = 1, line_start = 0;
  for (size_t i = 0; i < end; ++i) {
    if (in_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return JsonError{std::move(message), line, end - line_start};
}

int JsonReader::peek_ws() {
  const size_t n = in_.size();
  while (pos_ < n) {
    const char c = in_[pos_];
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      ++pos_;
    } else {
      return uint8_t(c);
    }
  }
  return -1;
}

Result<JsonType, JsonError> JsonReader::peek_type() {
  const int c = peek_ws();
  switch (c) {
    case -1:
      return Err(error(kEofValue));
    case 'n':
      return JsonType::Null;
    case 't':
    case 'f':
      return JsonType::Bool;
    case '"':
      return JsonType::String;
    case '[':
      return JsonType::Array;
    case '{':
      return JsonType::Object;
    default:
      if (c == '-' || is_digit(c)) return JsonType::Number;
      return Err(peek_error("expected value"));
  }
}

Result<bool, JsonError> JsonReader::peek_null() {
  BRENVIK_TRY(JsonType t, peek_type());
  return t == JsonType::Null;
}

JsonStatus JsonReader::enter() {
  if (depth_ >= kMaxDepth) return Err(peek_error("recursion limit exceeded"));
  ++depth_;
  ++pos_;
  first_ = true;
  return {};
}

JsonStatus JsonReader::begin_object(std::string_view expecting) {
  const int c = peek_ws();
  if (c == '{') return enter();
  if (c == -1) return Err(error(kEofValue));
  return Err(invalid_type(expecting));
}

JsonStatus JsonReader::begin_array(std::string_view expecting) {
  const int c = peek_ws();
  if (c == '[') return enter();
  if (c == -1) return Err(error(kEofValue));
  return Err(invalid_type(expecting));
}

Result<bool, JsonError> JsonReader::next_key(std::string_view& key) {
  return next_key_impl(key, true);
}

Result<bool, JsonError> JsonReader::next_key_impl(std::string_view& key, bool validate) {
  int c = peek_ws();
  if (c == '}') {
    ++pos_;
    --depth_;
    first_ = false;
    return false;
  }
  if (c == -1) return Err(error(kEofObject));
  if (!first_) {
    if (c != ',') return Err(peek_error("expected `,` or `}`"));
    ++pos_;
    c = peek_ws();
    if (c == '}') return Err(peek_error("trailing comma"));
    if (c == -1) return Err(error(kEofValue));
  }
  first_ = false;
  if (c != '"') return Err(peek_error("key must be a string"));
  ++pos_;
  BRENVIK_TRY(key, parse_string(validate));
  key_end_ = pos_;
  c = peek_ws();
  if (c == ':') {
    ++pos_;
    return true;
  }
  if (c == -1) return Err(error(kEofObject));
  return Err(peek_error("expected `:`"));
}

Result<bool, JsonError> JsonReader::next_element() {
  int c = peek_ws();
  if (c == ']') {
    ++pos_;
    --depth_;
    first_ = false;
    return false;
  }
  if (c == -1) return Err(error(kEofList));
  if (!first_) {
    if (c != ',') return Err(peek_error("expected `,` or `]`"));
    ++pos_;
    c = peek_ws();
    if (c == ']') return Err(peek_error("trailing comma"));
    if (c == -1) return Err(error(kEofValue));
  }
  first_ = false;
  return true;
}

Result<uint32_t, JsonError> JsonReader::parse_hex4() {
  if (in_.size() - pos_ < 4) {
    pos_ = in_.size();
    return Err(error(kEofString));
  }
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = in_[pos_++];
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = uint32_t(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = uint32_t(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = uint32_t(c - 'A' + 10);
    } else {
      return Err(error("invalid escape"));
    }
    v = v << 4 | d;
  }
  return v;
}

Result<std::string_view, JsonError> JsonReader::parse_string(bool validate) {
  const size_t start = pos_;
  const size_t n = in_.size();
  const auto* p = reinterpret_cast<const uint8_t*>(in_.data());
  uint8_t high = 0;
  // Fast path: no escapes.
  while (pos_ < n) {
    const uint8_t c = p[pos_];
    if (c == '"') {
      std::string_view s = in_.substr(start, pos_ - start);
      ++pos_;
      if (validate && (high & 0x80) && !validate_utf8(s).ok())
        return Err(error("invalid unicode code point"));
      return validate ? s : std::string_view();
    }
    if (c == '\\') break;
    if (c < 0x20) {
      ++pos_;
      return Err(error("control character (\\u0000-\\u001F) found while parsing a string"));
    }
    high |= c;
    ++pos_;
  }
  if (pos_ >= n) return Err(error(kEofString));
  if (validate) scratch_.assign(in_.data() + start, pos_ - start);
  for (;;) {
    if (pos_ >= n) return Err(error(kEofString));
    const uint8_t c = p[pos_++];
    if (c == '"') break;
    if (c < 0x20)
      return Err(error("control character (\\u0000-\\u001F) found while parsing a string"));
    if (c != '\\') {
      high |= c;
      if (validate) scratch_.push_back(char(c));
      continue;
    }
    if (pos_ >= n) return Err(error(kEofString));
    const char e = char(p[pos_++]);
    char plain = 0;
    switch (e) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
        BRENVIK_TRY(uint32_t cp, parse_hex4());
        if (!validate) continue;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return Err(error("lone leading surrogate in hex escape"));
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (pos_ >= n) return Err(error(kEofString));
          if (p[pos_] != '\\') {
            ++pos_;
            return Err(error("unexpected end of hex escape"));
          }
          ++pos_;
          if (pos_ >= n) return Err(error(kEofString));
          if (p[pos_] != 'u') {
            ++pos_;
            return Err(error("unexpected end of hex escape"));
          }
          ++pos_;
          BRENVIK_TRY(uint32_t lo, parse_hex4());
          if (lo < 0xDC00 || lo > 0xDFFF) return Err(error("lone leading surrogate in hex escape"));
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        }
        append_utf8(scratch_, cp);
        continue;
      }
      default:
        return Err(error("invalid escape"));
    }
    if (validate) scratch_.push_back(plain);
  }
  if (!validate) return std::string_view();
  // Escapes are ASCII, so checking the raw bytes checks the text.
  if ((high & 0x80) && !validate_utf8(in_.substr(start, pos_ - 1 - start)).ok())
    return Err(error("invalid unicode code point"));
  return std::string_view(scratch_);
}

Result<JsonReader::Number, JsonError> JsonReader::parse_number(bool convert) {
  const size_t start = pos_;
  const size_t n = in_.size();
  bool neg = false;
  if (in_[pos_] == '-') {
    neg = true;
    ++pos_;
  }
  if (pos_ >= n) return Err(error(kEofValue));
  uint64_t mag = 0;
  bool overflow = false;
  bool int_is_zero = false;
  size_t int_len = 0;
  if (in_[pos_] == '0') {
    ++pos_;
    int_is_zero = true;
    if (pos_ < n && is_digit(in_[pos_])) return Err(peek_error("invalid number"));
  } else if (is_digit(in_[pos_])) {
    while (pos_ < n && is_digit(in_[pos_])) {
      const uint64_t d = uint64_t(in_[pos_] - '0');
      if (mag > (UINT64_MAX - d) / 10) overflow = true;
      if (!overflow) mag = mag * 10 + d;
      ++int_len;
      ++pos_;
    }
  } else {
    return Err(peek_error("invalid number"));
  }
  bool is_float = false;
  long frac_zeros = 0;  // leading zeros of the fraction when the integer part is 0
  bool frac_nonzero_seen = false;
  if (pos_ < n && in_[pos_] == '.') {
    is_float = true;
    ++pos_;
    if (pos_ >= n) return Err(error(kEofValue));
    if (!is_digit(in_[pos_])) return Err(peek_error("invalid number"));
    while (pos_ < n && is_digit(in_[pos_])) {
      if (in_[pos_] != '0') frac_nonzero_seen = true;
      if (!frac_nonzero_seen) ++frac_zeros;
      ++pos_;
    }
  }
  long exp = 0;
  if (pos_ < n && (in_[pos_] == 'e' || in_[pos_] == 'E')) {
    is_float = true;
    ++pos_;
    bool exp_neg = false;
    if (pos_ < n && (in_[pos_] == '+' || in_[pos_] == '-')) {
      exp_neg = in_[pos_] == '-';
      ++pos_;
    }
    if (pos_ >= n) return Err(error(kEofValue));
    if (!is_digit(in_[pos_])) return Err(peek_error("invalid number"));
    while (pos_ < n && is_digit(in_[pos_])) {
      if (exp < 1000000000) exp = exp * 10 + (in_[pos_] - '0');
      ++pos_;
    }
    if (exp_neg) exp = -exp;
  }
  Number out{Number::F64};
  if (!convert) return out;
  if (!is_float && !overflow) {
    if (!neg) {
      out.kind = Number::U64;
      out.u = mag;
      return out;
    }
    if (mag != 0 && mag <= uint64_t(INT64_MAX) + 1) {
      out.kind = Number::I64;
      out.i = int64_t(0 - mag);
      return out;
    }
  }
  double v = 0;
  auto r = std::from_chars(in_.data() + start, in_.data() + pos_, v);
  if (r.ec == std::errc::result_out_of_range) {
    // Decimal magnitude of the leading digit decides overflow or underflow.
    const long magnitude = exp + (int_is_zero ? -frac_zeros : long(int_len));
    if (magnitude > 0) return Err(error("number out of range"));
    v = neg ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || r.ptr != in_.data() + pos_) {
    return Err(error("invalid number"));
  }
  out.f = v;
  return out;
}

JsonStatus JsonReader::parse_ident(std::string_view rest) {
  for (char want : rest) {
    if (pos_ >= in_.size()) return Err(error(kEofValue));
    if (in_[pos_++] != want) return Err(error("expected ident"));
  }
  return {};
}

Result<std::string, JsonError> JsonReader::describe_and_consume() {
  const int c = peek_ws();
  switch (c) {
    case -1:
      return Err(error(kEofValue));
    case 'n':
      ++pos_;
      BRENVIK_TRY_VOID(parse_ident("ull"));
      return std::string("null");
    case 't':
      ++pos_;
      BRENVIK_TRY_VOID(parse_ident("rue"));
      return std::string("boolean `true`");
    case 'f':
      ++pos_;
      BRENVIK_TRY_VOID(parse_ident("alse"));
      return std::string("boolean `false`");
    case '"': {
      ++pos_;
      BRENVIK_TRY(std::string_view s, parse_string(true));
      return "string " + debug_quoted(s);
    }
    case '[':
      return std::string("sequence");
    case '{':
      return std::string("map");
    default:
      break;
  }
  if (c == '-' || is_digit(c)) {
    BRENVIK_TRY(Number num, parse_number());
    switch (num.kind) {
      case Number::U64:
        return "integer `" + std::to_string(num.u) + "`";
      case Number::I64:
        return "integer `" + std::to_string(num.i) + "`";
      case Number::F64: {
        std::string s = "floating point `";
        json_append_f64(s, num.f);
        return s + "`";
      }
    }
  }
  return Err(peek_error("expected value"));
}

JsonError JsonReader::invalid_type(std::string_view expecting) {
  auto found = describe_and_consume();
  if (!found.ok()) return std::move(found).error();
  return error("invalid type: " + *found + ", expected " + std::string(expecting));
}

JsonError JsonReader::invalid_length(size_t found, std::string_view expecting,
                                     size_t field_count) const {
  return error("invalid length " + std::to_string(found) + ", expected " + std::string(expecting) +
               " with " + std::to_string(field_count) +
               (field_count == 1 ? " element" : " elements"));
}

JsonError JsonReader::missing_field(std::string_view key) const {
  return error("missing field `" + std::string(key) + "`");
}

JsonError JsonReader::duplicate_field(std::string_view key) const {
  return error_at(key_end_, "duplicate field `" + std::string(key) + "`");
}

Result<std::string_view, JsonError> JsonReader::read_string_view() {
  const int c = peek_ws();
  if (c == '"') {
    ++pos_;
    return parse_string(true);
  }
  if (c == -1) return Err(error(kEofValue));
  return Err(invalid_type("a string"));
}

Result<std::string, JsonError> JsonReader::read_string() {
  BRENVIK_TRY(std::string_view s, read_string_view());
  return std::string(s);
}

Result<bool, JsonError> JsonReader::read_bool() {
  const int c = peek_ws();
  if (c == 't') {
    ++pos_;
    BRENVIK_TRY_VOID(parse_ident("rue"));
    return true;
  }
  if (c == 'f') {
    ++pos_;
    BRENVIK_TRY_VOID(parse_ident("alse"));
    return false;
  }
  if (c == -1) return Err(error(kEofValue));
  return Err(invalid_type("a boolean"));
}

JsonStatus JsonReader::read_null() {
  const int c = peek_ws();
  if (c == 'n') {
    ++pos_;
    return parse_ident("ull");
  }
  if (c == -1) return Err(error(kEofValue));
  return Err(invalid_type("unit"));
}

namespace {
template <typename T>
constexpr std::string_view int_type_name() {
  if constexpr (std::is_same_v<T, uint8_t>) return "u8";
  if constexpr (std::is_same_v<T, uint16_t>) return "u16";
  if constexpr (std::is_same_v<T, uint32_t>) return "u32";
  if constexpr (std::is_same_v<T, uint64_t>) return "u64";
  if constexpr (std::is_same_v<T, int32_t>) return "i32";
  if constexpr (std::is_same_v<T, int64_t>) return "i64";
}
}  // namespace

template <typename T>
Result<T, JsonError> JsonReader::read_int() {
  static_assert(!int_type_name<T>().empty(), "no JSON reader for this integer type");
  constexpr std::string_view what = int_type_name<T>();
  using Limits = std::numeric_limits<T>;
  const int c = peek_ws();
  if (c == -1) return Err(error(kEofValue));
  if (c != '-' && !is_digit(c)) return Err(invalid_type(what));
  BRENVIK_TRY(Number num, parse_number());
  switch (num.kind) {
    case Number::U64:
      if (num.u <= uint64_t(Limits::max())) return T(num.u);
      return Err(error("invalid value: integer `" + std::to_string(num.u) + "`, expected " +
                       std::string(what)));
    case Number::I64:
      if constexpr (Limits::is_signed) {
        if (num.i >= int64_t(Limits::min()) && num.i <= int64_t(Limits::max())) return T(num.i);
      }
      return Err(error("invalid value: integer `" + std::to_string(num.i) + "`, expected " +
                       std::string(what)));
    case Number::F64:
      break;
  }
  std::string f = "invalid type: floating point `";
  json_append_f64(f, num.f);
  return Err(error(f + "`, expected " + std::string(what)));
}

template Result<uint8_t, JsonError> JsonReader::read_int<uint8_t>();
template Result<uint16_t, JsonError> JsonReader::read_int<uint16_t>();
template Result<uint32_t, JsonError> JsonReader::read_int<uint32_t>();
template Result<uint64_t, JsonError> JsonReader::read_int<uint64_t>();
template Result<int32_t, JsonError> JsonReader::read_int<int32_t>();
template Result<int64_t, JsonError> JsonReader::read_int<int64_t>();

Result<double, JsonError> JsonReader::read_f64() {
  const int c = peek_ws();
  if (c == -1) return Err(error(kEofValue));
  if (c != '-' && !is_digit(c)) return Err(invalid_type("f64"));
  BRENVIK_TRY(Number num, parse_number());
  switch (num.kind) {
    case Number::U64:
      return double(num.u);
    case Number::I64:
      return double(num.i);
    case Number::F64:
      return num.f;
  }
  return num.f;
}

Result<float, JsonError> JsonReader::read_f32() {
  const int c = peek_ws();
  if (c == -1) return Err(error(kEofValue));
  if (c != '-' && !is_digit(c)) return Err(invalid_type("f32"));
  BRENVIK_TRY(double d, read_f64());
  return narrow_to_f32(d);
}

Result<Bytes, JsonError> JsonReader::read_byte_array() {
  // Byte strings are most of the bytes of a stored record, so the common
  // form "[d,d,...]" (decimals 0-255, no leading zeros, optional whitespace)
  // is scanned directly. Anything else, valid or not, is read again from the
  // same position by the general path below, which gives every error its
  // exact text and position.
  if (depth_ < kMaxDepth) {
    size_t p = pos_;
    auto ws = [&] {
      while (p < in_.size() &&
             (in_[p] == ' ' || in_[p] == '\t' || in_[p] == '\n' || in_[p] == '\r'))
        ++p;
    };
    ws();
    if (p < in_.size() && in_[p] == '[') {
      ++p;
      ws();
      Bytes out;
      bool ok = false;
      if (p < in_.size() && in_[p] == ']') {
        ok = true;
      } else {
        for (;;) {
          ws();
          size_t b = p;
          unsigned v = 0;
          while (p < in_.size() && p - b < 4 && in_[p] >= '0' && in_[p] <= '9')
            v = v * 10 + unsigned(in_[p++] - '0');
          if (p == b || p - b > 3 || (in_[b] == '0' && p - b > 1) || v > 255) break;
          out.push_back(uint8_t(v));
          ws();
          if (p >= in_.size()) break;
          if (in_[p] == ',') {
            ++p;
            continue;
          }
          ok = in_[p] == ']';
          break;
        }
      }
      if (ok) {
        pos_ = p + 1;
        first_ = false;
        return out;
      }
    }
  }
  BRENVIK_TRY_VOID(begin_array("a sequence"));
  Bytes out;
  for (;;) {
    BRENVIK_TRY(bool more, next_element());
    if (!more) break;
    BRENVIK_TRY(uint8_t b, read_u8());
    out.push_back(b);
  }
  return out;
}

template <typename T, typename Read>
Result<std::optional<T>, JsonError> JsonReader::read_optional(Read read) {
  BRENVIK_TRY(bool is_null, peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(read_null());
    return std::optional<T>();
  }
  BRENVIK_TRY(T v, (this->*read)());
  return std::optional<T>(std::move(v));
}

Result<std::optional<std::string>, JsonError> JsonReader::read_optional_string() {
  return read_optional<std::string>(&JsonReader::read_string);
}
Result<std::optional<uint64_t>, JsonError> JsonReader::read_optional_u64() {
  return read_optional<uint64_t>(&JsonReader::read_u64);
}
Result<std::optional<int64_t>, JsonError> JsonReader::read_optional_i64() {
  return read_optional<int64_t>(&JsonReader::read_i64);
}
Result<std::optional<bool>, JsonError> JsonReader::read_optional_bool() {
  return read_optional<bool>(&JsonReader::read_bool);
}
Result<std::optional<double>, JsonError> JsonReader::read_optional_f64() {
  return read_optional<double>(&JsonReader::read_f64);
}

JsonStatus JsonReader::skip_scalar(int c) {
  switch (c) {
    case -1:
      return Err(error(kEofValue));
    case '"': {
      ++pos_;
      BRENVIK_TRY_VOID(parse_string(false));
      return {};
    }
    case 't':
      ++pos_;
      return parse_ident("rue");
    case 'f':
      ++pos_;
      return parse_ident("alse");
    case 'n':
      ++pos_;
      return parse_ident("ull");
    default:
      break;
  }
  if (c == '-' || is_digit(c)) {
    BRENVIK_TRY_VOID(parse_number(false));
    return {};
  }
  return Err(peek_error("expected value"));
}

JsonStatus JsonReader::skip_value() {
  int c = peek_ws();
  if (c != '[' && c != '{') return skip_scalar(c);
  // Iterative walk; enter() bounds the depth, so the stack is bounded too.
  bool is_object[kMaxDepth + 1];
  int sp = 0;
  BRENVIK_TRY_VOID(enter());
  is_object[sp++] = c == '{';
  while (sp > 0) {
    bool more;
    if (is_object[sp - 1]) {
      std::string_view key;
      BRENVIK_TRY(more, next_key_impl(key, false));
    } else {
      BRENVIK_TRY(more, next_element());
    }
    if (!more) {
      --sp;
      continue;
    }
    c = peek_ws();
    if (c == '[' || c == '{') {
      BRENVIK_TRY_VOID(enter());
      is_object[sp++] = c == '{';
    } else {
      BRENVIK_TRY_VOID(skip_scalar(c));
    }
  }
  return {};
}

Result<nlohmann::json, JsonError> JsonReader::read_value() {
  BRENVIK_TRY(JsonType t, peek_type());
  switch (t) {
    case JsonType::Null: {
      BRENVIK_TRY_VOID(read_null());
      return nlohmann::json(nullptr);
    }
    case JsonType::Bool: {
      BRENVIK_TRY(bool b, read_bool());
      return nlohmann::json(b);
    }
    case JsonType::Number: {
      BRENVIK_TRY(Number num, parse_number());
      switch (num.kind) {
        case Number::U64:
          return nlohmann::json(num.u);
        case Number::I64:
          return nlohmann::json(num.i);
        case Number::F64:
          return nlohmann::json(num.f);
      }
      return nlohmann::json(num.f);
    }
    case JsonType::String: {
      BRENVIK_TRY(std::string s, read_string());
      return nlohmann::json(std::move(s));
    }
    case JsonType::Array: {
      BRENVIK_TRY_VOID(begin_array());
      nlohmann::json arr = nlohmann::json::array();
      for (;;) {
        BRENVIK_TRY(bool more, next_element());
        if (!more) break;
        BRENVIK_TRY(nlohmann::json v, read_value());
        arr.push_back(std::move(v));
      }
      return arr;
    }
    case JsonType::Object: {
      BRENVIK_TRY_VOID(begin_object());
      nlohmann::json obj = nlohmann::json::object();
      std::string_view k;
      for (;;) {
        BRENVIK_TRY(bool more, next_key(k));
        if (!more) break;
        std::string key(k);
        BRENVIK_TRY(nlohmann::json v, read_value());
        obj[key] = std::move(v);
      }
      return obj;
    }
  }
  return nlohmann::json();
}

JsonStatus JsonReader::finish() {
  if (peek_ws() != -1) return Err(peek_error("trailing characters"));
  return {};
}

std::string unknown_variant_message(std::string_view found,
                                    std::span<const std::string_view> spellings) {
  std::string m = "unknown variant `" + std::string(found) + "`, ";
  // Built by appending: GCC 12's release build misreads the chained
  // operator+ form as an overlapping copy (-Wrestrict).
  auto tick = [](std::string_view s) {
    std::string t;
    t.reserve(s.size() + 2);
    t.push_back('`');
    t.append(s);
    t.push_back('`');
    return t;
  };
  switch (spellings.size()) {
    case 0:
      return m + "there are no variants";
    case 1:
      return m + "expected " + tick(spellings[0]);
    case 2:
      return m + "expected " + tick(spellings[0]) + " or " + tick(spellings[1]);
    default:
      break;
  }
  m += "expected one of ";
  for (size_t i = 0; i < spellings.size(); ++i) {
    if (i) m += ", ";
    m += tick(spellings[i]);
  }
  return m;
}

Result<size_t, JsonError> read_unit_enum(JsonReader& r, std::string_view expecting,
                                         std::span<const std::string_view> spellings) {
  BRENVIK_TRY(JsonType t, r.peek_type());
  auto find = [&](std::string_view s) -> size_t {
    for (size_t i = 0; i < spellings.size(); ++i)
      if (spellings[i] == s) return i;
    return spellings.size();
  };
  if (t == JsonType::String) {
    BRENVIK_TRY(std::string_view s, r.read_string_view());
    const size_t i = find(s);
    if (i == spellings.size()) return Err(r.error(unknown_variant_message(s, spellings)));
    return i;
  }
  if (t == JsonType::Object) {
    BRENVIK_TRY_VOID(r.begin_object(expecting));
    std::string_view key;
    BRENVIK_TRY(bool more, r.next_key(key));
    if (!more) return Err(r.error("invalid length 0, expected a single variant key"));
    const size_t i = find(key);
    if (i == spellings.size()) return Err(r.error(unknown_variant_message(key, spellings)));
    BRENVIK_TRY_VOID(r.read_null());
    BRENVIK_TRY(bool again, r.next_key(key));
    if (again) return Err(r.error("expected value"));
    return i;
  }
  return Err(r.invalid_type(expecting));
}

Result<std::optional<std::string>, JsonError> peek_object_string(JsonReader& r,
                                                                 std::string_view key) {
  const JsonReader::Mark start = r.mark();
  auto scan = [&]() -> Result<std::optional<std::string>, JsonError> {
    BRENVIK_TRY_VOID(r.begin_object());
    std::string_view k;
    for (;;) {
      BRENVIK_TRY(bool more, r.next_key(k));
      if (!more) return std::optional<std::string>();
      if (k == key) {
        BRENVIK_TRY(std::string v, r.read_string());
        return std::optional<std::string>(std::move(v));
      }
      BRENVIK_TRY_VOID(r.skip_value());
    }
  };
  auto result = scan();
  r.reset(start);
  return result;
}

Result<nlohmann::json, JsonError> parse_json(std::string_view text) {
  JsonReader r(text);
  BRENVIK_TRY(nlohmann::json v, r.read_value());
  BRENVIK_TRY_VOID(r.finish());
  return v;
}

}  // namespace brenvik
