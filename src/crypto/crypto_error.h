// Errors of the cryptographic layer.
//
// Every failure a caller can meet through bad input or a failing platform
// facility is one of these; each has a fixed message text.
#pragma once

#include <string_view>

namespace brenvik::crypto {

enum class CryptoError {
  RandomFailure,          // the operating system's secure random source failed
  InvalidKeyLength,       // a key of the wrong size for the algorithm
  InvalidNonceLength,     // a nonce of the wrong size for the algorithm
  InvalidLength,          // an input or output buffer of impossible size
  AuthenticationFailed,   // AEAD tag mismatch: the ciphertext or its context was altered
  InvalidPublicKey,       // a public key that is not a valid point encoding
  InvalidPrivateKey,      // a private scalar that is zero or not below the group order
  SmallOrderPublicKey,    // strict Ed25519: the key has small order
  NonCanonicalPublicKey,  // strict Ed25519: the key's encoding is not canonical
  ZeroSharedSecret,       // X25519 produced the all-zero value (peer sent a small-order point)
  OutputTooLong,          // HKDF or HPKE export asked for more than the construction allows
  MessageLimitReached,    // HPKE sequence number exhausted
  DeriveKeyPairFailed,    // HPKE DeriveKeyPair found no valid key
  LibraryFailure,         // the underlying library failed for no input-related reason
};

constexpr std::string_view crypto_error_message(CryptoError e) {
  switch (e) {
    case CryptoError::RandomFailure:
      return "OS RNG failure";
    case CryptoError::InvalidKeyLength:
      return "invalid key length";
    case CryptoError::InvalidNonceLength:
      return "invalid nonce length";
    case CryptoError::InvalidLength:
      return "invalid length";
    case CryptoError::AuthenticationFailed:
      return "authentication failed";
    case CryptoError::InvalidPublicKey:
      return "invalid public key";
    case CryptoError::InvalidPrivateKey:
      return "invalid private key";
    case CryptoError::SmallOrderPublicKey:
      return "public key has small order";
    case CryptoError::NonCanonicalPublicKey:
      return "public key encoding is not canonical";
    case CryptoError::ZeroSharedSecret:
      return "shared secret is zero";
    case CryptoError::OutputTooLong:
      return "requested output too long";
    case CryptoError::MessageLimitReached:
      return "message limit reached";
    case CryptoError::DeriveKeyPairFailed:
      return "key pair derivation failed";
    case CryptoError::LibraryFailure:
      return "crypto library failure";
  }
  return "unknown crypto error";
}

}  // namespace brenvik::crypto
