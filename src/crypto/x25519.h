// X25519 Diffie-Hellman (RFC 7748).
#pragma once

#include <array>

#include "crypto/crypto_error.h"
#include "crypto/secret.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::crypto {

inline constexpr size_t kX25519KeySize = 32;
using X25519PublicKey = std::array<uint8_t, kX25519KeySize>;

// A private key with its public key computed once. The OpenSSL key object is
// kept so that each agreement costs one scalar multiplication. Movable and
// copyable (a copy shares the immutable OpenSSL key).
class X25519PrivateKey {
 public:
  // Any 32 bytes are a valid private key (clamped as RFC 7748 §5 says).
  static Result<X25519PrivateKey, CryptoError> from_bytes(ByteView private_key);
  static Result<X25519PrivateKey, CryptoError> generate();

  X25519PrivateKey(const X25519PrivateKey& o);
  X25519PrivateKey& operator=(const X25519PrivateKey& o);
  X25519PrivateKey(X25519PrivateKey&& o) noexcept;
  X25519PrivateKey& operator=(X25519PrivateKey&& o) noexcept;
  ~X25519PrivateKey();

  const X25519PublicKey& public_key() const { return public_; }
  // The 32 private bytes as given (for storage).
  const SecretArray<32>& private_bytes() const { return private_; }

  // X25519(private, peer). Fails with InvalidKeyLength for a peer key that is
  // not 32 bytes and ZeroSharedSecret when the result is all zero (a
  // small-order peer key), which RFC 9180 and RFC 9420 require refusing.
  Result<SecretArray<32>, CryptoError> agree(ByteView peer_public) const;

 private:
  X25519PrivateKey() = default;
  void* pkey_ = nullptr;  // EVP_PKEY
  SecretArray<32> private_;
  X25519PublicKey public_{};
};

// The public key of a private key.
Result<X25519PublicKey, CryptoError> x25519_public_key(ByteView private_key);
// One-shot agreement.
Result<SecretArray<32>, CryptoError> x25519(ByteView private_key, ByteView peer_public);

}  // namespace brenvik::crypto
