#include "crypto/aead.h"

#include <openssl/evp.h>

#include <climits>

#include "crypto/openssl_cache.h"
#include "crypto/secret.h"

namespace brenvik::crypto {
namespace {

// EVP takes int lengths; larger inputs are refused rather than split.
constexpr size_t kMaxInput = size_t(INT_MAX) - 64;

const EVP_CIPHER* cipher_of(AeadAlgorithm a) {
  switch (a) {
    case AeadAlgorithm::Aes128Gcm:
      return detail::cipher_aes128gcm();
    case AeadAlgorithm::ChaCha20Poly1305:
      return detail::cipher_chacha20poly1305();
  }
  return nullptr;
}

Result<void, CryptoError> check_sizes(ByteView nonce, ByteView aad, size_t in, size_t out) {
  if (nonce.size() != kAeadNonceSize) return Err(CryptoError::InvalidNonceLength);
  if (in > kMaxInput || aad.size() > kMaxInput || out > kMaxInput)
    return Err(CryptoError::InvalidLength);
  return Ok<CryptoError>();
}

// Runs one seal on a context whose key is set (or is set by `key`).
Result<void, CryptoError> do_seal(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, ByteView key,
                                  ByteView nonce, ByteView aad, ByteView pt,
                                  std::span<uint8_t> out) {
  BRENVIK_TRY_VOID(check_sizes(nonce, aad, pt.size(), out.size()));
  if (out.size() != pt.size() + kAeadTagSize) return Err(CryptoError::InvalidLength);
  int len = 0;
  if (detail::cipher_init(ctx, cipher, key.empty() ? nullptr : key.data(), nonce.data(), 1) != 1)
    return Err(CryptoError::LibraryFailure);
  if (!aad.empty() && EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), int(aad.size())) != 1)
    return Err(CryptoError::LibraryFailure);
  int n = 0;
  if (!pt.empty() && EVP_EncryptUpdate(ctx, out.data(), &n, pt.data(), int(pt.size())) != 1)
    return Err(CryptoError::LibraryFailure);
  if (EVP_EncryptFinal_ex(ctx, out.data() + n, &len) != 1) return Err(CryptoError::LibraryFailure);
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, int(kAeadTagSize), out.data() + pt.size()) !=
      1)
    return Err(CryptoError::LibraryFailure);
  return Ok<CryptoError>();
}

Result<void, CryptoError> do_open(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, ByteView key,
                                  ByteView nonce, ByteView aad, ByteView ct,
                                  std::span<uint8_t> out) {
  BRENVIK_TRY_VOID(check_sizes(nonce, aad, ct.size(), out.size()));
  if (ct.size() < kAeadTagSize) return Err(CryptoError::AuthenticationFailed);
  const size_t body = ct.size() - kAeadTagSize;
  if (out.size() != body) return Err(CryptoError::InvalidLength);
  // Copy the tag first: with in-place decryption out overlaps ct.
  uint8_t tag[kAeadTagSize];
  std::memcpy(tag, ct.data() + body, kAeadTagSize);
  int len = 0;
  if (detail::cipher_init(ctx, cipher, key.empty() ? nullptr : key.data(), nonce.data(), 0) != 1)
    return Err(CryptoError::LibraryFailure);
  if (!aad.empty() && EVP_DecryptUpdate(ctx, nullptr, &len, aad.data(), int(aad.size())) != 1)
    return Err(CryptoError::LibraryFailure);
  int n = 0;
  if (body != 0 && EVP_DecryptUpdate(ctx, out.data(), &n, ct.data(), int(body)) != 1)
    return Err(CryptoError::LibraryFailure);
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, int(kAeadTagSize), tag) != 1)
    return Err(CryptoError::LibraryFailure);
  if (EVP_DecryptFinal_ex(ctx, out.data() + n, &len) != 1) {
    if (!out.empty()) secure_wipe(out.data(), out.size());
    return Err(CryptoError::AuthenticationFailed);
  }
  return Ok<CryptoError>();
}

}  // namespace

Result<AeadKey, CryptoError> AeadKey::create(AeadAlgorithm alg, ByteView key) {
  if (key.size() != aead_key_size(alg)) return Err(CryptoError::InvalidKeyLength);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return Err(CryptoError::LibraryFailure);
  if (EVP_EncryptInit_ex2(ctx, cipher_of(alg), key.data(), nullptr, nullptr) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    return Err(CryptoError::LibraryFailure);
  }
  return AeadKey(alg, ctx);
}

AeadKey& AeadKey::operator=(AeadKey&& o) noexcept {
  if (this != &o) {
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_));
    alg_ = o.alg_;
    ctx_ = o.ctx_;
    o.ctx_ = nullptr;
  }
  return *this;
}

