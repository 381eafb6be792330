#include "util/base64.h"

#include <array>

namespace brenvik {
namespace {

constexpr char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<uint8_t, 256> make_decode(const char* alphabet) {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (int i = 0; i < 64; ++i) t[uint8_t(alphabet[i])] = uint8_t(i);
  return t;
}
constexpr auto kStdDec = make_decode(kStd);
constexpr auto kUrlDec = make_decode(kUrl);

std::string encode(ByteView data, const char* alphabet, bool pad) {
  const size_t full = data.size() / 3, rest = data.size() % 3;
  size_t out_len = full * 4 + (rest == 0 ? 0 : (pad ? 4 : rest + 1));
  std::string out(out_len, '\0');
  char* o = out.data();
  const uint8_t* p = data.data();
  for (size_t i = 0; i < full; ++i, p += 3, o += 4) {
    uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 63];
    o[2] = alphabet[(v >> 6) & 63];
    o[3] = alphabet[v & 63];
  }
  if (rest) {
    uint32_t v = uint32_t(p[0]) << 16 | (rest == 2 ? uint32_t(p[1]) << 8 : 0);
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 63];
    if (rest == 2) o[2] = alphabet[(v >> 6) & 63];
    if (pad) {
      if (rest == 1) o[2] = '=';
      o[3] = '=';
    }
  }
  return out;
}

// Decodes `text` whose padding has already been removed.
Result<Bytes, CodecError> decode(std::string_view text, const std::array<uint8_t, 256>& table) {
  const size_t full = text.size() / 4, rest = text.size() % 4;
  if (rest == 1) return Err(CodecError::InvalidLength);
  Bytes out(full * 3 + (rest ? rest - 1 : 0));
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  uint8_t* o = out.data();
  for (size_t i = 0; i < full; ++i, in += 4, o += 3) {
    uint8_t a = table[in[0]], b = table[in[1]], c = table[in[2]], d = table[in[3]];
    if ((a | b | c | d) & 0xC0) return Err(CodecError::InvalidCharacter);
    uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | d;
    o[0] = uint8_t(v >> 16);
    o[1] = uint8_t(v >> 8);
    o[2] = uint8_t(v);
  }
  if (rest) {
    uint8_t a = table[in[0]], b = table[in[1]], c = rest == 3 ? table[in[2]] : 0;
    if ((a | b | c) & 0xC0) return Err(CodecError::InvalidCharacter);
    uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6;
    // Bits below the last whole byte must be zero, or two texts would decode alike.
    if (rest == 2 ? (v & 0xFFFF) : (v & 0xFF)) return Err(CodecError::NonCanonical);
    o[0] = uint8_t(v >> 16);
    if (rest == 3) o[1] = uint8_t(v >> 8);
  }
  return out;
}

}  // namespace

std::string base64_encode(ByteView data) { return encode(data, kStd, true); }
std::string base64url_encode(ByteView data) { return encode(data, kUrl, false); }

Result<Bytes, CodecError> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return Err(CodecError::InvalidLength);
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = (text[text.size() - 2] == '=') ? 2 : 1;
  return decode(text.substr(0, text.size() - pad), kStdDec);
}

Result<Bytes, CodecError> base64url_decode(std::string_view text) {
  return decode(text, kUrlDec);
}

}  // namespace brenvik
