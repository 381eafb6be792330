#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rfc9420/key_schedule.h"
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

// Suite-1 cases of a vector file; empty (and the caller skips) when absent.
std::vector<json> suite1(const char* name) {
  std::string text;
  std::vector<json> out;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / name, text))
    return out;
  for (auto& c : json::parse(text))
    if (c["cipher_suite"].get<int>() == 1) out.push_back(c);
  return out;
}

TEST(KeySchedule, PublicVectorsEveryEpoch) {
  auto cases = suite1("key-schedule.json");
  if (cases.empty()) GTEST_SKIP() << "key-schedule.json not found";
  for (const auto& c : cases) {
    Bytes group_id = hex(c["group_id"]);
    Bytes init = hex(c["initial_init_secret"]);
    uint64_t epoch = 0;
    for (const auto& e : c["epochs"]) {
      GroupContext ctx;
      ctx.cipher_suite = kSuite;
      ctx.group_id = group_id;
      ctx.epoch = epoch;
      ctx.tree_hash = hex(e["tree_hash"]);
      ctx.confirmed_transcript_hash = hex(e["confirmed_transcript_hash"]);
      Bytes ctx_bytes = tls_encode(ctx);
      ASSERT_EQ(hexs(ctx_bytes), e["group_context"].get<std::string>()) << "epoch " << epoch;

      auto s = derive_epoch_secrets(init, hex(e["commit_secret"]), hex(e["psk_secret"]), ctx_bytes);
      ASSERT_TRUE(s.ok()) << s.error().message();
      const std::pair<const char*, const SecretBytes*> fields[] = {
          {"joiner_secret", &s->joiner_secret},
          {"welcome_secret", &s->welcome_secret},
          {"sender_data_secret", &s->sender_data_secret},
          {"encryption_secret", &s->encryption_secret},
          {"exporter_secret", &s->exporter_secret},
          {"external_secret", &s->external_secret},
          {"confirmation_key", &s->confirmation_key},
          {"membership_key", &s->membership_key},
          {"resumption_psk", &s->resumption_psk},
          {"epoch_authenticator", &s->epoch_authenticator},
          {"init_secret", &s->init_secret},
      };
      for (auto [name, value] : fields)
        EXPECT_EQ(hexs(value->view()), e[name].get<std::string>()) << name << " epoch " << epoch;

      auto pub = external_public_key(s->external_secret.view());
      ASSERT_TRUE(pub.ok());
      EXPECT_EQ(hexs(*pub), e["external_pub"].get<std::string>());

      const auto& ex = e["exporter"];
      // The published label is used as its hex text.
      auto exported = mls_exporter(s->exporter_secret.view(), ex["label"].get<std::string>(),
                                   hex(ex["context"]), ex["length"].get<size_t>());
      ASSERT_TRUE(exported.ok());
      EXPECT_EQ(hexs(exported->view()), ex["secret"].get<std::string>()) << "epoch " << epoch;

      // A joiner reaches the same epoch from the joiner secret alone.
      auto joined = derive_epoch_secrets_from_joiner(s->joiner_secret.view(), hex(e["psk_secret"]),
                                                     ctx_bytes);
      ASSERT_TRUE(joined.ok());
      EXPECT_EQ(joined->epoch_authenticator, s->epoch_authenticator);

      init = Bytes(s->init_secret.view().begin(), s->init_secret.view().end());
      ++epoch;
    }
    EXPECT_GT(epoch, 1u);
  }
}

TEST(KeySchedule, PskSecretVectors) {
  auto cases = suite1("psk_secret.json");
  if (cases.empty()) GTEST_SKIP() << "psk_secret.json not found";
  size_t with_zero = 0;
  for (const auto& c : cases) {
    std::vector<Bytes> keys;
    std::vector<PskInput> psks;
    for (const auto& p : c["psks"]) keys.push_back(hex(p["psk"]));
    size_t i = 0;
    for (const auto& p : c["psks"]) {
      PskInput in;
      in.id.psk = ExternalPsk{hex(p["psk_id"])};
      in.id.psk_nonce = hex(p["psk_nonce"]);
      in.psk = keys[i++];
      psks.push_back(std::move(in));
    }
    if (psks.empty()) ++with_zero;
    auto s = compute_psk_secret(psks);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(hexs(s->view()), c["psk_secret"].get<std::string>()) << psks.size() << " PSKs";
  }
  EXPECT_EQ(with_zero, 1u);
}

TEST(TranscriptHashes, PublicVectors) {
  auto cases = suite1("transcript-hashes.json");
  if (cases.empty()) GTEST_SKIP() << "transcript-hashes.json not found";
  for (const auto& c : cases) {
    auto ac = tls_decode<AuthenticatedContent>(hex(c["authenticated_content"]));
    ASSERT_TRUE(ac.ok()) << tls_error_message(ac.error());
    ASSERT_EQ(ac->content.content_type(), ContentType::commit);
    ASSERT_TRUE(ac->auth.confirmation_tag);
    Bytes confirmed = confirmed_transcript_hash(hex(c["interim_transcript_hash_before"]), *ac);
    EXPECT_EQ(hexs(confirmed), c["confirmed_transcript_hash_after"].get<std::string>());
    Bytes key = hex(c["confirmation_key"]);
    EXPECT_TRUE(verify_confirmation_tag(key, confirmed, *ac->auth.confirmation_tag));
    EXPECT_EQ(confirmation_tag(key, confirmed), *ac->auth.confirmation_tag);
    Bytes wrong = confirmed;
    wrong[0] ^= 1;
    EXPECT_FALSE(verify_confirmation_tag(key, wrong, *ac->auth.confirmation_tag));
    EXPECT_EQ(hexs(interim_transcript_hash(confirmed, *ac->auth.confirmation_tag)),
              c["interim_transcript_hash_after"].get<std::string>());
  }
}

TEST(KeySchedule, WelcomeKeyAndNonceSizes) {
  auto kn = welcome_key_nonce(Bytes(32, 5));
  ASSERT_TRUE(kn.ok());
  EXPECT_EQ(kn->key.size(), kNk);
  EXPECT_EQ(kn->nonce.size(), kNn);
  auto other = welcome_key_nonce(Bytes(32, 6));
  ASSERT_TRUE(other.ok());
  EXPECT_NE(other->key, kn->key);
}

}  // namespace
}  // namespace brenvik::rfc9420
