#include <gtest/gtest.h>

#include <random>

#include "random_message.h"
#include "transport/message_json.h"

namespace brenvik {

namespace {

const std::string kId = "0123abcd-4567-4def-89ab-cdef01234567";

Message sample() {
  Message m;
  m.id = parse_message_id(kId).value();
  m.sender = "alice";
  m.recipient = "bob";
  m.app_id = "app";
  m.timestamp = -5;
  m.content = "hi";
  return m;
}

std::string required_members(std::string_view extra = "") {
  return R"({"id":")" + kId +
         R"(","sender":"alice","recipient":"bob","app_id":"app","priority":"High","ttl":8,)"
         R"("hop_count":0,"timestamp":-5,"content":"hi")" +
         std::string(extra) + "}";
}

std::string read_error(std::string_view text) {
  auto r = decode_message_json(as_bytes(text));
  return r.ok() ? "ok" : r.error().message();
}

TEST(MessageJson, WriterMembersInOrder) {
  Message m = sample();
  m.metadata = {{"k", "v"}};
  EXPECT_EQ(message_json_text(m),
            R"({"id":")" + kId +
                R"(","sender":"alice","recipient":"bob","app_id":"app","priority":"medium",)"
                R"("ttl":8,"hop_count":0,"timestamp":-5,"lamport_clock":0,"content_type":"text",)"
                R"("content":"hi","metadata":{"k":"v"},"requires_ack":true,"reply_to_msg":null})");

  Message full = m;
  full.binary_content = Bytes{0, 255};
  full.media_metadata = MediaMetadata{};
  full.media_metadata->mime_type = "a";
  full.media_metadata->encryption_key = "secret";
  full.media_metadata->iv = "nonce";
  full.reply_to_msg = m.id;
  full.forwarded_from = ForwardInfo{"carol", m.id, 1, 1};
  full.reply_context = ReplyContext{"dave", "q", std::nullopt, std::nullopt, std::nullopt};
  std::string text = message_json_text(full);
  EXPECT_NE(
      text.find(
          R"("binary_content":[0,255],"media_metadata":{"mime_type":"a","file_name":"","file_size":0},"metadata")"),
      std::string::npos)
      << text;
  EXPECT_EQ(text.find("secret"), std::string::npos);
  EXPECT_EQ(text.find("nonce"), std::string::npos);
  EXPECT_TRUE(full.media_metadata->encryption_key);  // the message keeps its key
  EXPECT_NE(
      text.find(R"("reply_to_msg":")" + kId + R"(","forwarded_from":{"original_sender":"carol")"),
      std::string::npos);
  EXPECT_TRUE(text.ends_with(R"(,"reply_context":{"sender":"dave","text":"q"}})")) << text;
}

TEST(MessageJson, ReaderDefaultsAndAcceptedForms) {
  auto m = decode_message_json(as_bytes(required_members()));
  ASSERT_TRUE(m.ok()) << m.error().message();
  EXPECT_EQ(m->lamport_clock, 0u);
  EXPECT_EQ(m->content_type, ContentType::Text);
  EXPECT_TRUE(m->requires_ack);
  EXPECT_FALSE(m->reply_to_msg);
  EXPECT_TRUE(m->metadata.empty());
  EXPECT_EQ(m->priority, MessagePriority::High);
  EXPECT_EQ(m->timestamp, -5);
  EXPECT_FALSE(m->compact_wire);

  struct Case {
    std::string extra;
    std::function<bool(const Message&)> check;
  };
  const Case cases[] = {
      {R"(,"content_type":"sticker")",
       [](const Message& x) { return x.content_type == ContentType::File; }},
      {R"(,"lamport_clock":18446744073709551615)",
       [](const Message& x) { return x.lamport_clock == 9223372036854775807ULL; }},
      {R"(,"reply_to_msg":"{0123ABCD-4567-4DEF-89AB-CDEF01234567}")",
       [](const Message& x) {
         return x.reply_to_msg && display_message_id(*x.reply_to_msg) == kId;
       }},
      {R"(,"metadata":{"a":"1","a":"2"})",
       [](const Message& x) { return x.metadata.at("a") == "2"; }},
      {R"(,"x":[1,{"y":null}])", [](const Message& x) { return x.content == "hi"; }},
      {R"(,"binary_content":null,"media_metadata":null,"forwarded_from":null,"reply_context":null)",
       [](const Message& x) {
         return !x.binary_content && !x.media_metadata && !x.forwarded_from;
       }},
      {R"(,"priority2":{"Low":null})",
       [](const Message& x) { return x.priority == MessagePriority::High; }},
  };
  for (const auto& c : cases) {
    auto r = decode_message_json(as_bytes(required_members(c.extra)));
    ASSERT_TRUE(r.ok()) << c.extra << ": " << r.error().message();
    EXPECT_TRUE(c.check(*r)) << c.extra;
  }
  // An id read from another text form is written back in the canonical form.
  auto braced = decode_message_json(
      as_bytes(required_members(R"(,"reply_to_msg":"{0123ABCD-4567-4DEF-89AB-CDEF01234567}")")));
  ASSERT_TRUE(braced.ok());
  EXPECT_NE(message_json_text(*braced).find(R"("reply_to_msg":")" + kId + "\""), std::string::npos);
  // Priority as a single-member object with a null value.
  std::string obj = required_members();
  obj.replace(obj.find(R"("High")"), 6, R"({"critical":null})");
  EXPECT_EQ(decode_message_json(as_bytes(obj))->priority, MessagePriority::Critical);
  // Whitespace around the value is fine.
  EXPECT_EQ(read_error(" \n" + required_members() + " \t\r\n"), "ok");
}

