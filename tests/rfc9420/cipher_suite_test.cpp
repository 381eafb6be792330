#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "crypto/hpke.h"
#include "rfc9420/cipher_suite.h"
#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

Bytes hex(const json& j) {
  return *hex_decode(j.get<std::string>());
}
std::string hexs(ByteView b) {
  return hex_encode(b);
}

class CryptoBasics : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string text;
    if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / "crypto-basics.json",
                                     text))
      GTEST_SKIP() << "crypto-basics.json not found";
    for (const auto& c : json::parse(text))
      if (c["cipher_suite"].get<int>() == 1) v_ = c;
    if (v_.is_null()) GTEST_SKIP() << "crypto-basics.json has no suite 1 case";
  }
  json v_;
};

TEST_F(CryptoBasics, RefHash) {
  const auto& c = v_["ref_hash"];
  EXPECT_EQ(hexs(ref_hash(c["label"].get<std::string>(), hex(c["value"]))),
            c["out"].get<std::string>());
}

TEST_F(CryptoBasics, ExpandWithLabel) {
  const auto& c = v_["expand_with_label"];
  auto out = expand_with_label(hex(c["secret"]), c["label"].get<std::string>(), hex(c["context"]),
                               c["length"].get<size_t>());
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(hexs(out->view()), c["out"].get<std::string>());
}

TEST_F(CryptoBasics, DeriveSecret) {
  const auto& c = v_["derive_secret"];
  auto out = derive_secret(hex(c["secret"]), c["label"].get<std::string>());
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(hexs(out->view()), c["out"].get<std::string>());
}

TEST_F(CryptoBasics, DeriveTreeSecret) {
  const auto& c = v_["derive_tree_secret"];
  auto out = derive_tree_secret(hex(c["secret"]), c["label"].get<std::string>(),
                                c["generation"].get<uint32_t>(), c["length"].get<size_t>());
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(hexs(out->view()), c["out"].get<std::string>());
}

TEST_F(CryptoBasics, SignWithLabel) {
  const auto& c = v_["sign_with_label"];
  auto key = crypto::Ed25519PrivateKey::from_seed(hex(c["priv"]));
  ASSERT_TRUE(key.ok());
  EXPECT_EQ(hexs(key->public_key()), c["pub"].get<std::string>());
  std::string label = c["label"].get<std::string>();
  Bytes content = hex(c["content"]);
  Bytes sig = hex(c["signature"]);
  auto v = verify_with_label(hex(c["pub"]), label, content, sig);
  ASSERT_TRUE(v.ok());
  EXPECT_TRUE(*v);
  // Ed25519 is deterministic: our signature is the published one.
  auto ours = sign_with_label(*key, label, content);
  ASSERT_TRUE(ours.ok());
  EXPECT_EQ(*ours, sig);
  // The label and the content are both bound.
  EXPECT_FALSE(*verify_with_label(hex(c["pub"]), label + "x", content, sig));
  content[0] ^= 1;
  EXPECT_FALSE(*verify_with_label(hex(c["pub"]), label, content, sig));
}

TEST_F(CryptoBasics, EncryptWithLabel) {
  const auto& c = v_["encrypt_with_label"];
  auto key = crypto::X25519PrivateKey::from_bytes(hex(c["priv"]));
  ASSERT_TRUE(key.ok());
  EXPECT_EQ(hexs(key->public_key()), c["pub"].get<std::string>());
  std::string label = c["label"].get<std::string>();
  Bytes context = hex(c["context"]);
  auto plain = decrypt_with_label(*key, label, context, hex(c["kem_output"]), hex(c["ciphertext"]));
  ASSERT_TRUE(plain.ok()) << crypto::crypto_error_message(plain.error());
  EXPECT_EQ(hexs(plain->view()), c["plaintext"].get<std::string>());

  // Our own encryption opens under the same label and context only.
  Bytes msg = hex(c["plaintext"]);
  auto ct = encrypt_with_label(hex(c["pub"]), label, context, msg);
  ASSERT_TRUE(ct.ok());
  auto back = decrypt_with_label(*key, label, context, ct->kem_output, ct->ciphertext);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(hexs(back->view()), hexs(msg));
  auto wrong_label = decrypt_with_label(*key, "Welcome", context, ct->kem_output, ct->ciphertext);
  ASSERT_FALSE(wrong_label.ok());
  EXPECT_EQ(wrong_label.error(), CryptoError::AuthenticationFailed);
  Bytes other = context;
  other.back() ^= 0x80;
  EXPECT_FALSE(decrypt_with_label(*key, label, other, ct->kem_output, ct->ciphertext).ok());
}

// Refs are RefHash under their fixed labels: two different labels, two refs.
TEST(HashReferences, KeyPackageAndProposalRefsDiffer) {
  Bytes value = to_bytes("same bytes");
  auto kp = make_key_package_ref(value);
  auto pr = make_proposal_ref(value);
  EXPECT_EQ(kp.size(), kNh);
  EXPECT_NE(kp, pr);
  auto d = ref_hash("MLS 1.0 KeyPackage Reference", value);
  EXPECT_EQ(kp, Bytes(d.begin(), d.end()));
  KeyPackage k;
  k.cipher_suite = kSuite;
  EXPECT_EQ(make_key_package_ref(k), make_key_package_ref(tls_encode(k)));
}

TEST(LabelledKdf, RefusesBadInputs) {
  Bytes short_secret(16, 1);
  EXPECT_FALSE(expand_with_label(short_secret, "x", {}, 32).ok());
  EXPECT_FALSE(expand_with_label(Bytes(32, 1), "x", {}, 255 * 32 + 1).ok());
  auto bad_key = verify_with_label(Bytes(31, 0), "x", {}, Bytes(64, 0));
  EXPECT_FALSE(bad_key.ok());
}

}  // namespace
}  // namespace brenvik::rfc9420
