#include "util/hash.h"

namespace brenvik {
namespace {

inline uint64_t rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

}  // namespace

uint64_t siphash(ByteView data, uint64_t k0, uint64_t k1, int c_rounds, int d_rounds) {
  SipState s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
             k1 ^ 0x7465646279746573ull};
  const uint8_t* p = data.data();
  const size_t n = data.size();
  const size_t full = n & ~size_t(7);
  for (size_t i = 0; i < full; i += 8) {
    const uint64_t m = load_u64_le(p + i);
    s.v3 ^= m;
    for (int r = 0; r < c_rounds; ++r) s.round();
    s.v0 ^= m;
  }
  uint64_t last = uint64_t(n) << 56;
  for (size_t i = 0; i < (n & 7); ++i) last |= uint64_t(p[full + i]) << (8 * i);
  s.v3 ^= last;
  for (int r = 0; r < c_rounds; ++r) s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  for (int r = 0; r < d_rounds; ++r) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace brenvik