TEST(MessageJson, ReaderRefusals) {
  const std::string p = "Serialization error: Failed to deserialize message: ";
  auto with = [](std::string_view from, std::string_view to) {
    std::string s = required_members();
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  struct Case {
    std::string text;
    std::string want_prefix;
  };
  const Case cases[] = {
      {"{}", p + "missing field `id`"},
      {"", p + "EOF while parsing a value"},
      {"5", p + "invalid type: integer `5`, expected struct Message"},
      {with(R"("sender":"alice",)", "").replace(0, 0, ""), p + "missing field `sender`"},
      {required_members(R"(,"content_type":5)"), p + "invalid type: integer `5`"},
      {with(R"("ttl":8)", R"("ttl":256)"), p + "invalid value: integer `256`"},
      {with(R"("ttl":8)", R"("ttl":-1)"), p + "invalid value: integer `-1`"},
      {with(R"("ttl":8)", R"("ttl":8.0)"), p + "invalid type: floating point `8.0`"},
      {with(R"("id":)", R"("id":")" + kId + R"(","id":)"), p + "duplicate field `id`"},
      {with(R"("High")", R"("HIGH")"), p + "unknown variant `HIGH`"},
      {with(R"("High")", "2"), p + "invalid type: integer `2`"},
      {with(R"("alice")", R"("")"), p + "Invalid user ID: User ID cannot be empty at line 1"},
      {with(R"("app")", R"("a:b")"),
       p + "Invalid app ID: App ID contains invalid characters ('/', '\\', or ':') at line 1"},
      {with(kId, "nope"), p + "UUID parsing failed: invalid length at line 1"},
      {required_members(R"(,"metadata":{"a":1})"), p + "invalid type: integer `1`"},
      {required_members(R"(,"requires_ack":1)"), p + "invalid type: integer `1`"},
      {required_members(R"(,"binary_content":[256])"), p + "invalid value: integer `256`"},
      {required_members(R"(,"forwarded_from":{"original_sender":"x"})"),
       p + "missing field `original_message_id`"},
      {required_members() + "x", p + "trailing characters"},
      {required_members() + "{}", p + "trailing characters"},
  };
  for (const auto& c : cases) {
    std::string got = read_error(c.text);
    EXPECT_EQ(got.rfind(c.want_prefix, 0), 0u) << c.text << "\n  got: " << got;
    EXPECT_NE(got.find(" at line "), std::string::npos) << got;
  }
  // Both "sender" and "content" missing: sender is named.
  std::string s = required_members();
  s.erase(s.find(R"("sender":"alice",)"), 17);
  s.erase(s.find(R"(,"content":"hi")"), 15);
  EXPECT_EQ(read_error(s).rfind(p + "missing field `sender`", 0), 0u) << read_error(s);
}

TEST(MessageJson, ArrayForm) {
  const std::string p = "Serialization error: Failed to deserialize message: ";
  const std::string head = R"([")" + kId + R"(","alice","bob","app","low",8,0,-5)";
  auto m = decode_message_json(as_bytes(head + R"(,7,"poll","hi"])"));
  ASSERT_TRUE(m.ok()) << m.error().message();
  EXPECT_EQ(m->lamport_clock, 7u);
  EXPECT_EQ(m->content_type, ContentType::Poll);
  EXPECT_TRUE(m->requires_ack);

  const std::pair<std::string, std::string> cases[] = {
      {R"([")" + kId + R"(","alice"])",
       p + "invalid length 2, expected struct Message with 18 elements"},
      {head + "]", p + "invalid length 10, expected struct Message with 18 elements"},
      {head + ",1,\"text\"]", p + "invalid length 10, expected struct Message with 18 elements"},
      {head + R"(,0,"text","c",null,null,{},true,null,null,null,1])", p + "trailing characters"},
  };
  for (const auto& [text, want] : cases) {
    std::string got = read_error(text);
    EXPECT_EQ(got.rfind(want, 0), 0u) << text << "\n  got: " << got;
  }
}

TEST(MessageJson, RandomMessagesRoundTrip) {
  std::mt19937_64 rng(99);
  for (int i = 0; i < 2000; ++i) {
    Message m = testing::random_message(rng);
    if (m.media_metadata) {
      m.media_metadata->encryption_key.reset();
      m.media_metadata->iv.reset();
    }
    m.lamport_clock = clamp_lamport_value(m.lamport_clock);
    auto back = decode_message_json(encode_message_json(m).value());
    ASSERT_TRUE(back.ok()) << back.error().message() << "\n" << message_json_text(m);
    EXPECT_EQ(*back, m);
  }
}

}  // namespace
}  // namespace brenvik
