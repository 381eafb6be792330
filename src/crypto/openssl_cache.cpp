#include "crypto/openssl_cache.h"

#include <cstdlib>

namespace brenvik::crypto::detail {
namespace {

template <typename T>
T* fetched_or_die(T* p) {
  // A missing default provider algorithm means a broken installation; no
  // input can cause it, so it is a bug-class failure.
  if (p == nullptr) std::abort();
  return p;
}

struct MdCtx {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~MdCtx() { EVP_MD_CTX_free(ctx); }
};
struct CipherCtx {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

const EVP_MD* md_sha256() {
  static const EVP_MD* md = fetched_or_die(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md;
}
const EVP_CIPHER* cipher_aes128gcm() {
  static const EVP_CIPHER* c = fetched_or_die(EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr));
  return c;
}
const EVP_CIPHER* cipher_chacha20poly1305() {
  static const EVP_CIPHER* c =
      fetched_or_die(EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr));
  return c;
}
const EVP_CIPHER* cipher_chacha20() {
  static const EVP_CIPHER* c = fetched_or_die(EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr));
  return c;
}

EVP_MD_CTX* thread_md_ctx() {
  thread_local MdCtx c;
  return fetched_or_die(c.ctx);
}
EVP_MD_CTX* thread_sign_ctx() {
  thread_local MdCtx c;
  return fetched_or_die(c.ctx);
}
EVP_CIPHER_CTX* thread_cipher_ctx(const EVP_CIPHER* cipher) {
  thread_local CipherCtx gcm, chacha_poly, chacha, other;
  if (cipher == cipher_aes128gcm()) return fetched_or_die(gcm.ctx);
  if (cipher == cipher_chacha20poly1305()) return fetched_or_die(chacha_poly.ctx);
  if (cipher == cipher_chacha20()) return fetched_or_die(chacha.ctx);
  return fetched_or_die(other.ctx);
}

int cipher_init(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, const unsigned char* key,
                const unsigned char* iv, int enc) {
  const EVP_CIPHER* current = EVP_CIPHER_CTX_get0_cipher(ctx);
  return EVP_CipherInit_ex2(ctx, current == cipher ? nullptr : cipher, key, iv, enc, nullptr);
}

}  // namespace brenvik::crypto::detail
