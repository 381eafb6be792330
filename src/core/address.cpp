#include "core/address.h"

#include <algorithm>

#include "crypto/sha256.h"
#include "util/bech32.h"

namespace brenvik {

namespace {

std::string hex_byte(uint64_t b) {
  static constexpr char kHex[] = "0123456789abcdef";
  return std::string("0x") + kHex[(b >> 4) & 0xF] + kHex[b & 0xF];
}

// Regroups 5-bit values into bytes, most significant bit first, dropping an
// incomplete final group (its fill bits are judged by the canonical check).
Bytes five_to_eight_dropping_tail(ByteView values) {
  Bytes out;
  out.reserve(values.size() * 5 / 8);
  uint32_t acc = 0;
  unsigned bits = 0;
  for (uint8_t v : values) {
    acc = (acc << 5 | v) & 0xFFF;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(uint8_t(acc >> bits));
    }
  }
  return out;
}

}  // namespace

std::string AddressError::message() const {
  switch (kind) {
    case Kind::NotLowercase:
      return "address is not lowercase (the canonical form is lowercase-only)";
    case Kind::InvalidBech32m:
      return "address is not valid bech32m: " + detail;
    case Kind::WrongHrp:
      return "address has human-readable part '" + detail + "', expected '" +
             std::string(kAddressHrp) + "'";
    case Kind::WrongPayloadLength:
      return "address payload is " + std::to_string(found) + " bytes, expected " +
             std::to_string(expected);
    case Kind::WrongVersion:
      return "address version byte is " + hex_byte(found) + ", expected " + hex_byte(expected);
    case Kind::NonCanonical:
      return "address is a non-canonical encoding of its payload";
  }
  return {};
}

Result<Address, SealedError> address_payload_from_public_key(ByteView key) {
  if (key.size() != 32) {
    return Err(SealedError::invalid_public_key("Ed25519 public key must be 32 bytes, got " +
                                               std::to_string(key.size())));
  }
  auto digest = crypto::sha256(key);
  Address a;
  std::copy_n(digest.begin(), a.bytes.size(), a.bytes.begin());
  return a;
}

std::string encode_address(const Address& a) {
  Bytes payload;
  payload.reserve(21);
  payload.push_back(kAddressVersion);
  append(payload, a.bytes);
  // Regrouping 21 full bytes with padding cannot fail.
  Bytes values = convert_bits(payload, 8, 5, true).value();
  return bech32_encode(kAddressHrp, values, Bech32Variant::Bech32m);
}

Result<Address, AddressError> parse_address(std::string_view text) {
  auto fail = [](AddressError::Kind k, std::string d = {}, uint64_t f = 0, uint64_t e = 0) {
    return Err(AddressError{k, std::move(d), f, e});
  };
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') return fail(AddressError::Kind::NotLowercase);
  }
  auto dec = bech32_decode(text, 1023);
  if (!dec.ok()) {
    return fail(AddressError::Kind::InvalidBech32m, std::string(bech32_error_message(dec.error())));
  }
  if (dec->variant != Bech32Variant::Bech32m) {
    return fail(AddressError::Kind::InvalidBech32m,
                std::string(bech32_error_message(Bech32Error::InvalidChecksum)));
  }
  if (dec->hrp != kAddressHrp) return fail(AddressError::Kind::WrongHrp, dec->hrp);
  Bytes payload = five_to_eight_dropping_tail(dec->data);
  if (payload.size() != 21) {
    return fail(AddressError::Kind::WrongPayloadLength, {}, payload.size(), 21);
  }
  if (payload[0] != kAddressVersion) {
    return fail(AddressError::Kind::WrongVersion, {}, payload[0], kAddressVersion);
  }
  Address a;
  std::copy(payload.begin() + 1, payload.end(), a.bytes.begin());
  if (encode_address(a) != text) return fail(AddressError::Kind::NonCanonical);
  return a;
}

Result<std::string, SealedError> derive_address(ByteView public_key) {
  BRENVIK_TRY(Address a, address_payload_from_public_key(public_key));
  return encode_address(a);
}

}  // namespace brenvik
