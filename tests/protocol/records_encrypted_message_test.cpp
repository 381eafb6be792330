// EncryptedMessage as read from peers' JSON.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/encrypted_message_json.h"

namespace brenvik {
namespace {

TEST(EncryptedMessageJson, ReadsObjectAndArrayForms) {
  auto m = encrypted_message_from_json(
      R"({"group_id":"g1","message_type":{"Commit":null},"epoch":7,"ciphertext":[1,2,255],)"
      R"("sender_id":"alice","timestamp_ms":9,"extra":{"x":[1]}})");
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m.value().group_id.str(), "g1");
  EXPECT_EQ(m.value().message_type, MlsMessageType::Commit);
  EXPECT_EQ(m.value().epoch, 7u);
  EXPECT_EQ(m.value().ciphertext, (Bytes{1, 2, 255}));
  EXPECT_EQ(m.value().sender_id, "alice");
  EXPECT_EQ(m.value().timestamp_ms, 9u);

  auto a = encrypted_message_from_json(R"(["g1","Welcome",0,[],"bob",1])");
  ASSERT_TRUE(a.ok()) << a.error().to_string();
  EXPECT_EQ(a.value().message_type, MlsMessageType::Welcome);
  EXPECT_TRUE(a.value().ciphertext.empty());
}

TEST(EncryptedMessageJson, Refusals) {
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {R"({"group_id":"","message_type":"Application","epoch":1,"ciphertext":[],"sender_id":"a","timestamp_ms":1})",
       "Group ID cannot be empty at line 1 column 14"},
      {R"(["","Application",1,[],"a",1])", "Group ID cannot be empty at line 1 column 3"},
      {"[]",
       "invalid length 0, expected struct EncryptedMessage with 6 elements at line 1 column 2"},
      {R"({"group_id":"g","group_id":"g"})", "duplicate field `group_id` at line 1 column 26"},
      {R"({"group_id":"g","message_type":"Application","epoch":1,"ciphertext":[],"sender_id":"a"})",
       "missing field `timestamp_ms` at line 1 column 87"},
      {R"({"group_id":"g","message_type":"application"})",
       "unknown variant `application`, expected one of `Application`, `Welcome`, `Commit`, "
       "`Proposal` at line 1 column 44"},
      {R"({"group_id":5})", "invalid type: integer `5`, expected a string at line 1 column 13"},
      {R"({"group_id":"g","epoch":-1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 26"},
      {R"("g")", "invalid type: string \"g\", expected struct EncryptedMessage at line 1 column 3"},
  };
  for (const auto& c : cases) {
    auto r = encrypted_message_from_json(std::string_view(c.json));
    ASSERT_FALSE(r.ok()) << c.json;
    EXPECT_EQ(r.error().to_string(), c.error) << c.json;
  }
}

TEST(EncryptedMessageJson, RoundTripOverRandomValues) {
  std::mt19937_64 rng(42);
  const MlsMessageType types[] = {MlsMessageType::Application, MlsMessageType::Welcome,
                                  MlsMessageType::Commit, MlsMessageType::Proposal};
  for (int i = 0; i < 200; ++i) {
    std::string gid = "grp" + std::to_string(rng() % 100000);
    if (rng() % 2) gid += ":sub" + std::to_string(rng() % 10);
    Bytes ct(rng() % 40);
    for (auto& b : ct) b = static_cast<uint8_t>(rng());
    std::string sender = "s\"\\\n" + std::to_string(rng());
    EncryptedMessage m{GroupId::create(gid).value(), types[rng() % 4], rng(), ct, sender, rng()};
    auto text = encrypted_message_to_json(m);
    auto back = encrypted_message_from_json(std::string_view(text));
    ASSERT_TRUE(back.ok()) << text << " " << back.error().to_string();
    EXPECT_EQ(back.value(), m) << text;
  }
}

}  // namespace
}  // namespace brenvik
