// Small helpers shared by the engine codec tests.
#pragma once

#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/hex.h"

namespace kesu::test {

// "01 2a ff" -> bytes; spaces are ignored.
inline brenvik::Bytes hx(std::string_view s) {
  std::string clean;
  for (char c : s)
    if (c != ' ') clean += c;
  auto r = brenvik::hex_decode(clean);
  return r.ok() ? *r : brenvik::Bytes{};
}
inline std::string to_hex(brenvik::ByteView b) {
  return brenvik::hex_encode(b);
}

// Deterministic pseudo-random numbers for round-trip and fuzz tests.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }
};

}  // namespace kesu::test
