#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "core/wire_v1.h"
#include "transport/assembly_eviction.h"
#include "transport/message_codec.h"
#include "transport/message_json.h"
#include "util/log.h"

namespace brenvik {
namespace {

Message sample(std::string content = "hello") {
  Message m = MessageBuilder("alice", "bob", "app").with_content(std::move(content)).build();
  return m;
}

Bytes json_of(const Message& m) {
  return encode_message_json(m).value();
}

// A valid JSON frame of exactly n bytes (n >= the bare frame's size).
Bytes json_frame_of_size(size_t n) {
  Message m = sample("");
  Bytes base = json_of(m);
  m.content.assign(n - base.size(), 'x');
  Bytes b = json_of(m);
  EXPECT_EQ(b.size(), n);
  return b;
}

TEST(TransportEncoding, ChoosesFormAndNeverCarriesMediaKeys) {
  Message m = sample();
  m.media_metadata = MediaMetadata{};
  m.media_metadata->mime_type = "image/png";
  m.media_metadata->encryption_key = "KEYKEYKEY";
  m.media_metadata->iv = "IVIVIV";
  for (bool compact : {false, true}) {
    m.compact_wire = compact;
    Bytes b = encode_message_for_transport(m).value();
    EXPECT_EQ(b[0] == kWireV1LeadingByte, compact);
    std::string_view text = as_chars(b);
    EXPECT_EQ(text.find("KEYKEYKEY"), std::string_view::npos);
    EXPECT_EQ(text.find("IVIVIV"), std::string_view::npos);
    auto back = decode_message(b).value();
    ASSERT_TRUE(back.media_metadata);
    EXPECT_FALSE(back.media_metadata->has_key_material());
    EXPECT_FALSE(back.compact_wire);
  }
  EXPECT_EQ(m.media_metadata->encryption_key, "KEYKEYKEY");
}

TEST(TransportEncoding, DecodeMessageErrors) {
  const std::pair<Bytes, std::string> cases[] = {
      {to_bytes("{}"),
       "Serialization error: Failed to deserialize message: missing field `id` at line 1 column 2"},
      {{0xF5}, "Core error: Deserialization error: wire v1 decode: unexpected end of input"},
      {{},
       "Serialization error: Failed to deserialize message: EOF while parsing a value at line "
       "1 column 0"},
      // An opening brace means JSON whatever follows.
      {{0x7B, 0xF5, 0x00}, "Serialization error: Failed to deserialize message: "},
  };
  for (const auto& [bytes, want] : cases) {
    auto r = decode_message(bytes);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message().rfind(want, 0), 0u) << r.error().message();
  }
}

TEST(ReceiveStep, SizeLimitGarbageAndOrder) {
  InboundQueue q;
  ASSERT_TRUE(enqueue_received_bytes(q, json_frame_of_size(kMaxReceivedFrameBytes)).ok());
  EXPECT_EQ(q.size(), 1u);

  ScopedLogCapture quiet;
  auto too_big = enqueue_received_bytes(q, json_frame_of_size(kMaxReceivedFrameBytes + 1));
  EXPECT_TRUE(quiet.entries().empty());  // refused without a log line
  ASSERT_FALSE(too_big.ok());
  EXPECT_EQ(too_big.error().message(),
            "Message too large: 1048577 bytes exceeds limit of 1048576 bytes");
  EXPECT_EQ(q.size(), 1u);
  EXPECT_EQ(q.dropped_malformed(), 0u);  // refused before parsing

  {
    ScopedLogCapture logs;
    EXPECT_TRUE(enqueue_received_bytes(q, to_bytes("garbage")).ok());
    auto entries = logs.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, LogLevel::Warn);
    EXPECT_EQ(entries[0].target, "brenvik_protocol_transport::common");
    EXPECT_EQ(entries[0].message.rfind(
                  "Error deserializing message, dropping bad data error=\"Serialization error: "
                  "Failed to deserialize message: expected value",
                  0),
              0u)
        << entries[0].message;
  }
  EXPECT_EQ(q.size(), 1u);
  EXPECT_EQ(q.dropped_malformed(), 1u);
  q.drain();

  Message a = sample("first"), b = sample("second");
  b.compact_wire = true;
  ASSERT_TRUE(enqueue_received_bytes(q, json_of(a)).ok());
  ASSERT_TRUE(enqueue_received_bytes(q, encode_message_for_transport(b).value()).ok());
  auto got = q.drain();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].content, "first");
  EXPECT_EQ(got[1].content, "second");
  EXPECT_EQ(got[1].id, b.id);
}

