// Internal: algorithm handles fetched once per process and contexts reused
// per thread, so that a one-shot call costs no provider look-up and no heap
// allocation. A function takes a context, uses it to completion and returns;
// none calls another user of the same context meanwhile.
#pragma once

#include <openssl/evp.h>

namespace brenvik::crypto::detail {

const EVP_MD* md_sha256();
const EVP_CIPHER* cipher_aes128gcm();
const EVP_CIPHER* cipher_chacha20poly1305();
const EVP_CIPHER* cipher_chacha20();

// Per-thread contexts. Each is freed when its thread ends.
EVP_MD_CTX* thread_md_ctx();    // digests and HMAC
EVP_MD_CTX* thread_sign_ctx();  // Ed25519 signing and verification
// One context per cipher for one-shot calls. Keeping the cipher fixed lets a
// call change only key and IV: passing the cipher again would make OpenSSL
// free and reallocate its provider state every time.
EVP_CIPHER_CTX* thread_cipher_ctx(const EVP_CIPHER* cipher);
// Starts an encryption or decryption on a context from thread_cipher_ctx,
// naming the cipher only on the context's first use.
int cipher_init(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, const unsigned char* key,
                const unsigned char* iv, int enc);

}  // namespace brenvik::crypto::detail
