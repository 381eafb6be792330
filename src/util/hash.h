// Non-cryptographic hashes with fixed, portable results: SipHash-1-3 (the
// keyed hash used for stable 64-bit digests of texts; zero keys by default)
// and FNV-1a 64.
#pragma once

#include <cstdint>
#include <string_view>

#include "util/bytes.h"

namespace brenvik {

// SipHash with `c` compression and `d` finalisation rounds over `data`
// (Aumasson and Bernstein); keys as two little-endian 64-bit words.
uint64_t siphash(ByteView data, uint64_t k0, uint64_t k1, int c_rounds, int d_rounds);

inline uint64_t siphash13(ByteView data, uint64_t k0 = 0, uint64_t k1 = 0) {
  return siphash(data, k0, k1, 1, 3);
}
inline uint64_t siphash13(std::string_view text) {
  return siphash13(as_bytes(text));
}
inline uint64_t siphash24(ByteView data, uint64_t k0, uint64_t k1) {
  return siphash(data, k0, k1, 2, 4);
}

inline constexpr uint64_t kFnv1a64Offset = 0xcbf29ce484222325ull;
inline constexpr uint64_t kFnv1a64Prime = 0x100000001b3ull;

constexpr uint64_t fnv1a64(std::string_view data, uint64_t h = kFnv1a64Offset) {
  for (char c : data) {
    h ^= uint8_t(c);
    h *= kFnv1a64Prime;
  }
  return h;
}
inline uint64_t fnv1a64(ByteView data, uint64_t h = kFnv1a64Offset) {
  return fnv1a64(as_chars(data), h);
}

}  // namespace brenvik
