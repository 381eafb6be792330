// The JSON string receive_message returns: sorted keys at every level, the
// capitalised priority, and only the fields the host is meant to see.
#include <gtest/gtest.h>

#include "bindings/received_message_json.h"
#include "util/log.h"

namespace brenvik::ffi {
namespace {

Message plain_message() {
  Message m;
  for (size_t i = 0; i < 16; ++i) m.id.bytes[i] = uint8_t(i + 1);
  m.sender = "alice";
  m.recipient = "bob";
  m.app_id = "com.example.chat";
  m.ttl = 8;
  m.hop_count = 2;
  m.timestamp = -5;
  m.lamport_clock = 42;
  m.content = "hello \"bob\"";
  m.metadata["ack_for"] = "x";
  m.binary_content = Bytes{1, 2};
  m.reply_to_msg = m.id;
  return m;
}

TEST(ReceivedMessageJson, PlainMessageHasExactlyTheSortedKeys) {
  auto json = received_message_json(plain_message());
  ASSERT_TRUE(json);
  EXPECT_EQ(*json,
            "{\"app_id\":\"com.example.chat\",\"content\":\"hello \\\"bob\\\"\","
            "\"content_type\":\"text\",\"hop_count\":2,"
            "\"id\":\"01020304-0506-0708-090a-0b0c0d0e0f10\",\"lamport_clock\":42,"
            "\"priority\":\"Medium\",\"recipient\":\"bob\",\"sender\":\"alice\","
            "\"timestamp\":-5,\"ttl\":8}");
}

TEST(ReceivedMessageJson, PriorityNamesAreCapitalised) {
  const std::pair<MessagePriority, const char*> cases[] = {
      {MessagePriority::Low, "\"priority\":\"Low\""},
      {MessagePriority::High, "\"priority\":\"High\""},
      {MessagePriority::Critical, "\"priority\":\"Critical\""}};
  for (auto [p, want] : cases) {
    auto m = plain_message();
    m.priority = p;
    EXPECT_NE(received_message_json(m)->find(want), std::string::npos) << want;
  }
}

TEST(ReceivedMessageJson, MediaAndForwardInfoAreSortedObjects) {
  auto m = plain_message();
  m.content_type = ContentType::Image;
  MediaMetadata mm;
  mm.mime_type = "image/png";
  mm.file_name = "a.png";
  mm.file_size = 10;
  mm.width = 640;
  m.media_metadata = mm;
  ForwardInfo f;
  f.original_sender = "carol";
  f.original_message_id = m.id;
  f.original_timestamp = 7;
  f.forward_count = 1;
  m.forwarded_from = f;
  auto json = received_message_json(m);
  ASSERT_TRUE(json);
  EXPECT_NE(json->find("\"forwarded_from\":{\"forward_count\":1,\"original_message_id\":"
                       "\"01020304-0506-0708-090a-0b0c0d0e0f10\",\"original_sender\":\"carol\","
                       "\"original_timestamp\":7}"),
            std::string::npos)
      << *json;
  EXPECT_NE(json->find("\"media_metadata\":{\"file_name\":\"a.png\",\"file_size\":10,"
                       "\"mime_type\":\"image/png\",\"width\":640}"),
            std::string::npos)
      << *json;
  EXPECT_NE(json->find("\"content_type\":\"image\""), std::string::npos);
}

TEST(ReceivedMessageJson, UnwritableTextLosesTheMessageWithAnError) {
  ScopedLogCapture cap;
  auto m = plain_message();
  m.content = std::string("bad \xFF utf8");
  EXPECT_EQ(received_message_json(m), std::nullopt);
}

}  // namespace
}  // namespace brenvik::ffi
