#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "crypto/nip44.h"
#include "crypto/secp256k1.h"
#include "test_support.h"
#include "test_util.h"
#include "util/base64.h"

namespace brenvik::crypto::nip44 {
namespace {
using test::H;
using test::Hx;

class Nip44Vectors : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string text;
    const auto path = brenvik::testing::vectors_dir() / "nostr" / "nip44.vectors.json";
    if (!brenvik::testing::read_file(path, text))
      GTEST_SKIP() << "NIP-44 test vectors not found at " << path;
    valid_ = nlohmann::json::parse(text).at("v2").at("valid");
  }
  nlohmann::json valid_;
};

TEST_F(Nip44Vectors, ConversationKeys) {
  const auto& cases = valid_.at("get_conversation_key");
  ASSERT_FALSE(cases.empty());
  for (const auto& c : cases) {
    auto ck =
        conversation_key(H(c.at("sec1").get<std::string>()), H(c.at("pub2").get<std::string>()));
    ASSERT_TRUE(ck.ok()) << c.dump() << ck.error().message();
    EXPECT_EQ(Hx(ck->view()), c.at("conversation_key").get<std::string>());
  }
}

TEST_F(Nip44Vectors, MessageKeys) {
  const auto& mk = valid_.at("get_message_keys");
  const Bytes ck = H(mk.at("conversation_key").get<std::string>());
  ASSERT_FALSE(mk.at("keys").empty());
  for (const auto& c : mk.at("keys")) {
    auto k = message_keys(ck, H(c.at("nonce").get<std::string>()));
    ASSERT_TRUE(k.ok());
    EXPECT_EQ(Hx(k->chacha_key.view()), c.at("chacha_key").get<std::string>());
    EXPECT_EQ(Hx(k->chacha_nonce.view()), c.at("chacha_nonce").get<std::string>());
    EXPECT_EQ(Hx(k->hmac_key.view()), c.at("hmac_key").get<std::string>());
  }
}

TEST_F(Nip44Vectors, PaddedLengths) {
  ASSERT_FALSE(valid_.at("calc_padded_len").empty());
  for (const auto& c : valid_.at("calc_padded_len"))
    EXPECT_EQ(padded_length(c.at(0).get<size_t>()), c.at(1).get<size_t>()) << c.dump();
}

TEST_F(Nip44Vectors, EncryptDecryptBothDirections) {
  ASSERT_FALSE(valid_.at("encrypt_decrypt").empty());
  for (const auto& c : valid_.at("encrypt_decrypt")) {
    const Bytes sec1 = H(c.at("sec1").get<std::string>());
    const Bytes sec2 = H(c.at("sec2").get<std::string>());
    auto pub1 = secp256k1_xonly_public_key(sec1);
    auto pub2 = secp256k1_xonly_public_key(sec2);
    ASSERT_TRUE(pub1.ok() && pub2.ok());
    auto ck12 = conversation_key(sec1, *pub2);
    auto ck21 = conversation_key(sec2, *pub1);
    ASSERT_TRUE(ck12.ok() && ck21.ok());
    EXPECT_EQ(Hx(ck12->view()), c.at("conversation_key").get<std::string>());
    EXPECT_TRUE(*ck12 == *ck21);
    const std::string plaintext = c.at("plaintext").get<std::string>();
    auto payload =
        encrypt_with_nonce(ck12->view(), as_bytes(plaintext), H(c.at("nonce").get<std::string>()));
    ASSERT_TRUE(payload.ok());
    EXPECT_EQ(base64_encode(*payload), c.at("payload").get<std::string>());
    auto raw = base64_decode(c.at("payload").get<std::string>());
    ASSERT_TRUE(raw.ok());
    auto back = decrypt(ck21->view(), *raw);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(to_string(*back), plaintext);
  }
}

class Nip44 : public ::testing::Test {
 protected:
  void SetUp() override {
    auto a = SchnorrKeyPair::generate();
    auto b = SchnorrKeyPair::generate();
    ASSERT_TRUE(a.ok() && b.ok());
    auto k = conversation_key(a->secret().view(), b->public_key());
    ASSERT_TRUE(k.ok());
    ck_ = *k;
  }
  ConversationKey ck_;
};

TEST_F(Nip44, PayloadSizesFollowPadding) {
  const struct {
    size_t plaintext, padded;
  } cases[] = {{1, 32}, {32, 32}, {33, 64}, {257, 320}, {65535, 65536}};
  for (const auto& c : cases) {
    auto p = encrypt(ck_.view(), Bytes(c.plaintext, 'x'));
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p->size(), 1 + 32 + 2 + c.padded + 32) << c.plaintext;
    auto back = decrypt(ck_.view(), *p);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, Bytes(c.plaintext, 'x'));
  }
  auto one = encrypt(ck_.view(), as_bytes("a"));
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one->size(), kMinPayloadSize);
  EXPECT_EQ(base64_encode(*one).size(), 132u);
  // Random nonces: two encryptions of one plaintext differ.
  EXPECT_NE(*one, *encrypt(ck_.view(), as_bytes("a")));
}

