// Invite codes and identity assertions: the decoder's refusals in order, the
// round trip through a real identity, and the strict assertion check.
#include <gtest/gtest.h>

#include "mls/identity.h"
#include "mls/invite.h"
#include "mls/mls_manager.h"
#include "util/base64.h"

namespace brenvik::mls {
namespace {

class InviteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager = MlsManager::start_up(std::make_shared<MemoryMlsStorage>(), false).value();
    key = manager->identity_public_key().value();
    address = address_from_public_key(key).value();
  }

  // The invite bytes by hand: version, flags, key, address, then `tail`.
  Bytes raw(uint8_t version, uint8_t flags, const Bytes& tail = {}) const {
    Bytes out{version, flags};
    append(out, key);
    std::string text = encode_address(address);
    out.push_back(uint8_t(text.size()));
    append(out, as_bytes(text));
    append(out, tail);
    return out;
  }
  Bytes signed_raw(const std::optional<std::string>& petname) const {
    std::string code = manager->make_invite(petname, true).value();
    return base64url_decode(code).value();
  }

  std::shared_ptr<MlsManager> manager;
  Bytes key;
  Address address;
};

TEST_F(InviteTest, DecoderRefusalsInOrder) {
  const std::string good = base64url_encode(raw(1, 0));
  Bytes with_sig = signed_raw(std::nullopt);
  with_sig.push_back(0);
  Bytes unsigned_raw = raw(1, 0);
  Bytes first20(unsigned_raw.begin(), unsigned_raw.begin() + 20);
  Bytes long_pet{65};
  append(long_pet, Bytes(65, 'a'));
  struct Case {
    std::string input;
    std::string error;  // after "MLS error: Invalid message format: "; empty: decodes
  };
  const Case cases[] = {
      {"  " + good + "\n", ""},
      {"\t\xE2\x80\x83" + good + "\xE3\x80\x80", ""},
      {good + "=", "Invite is not base64url: invalid character"},
      {base64url_encode(raw(2, 0)), "Unsupported invite version 2, expected 1"},
      {base64url_encode(raw(1, 0x04)), "Invite carries unknown flag bits: 0b00000100"},
      {base64url_encode(raw(1, 0xFF)), "Invite carries unknown flag bits: 0b11111111"},
      {base64url_encode(first20), "Invite is truncated: public key needs 32 bytes, 18 remain"},
      {base64url_encode(Bytes{1}), "Invite is truncated: flags needs 1 bytes, 0 remain"},
      {base64url_encode(raw(1, 0x01, Bytes{0})),
       "Invite sets the petname flag but carries an empty petname"},
      {base64url_encode(raw(1, 0x01, long_pet)), "Invite petname is 65 bytes, maximum is 64"},
      {base64url_encode(raw(1, 0x01, Bytes{2, 'a'})),
       "Invite is truncated: petname needs 2 bytes, 1 remain"},
      {base64url_encode(raw(1, 0x01, Bytes{1, 0xFF})), "Invite petname is not UTF-8"},
      {base64url_encode(raw(1, 0x01, Bytes{1, 0x07})),
       "Invite petname contains a control or format character"},
      {base64url_encode(raw(1, 0x02, Bytes(63, 0))),
       "Invite is truncated: signature needs 64 bytes, 63 remain"},
      {base64url_encode(with_sig), "Invite has 1 trailing bytes"},
  };
  for (const auto& c : cases) {
    auto r = decode_invite(c.input);
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r.value().public_key, key);
      EXPECT_EQ(r.value().address, address);
      EXPECT_FALSE(r.value().verified);
      continue;
    }
    ASSERT_FALSE(r.ok()) << c.error;
    EXPECT_EQ("MLS error: " + r.error().message(), "MLS error: Invalid message format: " + c.error);
  }
}

TEST_F(InviteTest, AddressAndSignatureChecks) {
  // A flipped address byte: invalid text, or a valid address of another key.
  Bytes flipped = raw(1, 0);
  flipped[34 + 10] ^= 0x01;
  auto r = decode_invite(base64url_encode(flipped));
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(
      r.error().message().starts_with("Invalid message format: Invite address is invalid: "))
      << r.error().message();
  Bytes bad_utf8 = raw(1, 0);
  bad_utf8[34 + 5] = 0xFF;
  EXPECT_EQ(decode_invite(base64url_encode(bad_utf8)).error().message(),
            "Invalid message format: Invite address is not UTF-8");

  Address other{};
  Bytes foreign{1, 0};
  append(foreign, key);
  std::string other_text = encode_address(other);
  foreign.push_back(uint8_t(other_text.size()));
  append(foreign, as_bytes(other_text));
  EXPECT_EQ(decode_invite(base64url_encode(foreign)).error().message(),
            "Signature verification failed: Invite address is not the address its public key "
            "derives to");

  // Petname removed and flag bit 0 cleared: the signature no longer covers it.
  Bytes with_pet = signed_raw(std::string("Ana"));
  Bytes stripped(with_pet.begin(), with_pet.begin() + 35 + other_text.size());
  stripped[1] &= ~kInviteFlagPetname;
  append(stripped, ByteView(with_pet).last(64));
  EXPECT_EQ(decode_invite(base64url_encode(stripped)).error().message(),
            "Signature verification failed: Invite signature does not verify under its public key");
}

