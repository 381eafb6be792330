#include "crypto/sha256.h"

#include <cstdlib>

#include "crypto/openssl_cache.h"
#include "crypto/secret.h"

namespace brenvik::crypto {
namespace {

// Digest failures on a valid context and a fetched algorithm only happen on
// allocation failure inside OpenSSL; treat them like std::bad_alloc.
void check(int rc) {
  if (rc != 1) std::abort();
}

void digest_parts(EVP_MD_CTX* ctx, const ByteView* parts, size_t n, uint8_t* out) {
  check(EVP_DigestInit_ex2(ctx, detail::md_sha256(), nullptr));
  for (size_t i = 0; i < n; ++i) check(EVP_DigestUpdate(ctx, parts[i].data(), parts[i].size()));
  unsigned int len = 0;
  check(EVP_DigestFinal_ex(ctx, out, &len));
}

constexpr size_t kBlock = 64;

Digest32 hmac_parts(ByteView key, const ByteView* parts, size_t n) {
  EVP_MD_CTX* ctx = detail::thread_md_ctx();
  SecretArray<kBlock> k0;
  if (key.size() > kBlock) {
    digest_parts(ctx, &key, 1, k0.data());
  } else if (!key.empty()) {
    std::memcpy(k0.data(), key.data(), key.size());
  }
  SecretArray<kBlock> pad;
  for (size_t i = 0; i < kBlock; ++i) pad[i] = k0[i] ^ 0x36;
  Digest32 inner;
  check(EVP_DigestInit_ex2(ctx, detail::md_sha256(), nullptr));
  check(EVP_DigestUpdate(ctx, pad.data(), kBlock));
  for (size_t i = 0; i < n; ++i) check(EVP_DigestUpdate(ctx, parts[i].data(), parts[i].size()));
  unsigned int len = 0;
  check(EVP_DigestFinal_ex(ctx, inner.data(), &len));
  for (size_t i = 0; i < kBlock; ++i) pad[i] = k0[i] ^ 0x5c;
  Digest32 out;
  check(EVP_DigestInit_ex2(ctx, detail::md_sha256(), nullptr));
  check(EVP_DigestUpdate(ctx, pad.data(), kBlock));
  check(EVP_DigestUpdate(ctx, inner.data(), inner.size()));
  check(EVP_DigestFinal_ex(ctx, out.data(), &len));
  secure_wipe(inner.data(), inner.size());
  return out;
}

}  // namespace

Digest32 sha256(ByteView data) {
  Digest32 out;
  digest_parts(detail::thread_md_ctx(), &data, 1, out.data());
  return out;
}

Digest32 sha256(std::initializer_list<ByteView> parts) {
  Digest32 out;
  digest_parts(detail::thread_md_ctx(), parts.begin(), parts.size(), out.data());
  return out;
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr) throw std::bad_alloc();
  check(EVP_DigestInit_ex2(static_cast<EVP_MD_CTX*>(ctx_), detail::md_sha256(), nullptr));
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
}

Sha256& Sha256::operator=(Sha256&& o) noexcept {
  if (this != &o) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    ctx_ = o.ctx_;
    o.ctx_ = nullptr;
  }
  return *this;
}

Sha256& Sha256::update(ByteView data) {
  check(EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data.data(), data.size()));
  return *this;
}

Digest32 Sha256::finish() {
  auto* ctx = static_cast<EVP_MD_CTX*>(ctx_);
  Digest32 out;
  unsigned int len = 0;
  check(EVP_DigestFinal_ex(ctx, out.data(), &len));
  check(EVP_DigestInit_ex2(ctx, detail::md_sha256(), nullptr));
  return out;
}

Digest32 hmac_sha256(ByteView key, ByteView data) {
  return hmac_parts(key, &data, 1);
}

Digest32 hmac_sha256(ByteView key, std::initializer_list<ByteView> parts) {
  return hmac_parts(key, parts.begin(), parts.size());
}

Digest32 hmac_sha256_parts(ByteView key, std::span<const ByteView> parts) {
  return hmac_parts(key, parts.data(), parts.size());
}

}  // namespace brenvik::crypto
