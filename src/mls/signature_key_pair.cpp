#include "mls/signature_key_pair.h"

#include <algorithm>
#include <array>
#include <string>

#include "util/json_writer.h"

namespace brenvik::mls {
namespace {

constexpr std::array<std::string_view, 5> kSchemeNames = {
    "ECDSA_SECP256R1_SHA256",
    "ECDSA_SECP384R1_SHA384",
    "ECDSA_SECP521R1_SHA512",
    "ED25519",
    "ED448",
};
constexpr std::array<SignatureScheme, 5> kSchemes = {
    SignatureScheme::EcdsaSecp256r1Sha256,
    SignatureScheme::EcdsaSecp384r1Sha384,
    SignatureScheme::EcdsaSecp521r1Sha512,
    SignatureScheme::Ed25519,
    SignatureScheme::Ed448,
};

constexpr JsonField kFields[] = {
    {"private", FieldRule::Required},
    {"public", FieldRule::Required},
    {"signature_scheme", FieldRule::Required},
};

}  // namespace

std::string_view signature_scheme_name(SignatureScheme s) {
  for (size_t i = 0; i < kSchemes.size(); ++i)
    if (kSchemes[i] == s) return kSchemeNames[i];
  return {};
}

Result<SignatureKeyPair, crypto::CryptoError> generate_ed25519_key_pair() {
  BRENVIK_TRY(auto key, crypto::Ed25519PrivateKey::generate());
  SignatureKeyPair pair;
  pair.private_key = crypto::SecretBytes(key.seed().view());
  pair.public_key.assign(key.public_key().begin(), key.public_key().end());
  pair.scheme = SignatureScheme::Ed25519;
  return pair;
}

crypto::SecretBytes write_signature_key_pair(const SignatureKeyPair& pair) {
  JsonWriter w(64 + 4 * (pair.private_key.size() + pair.public_key.size()));
  w.begin_object();
  w.key("private").byte_array(pair.private_key.view());
  w.key("public").byte_array(pair.public_key);
  w.field_str("signature_scheme", signature_scheme_name(pair.scheme));
  w.end_object();
  std::string text = w.take();
  crypto::SecretBytes out(as_bytes(text));
  crypto::secure_wipe(text.data(), text.size());
  return out;
}

Result<SignatureKeyPair, std::string> read_signature_key_pair(ByteView bytes) {
  JsonReader r(bytes);
  SignatureKeyPair pair;
  auto st = read_record(r, "struct SignatureKeyPair", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        BRENVIK_TRY(Bytes b, r.read_byte_array());
        pair.private_key = crypto::SecretBytes(b);
        crypto::secure_wipe(b.data(), b.size());
        return {};
      }
      case 1: {
        BRENVIK_TRY(pair.public_key, r.read_byte_array());
        return {};
      }
      case 2: {
        BRENVIK_TRY(size_t idx, read_unit_enum(r, "enum SignatureScheme", kSchemeNames));
        pair.scheme = kSchemes[idx];
        return {};
      }
    }
    return {};
  });
  if (st.ok()) st = r.finish();
  if (!st.ok()) return Err(st.error().to_string());
  if (pair.scheme == SignatureScheme::Ed25519) {
    auto derived = crypto::ed25519_public_key(pair.private_key.view());
    if (!derived.ok())
      return Err(std::string("ED25519 private key must be a 32-byte seed, got ") +
                 std::to_string(pair.private_key.size()) + " bytes");
    if (!std::ranges::equal(derived.value(), pair.public_key))
      return Err(std::string("ED25519 private key does not belong to the public key"));
  }
  return pair;
}

std::optional<crypto::Ed25519PrivateKey> ed25519_signer(const SignatureKeyPair& pair) {
  if (pair.scheme != SignatureScheme::Ed25519) return std::nullopt;
  auto k = crypto::Ed25519PrivateKey::from_seed(pair.private_key.view());
  if (!k.ok()) return std::nullopt;
  return std::move(k).value();
}

}  // namespace brenvik::mls
