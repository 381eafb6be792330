// Addresses: the first 20 bytes of SHA-256 of a device's Ed25519 identity
// key, written as 44 lowercase characters of bech32m with the
// human-readable part "brv" over a version byte 0x01 and the 20 bytes. A
// text is accepted only when it re-encodes to itself, so every key has
// exactly one address text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/sealed_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

inline constexpr std::string_view kAddressHrp = "brv";
inline constexpr uint8_t kAddressVersion = 0x01;
inline constexpr size_t kAddressTextLength = 44;

struct Address {
  std::array<uint8_t, 20> bytes{};
  auto operator<=>(const Address&) const = default;
  bool operator==(const Address&) const = default;
};

struct AddressError {
  enum class Kind : uint8_t {
    NotLowercase,
    InvalidBech32m,
    WrongHrp,
    WrongPayloadLength,
    WrongVersion,
    NonCanonical,
  };
  Kind kind = Kind::NotLowercase;
  std::string detail;     // InvalidBech32m: the decoder's description; WrongHrp: found part
  uint64_t found = 0;     // WrongPayloadLength: bytes; WrongVersion: the byte
  uint64_t expected = 0;  // 21 or 0x01

  std::string message() const;
  bool operator==(const AddressError&) const = default;
};

// SHA-256 of a 32-byte key, first 20 bytes; other lengths are
// SealedError::InvalidPublicKey.
Result<Address, SealedError> address_payload_from_public_key(ByteView public_key);

std::string encode_address(const Address& address);

// First failing step decides: uppercase letters; bech32m decoding (text under
// 1024 characters); hrp "brv"; 21 payload bytes; version 0x01; canonical
// re-encoding.
Result<Address, AddressError> parse_address(std::string_view text);

// The address text of an identity key: encode_address of the payload.
Result<std::string, SealedError> derive_address(ByteView public_key);

}  // namespace brenvik
