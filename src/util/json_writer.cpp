#include "util/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

namespace brenvik {
namespace {

// 0: copy as is; 1: escape.
constexpr std::array<uint8_t, 256> make_escape_table() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 0x20; ++i) t[i] = 1;
  t['"'] = 1;
  t['\\'] = 1;
  return t;
}
constexpr auto kNeedsEscape = make_escape_table();

void append_escape(std::string& out, uint8_t c) {
  switch (c) {
    case '"':
      out.append("\\\"");
      return;
    case '\\':
      out.append("\\\\");
      return;
    case 0x08:
      out.append("\\b");
      return;
    case 0x09:
      out.append("\\t");
      return;
    case 0x0A:
      out.append("\\n");
      return;
    case 0x0C:
      out.append("\\f");
      return;
    case 0x0D:
      out.append("\\r");
      return;
    default: {
      static constexpr char hex[] = "0123456789abcdef";
      char buf[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
      out.append(buf, 6);
    }
  }
}

// Lays out the shortest digits of a finite non-zero value. `digits` holds the
// significant decimal digits (no sign, no point) and the value is
// 0.d1d2... * 10^kk, i.e. 10^(kk-1) <= |v| < 10^kk. `max_fixed` is the largest
// kk written without exponent; `min_fixed` the smallest kk (exclusive).
void layout(std::string& out, bool neg, std::string_view digits, int kk, int max_fixed,
            int min_fixed) {
  if (neg) out.push_back('-');
  const int len = int(digits.size());
  const int k = kk - len;  // value = digits * 10^k
  if (k >= 0 && kk <= max_fixed) {
    out.append(digits);
    out.append(size_t(k), '0');
    out.append(".0");
  } else if (kk > 0 && kk <= max_fixed) {
    out.append(digits.substr(0, size_t(kk)));
    out.push_back('.');
    out.append(digits.substr(size_t(kk)));
  } else if (kk > min_fixed && kk <= 0) {
    out.append("0.");
    out.append(size_t(-kk), '0');
    out.append(digits);
  } else {
    out.push_back(digits[0]);
    if (len > 1) {
      out.push_back('.');
      out.append(digits.substr(1));
    }
    out.push_back('e');
    char buf[8];
    auto r = std::to_chars(buf, buf + sizeof buf, kk - 1);
    out.append(buf, size_t(r.ptr - buf));
  }
}

template <typename F>
void append_float(std::string& out, F v, int max_fixed, int min_fixed) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  if (v == 0) {
    out.append(std::signbit(v) ? "-0.0" : "0.0");
    return;
  }
  // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]xx".
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view s(buf, size_t(r.ptr - buf));
  bool neg = false;
  if (s[0] == '-') {
    neg = true;
    s.remove_prefix(1);
  }
  const size_t e = s.find('e');
  char digits[32];
  size_t nd = 0;
  for (size_t i = 0; i < e; ++i)
    if (s[i] != '.') digits[nd++] = s[i];
  int exp10 = 0;
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), exp10);
  layout(out, neg, std::string_view(digits, nd), exp10 + 1, max_fixed, min_fixed);
}

}  // namespace

void json_append_string(std::string& out, std::string_view text) {
  out.push_back('"');
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t run = 0;
  for (size_t i = 0; i < n; ++i) {
    if (kNeedsEscape[p[i]]) {
      out.append(text.data() + run, i - run);
      append_escape(out, p[i]);
      run = i + 1;
    }
  }
  out.append(text.data() + run, n - run);
  out.push_back('"');
}

void json_append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, size_t(r.ptr - buf));
}

void json_append_i64(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, size_t(r.ptr - buf));
}

void json_append_f64(std::string& out, double v) {
  append_float(out, v, 16, -5);
}
void json_append_f32(std::string& out, float v) {
  append_float(out, v, 13, -6);
}

JsonWriter& JsonWriter::byte_array(ByteView bytes) {
  sep();
  out_.push_back('[');
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out_.push_back(',');
    json_append_u64(out_, bytes[i]);
  }
  out_.push_back(']');
  return done();
}

JsonWriter& JsonWriter::value(const nlohmann::json& v) {
  using T = nlohmann::json::value_t;
  switch (v.type()) {
    case T::null:
    case T::discarded:
      return null();
    case T::boolean:
      return boolean(v.get<bool>());
    case T::number_unsigned:
      return u64(v.get<uint64_t>());
    case T::number_integer:
      return i64(v.get<int64_t>());
    case T::number_float:
      return f64(v.get<double>());
    case T::string:
      return str(v.get_ref<const std::string&>());
    case T::binary:
      return byte_array(v.get_binary());
    case T::array:
      begin_array();
      for (const auto& e : v) value(e);
      return end_array();
    case T::object:
      begin_object();
      for (auto it = v.begin(); it != v.end(); ++it) {
        key(it.key());
        value(it.value());
      }
      return end_object();
  }
  return null();
}

std::string json_dump(const nlohmann::json& v) {
  JsonWriter w;
  w.value(v);
  return w.take();
}

}  // namespace brenvik
