// The identity record: the device's signature key pair as it is kept under
// ("identity", "key_pair"), one compact JSON object
//   {"private":[...],"public":[...],"signature_scheme":"ED25519"}
// with byte strings as arrays of decimal numbers. There is no wrapper and no
// copy of the user id: the user id is always derived from "public".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "crypto/ed25519.h"
#include "crypto/secret.h"
#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik::mls {

inline constexpr std::string_view kIdentityRecordType = "identity";
inline constexpr std::string_view kIdentityRecordKey = "key_pair";

// The TLS signature schemes the record format knows.
enum class SignatureScheme : uint16_t {
  EcdsaSecp256r1Sha256 = 0x0403,
  EcdsaSecp384r1Sha384 = 0x0503,
  EcdsaSecp521r1Sha512 = 0x0603,
  Ed25519 = 0x0807,
  Ed448 = 0x0808,
};
// "ECDSA_SECP256R1_SHA256", ..., "ED25519", "ED448".
std::string_view signature_scheme_name(SignatureScheme s);

struct SignatureKeyPair {
  crypto::SecretBytes private_key;  // the Ed25519 seed (32 bytes) for ED25519
  Bytes public_key;
  SignatureScheme scheme = SignatureScheme::Ed25519;
  bool operator==(const SignatureKeyPair&) const = default;
};

// A fresh Ed25519 pair from the secure random source.
Result<SignatureKeyPair, crypto::CryptoError> generate_ed25519_key_pair();

// The record's bytes; they hold the private key and are wiped on release.
crypto::SecretBytes write_signature_key_pair(const SignatureKeyPair& pair);

// Reads the record: the three keys in any order, each exactly once (unknown
// keys skipped), byte arrays of 0..255, one of the five scheme names. An
// ED25519 pair must also be a 32-byte seed whose public key is "public": a
// record whose halves do not belong together would sign with one key while
// the address names another. The error is the reader's text with its
// position.
Result<SignatureKeyPair, std::string> read_signature_key_pair(ByteView bytes);

// The signing key of an ED25519 pair (nothing for other schemes).
std::optional<crypto::Ed25519PrivateKey> ed25519_signer(const SignatureKeyPair& pair);

}  // namespace brenvik::mls