AeadKey::~AeadKey() {
  EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_));
}

Result<void, CryptoError> AeadKey::seal(ByteView nonce, ByteView aad, ByteView plaintext,
                                        std::span<uint8_t> out) {
  if (ctx_ == nullptr) return Err(CryptoError::LibraryFailure);
  return do_seal(static_cast<EVP_CIPHER_CTX*>(ctx_), nullptr, {}, nonce, aad, plaintext, out);
}

Result<void, CryptoError> AeadKey::open(ByteView nonce, ByteView aad, ByteView ciphertext,
                                        std::span<uint8_t> out) {
  if (ctx_ == nullptr) return Err(CryptoError::LibraryFailure);
  return do_open(static_cast<EVP_CIPHER_CTX*>(ctx_), nullptr, {}, nonce, aad, ciphertext, out);
}

Result<Bytes, CryptoError> AeadKey::seal(ByteView nonce, ByteView aad, ByteView plaintext) {
  Bytes out(plaintext.size() + kAeadTagSize);
  BRENVIK_TRY_VOID(seal(nonce, aad, plaintext, out));
  return out;
}

Result<Bytes, CryptoError> AeadKey::open(ByteView nonce, ByteView aad, ByteView ciphertext) {
  if (ciphertext.size() < kAeadTagSize) return Err(CryptoError::AuthenticationFailed);
  Bytes out(ciphertext.size() - kAeadTagSize);
  BRENVIK_TRY_VOID(open(nonce, aad, ciphertext, out));
  return out;
}

Result<void, CryptoError> aead_seal(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                    ByteView plaintext, std::span<uint8_t> out) {
  if (key.size() != aead_key_size(alg)) return Err(CryptoError::InvalidKeyLength);
  return do_seal(detail::thread_cipher_ctx(cipher_of(alg)), cipher_of(alg), key, nonce, aad,
                 plaintext, out);
}

Result<void, CryptoError> aead_open(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                    ByteView ciphertext, std::span<uint8_t> out) {
  if (key.size() != aead_key_size(alg)) return Err(CryptoError::InvalidKeyLength);
  return do_open(detail::thread_cipher_ctx(cipher_of(alg)), cipher_of(alg), key, nonce, aad,
                 ciphertext, out);
}

Result<Bytes, CryptoError> aead_seal(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                     ByteView plaintext) {
  if (plaintext.size() > kMaxInput) return Err(CryptoError::InvalidLength);
  Bytes out(plaintext.size() + kAeadTagSize);
  BRENVIK_TRY_VOID(aead_seal(alg, key, nonce, aad, plaintext, out));
  return out;
}

Result<Bytes, CryptoError> aead_open(AeadAlgorithm alg, ByteView key, ByteView nonce, ByteView aad,
                                     ByteView ciphertext) {
  if (key.size() != aead_key_size(alg)) return Err(CryptoError::InvalidKeyLength);
  if (ciphertext.size() < kAeadTagSize) return Err(CryptoError::AuthenticationFailed);
  Bytes out(ciphertext.size() - kAeadTagSize);
  BRENVIK_TRY_VOID(aead_open(alg, key, nonce, aad, ciphertext, out));
  return out;
}

Result<void, CryptoError> chacha20_xor(ByteView key, ByteView nonce, uint32_t counter, ByteView in,
                                       std::span<uint8_t> out) {
  if (key.size() != 32) return Err(CryptoError::InvalidKeyLength);
  if (nonce.size() != 12) return Err(CryptoError::InvalidNonceLength);
  if (out.size() != in.size() || in.size() > kMaxInput) return Err(CryptoError::InvalidLength);
  // OpenSSL's ChaCha20 IV is the 32-bit block counter (little-endian) then the nonce.
  uint8_t iv[16];
  iv[0] = uint8_t(counter), iv[1] = uint8_t(counter >> 8), iv[2] = uint8_t(counter >> 16),
  iv[3] = uint8_t(counter >> 24);
  std::memcpy(iv + 4, nonce.data(), 12);
  EVP_CIPHER_CTX* ctx = detail::thread_cipher_ctx(detail::cipher_chacha20());
  int n = 0;
  if (detail::cipher_init(ctx, detail::cipher_chacha20(), key.data(), iv, 1) != 1)
    return Err(CryptoError::LibraryFailure);
  // A stream cipher: the update consumes every byte, so no final call is needed.
  if (!in.empty() && (EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), int(in.size())) != 1 ||
                      size_t(n) != in.size()))
    return Err(CryptoError::LibraryFailure);
  return Ok<CryptoError>();
}

}  // namespace brenvik::crypto
