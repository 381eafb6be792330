#include "crypto/ed25519.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <cstdlib>
#include <mutex>

#include "crypto/openssl_cache.h"
#include "crypto/random.h"

namespace brenvik::crypto {
namespace {

void ensure_sodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) std::abort();
  });
}

// y >= p = 2^255 - 19, reading the low 255 bits little-endian.
bool y_not_reduced(const uint8_t* k) {
  if ((k[31] & 0x7f) != 0x7f) return false;
  for (int i = 30; i >= 1; --i)
    if (k[i] != 0xff) return false;
  return k[0] >= 0xed;
}

// y = 1 or y = p - 1, the two values where x = 0.
bool x_is_zero(const uint8_t* k) {
  static const uint8_t one[32] = {1};
  static const uint8_t minus_one[32] = {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
  uint8_t y[32];
  std::memcpy(y, k, 32);
  y[31] &= 0x7f;
  return std::memcmp(y, one, 32) == 0 || std::memcmp(y, minus_one, 32) == 0;
}

// Whether some x satisfies -x^2 + y^2 = 1 + d x^2 y^2, i.e. whether
// u/v = (y^2 - 1)/(d y^2 + 1) is a square mod p; v is never zero because d
// is not a square. Runs only on the failure path of verification.
bool on_curve(const uint8_t* k) {
  uint8_t be[32];
  for (int i = 0; i < 32; ++i) be[i] = k[31 - i];
  be[0] &= 0x7f;
  BN_CTX* ctx = BN_CTX_new();
  if (ctx == nullptr) std::abort();
  BN_CTX_start(ctx);
  BIGNUM* p = BN_CTX_get(ctx);
  BIGNUM* d = BN_CTX_get(ctx);
  BIGNUM* y = BN_CTX_get(ctx);
  BIGNUM* y2 = BN_CTX_get(ctx);
  BIGNUM* u = BN_CTX_get(ctx);
  BIGNUM* v = BN_CTX_get(ctx);
  bool ok = false;
  if (v != nullptr &&
      BN_hex2bn(&p, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed") &&
      BN_dec2bn(&d,
                "370957059346694393431380835087545651895421138798432190163887855330859402835"
                "55") &&
      BN_bin2bn(be, 32, y) && BN_mod_sqr(y2, y, p, ctx) &&
      BN_mod_sub(u, y2, BN_value_one(), p, ctx) && BN_mod_mul(v, d, y2, p, ctx) &&
      BN_mod_add(v, v, BN_value_one(), p, ctx)) {
    if (BN_is_zero(u)) {
      ok = true;
    } else if (BN_mod_mul(u, u, v, p, ctx)) {
      ok = BN_kronecker(u, p, ctx) == 1;
    }
  }
  BN_CTX_end(ctx);
  BN_CTX_free(ctx);
  return ok;
}

// Canonical encodings of the points of order 1, 2, 4 and 8.
constexpr uint8_t kSmallOrder[8][32] = {
    {0x01},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0x00},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0xfa},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x85},
};

bool openssl_verify(const uint8_t* pk, ByteView message, const uint8_t* sig) {
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pk, 32);
  if (key == nullptr) {
    ERR_clear_error();
    return false;
  }
  EVP_MD_CTX* ctx = detail::thread_sign_ctx();
  EVP_MD_CTX_reset(ctx);
  const bool ok =
      EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
      EVP_DigestVerify(ctx, sig, kEd25519SignatureSize, message.data(), message.size()) == 1;
  EVP_PKEY_free(key);
  ERR_clear_error();
  return ok;
}

}  // namespace

Result<Ed25519PrivateKey, CryptoError> Ed25519PrivateKey::from_seed(ByteView seed) {
  if (seed.size() != kEd25519SeedSize) return Err(CryptoError::InvalidKeyLength);
  ensure_sodium();
  Ed25519PrivateKey k;
  if (crypto_sign_seed_keypair(k.public_.data(), k.signing_key_.data(), seed.data()) != 0)
    return Err(CryptoError::LibraryFailure);
  k.seed_ = SecretArray<32>(seed);
  return k;
}

