#include "rfc9420/cipher_suite.h"

#include <string>

#include "crypto/hkdf.h"
#include "crypto/hpke.h"

namespace brenvik::rfc9420 {
namespace {

constexpr std::string_view kLabelPrefix = "MLS 1.0 ";

// The full label "MLS 1.0 " + label.
class FullLabel {
 public:
  explicit FullLabel(std::string_view label) {
    text_.reserve(kLabelPrefix.size() + label.size());
    text_.append(kLabelPrefix).append(label);
  }
  ByteView view() const { return as_bytes(text_); }

 private:
  std::string text_;
};

// The labelled two-field inputs (RefHashInput, SignContent, EncryptContext)
// share one shape: opaque label<V>; opaque value<V>.
struct LabelledValue {
  ByteView label;
  ByteView value;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&LabelledValue::label), tls::field(&LabelledValue::value)};
  }
};

struct KdfLabel {
  uint16_t length = 0;
  ByteView label;
  ByteView context;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&KdfLabel::length), tls::field(&KdfLabel::label),
                      tls::field(&KdfLabel::context)};
  }
};

}  // namespace

crypto::Digest32 ref_hash(std::string_view label, ByteView value) {
  return crypto::sha256(tls_encode(LabelledValue{as_bytes(label), value}));
}

Result<crypto::SecretBytes, CryptoError> expand_with_label(ByteView secret, std::string_view label,
                                                           ByteView context, size_t length) {
  if (length > 0xffff) return Err(CryptoError::OutputTooLong);
  FullLabel full(label);
  Bytes info = tls_encode(KdfLabel{uint16_t(length), full.view(), context});
  return crypto::hkdf_expand(secret, info, length);
}

Result<crypto::SecretBytes, CryptoError> derive_secret(ByteView secret, std::string_view label) {
  return expand_with_label(secret, label, {}, kNh);
}

Result<crypto::SecretBytes, CryptoError> derive_tree_secret(ByteView secret, std::string_view label,
                                                            uint32_t generation, size_t length) {
  uint8_t gen[4];
  gen[0] = uint8_t(generation >> 24);
  gen[1] = uint8_t(generation >> 16);
  gen[2] = uint8_t(generation >> 8);
  gen[3] = uint8_t(generation);
  return expand_with_label(secret, label, ByteView(gen, 4), length);
}

crypto::SecretArray<kNh> kdf_extract(ByteView salt, ByteView ikm) {
  return crypto::hkdf_extract(salt, ikm);
}

crypto::Digest32 mac(ByteView key, ByteView data) {
  return crypto::hmac_sha256(key, data);
}

Result<Bytes, CryptoError> sign_with_label(const crypto::Ed25519PrivateKey& key,
                                           std::string_view label, ByteView content) {
  FullLabel full(label);
  BRENVIK_TRY(auto sig, key.sign(tls_encode(LabelledValue{full.view(), content})));
  return Bytes(sig.begin(), sig.end());
}

Result<bool, CryptoError> verify_with_label(ByteView public_key, std::string_view label,
                                            ByteView content, ByteView signature) {
  FullLabel full(label);
  return crypto::ed25519_verify(public_key, tls_encode(LabelledValue{full.view(), content}),
                                signature, crypto::Ed25519Verification::Strict);
}

Result<HpkeCiphertext, CryptoError> encrypt_with_label(ByteView public_key, std::string_view label,
                                                       ByteView context, ByteView plaintext) {
  FullLabel full(label);
  Bytes info = tls_encode(LabelledValue{full.view(), context});
  BRENVIK_TRY(auto sealed, crypto::hpke::seal_base(public_key, info, {}, plaintext));
  return HpkeCiphertext{Bytes(sealed.enc.begin(), sealed.enc.end()), std::move(sealed.ciphertext)};
}

Result<crypto::SecretBytes, CryptoError> decrypt_with_label(const crypto::X25519PrivateKey& key,
                                                            std::string_view label,
                                                            ByteView context, ByteView kem_output,
                                                            ByteView ciphertext) {
  FullLabel full(label);
  Bytes info = tls_encode(LabelledValue{full.view(), context});
  BRENVIK_TRY(Bytes plain, crypto::hpke::open_base(kem_output, key, info, {}, ciphertext));
  crypto::SecretBytes out(plain);
  crypto::secure_wipe(plain.data(), plain.size());
  return out;
}

KeyPackageRef make_key_package_ref(ByteView encoded_key_package) {
  auto d = ref_hash("MLS 1.0 KeyPackage Reference", encoded_key_package);
  return KeyPackageRef(d.begin(), d.end());
}

KeyPackageRef make_key_package_ref(const KeyPackage& kp) {
  return make_key_package_ref(tls_encode(kp));
}

ProposalRef make_proposal_ref(ByteView encoded_authenticated_content) {
  auto d = ref_hash("MLS 1.0 Proposal Reference", encoded_authenticated_content);
  return ProposalRef(d.begin(), d.end());
}

}  // namespace brenvik::rfc9420
