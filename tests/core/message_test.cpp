#include <gtest/gtest.h>

#include <set>

#include "core/message.h"

namespace brenvik {
namespace {

MediaMetadata media(std::string mime, std::string name, uint64_t size) {
  MediaMetadata m;
  m.mime_type = std::move(mime);
  m.file_name = std::move(name);
  m.file_size = size;
  return m;
}

TEST(MessageBuilder, DefaultsWithoutSetters) {
  Message m = MessageBuilder("alice", "bob", "app").build();
  EXPECT_EQ(m.sender, "alice");
  EXPECT_EQ(m.recipient, "bob");
  EXPECT_EQ(m.app_id, "app");
  EXPECT_EQ(m.content, "");
  EXPECT_EQ(m.priority, MessagePriority::Medium);
  EXPECT_EQ(m.ttl, 8);
  EXPECT_EQ(m.content_type, ContentType::Text);
  EXPECT_EQ(m.lamport_clock, 0u);
  EXPECT_TRUE(m.requires_ack);
  EXPECT_FALSE(m.reply_to_msg);
  EXPECT_TRUE(m.metadata.empty());
  EXPECT_FALSE(m.media_metadata);
  EXPECT_FALSE(m.forwarded_from);
  EXPECT_FALSE(m.reply_context);
  EXPECT_EQ(m.hop_count, 0);
  EXPECT_FALSE(m.binary_content);
  EXPECT_FALSE(m.compact_wire);
  EXPECT_FALSE(m.transport_peer_id);
  // Built now: within a minute of the wall clock.
  EXPECT_LT(std::llabs(m.timestamp - wall_clock_unix_ms()), 60000);
}

TEST(MessageBuilder, SettersReplaceAndMetadataKeepsLastValue) {
  MediaMetadata png = media("image/png", "a.png", 3);
  Message m = MessageBuilder("a", "b", "c")
                  .with_content("hi")
                  .with_priority(MessagePriority::Critical)
                  .with_ttl(3)
                  .with_content_type(ContentType::Poll)
                  .with_lamport_clock(9)
                  .with_requires_ack(false)
                  .with_metadata("k", "1")
                  .with_metadata("k", "2")
                  .with_media_metadata(media("x", "y", 1))
                  .with_media_metadata(png)
                  .build();
  EXPECT_EQ(m.content, "hi");
  EXPECT_EQ(m.priority, MessagePriority::Critical);
  EXPECT_EQ(m.ttl, 3);
  EXPECT_EQ(m.content_type, ContentType::Poll);
  EXPECT_EQ(m.lamport_clock, 9u);
  EXPECT_FALSE(m.requires_ack);
  EXPECT_EQ(m.metadata, (MessageMetadata{{"k", "2"}}));
  EXPECT_EQ(m.media_metadata, png);
}

TEST(MessageBuilder, TimestampFromTheClock) {
  const std::pair<int64_t, int64_t> cases[] = {
      {1'700'000'000'123'999'999, 1'700'000'000'123},
      {0, 0},
      {999'999, 0},
      {-1'500'000, -1},  // 1.5 ms before the epoch: the distance's millis, negated
      {-2'000'000'001, -2000},
  };
  for (auto [ns, want] : cases) {
    ManualClock clock(ns);
    EXPECT_EQ(MessageBuilder("a", "b", "c").build(clock).timestamp, want) << ns;
  }
}

TEST(MessageBuilder, IdsAreFreshVersion4) {
  std::set<MessageId> seen;
  for (int i = 0; i < 200; ++i) {
    Message m = MessageBuilder("a", "b", "c").build();
    EXPECT_TRUE(seen.insert(m.id).second);
    std::string t = display_message_id(m.id);
    ASSERT_EQ(t.size(), 36u);
    EXPECT_EQ(t[14], '4') << t;
    EXPECT_NE(std::string("89ab").find(t[19]), std::string::npos) << t;
  }
}

TEST(Lamport, StepAndClamp) {
  constexpr uint64_t kMax = UINT64_MAX;
  struct Case {
    uint64_t clock, observed, want;
  };
  const Case cases[] = {
      {5, 3, 6}, {5, 10, 11}, {0, kMax, (1ULL << 63)}, {kMax, 0, kMax}, {0, 0, 1},
  };
  for (auto c : cases) {
    uint64_t clock = c.clock;
    EXPECT_EQ(advance_lamport_clock(clock, c.observed), c.want);
    EXPECT_EQ(clock, c.want);
  }
  EXPECT_EQ(clamp_lamport_value(kMax), 9223372036854775807ULL);
  EXPECT_EQ(clamp_lamport_value(42), 42u);
}

TEST(Message, HopCountStopsAt255) {
  Message m;
  m.hop_count = 254;
  ASSERT_TRUE(m.increment_hop_count().ok());
  EXPECT_EQ(m.hop_count, 255);
  auto r = m.increment_hop_count();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Invalid hop count: 255");
  EXPECT_EQ(m.hop_count, 255);
}

TEST(Message, NextForwardInfo) {
  Message m = MessageBuilder("alice", "bob", "app").build();
  m.timestamp = -7;
  EXPECT_EQ(next_forward_info(m), (ForwardInfo{"alice", m.id, -7, 1}));
  m.forwarded_from = ForwardInfo{"carol", MessageId{}, 5, 2};
  EXPECT_EQ(next_forward_info(m), (ForwardInfo{"carol", MessageId{}, 5, 3}));
  m.forwarded_from->forward_count = UINT32_MAX;
  EXPECT_EQ(next_forward_info(m).forward_count, UINT32_MAX);
}

TEST(Message, WithoutKeyMaterialDropsOnlyKeyAndIv) {
  MediaMetadata md = media("image/png", "a.png", 10);
  md.width = 4;
  md.encryption_key = "k";
  md.iv = "iv";
  md.ciphertext_hash = "h";
  MediaMetadata stripped = md.without_key_material();
  EXPECT_FALSE(stripped.encryption_key);
  EXPECT_FALSE(stripped.iv);
  EXPECT_FALSE(stripped.has_key_material());
  stripped.encryption_key = "k";
  stripped.iv = "iv";
  EXPECT_EQ(stripped, md);
}

TEST(ContentType, NamesAndFallbackToFile) {
  const std::pair<const char*, ContentType> cases[] = {
      {"text", ContentType::Text},
      {"voice_note", ContentType::VoiceNote},
      {"file_chunk", ContentType::FileChunk},
      {"poll", ContentType::Poll},
      {"Text", ContentType::File},
      {"TEXT", ContentType::File},
      {"", ContentType::File},
      {"sticker", ContentType::File},
  };
  for (auto [name, want] : cases) EXPECT_EQ(content_type_from_name(name), want) << name;
  for (uint8_t i = 0; i < kContentTypeCount; ++i) {
    EXPECT_EQ(content_type_from_name(content_type_name(ContentType(i))), ContentType(i));
  }
  EXPECT_EQ(content_type_from_byte(200), ContentType::File);
  EXPECT_EQ(static_cast<int>(content_type_from_name("voice_note")), 4);
}

TEST(SmallValueTexts, TransportTypeAndStatus) {
  EXPECT_EQ(transport_type_name(TransportType::Internet), "internet");
  EXPECT_EQ(transport_type_name(TransportType::WifiDirect), "wifiDirect");
  EXPECT_EQ(transport_type_name(TransportType::Nostr), "nostr");
  EXPECT_EQ(transport_status_name(TransportStatus::Disconnected), "Disconnected");
}

TEST(MessageId, TextForms) {
  const std::string canon = "0123abcd-4567-4def-89ab-cdef01234567";
  auto want = parse_message_id(canon);
  ASSERT_TRUE(want.ok());
  EXPECT_EQ(display_message_id(*want), canon);
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {"0123ABCD-4567-4DEF-89AB-CDEF01234567", true},
      {"0123abcd45674def89abcdef01234567", true},
      {"{0123abcd-4567-4def-89ab-cdef01234567}", true},
      {"urn:uuid:0123abcd-4567-4def-89ab-cdef01234567", true},
      {"URN:UUID:0123abcd-4567-4def-89ab-cdef01234567", false},
      {"(0123abcd-4567-4def-89ab-cdef01234567)", false},
      {"0123abcd_4567-4def-89ab-cdef01234567", false},
      {"0123abcg-4567-4def-89ab-cdef01234567", false},
      {"0123abcd-4567-4def-89ab-cdef0123456", false},
      {"", false},
  };
  for (const auto& c : cases) {
    auto r = parse_message_id(c.text);
    ASSERT_EQ(r.ok(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(*r, *want) << c.text;
    } else {
      EXPECT_EQ(r.error().message().rfind("Invalid message: Invalid message id: ", 0), 0u)
          << r.error().message();
    }
  }
}

}  // namespace
}  // namespace brenvik
