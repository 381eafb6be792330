// The two sealed record formats (ChaCha20-Poly1305, RFC 8439) and the key
// schedule that turns the host's store key into the file stores' keys.
//
//   "BPS1" | nonce(12) | ciphertext(n) | tag(16)   protocol-state record,
//          AAD = "BPS1" || category || 0x1F || key id
//   "BMS1" | nonce(12) | ciphertext(n) | tag(16)   MLS file record,
//          AAD = "BMS1" || file name
//
// Opening answers only "opens" (the plaintext) or "does not open"
// (std::nullopt); it never says why, so that callers name the reason.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "crypto/crypto_error.h"
#include "crypto/secret.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::store {

inline constexpr size_t kSealOverhead = 4 + 12 + 16;

Bytes state_record_aad(std::string_view category, std::string_view key_id);
Bytes mls_record_aad(std::string_view file_name);

// REQUIRES: record_key is 32 bytes (anything else fails).
Result<Bytes, crypto::CryptoError> seal_state_record(ByteView record_key, std::string_view category,
                                                     std::string_view key_id, ByteView plaintext);
// Refuses input of 16 bytes or fewer or without the magic; input of 17 to 31
// bytes is attempted and fails authentication.
std::optional<crypto::SecretBytes> open_state_record(ByteView record_key, std::string_view category,
                                                     std::string_view key_id, ByteView sealed);

Result<Bytes, crypto::CryptoError> seal_mls_record(ByteView seal_key, std::string_view file_name,
                                                   ByteView plaintext);
// Refuses input shorter than 32 bytes or without the magic.
std::optional<crypto::SecretBytes> open_mls_record(ByteView seal_key, std::string_view file_name,
                                                   ByteView sealed);

struct FileStoreKeys {
  crypto::SecretArray<32> seal_key;   // ChaCha20-Poly1305 key of every MLS file
  crypto::SecretArray<32> names_key;  // HMAC key of the MLS store's file names
};

// HKDF-SHA-256 with the fixed 41-byte salt; namespace as ASCII.
FileStoreKeys derive_file_store_keys(const crypto::SecretArray<32>& store_key, std::string_view ns);

inline constexpr std::string_view kZeroStoreKeyText =
    "an all-zero store key is an unset buffer, not a key";

// The all-zero refusal; the text is kZeroStoreKeyText.
Result<void, std::string> reject_zero_store_key(ByteView key);
// Returns the 32-byte key, or the all-zero refusal (or a length refusal).
Result<crypto::SecretArray<32>, std::string> validate_store_key(ByteView key);

// parse_store_key's error: text() is "the configured store key is not usable: "
// + detail; the host sees the detail behind the facade's "store_key: ".
struct StoreKeyError {
  std::string detail;
  std::string text() const { return "the configured store key is not usable: " + detail; }
};
// Exactly 32 bytes, not all zero. "a store key is 32 bytes, got N" otherwise.
Result<crypto::SecretArray<32>, StoreKeyError> parse_store_key(ByteView key);

}  // namespace brenvik::store
