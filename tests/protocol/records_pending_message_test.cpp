// Pending messages and the stored-record field helpers: exact output,
// refusals with their texts and positions, and write/read round trips.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/pending_message.h"
#include "protocol/records/stored_fields.h"
#include "transport/message_json.h"

namespace brenvik {
namespace {

MessageId id_of(const char* text) {
  return *parse_message_id(text);
}

PendingMessage minimal() {
  PendingMessage m;
  m.content = "hi";
  m.priority = MessagePriority::High;
  m.message_id = id_of("00000000-0000-4000-8000-000000000001");
  m.queued_at = UnixTime{1741338300, 0};  // 2025-03-07T09:05:00Z
  return m;
}

constexpr const char* kMinimalJson =
    R"({"content":"hi","priority":"high","message_id":"00000000-0000-4000-8000-000000000001","reply_to_msg":null,"content_type":"text","queued_at":"2025-03-07T09:05:00Z"})";

TEST(PendingMessageJson, MinimalWritesSixKeys) {
  EXPECT_EQ(minimal().to_json_text(), kMinimalJson);
}

TEST(PendingMessageJson, QueuedAtFractionDigits) {
  struct Case {
    uint32_t nanos;
    const char* text;
  };
  const Case cases[] = {{0, "2025-03-07T09:05:00Z"},
                        {250'000'000, "2025-03-07T09:05:00.250Z"},
                        {1'500'000, "2025-03-07T09:05:00.001500Z"},
                        {1, "2025-03-07T09:05:00.000000001Z"}};
  for (const auto& c : cases) {
    EXPECT_EQ(format_datetime_utc(UnixTime{1741338300, c.nanos}), c.text);
  }
}

TEST(PendingMessageJson, ReadsOffsetsAsUtcAndDefaults) {
  auto m = PendingMessage::from_json_text(
      R"({"queued_at":"2025-03-07T10:00:00+01:00","message_id":"00000000-0000-4000-8000-000000000001","priority":"Low","content":"x","app_id":"a/b","rich":{}})");
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m->queued_at, (UnixTime{1741338000, 0}));
  EXPECT_EQ(m->content_type, ContentType::Text);
  EXPECT_FALSE(m->reply_to_msg.has_value());
  EXPECT_EQ(m->priority, MessagePriority::Low);
  EXPECT_EQ(m->app_id, "a/b");
  ASSERT_TRUE(m->rich.has_value());
  EXPECT_EQ(*m->rich, RichSendExtras{});
  EXPECT_EQ(m->size, 0u);
  EXPECT_NE(
      m->to_json_text().find(R"("rich":{},"app_id":"a/b","queued_at":"2025-03-07T09:00:00Z")"),
      std::string::npos);
}

TEST(PendingMessageJson, Refusals) {
  struct Case {
    const char* name;
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {"missing queued_at",
       R"({"content":"x","priority":"low","message_id":"00000000-0000-4000-8000-000000000001"})",
       "missing field `queued_at` at line 1 column 84"},
      {"first missing in order",
       R"({"priority":"low","message_id":"00000000-0000-4000-8000-000000000001"})",
       "missing field `content` at line 1 column 70"},
      {"duplicate even when null", R"({"reply_to_msg":null,"reply_to_msg":null})",
       "duplicate field `reply_to_msg` at line 1 column 35"},
      {"wrong type", R"({"content":5})",
       "invalid type: integer `5`, expected a string at line 1 column 12"},
      {"priority case", R"({"priority":"LOW"})",
       "unknown variant `LOW`, expected one of `low`, `medium`, `high`, `critical`, `Low`, "
       "`Medium`, `High`, `Critical` at line 1 column 17"},
      {"null record", "null",
       "invalid type: null, expected struct PendingMessage at line 1 column 4"},
      {"nine values",
       R"(["x","low","00000000-0000-4000-8000-000000000001",null,null,"text",null,null,null])",
       "invalid length 9, expected struct PendingMessage with 10 elements at line 1 column 82"},
      {"queued_at not a date", R"({"queued_at":"yesterday"})", "invalid RFC 3339 date-time"},
      {"queued_at a number", R"({"queued_at":5})", "invalid type: integer `5`"},
      {"rich as a number", R"({"rich":1})",
       "invalid type: integer `1`, expected struct RichSendExtras"},
      {"rich with four values", R"({"rich":[null,null,null,null]})", "trailing characters"},
      {"content_type null", R"({"content_type":null})", "invalid type: null"},
      {"bad uuid", R"({"message_id":"nope"})", "UUID parsing failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = PendingMessage::from_json_text(c.json);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().to_string().find(c.error), std::string::npos) << r.error().to_string();
  }
}

TEST(PendingMessageJson, ArrayOfTenWithNulls) {
  auto m = PendingMessage::from_json_text(
      R"(["hi","high","00000000-0000-4000-8000-000000000001",null,null,"text",null,null,null,"2025-03-07T09:05:00Z"])");
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(*m, minimal());
}

ForwardInfo random_forward(std::mt19937_64& rng) {
  ForwardInfo f;
  f.original_sender = "user" + std::to_string(rng() % 100);
  f.original_message_id = new_message_id();
  f.original_timestamp = static_cast<int64_t>(rng());
  f.forward_count = static_cast<uint32_t>(rng());
  return f;
}

MediaMetadata random_media(std::mt19937_64& rng) {
  MediaMetadata mm;
  mm.mime_type = "image/png";
  mm.file_name = "f\"\n\xC3\xA9";
  mm.file_size = rng();
  if (rng() & 1) mm.width = static_cast<uint32_t>(rng());
  if (rng() & 1) mm.encryption_key = "k" + std::to_string(rng());
  if (rng() & 1) mm.iv = "iv";
  return mm;
}

TEST(PendingMessageJson, RandomRoundTripKeepsKeyMaterialAndSize) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 300; ++i) {
    PendingMessage m;
    m.content = std::string(rng() % 40, static_cast<char>('a' + rng() % 26));
    m.priority = MessagePriority(rng() % 4);
    m.message_id = new_message_id();
    if (rng() & 1) m.reply_to_msg = new_message_id();
    if (rng() & 1) m.forwarded_from = random_forward(rng);
    m.content_type = ContentType(rng() % kContentTypeCount);
    if (rng() & 1) m.media_metadata = random_media(rng);
    if (rng() & 1) {
      RichSendExtras x;
      if (rng() & 1)
        x.reply_context = ReplyContext{"u1", "t", int64_t(rng() % 1000), std::nullopt, "image"};
      if (rng() & 1) x.media_metadata = random_media(rng);
      if (rng() & 1) x.forward_info = random_forward(rng);
      m.rich = x;
    }
    if (rng() & 1) m.app_id = "app" + std::to_string(rng() % 9);
    m.queued_at = UnixTime{static_cast<int64_t>(rng() % 4'000'000'000ULL),
                           static_cast<uint32_t>(rng() % 1'000'000'000)};
    std::string text = m.to_json_text();
    auto back = PendingMessage::from_json_text(text);
    ASSERT_TRUE(back.ok()) << back.error().to_string() << "\n" << text;
    EXPECT_EQ(*back, m) << text;
    EXPECT_EQ(back->to_json_text(), text);
  }
}

TEST(RichSendExtrasJson, SizeLimitBoundary) {
  RichSendExtras x;
  x.reply_context = ReplyContext{"u", "", std::nullopt, std::nullopt, std::nullopt};
  JsonWriter w;
  x.to_json(w);
  size_t overhead = w.text().size();
  x.reply_context->text = std::string(kMaxRichSendExtrasBytes - overhead, 'a');
  EXPECT_TRUE(check_rich_send_extras_size(x).ok());
  x.reply_context->text.push_back('a');
  auto r = check_rich_send_extras_size(x);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Rich extras too large: 32769 bytes serialized (max 32768)");
}

TEST(StoredFields, StoredMessageKeepsKeyMaterialTransportDoesNot) {
  Message m = MessageBuilder("alice", "bob", "app").with_content("c").build();
  MediaMetadata mm;
  mm.mime_type = "a/b";
  mm.encryption_key = "KEY";
  mm.iv = "IV";
  m.media_metadata = mm;
  JsonWriter w;
  w.begin_object();
  write_message_json_field(w, "message", m);
  w.end_object();
  std::string stored = w.take();
  EXPECT_NE(stored.find(R"("encryption_key":"KEY","iv":"IV")"), std::string::npos);
  std::string transport = message_json_text(m);
  EXPECT_EQ(transport.find("KEY"), std::string::npos);

  JsonReader r(stored);
  ASSERT_TRUE(r.begin_object().ok());
  std::string_view key;
  ASSERT_TRUE(r.next_key(key).value());
  auto back = read_message_json_field(r);
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_EQ(*back, m);
}

TEST(StoredFields, SmallReaders) {
  auto read = [](auto fn, const char* text) {
    JsonReader r{std::string_view(text)};
    return fn(r);
  };
  EXPECT_EQ(read(read_welcome_lifecycle_state, R"("Sent")").value(), WelcomeLifecycleState::Sent);
  EXPECT_EQ(read(read_welcome_lifecycle_state, R"({"Sent":null})").value(),
            WelcomeLifecycleState::Sent);
  EXPECT_EQ(read(read_welcome_lifecycle_state, R"("sent")").error().message,
            "unknown variant `sent`, expected one of `Created`, `SendAttempted`, `Sent`, `Failed`, "
            "`Expired`");
  EXPECT_EQ(read(read_content_type_field, R"("sticker")").value(), ContentType::File);
  EXPECT_FALSE(read(read_optional_datetime_field, "null").value().has_value());
  EXPECT_EQ(*read(read_optional_datetime_field, R"("2025-03-07T11:05:00+02:00")").value(),
            (UnixTime{1741338300, 0}));
  EXPECT_FALSE(read(read_optional_datetime_field, "5").ok());
  EXPECT_EQ(read(read_group_id_field, R"("")").error().message, "Group ID cannot be empty");
  EXPECT_EQ(read(read_group_id_field, R"(5)").error().message,
            "invalid type: integer `5`, expected a string");
  EXPECT_EQ(read(read_group_id_field, R"("g1")").value(), "g1");

  JsonWriter w;
  w.begin_object();
  write_transport_type_field(w, "last_transport", std::nullopt);
  write_transport_type_field(w, "received_via", TransportType::WifiDirect);
  write_group_id_field(w, "g");
  w.end_object();
  EXPECT_EQ(w.text(), R"({"last_transport":null,"received_via":"wifiDirect","group_id":"g"})");
}

}  // namespace
}  // namespace brenvik
