#include "crypto/x25519.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include "crypto/random.h"

namespace brenvik::crypto {
namespace {

EVP_PKEY* as_pkey(void* p) {
  return static_cast<EVP_PKEY*>(p);
}

}  // namespace

Result<X25519PrivateKey, CryptoError> X25519PrivateKey::from_bytes(ByteView private_key) {
  if (private_key.size() != kX25519KeySize) return Err(CryptoError::InvalidKeyLength);
  X25519PrivateKey k;
  k.pkey_ = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(),
                                         private_key.size());
  if (k.pkey_ == nullptr) {
    ERR_clear_error();
    return Err(CryptoError::LibraryFailure);
  }
  size_t len = kX25519KeySize;
  if (EVP_PKEY_get_raw_public_key(as_pkey(k.pkey_), k.public_.data(), &len) != 1 ||
      len != kX25519KeySize)
    return Err(CryptoError::LibraryFailure);
  k.private_ = SecretArray<32>(private_key);
  return k;
}

Result<X25519PrivateKey, CryptoError> X25519PrivateKey::generate() {
  BRENVIK_TRY(auto seed, random_secret_32());
  return from_bytes(seed.view());
}

X25519PrivateKey::X25519PrivateKey(const X25519PrivateKey& o)
    : pkey_(o.pkey_), private_(o.private_), public_(o.public_) {
  if (pkey_) EVP_PKEY_up_ref(as_pkey(pkey_));
}

X25519PrivateKey& X25519PrivateKey::operator=(const X25519PrivateKey& o) {
  if (this != &o) {
    X25519PrivateKey copy(o);
    *this = std::move(copy);
  }
  return *this;
}

X25519PrivateKey::X25519PrivateKey(X25519PrivateKey&& o) noexcept
    : pkey_(o.pkey_), private_(o.private_), public_(o.public_) {
  o.pkey_ = nullptr;
  o.private_ = SecretArray<32>();
}

X25519PrivateKey& X25519PrivateKey::operator=(X25519PrivateKey&& o) noexcept {
  if (this != &o) {
    EVP_PKEY_free(as_pkey(pkey_));
    pkey_ = o.pkey_;
    private_ = o.private_;
    public_ = o.public_;
    o.pkey_ = nullptr;
    o.private_ = SecretArray<32>();
  }
  return *this;
}

X25519PrivateKey::~X25519PrivateKey() {
  EVP_PKEY_free(as_pkey(pkey_));
}

Result<SecretArray<32>, CryptoError> X25519PrivateKey::agree(ByteView peer_public) const {
  if (peer_public.size() != kX25519KeySize) return Err(CryptoError::InvalidKeyLength);
  if (pkey_ == nullptr) return Err(CryptoError::InvalidPrivateKey);
  EVP_PKEY* peer =
      EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public.data(), kX25519KeySize);
  if (peer == nullptr) {
    ERR_clear_error();
    return Err(CryptoError::LibraryFailure);
  }
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, as_pkey(pkey_), nullptr);
  if (ctx == nullptr) {
    EVP_PKEY_free(peer);
    return Err(CryptoError::LibraryFailure);
  }
  SecretArray<32> out;
  size_t len = kX25519KeySize;
  // OpenSSL refuses an all-zero result itself; the explicit check below keeps
  // the guarantee independent of that.
  const bool ok = EVP_PKEY_derive_init(ctx) == 1 &&
                  EVP_PKEY_derive_set_peer_ex(ctx, peer, 0) == 1 &&
                  EVP_PKEY_derive(ctx, out.data(), &len) == 1 && len == kX25519KeySize;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peer);
  if (!ok) {
    // With valid sizes the only input-dependent refusal is the all-zero result.
    ERR_clear_error();
    return Err(CryptoError::ZeroSharedSecret);
  }
  if (ct_equal(out.view(), SecretArray<32>().view())) return Err(CryptoError::ZeroSharedSecret);
  return out;
}

Result<X25519PublicKey, CryptoError> x25519_public_key(ByteView private_key) {
  BRENVIK_TRY(auto k, X25519PrivateKey::from_bytes(private_key));
  return k.public_key();
}

Result<SecretArray<32>, CryptoError> x25519(ByteView private_key, ByteView peer_public) {
  BRENVIK_TRY(auto k, X25519PrivateKey::from_bytes(private_key));
  return k.agree(peer_public);
}

}  // namespace brenvik::crypto
