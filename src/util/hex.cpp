#include "util/hex.h"

#include <array>

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

std::string hex_encode(ByteView data) {
  std::string out(data.size() * 2, '\0');
  char* o = out.data();
  for (uint8_t b : data) {
    std::memcpy(o, &kHexPairs[2 * b], 2);
    o += 2;
  }
  return out;
}

Result<Bytes, CodecError> hex_decode(std::string_view text) {
  if (text.size() % 2 != 0) return Err(CodecError::InvalidLength);
  Bytes out(text.size() / 2);
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t i = 0; i < out.size(); ++i) {
    uint8_t hi = kHexValue[in[2 * i]], lo = kHexValue[in[2 * i + 1]];
    if ((hi | lo) & 0xF0) return Err(CodecError::InvalidCharacter);
    out[i] = uint8_t(hi << 4 | lo);
  }
  return out;
}

}  // namespace brenvik
