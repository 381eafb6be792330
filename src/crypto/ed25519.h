// Ed25519 signatures (RFC 8032, pure variant).
#pragma once

#include <array>

#include "crypto/crypto_error.h"
#include "crypto/secret.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::crypto {

inline constexpr size_t kEd25519SeedSize = 32;
inline constexpr size_t kEd25519PublicKeySize = 32;
inline constexpr size_t kEd25519SignatureSize = 64;
using Ed25519PublicKey = std::array<uint8_t, kEd25519PublicKeySize>;
using Ed25519Signature = std::array<uint8_t, kEd25519SignatureSize>;

// A signing key: the 32-byte seed (RFC 8032's private key) and its public
// key, computed once, kept with the seed in the 64-byte form the signer uses.
class Ed25519PrivateKey {
 public:
  static Result<Ed25519PrivateKey, CryptoError> from_seed(ByteView seed);
  static Result<Ed25519PrivateKey, CryptoError> generate();

  const Ed25519PublicKey& public_key() const { return public_; }
  const SecretArray<32>& seed() const { return seed_; }

  // Deterministic signature of message (any length).
  Result<Ed25519Signature, CryptoError> sign(ByteView message) const;

 private:
  Ed25519PrivateKey() = default;
  SecretArray<32> seed_;
  SecretArray<64> signing_key_;  // seed followed by the public key
  Ed25519PublicKey public_{};
};

// The public key of a 32-byte seed.
Result<Ed25519PublicKey, CryptoError> ed25519_public_key(ByteView seed);

enum class Ed25519Verification {
  // RFC 8032 §5.1.7: a public key that does not decode to a curve point is
  // InvalidPublicKey (an error, not a verdict); small-order keys are allowed;
  // S >= L, a non-canonical R or a wrong equation is `false`.
  Rfc8032,
  // Also refuses keys of small order (SmallOrderPublicKey) and non-canonical
  // key encodings (NonCanonicalPublicKey), and answers `false` for a
  // small-order R, as libsodium's verification does.
  Strict,
};

// Verifies signature over message under public_key. A public key that is
// not 32 bytes is InvalidKeyLength; a signature that is not 64 bytes is false.
Result<bool, CryptoError> ed25519_verify(ByteView public_key, ByteView message, ByteView signature,
                                         Ed25519Verification mode = Ed25519Verification::Rfc8032);

// Classifies a 32-byte public key encoding: Ok if it is canonical and on the
// curve, else InvalidPublicKey / NonCanonicalPublicKey (y >= p, or x = 0 with
// the sign bit set). Small order is not checked here.
Result<void, CryptoError> ed25519_check_point(ByteView public_key);
// True for the encodings of the eight points of order dividing 8.
bool ed25519_is_small_order(ByteView public_key);

}  // namespace brenvik::crypto
