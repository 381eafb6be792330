// secp256k1 keys: BIP-340 Schnorr signatures over x-only public keys, and
// ECDH returning the raw X coordinate of the shared point (as NIP-44 needs).
#pragma once

#include <array>

#include "crypto/crypto_error.h"
#include "crypto/secret.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::crypto {

inline constexpr size_t kSecp256k1SecretSize = 32;
inline constexpr size_t kXOnlyPublicKeySize = 32;
inline constexpr size_t kSchnorrSignatureSize = 64;
using XOnlyPublicKey = std::array<uint8_t, kXOnlyPublicKeySize>;
using SchnorrSignature = std::array<uint8_t, kSchnorrSignatureSize>;

// True when secret is 32 bytes holding a big-endian integer in [1, n-1].
bool secp256k1_secret_is_valid(ByteView secret);

// A secret scalar with its x-only public key computed once.
class SchnorrKeyPair {
 public:
  // InvalidKeyLength for a secret that is not 32 bytes, InvalidPrivateKey for
  // zero or a value not below the group order.
  static Result<SchnorrKeyPair, CryptoError> from_secret(ByteView secret);
  static Result<SchnorrKeyPair, CryptoError> generate();

  SchnorrKeyPair(const SchnorrKeyPair&) = default;
  SchnorrKeyPair& operator=(const SchnorrKeyPair&) = default;
  ~SchnorrKeyPair();

  const XOnlyPublicKey& public_key() const { return public_; }
  const SecretArray<32>& secret() const { return secret_; }

  // BIP-340 signature of message (any length; Nostr signs 32-byte event
  // ids) with the given 32 bytes of auxiliary randomness.
  Result<SchnorrSignature, CryptoError> sign(ByteView message, ByteView aux_rand) const;
  // Same with fresh auxiliary randomness (the recommended use).
  Result<SchnorrSignature, CryptoError> sign(ByteView message) const;

 private:
  SchnorrKeyPair() = default;
  SecretArray<32> secret_;
  SecretArray<96> keypair_;  // libsecp256k1's secp256k1_keypair, which embeds the secret
  XOnlyPublicKey public_{};
};

// The x-only public key of a secret.
Result<XOnlyPublicKey, CryptoError> secp256k1_xonly_public_key(ByteView secret);

// BIP-340 verification. A public key that is not 32 bytes is
// InvalidKeyLength; one that is not the X coordinate of a curve point
// (or is not below the field size) is InvalidPublicKey. A signature that is
// not 64 bytes, or does not verify, is false.
Result<bool, CryptoError> schnorr_verify(ByteView public_key, ByteView message, ByteView signature);

// ECDH: the 32-byte X coordinate of secret * P, with no hashing. The peer key
// is either 32 bytes (x-only, lifted to the point with even Y as BIP-340 does)
// or 33 bytes (compressed SEC1).
Result<SecretArray<32>, CryptoError> secp256k1_ecdh_x(ByteView secret, ByteView peer_public);

}  // namespace brenvik::crypto
