#include "util/hex.h"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brenvik {
namespace {

constexpr std::array<uint8_t, 256> make_hex_table() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (int i = 0; i < 10; ++i) t['0' + i] = uint8_t(i);
  for (int i = 0; i < 6; ++i) {
    t['a' + i] = uint8_t(10 + i);
    t['A' + i] = uint8_t(10 + i);
  }
  return t;
}
constexpr auto kHexValue = make_hex_table();

// Two output characters per byte value, so the encoder does one store per byte.
constexpr std::array<char, 512> make_pair_table() {
  std::array<char, 512> t{};
  constexpr char digits[] = "0123456789abcdef";
  for (int i = 0; i < 256; ++i) {
    t[2 * i] = digits[i >> 4];
    t[2 * i + 1] = digits[i & 15];
  }
  return t;
}
constexpr auto kHexPairs = make_pair_table();

}  // namespace

#if defined(__SSE2__)
namespace {

// Nibbles 0..15 to '0'..'9', 'a'..'f'.
inline __m128i nibbles_to_ascii(__m128i n) {
  const __m128i gt9 = _mm_cmpgt_epi8(n, _mm_set1_epi8(9));
  return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), _mm_and_si128(gt9, _mm_set1_epi8(39)));
}

// 16 hex characters to their values; sets `bad` lanes where a character is
// not a hex digit.
inline __m128i ascii_to_nibbles(__m128i c, __m128i& bad) {
  const __m128i d = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  const __m128i is_d =
      _mm_and_si128(_mm_cmpgt_epi8(d, _mm_set1_epi8(-1)), _mm_cmplt_epi8(d, _mm_set1_epi8(10)));
  const __m128i l = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i is_l =
      _mm_and_si128(_mm_cmpgt_epi8(l, _mm_set1_epi8(-1)), _mm_cmplt_epi8(l, _mm_set1_epi8(6)));
  bad = _mm_or_si128(bad, _mm_andnot_si128(_mm_or_si128(is_d, is_l), _mm_set1_epi8(-1)));
  return _mm_or_si128(_mm_and_si128(is_d, d),
                      _mm_and_si128(is_l, _mm_add_epi8(l, _mm_set1_epi8(10))));
}

// Pairs of nibble bytes (high first) in each 16-bit lane to one byte.
inline __m128i join_pairs(__m128i v) {
  const __m128i hi = _mm_slli_epi16(_mm_and_si128(v, _mm_set1_epi16(0x00ff)), 4);
  return _mm_or_si128(hi, _mm_srli_epi16(v, 8));
}

}  // namespace
#endif

std::string hex_encode(ByteView data) {
  std::string out(data.size() * 2, '\0');
  char* o = out.data();
  const uint8_t* p = data.data();
  size_t n = data.size();
#if defined(__SSE2__)
  for (; n >= 16; n -= 16, p += 16, o += 32) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i lo = _mm_and_si128(in, _mm_set1_epi8(0x0f));
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(in, 4), _mm_set1_epi8(0x0f));
    const __m128i h = nibbles_to_ascii(hi), l = nibbles_to_ascii(lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(h, l));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi8(h, l));
  }
#endif
  for (; n > 0; --n, ++p, o += 2) std::memcpy(o, &kHexPairs[2 * *p], 2);
  return out;
}

Result<Bytes, CodecError> hex_decode(std::string_view text) {
  if (text.size() % 2 != 0) return Err(CodecError::InvalidLength);
  Bytes out(text.size() / 2);
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  size_t i = 0;
#if defined(__SSE2__)
  __m128i bad = _mm_setzero_si128();
  for (; i + 16 <= out.size(); i += 16) {
    const __m128i a =
        ascii_to_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i)), bad);
    const __m128i b =
        ascii_to_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i + 16)), bad);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + i),
                     _mm_packus_epi16(join_pairs(a), join_pairs(b)));
  }
  if (_mm_movemask_epi8(bad) != 0) return Err(CodecError::InvalidCharacter);
#endif
  for (; i < out.size(); ++i) {
    uint8_t hi = kHexValue[in[2 * i]], lo = kHexValue[in[2 * i + 1]];
    if ((hi | lo) & 0xF0) return Err(CodecError::InvalidCharacter);
    out[i] = uint8_t(hi << 4 | lo);
  }
  return out;
}

}  // namespace brenvik