TEST_F(Nip44, ErrorsAndTheirTexts) {
  auto empty = encrypt(ck_.view(), {});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message(), "NIP-44: plaintext must be at least 1 byte");
  auto big = encrypt(ck_.view(), Bytes(65536, 1));
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().kind, Error::Kind::PlaintextTooLarge);
  EXPECT_EQ(big.error().size, 65536u);
  EXPECT_EQ(big.error().limit, 65535u);

  auto good = encrypt(ck_.view(), as_bytes("hello"));
  ASSERT_TRUE(good.ok());
  auto short98 = decrypt(ck_.view(), ByteView(*good).first(98));
  ASSERT_FALSE(short98.ok());
  EXPECT_EQ(short98.error().message(), "NIP-44: payload too short: 98 bytes");
  Bytes v1 = *good;
  v1[0] = 1;
  auto wrong_version = decrypt(ck_.view(), v1);
  ASSERT_FALSE(wrong_version.ok());
  EXPECT_EQ(wrong_version.error().message(), "NIP-44: unsupported version 1");
  auto too_large = decrypt(ck_.view(), Bytes(kMaxPayloadSize + 1, 2));
  ASSERT_FALSE(too_large.ok());
  EXPECT_EQ(too_large.error().kind, Error::Kind::PayloadTooLarge);

  // Any flipped bit of nonce, ciphertext or MAC is a MAC mismatch.
  for (size_t i = 1; i < good->size(); ++i) {
    Bytes bad = *good;
    bad[i] ^= uint8_t(1u << (i % 8));
    auto r = decrypt(ck_.view(), bad);
    ASSERT_FALSE(r.ok()) << i;
    EXPECT_EQ(r.error().message(), "NIP-44: MAC mismatch") << i;
  }
  // Another conversation key fails the MAC as well.
  ConversationKey other = ck_;
  other[0] ^= 1;
  EXPECT_EQ(decrypt(other.view(), *good).error().kind, Error::Kind::MacMismatch);

  auto bad_ck = decrypt(Bytes(31), *good);
  ASSERT_FALSE(bad_ck.ok());
  EXPECT_EQ(bad_ck.error().message(),
            "NIP-44: invalid conversation key: expected 32 bytes, got 31");
}

// Correctly authenticated frames whose length prefix lies: built through
// the authenticated layer so that only the frame check can refuse them.
TEST_F(Nip44, LyingLengthPrefixIsInvalidPadding) {
  const Bytes nonce(32, 9);
  const struct {
    const char* name;
    Bytes frame;
  } cases[] = {
      {"zero length",
       [] {
         Bytes f(2 + 32, 0);
         return f;
       }()},
      // A zero prefix followed by a 4-byte length of 1000 (a longer frame
      // form the standard does not have).
      {"long prefix",
       [] {
         Bytes f(2 + 4 + 1024, 0);
         f[4] = 0x03;
         f[5] = 0xe8;
         return f;
       }()},
      {"length larger than frame",
       [] {
         Bytes f(2 + 32, 0);
         f[1] = 40;
         return f;
       }()},
      {"frame longer than padding",
       [] {
         Bytes f(2 + 64, 0);
         f[1] = 5;
         return f;
       }()},
  };
  for (const auto& c : cases) {
    Bytes payload(payload_size(c.frame.size()));
    std::copy(c.frame.begin(), c.frame.end(), payload.begin() + kHeaderSize);
    ASSERT_TRUE(seal_payload(ck_.view(), nonce, payload).ok());
    auto frame = open_payload(ck_.view(), payload, kMaxPayloadSize * 2);
    ASSERT_TRUE(frame.ok()) << c.name;
    EXPECT_EQ(*frame, c.frame) << c.name;
    auto r = decrypt(ck_.view(), payload);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().message(), "NIP-44: invalid padding") << c.name;
  }
}

TEST(Nip44Keys, ConversationKeyErrors) {
  auto a = SchnorrKeyPair::generate();
  ASSERT_TRUE(a.ok());
  const struct {
    Bytes secret, pub;
    const char* message;
  } cases[] = {
      {Bytes(a->secret().view().begin(), a->secret().view().end()), Bytes(33, 2),
       "NIP-44: peer public key must be 32 bytes"},
      {Bytes(a->secret().view().begin(), a->secret().view().end()),
       H("0000000000000000000000000000000000000000000000000000000000000005"),
       "NIP-44: peer public key is not a valid curve point"},
      {Bytes(32, 0), Bytes(a->public_key().begin(), a->public_key().end()),
       "NIP-44: own secret key is not a valid scalar"},
  };
  for (const auto& c : cases) {
    auto r = conversation_key(c.secret, c.pub);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
  }
}

}  // namespace
}  // namespace brenvik::crypto::nip44
