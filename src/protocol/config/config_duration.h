// A configuration duration: a whole-second count and a nanosecond part, the
// shape in which the forwarding tunables are kept. The second count spans the
// full unsigned 64-bit range, wider than std::chrono can hold, so the checks
// that combine durations work on this form and never overflow.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace brenvik {

struct ConfigDuration {
  static constexpr uint32_t kNanosPerSecond = 1'000'000'000;

  uint64_t secs = 0;
  uint32_t nanos = 0;  // below kNanosPerSecond

  static constexpr ConfigDuration from_millis(uint64_t ms) {
    return ConfigDuration{ms / 1000, static_cast<uint32_t>((ms % 1000) * 1'000'000)};
  }
  static constexpr ConfigDuration from_secs(uint64_t s) { return ConfigDuration{s, 0}; }
  // The largest duration: every second and 999999999 nanoseconds.
  static constexpr ConfigDuration max() { return ConfigDuration{UINT64_MAX, kNanosPerSecond - 1}; }

  constexpr bool is_zero() const { return secs == 0 && nanos == 0; }

  // Seconds first, then nanoseconds.
  friend constexpr auto operator<=>(const ConfigDuration&, const ConfigDuration&) = default;

  // The sum, or max() when it does not fit.
  friend constexpr ConfigDuration saturating_add(ConfigDuration a, ConfigDuration b) {
    uint64_t secs = 0;
    if (__builtin_add_overflow(a.secs, b.secs, &secs)) return max();
    uint32_t nanos = a.nanos + b.nanos;  // both below 10^9: no overflow of 32 bits
    if (nanos >= kNanosPerSecond) {
      nanos -= kNanosPerSecond;
      if (secs == UINT64_MAX) return max();
      ++secs;
    }
    return ConfigDuration{secs, nanos};
  }

  // Whole milliseconds (seconds x 1000 plus nanoseconds / 10^6, rounded
  // down) in decimal. The value can exceed 64 bits, so it is formed wider.
  std::string whole_millis_text() const;
};

}  // namespace brenvik