TEST_F(InviteTest, CreateAndDecodeRoundTrip) {
  for (std::optional<std::string> pet :
       {std::optional<std::string>(), std::optional<std::string>("Ana \xC3\xA9")}) {
    for (bool sign : {false, true}) {
      auto code = manager->make_invite(pet, sign);
      ASSERT_TRUE(code.ok()) << code.error().message();
      auto d = decode_invite(code.value());
      ASSERT_TRUE(d.ok()) << d.error().message();
      EXPECT_EQ(d.value().petname, pet);
      EXPECT_EQ(d.value().verified, sign);
      EXPECT_EQ(encode_address(d.value().address), manager->user_id());
    }
  }
  // An empty petname is no petname, signed or not, and still verifies.
  EXPECT_EQ(manager->make_invite(std::string(), false).value(),
            manager->make_invite(std::nullopt, false).value());
  EXPECT_EQ(manager->make_invite(std::string(), true).value(),
            manager->make_invite(std::nullopt, true).value());

  EXPECT_EQ(manager->make_invite(std::string(65, 'a'), false).error().message(),
            "Serialization failed: Invite petname is 65 bytes, maximum is 64");
  EXPECT_EQ(manager->make_invite(std::string("a\xE2\x80\x8B"), false).error().message(),
            "Serialization failed: Invite petname contains a control or format character");
  EXPECT_EQ(create_invite(address, Bytes(31, 0), std::nullopt, std::nullopt).error().message(),
            "Invalid public key: Ed25519 public key must be 32 bytes, got 31");
  EXPECT_EQ(create_invite(Address{}, key, std::nullopt, std::nullopt).error().message(),
            "Serialization failed: Invite address is not the address this public key derives to");
  Bytes short_sig(63, 0);
  EXPECT_EQ(create_invite(address, key, std::nullopt, ByteView(short_sig)).error().message(),
            "Serialization failed: Invite signature must be 64 bytes, got 63");
}

TEST(InviteCursor, FieldReadersAndFinish) {
  Bytes bytes(3, 0);
  InviteCursor c(bytes);
  EXPECT_TRUE(c.read(3, "f").ok());
  EXPECT_TRUE(c.finish().ok());
  EXPECT_EQ(c.read_byte("g").error().message(),
            "Invalid message format: Invite is truncated: g needs 1 bytes, 0 remain");
  EXPECT_EQ(c.read(SIZE_MAX, "h").error().message(),
            "Invalid message format: Invite h length overflows");
  InviteCursor d(bytes);
  EXPECT_TRUE(d.read_byte("a").ok());
  EXPECT_EQ(d.finish().error().message(), "Invalid message format: Invite has 2 trailing bytes");
}

TEST(IdentityAssertion, StrictCheckRefusesWhatOrdinaryVerificationAccepts) {
  // The identity point as the key, R = the identity point and S = 0: the
  // ordinary equation holds for any message.
  Bytes key(32, 0);
  key[0] = 1;
  Bytes sig = key;
  sig.resize(64, 0);
  EXPECT_TRUE(verify_ed25519_signature(key, as_bytes("x"), sig).value());
  Bytes assertion = key;
  append(assertion, sig);
  append(assertion, as_bytes("x"));
  EXPECT_EQ(check_identity_assertion(assertion).error().message(),
            "Signature verification failed: Identity assertion signature does not verify under "
            "its public key");

  EXPECT_EQ(check_identity_assertion(Bytes(95, 0)).error().message(),
            "Deserialization failed: Identity assertion is 95 bytes, minimum is 96");
  Bytes not_point(96, 0);
  not_point[0] = 2;
  EXPECT_EQ(check_identity_assertion(not_point).error().message(),
            "Invalid public key: Invalid Ed25519 public key: signature error");

  auto m = MlsManager::start_up(std::make_shared<MemoryMlsStorage>(), false).value();
  Bytes good = m->identity_assertion(as_bytes("data")).value();
  EXPECT_TRUE(check_identity_assertion(good).ok());
  good.back() ^= 1;
  EXPECT_EQ(check_identity_assertion(good).error().kind(), MlsError::Kind::VerificationFailed);
  EXPECT_EQ(join_identity_assertion(Bytes(32, 1), Bytes(63, 0), {}).error().message(),
            "Serialization failed: Identity assertion signature must be 64 bytes, got 63");
}

}  // namespace
}  // namespace brenvik::mls
