#include "util/utf8.h"

#include <cstring>

namespace brenvik {

std::string Utf8Error::message() const {
  if (incomplete())
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

Result<void, Utf8Error> validate_utf8(ByteView data) {
  const uint8_t* p = data.data();
  const size_t n = data.size();
  size_t i = 0;
  while (i < n) {
    // Skip ASCII eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const uint8_t first = p[i];
    if (first < 0x80) {
      ++i;
      continue;
    }
    const size_t start = i;
    auto fail = [&](uint8_t len) { return Result<void, Utf8Error>(Err(Utf8Error{start, len})); };
    auto is_cont = [](uint8_t b) { return (b & 0xC0) == 0x80; };
    if (first >= 0xC2 && first <= 0xDF) {
      if (i + 1 >= n) return fail(0);
      if (!is_cont(p[i + 1])) return fail(1);
      i += 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      if (i + 1 >= n) return fail(0);
      const uint8_t b1 = p[i + 1];
      // The second byte's range excludes overlong forms (E0) and surrogates (ED).
      const uint8_t lo = first == 0xE0 ? 0xA0 : 0x80;
      const uint8_t hi = first == 0xED ? 0x9F : 0xBF;
      if (b1 < lo || b1 > hi) return fail(1);
      if (i + 2 >= n) return fail(0);
      if (!is_cont(p[i + 2])) return fail(2);
      i += 3;
    } else if (first >= 0xF0 && first <= 0xF4) {
      if (i + 1 >= n) return fail(0);
      const uint8_t b1 = p[i + 1];
      // Excludes overlong forms (F0) and values above U+10FFFF (F4).
      const uint8_t lo = first == 0xF0 ? 0x90 : 0x80;
      const uint8_t hi = first == 0xF4 ? 0x8F : 0xBF;
      if (b1 < lo || b1 > hi) return fail(1);
      if (i + 2 >= n) return fail(0);
      if (!is_cont(p[i + 2])) return fail(2);
      if (i + 3 >= n) return fail(0);
      if (!is_cont(p[i + 3])) return fail(3);
      i += 4;
    } else {
      return fail(1);
    }
  }
  return {};
}

}  // namespace brenvik
