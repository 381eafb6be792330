// HKDF with SHA-256 (RFC 5869).
#pragma once

#include <initializer_list>
#include <span>

#include "crypto/crypto_error.h"
#include "crypto/secret.h"
#include "util/result.h"

namespace brenvik::crypto {

inline constexpr size_t kHkdfMaxOutput = 255 * 32;

// PRK = HMAC(salt, ikm). An empty salt means 32 zero bytes (RFC 5869 §2.2).
SecretArray<32> hkdf_extract(ByteView salt, ByteView ikm);
// Extract over the concatenation of ikm_parts (labelled constructions).
SecretArray<32> hkdf_extract(ByteView salt, std::initializer_list<ByteView> ikm_parts);

// Fills out with HKDF-Expand(prk, info, out.size()). Requires a PRK of at
// least 32 bytes and out.size() <= 8160; otherwise fails and out is zeroed.
Result<void, CryptoError> hkdf_expand(ByteView prk, ByteView info, std::span<uint8_t> out);
// Expand with info given as the concatenation of info_parts.
Result<void, CryptoError> hkdf_expand(ByteView prk, std::initializer_list<ByteView> info_parts,
                                      std::span<uint8_t> out);
Result<SecretBytes, CryptoError> hkdf_expand(ByteView prk, ByteView info, size_t length);

}  // namespace brenvik::crypto
