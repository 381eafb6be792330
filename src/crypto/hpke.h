// HPKE (RFC 9180) in base mode for one cipher suite:
// DHKEM(X25519, HKDF-SHA256), HKDF-SHA256, AES-128-GCM
// (kem_id 0x0020, kdf_id 0x0001, aead_id 0x0001).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "crypto/aead.h"
#include "crypto/crypto_error.h"
#include "crypto/secret.h"
#include "crypto/x25519.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::crypto::hpke {

inline constexpr uint16_t kKemId = 0x0020;
inline constexpr uint16_t kKdfId = 0x0001;
inline constexpr uint16_t kAeadId = 0x0001;
inline constexpr size_t kNenc = 32;  // encapsulated key
inline constexpr size_t kNpk = 32;
inline constexpr size_t kNsk = 32;
inline constexpr size_t kNk = 16;  // AEAD key
inline constexpr size_t kNn = 12;  // AEAD nonce
inline constexpr size_t kNt = 16;  // AEAD tag
inline constexpr size_t kNh = 32;  // KDF output
inline constexpr size_t kMaxExportLength = 255 * kNh;

using Enc = std::array<uint8_t, kNenc>;

// DeriveKeyPair (RFC 9180 §7.1.3): the key pair determined by ikm, which
// must hold at least 32 bytes of entropy for the result to be secret.
Result<X25519PrivateKey, CryptoError> derive_key_pair(ByteView ikm);
// A fresh random key pair.
Result<X25519PrivateKey, CryptoError> generate_key_pair();

// The state shared by both ends after setup: the exporter and the nonce
// sequence. Movable, not copyable (a copy would reuse nonces).
class Context {
 public:
  Context(Context&&) noexcept = default;
  Context& operator=(Context&&) noexcept = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Export (RFC 9180 §5.3): L bytes bound to this context and exporter_context;
  // L above 8160 is OutputTooLong.
  Result<SecretBytes, CryptoError> export_secret(ByteView exporter_context, size_t length) const;
  // Number of messages sealed or opened so far.
  uint64_t sequence() const { return seq_; }

 protected:
  Context(AeadKey key, const std::array<uint8_t, kNn>& base_nonce,
          const SecretArray<kNh>& exporter_secret)
      : key_(std::move(key)), base_nonce_(base_nonce), exporter_secret_(exporter_secret) {}
  // base_nonce XOR seq, or MessageLimitReached when the sequence is exhausted.
  Result<std::array<uint8_t, kNn>, CryptoError> next_nonce() const;

  AeadKey key_;
  std::array<uint8_t, kNn> base_nonce_;
  SecretArray<kNh> exporter_secret_;
  uint64_t seq_ = 0;

  friend struct ContextAccess;
};

class SenderContext : public Context {
 public:
  // Encrypts the next message. out must hold plaintext.size() + 16 bytes.
  Result<void, CryptoError> seal(ByteView aad, ByteView plaintext, std::span<uint8_t> out);
  Result<Bytes, CryptoError> seal(ByteView aad, ByteView plaintext);

 private:
  using Context::Context;
  friend struct ContextAccess;
};

class ReceiverContext : public Context {
 public:
  // Decrypts the next message; on failure the sequence does not advance, so
  // a forged message does not desynchronise the receiver.
  Result<void, CryptoError> open(ByteView aad, ByteView ciphertext, std::span<uint8_t> out);
  Result<Bytes, CryptoError> open(ByteView aad, ByteView ciphertext);

 private:
  using Context::Context;
  friend struct ContextAccess;
};

struct SenderSetup {
  Enc enc;
  SenderContext context;
};

// SetupBaseS with a fresh ephemeral key.
Result<SenderSetup, CryptoError> setup_base_s(ByteView recipient_public, ByteView info);
// SetupBaseS with a given ephemeral key, for reproducing published vectors;
// an ephemeral key must never be used twice.
Result<SenderSetup, CryptoError> setup_base_s_with_ephemeral(ByteView recipient_public,
                                                             ByteView info,
                                                             const X25519PrivateKey& ephemeral);
// SetupBaseR. A wrong-size or small-order enc is an error.
Result<ReceiverContext, CryptoError> setup_base_r(ByteView enc, const X25519PrivateKey& recipient,
                                                  ByteView info);

// Single-shot encryption (RFC 9180 §6.1 SealBase / OpenBase): one message,
// sequence number 0. These skip the keyed context and allocate only the output.
struct Sealed {
  Enc enc;
  Bytes ciphertext;
};
Result<Sealed, CryptoError> seal_base(ByteView recipient_public, ByteView info, ByteView aad,
                                      ByteView plaintext);
Result<Bytes, CryptoError> open_base(ByteView enc, const X25519PrivateKey& recipient, ByteView info,
                                     ByteView aad, ByteView ciphertext);

}  // namespace brenvik::crypto::hpke
