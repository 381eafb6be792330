// Authenticated encryption: AES-128-GCM (NIST SP 800-38D) and
// ChaCha20-Poly1305 (RFC 8439), both with 12-byte nonces and 16-byte tags.
// Ciphertexts are the encrypted bytes followed by the tag.
#pragma once

#include <span>

#include "crypto/crypto_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::crypto {

enum class AeadAlgorithm { Aes128Gcm, ChaCha20Poly1305 };

inline constexpr size_t kAeadNonceSize = 12;
inline constexpr size_t kAeadTagSize = 16;
constexpr size_t aead_key_size(AeadAlgorithm a) {
  switch (a) {
    case AeadAlgorithm::Aes128Gcm:
      return 16;
    case AeadAlgorithm::ChaCha20Poly1305:
      return 32;
  }
  return 0;
}

// A key with its schedule computed once, for many messages under one key
// (HPKE contexts, sealed stores). Each call sets only the nonce. Not safe for
// concurrent use from several threads; movable, not copyable. The key
// schedule lives in OpenSSL's context and is wiped when it is freed.
class AeadKey {
 public:
  static Result<AeadKey, CryptoError> create(AeadAlgorithm alg, ByteView key);
  AeadKey(AeadKey&& o) noexcept : alg_(o.alg_), ctx_(o.ctx_) { o.ctx_ = nullptr; }
  AeadKey& operator=(AeadKey&& o) noexcept;
  AeadKey(const AeadKey&) = delete;
  AeadKey& operator=(const AeadKey&) = delete;
  ~AeadKey();

  AeadAlgorithm algorithm() const { return alg_; }

  // Writes ciphertext and tag to out, which must hold exactly
  // plaintext.size() + 16 bytes; out may start at plaintext.data() (in place).
  Result<void, CryptoError> seal(ByteView nonce, ByteView aad, ByteView plaintext,
                                 std::span<uint8_t> out);
  // Verifies and decrypts ciphertext-and-tag into out, which must hold
  // exactly ciphertext.size() - 16 bytes; out may start at ciphertext.data().
  // On AuthenticationFailed out is zeroed.
  Result<void, CryptoError> open(ByteView nonce, ByteView aad, ByteView ciphertext,
                                 std::span<uint8_t> out);

  Result<Bytes, CryptoError> seal(ByteView nonce, ByteView aad, ByteView plaintext);
  Result<Bytes, CryptoError> open(ByteView nonce, ByteView aad, ByteView ciphertext);

 private:
  AeadKey(AeadAlgorithm alg, void* ctx) : alg_(alg), ctx_(ctx) {}
  AeadAlgorithm alg_;
  void* ctx_;
};

// One-shot forms for a key used once (MLS message keys). They reuse a
// per-thread OpenSSL context, so they allocate only the returned buffer.
Result<void, CryptoError> aead_seal(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                    ByteView plaintext, std::span<uint8_t> out);
Result<void, CryptoError> aead_open(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                    ByteView ciphertext, std::span<uint8_t> out);
Result<Bytes, CryptoError> aead_seal(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                     ByteView plaintext);
Result<Bytes, CryptoError> aead_open(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                     ByteView ciphertext);

inline Result<Bytes, CryptoError> aes128gcm_seal(ByteView key, ByteView nonce, ByteView aad,
                                                 ByteView plaintext) {
  return aead_seal(AeadAlgorithm::Aes128Gcm, key, nonce, aad, plaintext);
}
inline Result<Bytes, CryptoError> aes128gcm_open(ByteView key, ByteView nonce, ByteView aad,
                                                 ByteView ciphertext) {
  return aead_open(AeadAlgorithm::Aes128Gcm, key, nonce, aad, ciphertext);
}
inline Result<Bytes, CryptoError> chacha20poly1305_seal(ByteView key, ByteView nonce, ByteView aad,
                                                        ByteView plaintext) {
  return aead_seal(AeadAlgorithm::ChaCha20Poly1305, key, nonce, aad, plaintext);
}
inline Result<Bytes, CryptoError> chacha20poly1305_open(ByteView key, ByteView nonce, ByteView aad,
                                                        ByteView ciphertext) {
  return aead_open(AeadAlgorithm::ChaCha20Poly1305, key, nonce, aad, ciphertext);
}

// Raw ChaCha20 (RFC 8439 §2.4): XORs the key stream that starts at block
// `counter` into out. Requires a 32-byte key, a 12-byte nonce and
// out.size() == in.size(); out may equal in. No authentication: callers
// add their own MAC (NIP-44).
Result<void, CryptoError> chacha20_xor(ByteView key, ByteView nonce, uint32_t counter, ByteView in,
                                       std::span<uint8_t> out);

}  // namespace brenvik::crypto
