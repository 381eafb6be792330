// NIP-44 version 2 payload encryption between two secp256k1 key pairs.
//
// Payload layout: version (1 byte, 2) | nonce (32) | ChaCha20 ciphertext of
// the framed, padded plaintext | HMAC-SHA256 (32) over nonce and ciphertext.
// The standard frame is a 2-byte big-endian length, the plaintext and zero
// padding. seal_payload/open_payload expose the authenticated layer on its
// own, so that a different frame of the plaintext (for example a longer
// length prefix for large plaintexts) reuses the same keys, cipher and MAC.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "crypto/secret.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::crypto::nip44 {

inline constexpr uint8_t kVersion = 2;
inline constexpr size_t kNonceSize = 32;
inline constexpr size_t kMacSize = 32;
inline constexpr size_t kHeaderSize = 1 + kNonceSize;
inline constexpr size_t kMinPayloadSize = kHeaderSize + 2 + 32 + kMacSize;  // 99
inline constexpr size_t kMinPlaintextSize = 1;
inline constexpr size_t kMaxPlaintextSize = 65535;
// Payload of the largest standard plaintext: 2 + 65536 padded bytes.
inline constexpr size_t kMaxPayloadSize = kHeaderSize + 2 + 65536 + kMacSize;  // 65603

struct Error {
  enum class Kind {
    PeerKeyLength,           // "NIP-44: peer public key must be 32 bytes"
    PeerKeyNotOnCurve,       // "NIP-44: peer public key is not a valid curve point"
    InvalidSecret,           // own secret is not a valid scalar
    InvalidConversationKey,  // "NIP-44: invalid conversation key: " + detail
    InvalidNonce,            // "NIP-44: nonce must be 32 bytes"
    RandomFailure,           // "NIP-44: OS RNG failure: " + detail
    PlaintextEmpty,          // "NIP-44: plaintext must be at least 1 byte"
    PlaintextTooLarge,       // size and limit carried in `size` and `limit`
    PayloadTooShort,         // "NIP-44: payload too short: " + size + " bytes"
    PayloadTooLarge,         // size and limit carried in `size` and `limit`
    UnsupportedVersion,      // "NIP-44: unsupported version " + size (the byte)
    MacMismatch,             // "NIP-44: MAC mismatch"
    InvalidPadding,          // "NIP-44: invalid padding"
  };
  Kind kind;
  uint64_t size = 0;   // the offending size or version byte
  uint64_t limit = 0;  // the limit it broke
  std::string detail;  // reason text from the failing facility

  // The error text, starting with "NIP-44: ".
  std::string message() const;
};

using ConversationKey = SecretArray<32>;

struct MessageKeys {
  SecretArray<32> chacha_key;
  SecretArray<12> chacha_nonce;
  SecretArray<32> hmac_key;
};

// HKDF-Extract(salt "nip44-v2", X coordinate of own_secret * peer), with the
// peer's 32-byte x-only key lifted to even Y. Symmetric between the parties.
Result<ConversationKey, Error> conversation_key(ByteView own_secret, ByteView peer_public);

// HKDF-Expand(conversation_key, nonce, 76) split 32 / 12 / 32.
Result<MessageKeys, Error> message_keys(ByteView conversation_key, ByteView nonce);

// Padded length of a plaintext of `length` >= 1 bytes: 32 up to 32 bytes,
// then steps of 32 up to 256 and of an eighth of the next power of two above.
size_t padded_length(size_t length);

// Standard NIP-44 v2 for plaintexts of 1..65535 bytes. Payloads are raw
// bytes; events carry them as padded standard base64.
Result<Bytes, Error> encrypt(ByteView conversation_key, ByteView plaintext);
// Same with a caller-chosen nonce, for reproducing published vectors. A nonce
// must never repeat under one conversation key.
Result<Bytes, Error> encrypt_with_nonce(ByteView conversation_key, ByteView plaintext,
                                        ByteView nonce);
Result<Bytes, Error> decrypt(ByteView conversation_key, ByteView payload);

// The authenticated layer. A payload for a frame of `body_size` bytes has
// payload_size(body_size) bytes; the caller writes the frame at
// payload[kHeaderSize .. kHeaderSize + body_size) and seal_payload writes the
// version and nonce, encrypts the frame in place and appends the MAC.
constexpr size_t payload_size(size_t body_size) {
  return kHeaderSize + body_size + kMacSize;
}
Result<void, Error> seal_payload(ByteView conversation_key, ByteView nonce,
                                 std::span<uint8_t> payload);
// Checks the size (kMinPayloadSize .. max_payload), the version and the MAC
// (in constant time), then returns the decrypted frame: one copy, decrypted
// in place. The frame's own length and padding are the caller's to check.
Result<Bytes, Error> open_payload(ByteView conversation_key, ByteView payload, size_t max_payload);

}  // namespace brenvik::crypto::nip44
