#include "util/bech32.h"

#include <array>

namespace brenvik {
namespace {

constexpr char kCharset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";

constexpr std::array<int8_t, 128> make_rev() {
  std::array<int8_t, 128> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 32; ++i) {
    t[uint8_t(kCharset[i])] = int8_t(i);
    char c = kCharset[i];
    if (c >= 'a' && c <= 'z') t[uint8_t(c - 'a' + 'A')] = int8_t(i);
  }
  return t;
}
constexpr auto kRev = make_rev();

constexpr uint32_t kBech32Const = 1;
constexpr uint32_t kBech32mConst = 0x2bc830a3;

uint32_t polymod_step(uint32_t chk, uint8_t v) {
  const uint32_t top = chk >> 25;
  chk = (chk & 0x1ffffff) << 5 ^ v;
  if (top & 1) chk ^= 0x3b6a57b2;
  if (top & 2) chk ^= 0x26508e6d;
  if (top & 4) chk ^= 0x1ea119fa;
  if (top & 8) chk ^= 0x3d4233dd;
  if (top & 16) chk ^= 0x2a1462b3;
  return chk;
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

uint32_t hrp_polymod(std::string_view hrp) {
  uint32_t chk = 1;
  for (char c : hrp) chk = polymod_step(chk, uint8_t(lower(c)) >> 5);
  chk = polymod_step(chk, 0);
  for (char c : hrp) chk = polymod_step(chk, uint8_t(lower(c)) & 31);
  return chk;
}

}  // namespace

std::string_view bech32_error_message(Bech32Error e) {
  switch (e) {
    case Bech32Error::TooLong:
      return "string is too long";
    case Bech32Error::MissingSeparator:
      return "missing human-readable separator, \"1\"";
    case Bech32Error::EmptyHrp:
      return "human-readable part is empty";
    case Bech32Error::InvalidHrpCharacter:
      return "invalid character in human-readable part";
    case Bech32Error::InvalidDataCharacter:
      return "invalid character in data part";
    case Bech32Error::MixedCase:
      return "mixed case";
    case Bech32Error::TooShortChecksum:
      return "checksum is too short";
    case Bech32Error::InvalidChecksum:
      return "invalid checksum";
    case Bech32Error::InvalidPadding:
      return "invalid padding";
  }
  return "invalid bech32";
}

std::string bech32_encode(std::string_view hrp, ByteView data5, Bech32Variant variant) {
  std::string out;
  out.reserve(hrp.size() + 1 + data5.size() + 6);
  for (char c : hrp) out.push_back(lower(c));
  out.push_back('1');
  uint32_t chk = hrp_polymod(hrp);
  for (uint8_t v : data5) {
    chk = polymod_step(chk, v & 31);
    out.push_back(kCharset[v & 31]);
  }
  for (int i = 0; i < 6; ++i) chk = polymod_step(chk, 0);
  chk ^= variant == Bech32Variant::Bech32 ? kBech32Const : kBech32mConst;
  for (int i = 0; i < 6; ++i) out.push_back(kCharset[(chk >> (5 * (5 - i))) & 31]);
  return out;
}

Result<Bech32Decoded, Bech32Error> bech32_decode(std::string_view text, size_t max_length) {
  if (text.size() > max_length) return Err(Bech32Error::TooLong);
  const size_t sep = text.rfind('1');
  if (sep == std::string_view::npos) return Err(Bech32Error::MissingSeparator);
  if (sep == 0) return Err(Bech32Error::EmptyHrp);
  bool has_lower = false, has_upper = false;
  for (size_t i = 0; i < sep; ++i) {
    const uint8_t c = uint8_t(text[i]);
    if (c < 33 || c > 126) return Err(Bech32Error::InvalidHrpCharacter);
    has_lower |= (c >= 'a' && c <= 'z');
    has_upper |= (c >= 'A' && c <= 'Z');
  }
  const std::string_view data_text = text.substr(sep + 1);
  if (data_text.size() < 6) return Err(Bech32Error::TooShortChecksum);
  Bech32Decoded out;
  out.data.resize(data_text.size());
  for (size_t i = 0; i < data_text.size(); ++i) {
    const uint8_t c = uint8_t(data_text[i]);
    if (c >= 128 || kRev[c] < 0) return Err(Bech32Error::InvalidDataCharacter);
    has_lower |= (c >= 'a' && c <= 'z');
    has_upper |= (c >= 'A' && c <= 'Z');
    out.data[i] = uint8_t(kRev[c]);
  }
  if (has_lower && has_upper) return Err(Bech32Error::MixedCase);
  const std::string_view hrp = text.substr(0, sep);
  uint32_t chk = hrp_polymod(hrp);
  for (uint8_t v : out.data) chk = polymod_step(chk, v);
  if (chk == kBech32Const) {
    out.variant = Bech32Variant::Bech32;
  } else if (chk == kBech32mConst) {
    out.variant = Bech32Variant::Bech32m;
  } else {
    return Err(Bech32Error::InvalidChecksum);
  }
  out.data.resize(out.data.size() - 6);
  out.hrp.reserve(hrp.size());
  for (char c : hrp) out.hrp.push_back(lower(c));
  return out;
}

Result<Bytes, Bech32Error> convert_bits(ByteView in, unsigned from_bits, unsigned to_bits,
                                        bool pad) {
  uint32_t acc = 0;
  unsigned bits = 0;
  const uint32_t maxv = (1u << to_bits) - 1;
  Bytes out;
  out.reserve((in.size() * from_bits + to_bits - 1) / to_bits);
  for (uint8_t v : in) {
    if (v >> from_bits) return Err(Bech32Error::InvalidDataCharacter);
    acc = (acc << from_bits | v) & 0xFFFFFF;
    bits += from_bits;
    while (bits >= to_bits) {
      bits -= to_bits;
      out.push_back(uint8_t((acc >> bits) & maxv));
    }
  }
  if (pad) {
    if (bits) out.push_back(uint8_t((acc << (to_bits - bits)) & maxv));
  } else if (bits >= from_bits || ((acc << (to_bits - bits)) & maxv)) {
    return Err(Bech32Error::InvalidPadding);
  }
  return out;
}

}  // namespace brenvik
