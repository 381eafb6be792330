// RFC 3339 timestamps in UTC: "2024-02-29T12:34:56Z" with 0, 3, 6 or 9
// fraction digits on writing; any 1..9 fraction digits, 'T'/'t', 'Z'/'z' or a
// numeric offset on reading (converted to UTC).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/result.h"

namespace brenvik {

struct UnixTime {
  int64_t seconds = 0;  // since 1970-01-01T00:00:00Z
  uint32_t nanos = 0;   // 0..999'999'999

  static UnixTime from_ms(int64_t ms);
  // Rounds toward negative infinity.
  int64_t to_ms() const { return seconds * 1000 + nanos / 1'000'000; }
  friend bool operator==(const UnixTime&, const UnixTime&) = default;
};

enum class Rfc3339Error {
  Malformed,   // not the grammar
  OutOfRange,  // a field beyond its range (month 13, Feb 30, hour 24, ...)
};

std::string_view rfc3339_error_message(Rfc3339Error e);

// Writes years 0000..9999; `fraction_digits` is 0, 3, 6 or 9 (others are
// rounded down to the nearest of these). Times before year 0 or after 9999
// are written as the nearest end of that range.
std::string format_rfc3339(UnixTime t, int fraction_digits = 0);
inline std::string format_rfc3339_ms(int64_t unix_ms) {
  return format_rfc3339(UnixTime::from_ms(unix_ms), 3);
}

// Leap seconds (:60) are refused.
Result<UnixTime, Rfc3339Error> parse_rfc3339(std::string_view text);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d);
void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d);

}  // namespace brenvik