Result<Ed25519PrivateKey, CryptoError> Ed25519PrivateKey::generate() {
  BRENVIK_TRY(auto seed, random_secret_32());
  return from_seed(seed.view());
}

// Signing goes through libsodium: RFC 8032 signatures are deterministic, so
// its output is the same as any other conforming signer's, and it signs in
// a little over half the time OpenSSL's EVP path takes.
Result<Ed25519Signature, CryptoError> Ed25519PrivateKey::sign(ByteView message) const {
  Ed25519Signature sig;
  if (crypto_sign_detached(sig.data(), nullptr, message.data(), message.size(),
                           signing_key_.data()) != 0)
    return Err(CryptoError::LibraryFailure);
  return sig;
}

Result<Ed25519PublicKey, CryptoError> ed25519_public_key(ByteView seed) {
  BRENVIK_TRY(auto k, Ed25519PrivateKey::from_seed(seed));
  return k.public_key();
}

Result<void, CryptoError> ed25519_check_point(ByteView pk) {
  if (pk.size() != kEd25519PublicKeySize) return Err(CryptoError::InvalidKeyLength);
  if (y_not_reduced(pk.data()) || ((pk[31] & 0x80) && x_is_zero(pk.data())))
    return Err(CryptoError::NonCanonicalPublicKey);
  if (!on_curve(pk.data())) return Err(CryptoError::InvalidPublicKey);
  return Ok<CryptoError>();
}

bool ed25519_is_small_order(ByteView pk) {
  if (pk.size() != kEd25519PublicKeySize) return false;
  for (const auto& s : kSmallOrder)
    if (std::memcmp(s, pk.data(), 32) == 0) return true;
  return false;
}

Result<bool, CryptoError> ed25519_verify(ByteView pk, ByteView message, ByteView sig,
                                         Ed25519Verification mode) {
  if (pk.size() != kEd25519PublicKeySize) return Err(CryptoError::InvalidKeyLength);
  // RFC 8032 §5.1.3 decoding refuses y >= p and x = 0 with the sign bit set.
  // OpenSSL would silently reduce such keys, so they are caught here.
  const bool non_canonical = y_not_reduced(pk.data()) || ((pk[31] & 0x80) && x_is_zero(pk.data()));
  switch (mode) {
    case Ed25519Verification::Rfc8032: {
      if (non_canonical) return Err(CryptoError::InvalidPublicKey);
      if (sig.size() == kEd25519SignatureSize) {
        // libsodium verifies in about half the time of OpenSSL. What it
        // accepts, RFC 8032's cofactorless check accepts too, but it refuses
        // more (keys and R values of small order, among others), so a
        // refusal is only final once OpenSSL agrees: the answer stays the
        // RFC's, and only a failing signature pays for the second check.
        ensure_sodium();
        if (crypto_sign_verify_detached(sig.data(), message.data(), message.size(), pk.data()) == 0)
          return true;
        if (openssl_verify(pk.data(), message, sig.data())) return true;
      }
      // Only a failed verification pays for telling a bad key from a bad signature.
      if (!on_curve(pk.data())) return Err(CryptoError::InvalidPublicKey);
      return false;
    }
    case Ed25519Verification::Strict: {
      if (non_canonical) return Err(CryptoError::NonCanonicalPublicKey);
      if (ed25519_is_small_order(pk)) return Err(CryptoError::SmallOrderPublicKey);
      ensure_sodium();
      if (sig.size() == kEd25519SignatureSize &&
          crypto_sign_verify_detached(sig.data(), message.data(), message.size(), pk.data()) == 0)
        return true;
      if (!on_curve(pk.data())) return Err(CryptoError::InvalidPublicKey);
      return false;
    }
  }
  return Err(CryptoError::LibraryFailure);
}

}  // namespace brenvik::crypto
