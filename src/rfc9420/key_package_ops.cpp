#include "rfc9420/key_package_ops.h"

#include <algorithm>

#include "crypto/hpke.h"
#include "crypto/random.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/ratchet_tree.h"

namespace brenvik::rfc9420 {
namespace {

Error invalid_kp(std::string why) {
  return Error(ErrorCode::InvalidKeyPackage, std::move(why));
}

template <typename T>
bool contains(const std::vector<T>& v, const T& x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

}  // namespace

CredentialWithKey basic_credential(ByteView identity, const crypto::Ed25519PrivateKey& signer) {
  const auto& pk = signer.public_key();
  return {Credential::basic(Bytes(identity.begin(), identity.end())), Bytes(pk.begin(), pk.end())};
}

Capabilities default_capabilities() {
  Capabilities c;
  c.versions = {ProtocolVersion::mls10};
  c.cipher_suites = {kSuite};
  c.credentials = {credential_type::basic};
  return c;
}

Result<KeyPackageWithKeys, Error> build_key_package(const CredentialWithKey& credential,
                                                    const crypto::Ed25519PrivateKey& signer,
                                                    uint64_t now) {
  const auto& pk = signer.public_key();
  if (!std::equal(pk.begin(), pk.end(), credential.signature_key.begin(),
                  credential.signature_key.end()))
    return Err(Error(ErrorCode::InvalidArgument, "credential key is not the signer's"));
  auto ikm = crypto::random_secret_32();
  if (!ikm.ok()) return Err(Error::crypto(ikm.error()));
  auto init = crypto::hpke::derive_key_pair(ikm->view());
  if (!init.ok()) return Err(Error::crypto(init.error()));
  auto enc = crypto::X25519PrivateKey::generate();
  if (!enc.ok()) return Err(Error::crypto(enc.error()));

  KeyPackage kp;
  kp.cipher_suite = kSuite;
  kp.init_key.assign(init->public_key().begin(), init->public_key().end());
  LeafNode& leaf = kp.leaf_node;
  leaf.encryption_key.assign(enc->public_key().begin(), enc->public_key().end());
  leaf.signature_key = credential.signature_key;
  leaf.credential = credential.credential;
  leaf.capabilities = default_capabilities();
  leaf.source = Lifetime{now > kKeyPackageBackdate ? now - kKeyPackageBackdate : 0,
                         now + kKeyPackageLifetime};
  auto leaf_sig = sign_with_label(signer, "LeafNodeTBS", leaf_node_tbs(leaf, std::nullopt));
  if (!leaf_sig.ok()) return Err(Error::crypto(leaf_sig.error()));
  leaf.signature = std::move(*leaf_sig);
  auto sig = sign_with_label(signer, "KeyPackageTBS", key_package_tbs(kp));
  if (!sig.ok()) return Err(Error::crypto(sig.error()));
  kp.signature = std::move(*sig);
  return KeyPackageWithKeys{std::move(kp), std::move(*init), std::move(*enc)};
}

Result<void, Error> validate_leaf_node(const LeafNode& leaf, ByteView group_id,
                                       uint32_t leaf_index) {
  auto bad = [](std::string why) { return Err(Error(ErrorCode::InvalidContent, std::move(why))); };
  if (leaf.encryption_key.size() != crypto::kX25519KeySize)
    return bad("leaf encryption key has the wrong size");
  if (leaf.signature_key.size() != crypto::kEd25519PublicKeySize)
    return bad("leaf signature key has the wrong size");
  if (leaf.credential.type() != credential_type::basic)
    return bad("only basic credentials are accepted");
  const Capabilities& caps = leaf.capabilities;
  if (!contains(caps.versions, ProtocolVersion::mls10) || !contains(caps.cipher_suites, kSuite))
    return bad("leaf capabilities lack MLS 1.0 or the group's cipher suite");
  if (!caps.credentials.empty() && !contains(caps.credentials, credential_type::basic))
    return bad("leaf does not support the credential type it uses");
  return verify_leaf_node_signature(leaf, group_id, leaf_index);
}

bool lifetime_expired(const KeyPackage& kp, uint64_t now) {
  const Lifetime* lt = kp.leaf_node.lifetime();
  return lt && now >= lt->not_after;
}

Result<void, Error> validate_key_package(const KeyPackage& kp, uint64_t now) {
  return validate_key_package(kp, now, true);
}

Result<void, Error> validate_key_package(const KeyPackage& kp, uint64_t now, bool check_lifetime) {
  return validate_key_package(kp, now, check_lifetime, WindowWidthCheck::Engine);
}

Result<void, Error> validate_key_package(const KeyPackage& kp, uint64_t now, bool check_lifetime,
                                         WindowWidthCheck width) {
  if (kp.version != ProtocolVersion::mls10)
    return Err(invalid_kp("protocol version is not MLS 1.0"));
  if (kp.cipher_suite != kSuite) return Err(invalid_kp("unsupported cipher suite"));
  if (kp.init_key.size() != crypto::kX25519KeySize)
    return Err(invalid_kp("init key has the wrong size"));
  if (kp.init_key == kp.leaf_node.encryption_key)
    return Err(invalid_kp("init key equals the leaf encryption key"));
  const Lifetime* lt = kp.leaf_node.lifetime();
  if (!lt) return Err(invalid_kp("leaf node is not key-package sourced"));
  auto leaf = validate_leaf_node(kp.leaf_node, {}, 0);
  if (!leaf.ok()) return Err(invalid_kp(leaf.error().message()));
  auto ok = verify_with_label(kp.leaf_node.signature_key, "KeyPackageTBS", key_package_tbs(kp),
                              kp.signature);
  if (!ok.ok() || !*ok) return Err(invalid_kp("key package signature does not verify"));
  // The window is checked last so that a lifetime error is only ever
  // reported for an otherwise sound package.
  if (!check_lifetime) return {};
  if (now < lt->not_before) return Err(Error(ErrorCode::KeyPackageLifetime, "not yet valid"));
  if (now >= lt->not_after) return Err(Error(ErrorCode::KeyPackageLifetime, "expired"));
  if (width == WindowWidthCheck::Engine && lt->not_after - lt->not_before > kMaxKeyPackageValidity)
    return Err(invalid_kp("validity window wider than 90 days"));
  return {};
}

Result<KeyPackage, Error> decode_and_validate_key_package(ByteView bytes, uint64_t now,
                                                          WindowWidthCheck width) {
  auto kp = tls_decode<KeyPackage>(bytes);
  if (!kp.ok()) return Err(Error::codec(kp.error()));
  BRENVIK_TRY_VOID(validate_key_package(*kp, now, true, width));
  return std::move(*kp);
}

}  // namespace brenvik::rfc9420