TEST(ReceiveStep, PeerId) {
  InboundQueue q;
  ASSERT_TRUE(enqueue_received_bytes_from_peer(q, json_of(sample()), "peer-7").ok());
  EXPECT_EQ(q.pop()->transport_peer_id, "peer-7");

  auto empty = enqueue_received_bytes_from_peer(q, json_of(sample()), "");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message(),
            "Core error: Invalid message: transport_peer_id must not be empty");
  EXPECT_EQ(q.size(), 0u);

  // An undecodable frame is dropped as such, whatever the peer id.
  EXPECT_TRUE(enqueue_received_bytes_from_peer(q, to_bytes("x"), "").ok());
  EXPECT_EQ(q.dropped_malformed(), 1u);

  Message m = sample();
  EXPECT_EQ(validate_transport_peer_id(m, "").error().message(),
            "Invalid message: transport_peer_id must not be empty");
  EXPECT_TRUE(validate_transport_peer_id(m, "p").ok());
  EXPECT_EQ(m.transport_peer_id, "p");
}

TEST(InboundQueue, BoundedByCountAndBytesAndCountsDrops) {
  InboundQueue by_count(2, 1000);
  EXPECT_TRUE(by_count.push(sample("1"), 10));
  EXPECT_TRUE(by_count.push(sample("2"), 10));
  EXPECT_FALSE(by_count.push(sample("3"), 10));
  EXPECT_EQ(by_count.dropped_full(), 1u);
  EXPECT_EQ(by_count.pop()->content, "1");  // what was queued stays, in order
  EXPECT_TRUE(by_count.push(sample("4"), 10));

  InboundQueue by_bytes(100, 25);
  EXPECT_TRUE(by_bytes.push(sample(), 20));
  EXPECT_FALSE(by_bytes.push(sample(), 6));
  EXPECT_TRUE(by_bytes.push(sample(), 5));
  by_bytes.pop();
  EXPECT_TRUE(by_bytes.push(sample(), 20));  // popping frees its bytes
  EXPECT_EQ(by_bytes.dropped_full(), 1u);

  // Through the receive step: a full queue drops and counts, the call succeeds.
  InboundQueue small(1, InboundQueue::kDefaultMaxBytes);
  ASSERT_TRUE(enqueue_received_bytes(small, json_of(sample())).ok());
  ASSERT_TRUE(enqueue_received_bytes(small, json_of(sample())).ok());
  EXPECT_EQ(small.size(), 1u);
  EXPECT_EQ(small.dropped_full(), 1u);
}

TEST(InboundQueue, ConcurrentProducersLoseNothingBelowTheCap) {
  InboundQueue q(10000, InboundQueue::kDefaultMaxBytes);
  Bytes frame = json_of(sample());
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t) {
    ts.emplace_back([&] {
      for (int i = 0; i < 200; ++i) ASSERT_TRUE(enqueue_received_bytes(q, frame).ok());
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(q.size(), 800u);
  EXPECT_EQ(q.dropped_full(), 0u);
}

TEST(AssemblyEviction, LowestScoreFirstVisitedAmongEquals) {
  using namespace std::chrono;
  const WallTime now = WallTime(seconds(1700000000));
  struct Asm {
    WallTime opened;
    uint64_t received;
    uint16_t expected;
  };
  auto progress = [](const Asm& a) { return AssemblyProgress{a.opened, a.received, a.expected}; };
  using Table = std::vector<std::pair<std::string, Asm>>;  // a visiting order we control
  struct Case {
    Table table;
    std::string want;  // "" for none
  };
  const Case cases[] = {
      {{}, ""},
      {{{"a", {now, 3, 4}}, {"b", {now, 1, 4}}}, "b"},
      {{{"new", {now, 2, 5}}, {"old", {now - seconds(60), 1, 2}}}, "old"},
      {{{"new", {now, 2, 5}}, {"older", {now - seconds(3600), 1, 2}}}, "older"},
      {{{"first", {now, 1, 2}}, {"second", {now, 1, 2}}}, "first"},
      {{{"future", {now + seconds(30), 1, 2}}, {"zero", {now, 0, 0}}}, "zero"},
  };
  for (const auto& c : cases) {
    auto* e = select_assembly_to_evict(c.table, now, progress);
    EXPECT_EQ(e ? e->first : "", c.want);
  }
  EXPECT_FLOAT_EQ(assembly_eviction_score({now - seconds(60), 1, 2}, now), 0.3f);
  EXPECT_FLOAT_EQ(assembly_eviction_score({now - seconds(30), 1, 2}, now), 0.4f);
  EXPECT_FLOAT_EQ(assembly_eviction_score({now + seconds(30), 1, 2}, now), 0.5f);
  EXPECT_FLOAT_EQ(assembly_eviction_score({now, 5, 0}, now), 0.0f);

  std::map<std::string, Asm> as_map{{"x", {now, 1, 4}}, {"y", {now, 4, 4}}};
  EXPECT_EQ(select_assembly_to_evict(as_map, now, progress)->first, "x");
}

}  // namespace
}  // namespace brenvik
