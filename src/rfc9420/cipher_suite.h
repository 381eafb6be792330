// The primitives of cipher suite 0x0001,
// MLS_128_DHKEMX25519_AES128GCM_SHA256_Ed25519 (RFC 9420 §5): hash
// references, the labelled KDF, signatures and public-key encryption. It is
// the only suite this implementation speaks.
#pragma once

#include <string_view>

#include "crypto/crypto_error.h"
#include "crypto/ed25519.h"
#include "crypto/secret.h"
#include "crypto/sha256.h"
#include "crypto/x25519.h"
#include "rfc9420/framing.h"

namespace brenvik::rfc9420 {

using crypto::CryptoError;

inline constexpr CipherSuite kSuite = kCipherSuiteX25519Aes128Sha256Ed25519;
inline constexpr size_t kNh = 32;  // KDF / hash output
inline constexpr size_t kNk = 16;  // AEAD key
inline constexpr size_t kNn = 12;  // AEAD nonce

// RefHash(label, value) = SHA-256(RefHashInput{label, value}) (§5.2). The
// label is used as given.
crypto::Digest32 ref_hash(std::string_view label, ByteView value);

// KDF.Expand(secret, KDFLabel{length, "MLS 1.0 " + label, context}, length)
// (§8). The secret must be at least kNh bytes.
Result<crypto::SecretBytes, CryptoError> expand_with_label(ByteView secret, std::string_view label,
                                                           ByteView context, size_t length);
// ExpandWithLabel(secret, label, "", kNh).
Result<crypto::SecretBytes, CryptoError> derive_secret(ByteView secret, std::string_view label);
// ExpandWithLabel(secret, label, uint32 generation, length) (§9).
Result<crypto::SecretBytes, CryptoError> derive_tree_secret(ByteView secret, std::string_view label,
                                                            uint32_t generation, size_t length);

// KDF.Extract(salt, ikm) = HMAC-SHA-256(salt, ikm); an empty salt is kNh zeros.
crypto::SecretArray<kNh> kdf_extract(ByteView salt, ByteView ikm);
// MAC(key, data) = HMAC-SHA-256.
crypto::Digest32 mac(ByteView key, ByteView data);

// SignWithLabel(key, label, content): Ed25519 over SignContent{"MLS 1.0 " +
// label, content} (§5.1.2).
Result<Bytes, CryptoError> sign_with_label(const crypto::Ed25519PrivateKey& key,
                                           std::string_view label, ByteView content);
// VerifyWithLabel. Keys of small order and non-canonical key encodings are
// refused (strict verification): signature keys come from peers. A key that
// is not a valid point is an error, a wrong signature is `false`.
Result<bool, CryptoError> verify_with_label(ByteView public_key, std::string_view label,
                                            ByteView content, ByteView signature);

// EncryptWithLabel(public_key, label, context, plaintext): HPKE SealBase with
// info = EncryptContext{"MLS 1.0 " + label, context} and empty aad (§5.1.3).
Result<HpkeCiphertext, CryptoError> encrypt_with_label(ByteView public_key, std::string_view label,
                                                       ByteView context, ByteView plaintext);
// DecryptWithLabel; a ciphertext that fails to open is AuthenticationFailed.
Result<crypto::SecretBytes, CryptoError> decrypt_with_label(const crypto::X25519PrivateKey& key,
                                                            std::string_view label,
                                                            ByteView context, ByteView kem_output,
                                                            ByteView ciphertext);

// MakeKeyPackageRef over the encoded KeyPackage, MakeProposalRef over the
// encoded AuthenticatedContent that carried the proposal (§5.2).
KeyPackageRef make_key_package_ref(const KeyPackage& kp);
KeyPackageRef make_key_package_ref(ByteView encoded_key_package);
ProposalRef make_proposal_ref(ByteView encoded_authenticated_content);

}  // namespace brenvik::rfc9420
