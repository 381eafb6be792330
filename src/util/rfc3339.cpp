#include "util/rfc3339.h"

namespace brenvik {

// H. Hinnant's civil calendar algorithms.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = int64_t(yoe) + era * 400 + (m <= 2);
}

UnixTime UnixTime::from_ms(int64_t ms) {
  int64_t s = ms / 1000, r = ms % 1000;
  if (r < 0) {
    r += 1000;
    --s;
  }
  return UnixTime{s, uint32_t(r) * 1'000'000u};
}

std::string_view rfc3339_error_message(Rfc3339Error e) {
  switch (e) {
    case Rfc3339Error::Malformed:
      return "input is not an RFC 3339 date-time";
    case Rfc3339Error::OutOfRange:
      return "input is out of range";
  }
  return "invalid date-time";
}

namespace {

void put_digits(std::string& out, uint64_t v, int width) {
  char buf[20];
  for (int i = width - 1; i >= 0; --i) {
    buf[i] = char('0' + v % 10);
    v /= 10;
  }
  out.append(buf, size_t(width));
}

bool is_leap(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned days_in_month(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

}  // namespace

std::string format_rfc3339(UnixTime t, int fraction_digits) {
  // Four-digit years only: times outside are written as the nearest end.
  static const int64_t kMin = days_from_civil(0, 1, 1) * 86400;
  static const int64_t kMax = days_from_civil(9999, 12, 31) * 86400 + 86399;
  if (t.seconds < kMin) t = UnixTime{kMin, 0};
  if (t.seconds > kMax) t = UnixTime{kMax, 999'999'999};
  if (t.nanos > 999'999'999) t.nanos = 999'999'999;
  int64_t days = t.seconds / 86400, secs = t.seconds % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  int64_t y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  std::string out;
  out.reserve(30);
  put_digits(out, uint64_t(y), 4);
  out.push_back('-');
  put_digits(out, m, 2);
  out.push_back('-');
  put_digits(out, d, 2);
  out.push_back('T');
  put_digits(out, uint64_t(secs / 3600), 2);
  out.push_back(':');
  put_digits(out, uint64_t(secs / 60 % 60), 2);
  out.push_back(':');
  put_digits(out, uint64_t(secs % 60), 2);
  const int digits = fraction_digits >= 9   ? 9
                     : fraction_digits >= 6 ? 6
                     : fraction_digits >= 3 ? 3
                                            : 0;
  if (digits) {
    out.push_back('.');
    uint64_t frac = t.nanos;
    for (int i = digits; i < 9; ++i) frac /= 10;
    put_digits(out, frac, digits);
  }
  out.push_back('Z');
  return out;
}

Result<UnixTime, Rfc3339Error> parse_rfc3339(std::string_view s) {
  size_t pos = 0;
  auto num = [&](int width, unsigned& out) -> bool {
    if (s.size() - pos < size_t(width)) return false;
    unsigned v = 0;
    for (int i = 0; i < width; ++i) {
      const char c = s[pos + size_t(i)];
      if (c < '0' || c > '9') return false;
      v = v * 10 + unsigned(c - '0');
    }
    out = v;
    pos += size_t(width);
    return true;
  };
  auto lit = [&](auto pred) -> bool {
    if (pos >= s.size() || !pred(s[pos])) return false;
    ++pos;
    return true;
  };
  unsigned year, month, day, hour, minute, second;
  if (!num(4, year) || !lit([](char c) { return c == '-'; }) || !num(2, month) ||
      !lit([](char c) { return c == '-'; }) || !num(2, day) ||
      !lit([](char c) { return c == 'T' || c == 't'; }) || !num(2, hour) ||
      !lit([](char c) { return c == ':'; }) || !num(2, minute) ||
      !lit([](char c) { return c == ':'; }) || !num(2, second))
    return Err(Rfc3339Error::Malformed);
  uint32_t nanos = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    int n = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (n == 9) return Err(Rfc3339Error::Malformed);
      nanos = nanos * 10 + uint32_t(s[pos] - '0');
      ++n;
      ++pos;
    }
    if (n == 0) return Err(Rfc3339Error::Malformed);
    for (int i = n; i < 9; ++i) nanos *= 10;
  }
  int64_t offset_s = 0;
  if (pos < s.size() && (s[pos] == 'Z' || s[pos] == 'z')) {
    ++pos;
  } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    const bool neg = s[pos] == '-';
    ++pos;
    unsigned oh, om;
    if (!num(2, oh) || !lit([](char c) { return c == ':'; }) || !num(2, om))
      return Err(Rfc3339Error::Malformed);
    if (oh > 23 || om > 59) return Err(Rfc3339Error::OutOfRange);
    offset_s = int64_t(oh) * 3600 + int64_t(om) * 60;
    if (neg) offset_s = -offset_s;
  } else {
    return Err(Rfc3339Error::Malformed);
  }
  if (pos != s.size()) return Err(Rfc3339Error::Malformed);
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    return Err(Rfc3339Error::OutOfRange);
  const int64_t days = days_from_civil(year, month, day);
  const int64_t secs = days * 86400 + int64_t(hour) * 3600 + int64_t(minute) * 60 + second;
  return UnixTime{secs - offset_s, nanos};
}

}  // namespace brenvik
