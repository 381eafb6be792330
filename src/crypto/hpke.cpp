#include "crypto/hpke.h"

#include "crypto/hkdf.h"
#include "crypto/random.h"

namespace brenvik::crypto::hpke {

struct ContextAccess {
  template <typename C>
  static C make(AeadKey key, const std::array<uint8_t, kNn>& nonce, const SecretArray<kNh>& exp) {
    return C(std::move(key), nonce, exp);
  }
};

namespace {

constexpr uint8_t kVersion[] = {'H', 'P', 'K', 'E', '-', 'v', '1'};
constexpr uint8_t kKemSuite[] = {'K', 'E', 'M', uint8_t(kKemId >> 8), uint8_t(kKemId)};
constexpr uint8_t kHpkeSuite[] = {'H',
                                  'P',
                                  'K',
                                  'E',
                                  uint8_t(kKemId >> 8),
                                  uint8_t(kKemId),
                                  uint8_t(kKdfId >> 8),
                                  uint8_t(kKdfId),
                                  uint8_t(kAeadId >> 8),
                                  uint8_t(kAeadId)};
constexpr uint8_t kModeBase = 0x00;

ByteView label(std::string_view s) {
  return as_bytes(s);
}

// LabeledExtract(salt, label, ikm) = Extract(salt, "HPKE-v1" | suite | label | ikm).
SecretArray<32> labeled_extract(ByteView suite, ByteView salt, std::string_view lbl, ByteView ikm) {
  return hkdf_extract(salt, {ByteView(kVersion), suite, label(lbl), ikm});
}

// LabeledExpand(prk, label, info, L) =
//   Expand(prk, I2OSP(L, 2) | "HPKE-v1" | suite | label | info, L).
Result<void, CryptoError> labeled_expand(ByteView suite, ByteView prk, std::string_view lbl,
                                         ByteView info, std::span<uint8_t> out) {
  if (out.size() > 0xffff) return Err(CryptoError::OutputTooLong);
  const uint8_t len[2] = {uint8_t(out.size() >> 8), uint8_t(out.size())};
  return hkdf_expand(prk, {ByteView(len), ByteView(kVersion), suite, label(lbl), info}, out);
}

// ExtractAndExpand of DHKEM (RFC 9180 §4.1).
Result<SecretArray<32>, CryptoError> extract_and_expand(ByteView dh, ByteView enc, ByteView pk_r) {
  SecretArray<32> eae_prk = labeled_extract(kKemSuite, {}, "eae_prk", dh);
  uint8_t kem_context[kNenc + kNpk];
  std::memcpy(kem_context, enc.data(), kNenc);
  std::memcpy(kem_context + kNenc, pk_r.data(), kNpk);
  SecretArray<32> shared;
  BRENVIK_TRY_VOID(
      labeled_expand(kKemSuite, eae_prk.view(), "shared_secret", kem_context, shared.span()));
  return shared;
}

struct Schedule {
  SecretArray<kNk> key;
  std::array<uint8_t, kNn> base_nonce;
  SecretArray<kNh> exporter_secret;
};

// KeySchedule (RFC 9180 §5.1) for mode_base: empty psk and psk_id.
Result<Schedule, CryptoError> key_schedule(ByteView shared_secret, ByteView info) {
  const SecretArray<32> psk_id_hash = labeled_extract(kHpkeSuite, {}, "psk_id_hash", {});
  const SecretArray<32> info_hash = labeled_extract(kHpkeSuite, {}, "info_hash", info);
  uint8_t context[1 + 2 * kNh];
  context[0] = kModeBase;
  std::memcpy(context + 1, psk_id_hash.data(), kNh);
  std::memcpy(context + 1 + kNh, info_hash.data(), kNh);
  const SecretArray<32> secret = labeled_extract(kHpkeSuite, shared_secret, "secret", {});
  Schedule s;
  BRENVIK_TRY_VOID(labeled_expand(kHpkeSuite, secret.view(), "key", context, s.key.span()));
  BRENVIK_TRY_VOID(labeled_expand(kHpkeSuite, secret.view(), "base_nonce", context, s.base_nonce));
  BRENVIK_TRY_VOID(
      labeled_expand(kHpkeSuite, secret.view(), "exp", context, s.exporter_secret.span()));
  return s;
}

struct Encapsulated {
  Enc enc;
  SecretArray<32> shared_secret;
};

Result<Encapsulated, CryptoError> encap(ByteView pk_r, const X25519PrivateKey& ephemeral) {
  if (pk_r.size() != kNpk) return Err(CryptoError::InvalidKeyLength);
  BRENVIK_TRY(auto dh, ephemeral.agree(pk_r));
  Encapsulated e;
  e.enc = ephemeral.public_key();
  BRENVIK_TRY(e.shared_secret, extract_and_expand(dh.view(), e.enc, pk_r));
  return e;
}

Result<SecretArray<32>, CryptoError> decap(ByteView enc, const X25519PrivateKey& sk_r) {
  if (enc.size() != kNenc) return Err(CryptoError::InvalidLength);
  BRENVIK_TRY(auto dh, sk_r.agree(enc));
  return extract_and_expand(dh.view(), enc, sk_r.public_key());
}

template <typename C>
Result<C, CryptoError> make_context(const Schedule& s) {
  BRENVIK_TRY(auto key, AeadKey::create(AeadAlgorithm::Aes128Gcm, s.key.view()));
  return ContextAccess::make<C>(std::move(key), s.base_nonce, s.exporter_secret);
}

}  // namespace

Result<X25519PrivateKey, CryptoError> derive_key_pair(ByteView ikm) {
  // For X25519 every 32-byte string is a valid private key, so DeriveKeyPair
  // is a single expansion (no rejection loop as for the NIST curves).
  const SecretArray<32> dkp_prk = labeled_extract(kKemSuite, {}, "dkp_prk", ikm);
  SecretArray<kNsk> sk;
  BRENVIK_TRY_VOID(labeled_expand(kKemSuite, dkp_prk.view(), "sk", {}, sk.span()));
  return X25519PrivateKey::from_bytes(sk.view());
}

Result<X25519PrivateKey, CryptoError> generate_key_pair() {
  BRENVIK_TRY(auto ikm, random_secret_32());
  return derive_key_pair(ikm.view());
}

Result<std::array<uint8_t, kNn>, CryptoError> Context::next_nonce() const {
  // The RFC's limit is 2^96 - 1 messages; a 64-bit counter stops earlier,
  // at a count no real context reaches.
  if (seq_ == UINT64_MAX) return Err(CryptoError::MessageLimitReached);
  std::array<uint8_t, kNn> nonce = base_nonce_;
  for (size_t i = 0; i < 8; ++i) nonce[kNn - 1 - i] ^= uint8_t(seq_ >> (8 * i));
  return nonce;
}

Result<SecretBytes, CryptoError> Context::export_secret(ByteView exporter_context,
                                                        size_t length) const {
  if (length > kMaxExportLength) return Err(CryptoError::OutputTooLong);
  SecretBytes out(length);
  BRENVIK_TRY_VOID(
      labeled_expand(kHpkeSuite, exporter_secret_.view(), "sec", exporter_context, out.span()));
  return out;
}

Result<void, CryptoError> SenderContext::seal(ByteView aad, ByteView plaintext,
                                              std::span<uint8_t> out) {
  BRENVIK_TRY(auto nonce, next_nonce());
  BRENVIK_TRY_VOID(key_.seal(nonce, aad, plaintext, out));
  ++seq_;
  return Ok<CryptoError>();
}

Result<Bytes, CryptoError> SenderContext::seal(ByteView aad, ByteView plaintext) {
  Bytes out(plaintext.size() + kNt);
  BRENVIK_TRY_VOID(seal(aad, plaintext, out));
  return out;
}

Result<void, CryptoError> ReceiverContext::open(ByteView aad, ByteView ciphertext,
                                                std::span<uint8_t> out) {
  BRENVIK_TRY(auto nonce, next_nonce());
  BRENVIK_TRY_VOID(key_.open(nonce, aad, ciphertext, out));
  ++seq_;
  return Ok<CryptoError>();
}

Result<Bytes, CryptoError> ReceiverContext::open(ByteView aad, ByteView ciphertext) {
  if (ciphertext.size() < kNt) return Err(CryptoError::AuthenticationFailed);
  Bytes out(ciphertext.size() - kNt);
  BRENVIK_TRY_VOID(open(aad, ciphertext, out));
  return out;
}

Result<SenderSetup, CryptoError> setup_base_s_with_ephemeral(ByteView recipient_public,
                                                             ByteView info,
                                                             const X25519PrivateKey& ephemeral) {
  BRENVIK_TRY(auto e, encap(recipient_public, ephemeral));
  BRENVIK_TRY(auto s, key_schedule(e.shared_secret.view(), info));
  BRENVIK_TRY(auto ctx, make_context<SenderContext>(s));
  return SenderSetup{e.enc, std::move(ctx)};
}

Result<SenderSetup, CryptoError> setup_base_s(ByteView recipient_public, ByteView info) {
  BRENVIK_TRY(auto eph, X25519PrivateKey::generate());
  return setup_base_s_with_ephemeral(recipient_public, info, eph);
}

Result<ReceiverContext, CryptoError> setup_base_r(ByteView enc, const X25519PrivateKey& recipient,
                                                  ByteView info) {
  BRENVIK_TRY(auto shared, decap(enc, recipient));
  BRENVIK_TRY(auto s, key_schedule(shared.view(), info));
  return make_context<ReceiverContext>(s);
}

Result<Sealed, CryptoError> seal_base(ByteView recipient_public, ByteView info, ByteView aad,
                                      ByteView plaintext) {
  BRENVIK_TRY(auto eph, X25519PrivateKey::generate());
  BRENVIK_TRY(auto e, encap(recipient_public, eph));
  BRENVIK_TRY(auto s, key_schedule(e.shared_secret.view(), info));
  Sealed out{e.enc, {}};
  // Sequence number 0: the nonce is the base nonce.
  BRENVIK_TRY(out.ciphertext,
              aead_seal(AeadAlgorithm::Aes128Gcm, s.key.view(), s.base_nonce, aad, plaintext));
  return out;
}

Result<Bytes, CryptoError> open_base(ByteView enc, const X25519PrivateKey& recipient, ByteView info,
                                     ByteView aad, ByteView ciphertext) {
  BRENVIK_TRY(auto shared, decap(enc, recipient));
  BRENVIK_TRY(auto s, key_schedule(shared.view(), info));
  return aead_open(AeadAlgorithm::Aes128Gcm, s.key.view(), s.base_nonce, aad, ciphertext);
}

}  // namespace brenvik::crypto::hpke
