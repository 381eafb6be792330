#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rfc9420/message_protection.h"
#include "rfc9420/mls_message.h"
#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

Bytes hex(const json& j) {
  return *hex_decode(j.get<std::string>());
}

class MessageProtection : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string text;
    if (!brenvik::testing::read_file(
            brenvik::testing::vectors_dir() / "mls" / "message-protection.json", text))
      GTEST_SKIP() << "message-protection.json not found";
    for (const auto& c : json::parse(text))
      if (c["cipher_suite"].get<int>() == 1) v_ = c;
    if (v_.is_null()) GTEST_SKIP() << "no suite 1 case";
    ctx_.cipher_suite = kSuite;
    ctx_.group_id = hex(v_["group_id"]);
    ctx_.epoch = v_["epoch"].get<uint64_t>();
    ctx_.tree_hash = hex(v_["tree_hash"]);
    ctx_.confirmed_transcript_hash = hex(v_["confirmed_transcript_hash"]);
    sig_pub_ = hex(v_["signature_pub"]);
  }
  // The vectors' group has two members; the sender is leaf 1.
  SecretTree fresh_tree() const { return SecretTree(hex(v_["encryption_secret"]), 2); }

  template <WireFormat W, typename T>
  T message(const char* key) {
    auto m = decode_mls_message(hex(v_[key]));
    EXPECT_TRUE(m.ok()) << key;
    const T* body = m->template get<T>();
    EXPECT_NE(body, nullptr) << key;
    return body ? *body : T{};
  }

  // The content as the vectors give it: a Proposal or Commit encoded, the
  // application data as raw bytes.
  Bytes encoded_content(const Content& c) {
    if (const auto* a = std::get_if<ApplicationContent>(&c)) return a->value;
    return std::visit([](const auto& x) { return tls_encode(x.value); }, c);
  }

  void check_private(const char* key, const char* content_key) {
    auto pm = message<WireFormat::private_message, PrivateMessage>(key);
    SecretTree tree = fresh_tree();
    auto ac = unprotect_private(pm, tree, hex(v_["sender_data_secret"]), ctx_);
    ASSERT_TRUE(ac.ok()) << key << ": " << ac.error().message();
    EXPECT_EQ(ac->content.sender.leaf_index(), 1u);
    EXPECT_EQ(encoded_content(ac->content.content), hex(v_[content_key])) << key;
    EXPECT_TRUE(verify_content_signature(*ac, sig_pub_, ctx_).ok()) << key;

    // Our own protection of the same content opens with a fresh receiver.
    SecretTree sender = fresh_tree(), receiver = fresh_tree();
    auto ours = protect_private(*ac, sender, hex(v_["sender_data_secret"]), 7);
    ASSERT_TRUE(ours.ok()) << ours.error().message();
    auto back = unprotect_private(*ours, receiver, hex(v_["sender_data_secret"]), ctx_);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(*back, *ac);
  }

  void check_public(const char* key, const char* content_key) {
    auto pub = message<WireFormat::public_message, PublicMessage>(key);
    auto ac = unprotect_public(pub, hex(v_["membership_key"]), ctx_);
    ASSERT_TRUE(ac.ok()) << key << ": " << ac.error().message();
    EXPECT_EQ(encoded_content(ac->content.content), hex(v_[content_key])) << key;
    EXPECT_TRUE(verify_content_signature(*ac, sig_pub_, ctx_).ok()) << key;
    auto again = protect_public(*ac, hex(v_["membership_key"]), ctx_);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, pub) << "deterministic re-protection of " << key;
    Bytes wrong_key = hex(v_["membership_key"]);
    wrong_key[0] ^= 1;
    auto forged = unprotect_public(pub, wrong_key, ctx_);
    ASSERT_FALSE(forged.ok());
    EXPECT_EQ(forged.error().code(), ErrorCode::InvalidMembershipTag);
  }

  json v_;
  GroupContext ctx_;
  Bytes sig_pub_;
};

TEST_F(MessageProtection, PrivateVectors) {
  check_private("proposal_priv", "proposal");
  check_private("commit_priv", "commit");
  check_private("application_priv", "application");
}

TEST_F(MessageProtection, PublicVectors) {
  check_public("proposal_pub", "proposal");
  check_public("commit_pub", "commit");
}

