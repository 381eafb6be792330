// The session Welcome as peers exchange it: group-id refusals in both forms,
// text and byte input, and random round trips.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/encrypted_message_json.h"
#include "protocol/records/welcome_message_json.h"
#include "random_message.h"

namespace brenvik {
namespace {

std::string reread(std::string_view text) {
  auto w = welcome_message_from_json(text);
  return w.ok() ? welcome_message_to_json(*w) : w.error().to_string();
}

TEST(WelcomeMessageJson, ReadsAndRefuses) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"timestamp_ms":5,"inviter_id":"a","welcome_data":[1,2],"group_id":"session:a:b","x":{}})",
       R"({"group_id":"session:a:b","welcome_data":[1,2],"inviter_id":"a","group_name":null,"timestamp_ms":5})"},
      {R"(["g",[],"a","n",1])",
       R"({"group_id":"g","welcome_data":[],"inviter_id":"a","group_name":"n","timestamp_ms":1})"},
      {R"({"group_id":"","welcome_data":[],"inviter_id":"a","timestamp_ms":1})",
       "Group ID cannot be empty at line 1 column 14"},
      {R"(["",[],"a",null,1])", "Group ID cannot be empty at line 1 column 3"},
      {R"([])",
       "invalid length 0, expected struct WelcomeMessage with 5 elements at line 1 column 2"},
      {R"({"group_id":"g","group_id":"g"})", "duplicate field `group_id` at line 1 column 26"},
      {R"({"group_id":"g","welcome_data":[],"inviter_id":"a"})",
       "missing field `timestamp_ms` at line 1 column 51"},
      {R"({"group_id":"g","welcome_data":"AA==","inviter_id":"a","timestamp_ms":1})",
       "invalid type: string \"AA==\", expected a sequence at line 1 column 37"},
      {R"({"group_id":7})", "invalid type: integer `7`, expected a string at line 1 column 13"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

TEST(WelcomeMessageJson, ByteInputChecksUtf8) {
  const std::string bad =
      "{\"group_id\":\"g\",\"welcome_data\":[],\"inviter_id\":\"\xc3\",\"timestamp_ms\":1}";
  EXPECT_FALSE(welcome_message_from_json(as_bytes(bad)).ok());
}

TEST(WelcomeMessageJson, RandomRoundTrip) {
  std::mt19937_64 rng(0x3e1c);
  for (int i = 0; i < 300; ++i) {
    WelcomeMessage m{GroupId::create("session:u" + std::to_string(rng() % 1000) + ":v" +
                                     std::to_string(rng() % 1000))
                         .value(),
                     Bytes(rng() % 50), testing::random_text(rng, 10), std::nullopt, rng()};
    for (auto& b : m.welcome_data) b = uint8_t(rng());
    if (rng() % 2) m.group_name = testing::random_text(rng, 10);
    std::string text = welcome_message_to_json(m);
    auto back = welcome_message_from_json(as_bytes(text));
    ASSERT_TRUE(back.ok()) << text << ": " << back.error().to_string();
    EXPECT_EQ(*back, m);
  }
}

TEST(EncryptedMessageJson, WritingNeverThrowsOnBadSenderText) {
  EncryptedMessage m{GroupId::create("g").value(), MlsMessageType::Commit, 1, Bytes{1}, "\xff", 2};
  std::string text;
  EXPECT_NO_THROW(text = encrypted_message_to_json(m));
  EXPECT_EQ(text,
            "{\"group_id\":\"g\",\"message_type\":\"Commit\",\"epoch\":1,\"ciphertext\":[1],"
            "\"sender_id\":\"\xff\",\"timestamp_ms\":2}");
  EXPECT_FALSE(encrypted_message_from_json(text).ok());
}

}  // namespace
}  // namespace brenvik
