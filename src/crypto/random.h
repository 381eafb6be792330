// The operating system's secure random source (through OpenSSL's DRBG, which
// is seeded from it and reseeds after fork).
#pragma once

#include <span>
#include <string>

#include "crypto/crypto_error.h"
#include "crypto/secret.h"
#include "util/result.h"

namespace brenvik::crypto {

// Fills out with random bytes; out is unspecified on failure.
Result<void, CryptoError> random_fill(std::span<uint8_t> out);
Result<Bytes, CryptoError> random_bytes(size_t n);
// 32 random secret bytes (keys, seeds, nonces).
Result<SecretArray<32>, CryptoError> random_secret_32();
// The reason the random source gave for its last failure on this thread
// (empty when it has not failed), for error texts that carry it.
std::string last_random_failure_reason();

}  // namespace brenvik::crypto