// A group of four: sender leaf 2 signs and encrypts for receivers.
class PrivateMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_.cipher_suite = kSuite;
    ctx_.group_id = to_bytes("group-a");
    ctx_.epoch = 5;
    ctx_.tree_hash = Bytes(32, 1);
    ctx_.confirmed_transcript_hash = Bytes(32, 2);
  }
  AuthenticatedContent app(std::string_view text) {
    FramedContent fc;
    fc.group_id = ctx_.group_id;
    fc.epoch = ctx_.epoch;
    fc.sender = Sender::member(2);
    fc.content = ApplicationContent{to_bytes(text)};
    return *sign_content(WireFormat::private_message, fc, key_, ctx_);
  }
  PrivateMessage send(std::string_view text) { return *protect_private(app(text), sender_, sds_); }
  Result<AuthenticatedContent, Error> receive(const PrivateMessage& m) {
    return unprotect_private(m, receiver_, sds_, ctx_);
  }

  GroupContext ctx_;
  crypto::Ed25519PrivateKey key_ = *crypto::Ed25519PrivateKey::generate();
  Bytes es_ = Bytes(32, 9), sds_ = Bytes(32, 8);
  SecretTree sender_{es_, 4}, receiver_{es_, 4};
};

// Every single-bit change anywhere in the encoded message is refused, and a
// refused message does not spend the generation of the genuine one.
TEST_F(PrivateMessages, AnyBitFlipIsRefused) {
  PrivateMessage m = send(std::string(1024, 'x'));
  MlsMessage wrapped{ProtocolVersion::mls10,
                     tls::Case<WireFormat::private_message, PrivateMessage>{m}};
  Bytes enc = encode_mls_message(wrapped);
  for (size_t i = 0; i < enc.size(); ++i) {
    for (int bit = 0; bit < 8; bit += 3) {
      Bytes bad = enc;
      bad[i] ^= uint8_t(1 << bit);
      auto d = decode_mls_message(bad);
      if (!d.ok()) continue;
      const auto* pm = d->get<PrivateMessage>();
      if (!pm) continue;
      EXPECT_FALSE(receive(*pm).ok()) << "flip of bit " << bit << " in byte " << i;
    }
  }
  auto ok = receive(m);
  ASSERT_TRUE(ok.ok()) << ok.error().message();
  EXPECT_TRUE(verify_content_signature(*ok, key_.public_key(), ctx_).ok());
}

TEST_F(PrivateMessages, ReplayOrderAndEpochs) {
  std::vector<PrivateMessage> sent;
  for (int i = 0; i < 40; ++i) sent.push_back(send(std::to_string(i)));
  // Newest first, then the ones that are still inside the window.
  ASSERT_TRUE(receive(sent[39]).ok());
  for (int i = 38; i >= 7; --i) ASSERT_TRUE(receive(sent[i]).ok()) << i;
  auto too_old = receive(sent[6]);
  ASSERT_FALSE(too_old.ok());
  EXPECT_EQ(too_old.error().code(), ErrorCode::GenerationTooOld);
  auto replay = receive(sent[20]);
  ASSERT_FALSE(replay.ok());
  EXPECT_EQ(replay.error().code(), ErrorCode::SecretReused);

  struct Case {
    uint64_t epoch;
    Bytes group;
    const char* text;
  };
  const Case cases[] = {
      {4, ctx_.group_id, "The message is from an epoch too far in the past."},
      {6, ctx_.group_id, "Message epoch differs from the group's epoch."},
      {5, to_bytes("group-b"), "Message group id differs from the group's id."},
  };
  for (const auto& c : cases) {
    PrivateMessage m = send("late");
    m.epoch = c.epoch;
    m.group_id = c.group;
    auto r = receive(m);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.text);
  }
}

TEST_F(PrivateMessages, PaddingAndSenders) {
  SecretTree s2{es_, 4};
  auto padded = protect_private(app("hi"), s2, sds_, 100);
  ASSERT_TRUE(padded.ok());
  EXPECT_EQ(padded->ciphertext.size(), send("hi").ciphertext.size() + 100);
  ASSERT_TRUE(receive(*padded).ok());

  AuthenticatedContent external = app("x");
  external.content.sender = Sender{ExternalSenderIndex{0}};
  auto refused = protect_private(external, sender_, sds_);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code(), ErrorCode::InvalidSender);

  // A signature by another key does not verify.
  auto other = *crypto::Ed25519PrivateKey::generate();
  auto got = receive(send("signed"));
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(verify_content_signature(*got, other.public_key(), ctx_).error().code(),
            ErrorCode::InvalidSignature);
}

}  // namespace
}  // namespace brenvik::rfc9420
