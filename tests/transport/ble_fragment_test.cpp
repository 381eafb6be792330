#include "transport/ble_fragment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "transport/message_codec.h"
#include "util/clock.h"

namespace brenvik {
namespace {

const std::string kId = "67e55044-10b1-426f-9247-bb680e5fe0c8";

Bytes pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 31);
  return b;
}

Bytes frame(std::string_view id, uint16_t index, uint16_t count, ByteView payload) {
  Bytes f = {'B', 'V', 1, uint8_t(id.size())};
  append(f, as_bytes(id));
  put_u16_le(f, index);
  put_u16_le(f, count);
  put_u16_le(f, uint16_t(payload.size()));
  append(f, payload);
  return f;
}

std::string error_text(const FragmentReassembler::Step& s) {
  return s.error ? s.error->message() : std::string("<no error>");
}

TEST(BleFragmentSplit, ThousandBytesGiveSevenFullFramesAndAShortOne) {
  auto frames = fragment_encoded(kId, pattern(1000), kDefaultFragmentSize);
  ASSERT_TRUE(frames.ok());
  ASSERT_EQ(frames->size(), 8u);
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ((*frames)[i].size(), 185u) << i;
  EXPECT_EQ((*frames)[7].size(), 73u);
  // Header of the last frame: index 7, count 8, payload 27, little-endian.
  auto h = parse_fragment((*frames)[7]);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->message_id, kId);
  EXPECT_EQ(h->index, 7);
  EXPECT_EQ(h->count, 8);
  EXPECT_EQ(h->payload.size(), 27u);
  EXPECT_EQ((*frames)[7][4 + 36], 7);
  EXPECT_EQ((*frames)[7][4 + 36 + 2], 8);
}

TEST(BleFragmentSplit, LimitsAndRefusals) {
  struct Case {
    const char* name;
    std::string id;
    size_t encoded;
    size_t fragment_size;
    std::optional<size_t> frames;  // none: refused with `error`
    const char* error;
  };
  const Case cases[] = {
      {"512 full chunks at the default size", kId, 512 * 139, 185, 512, ""},
      {"one byte more", kId, 512 * 139 + 1, 185, std::nullopt,
       "Message would require too many BLE fragments"},
      {"512 full chunks at 512-byte frames", kId, 512 * 466, 512, 512, ""},
      {"one byte more at 512", kId, 512 * 466 + 1, 512, std::nullopt,
       "Message would require too many BLE fragments"},
      {"empty encoding", kId, 0, 185, std::nullopt, "Empty message"},
      {"header does not fit", kId, 10, 46, std::nullopt, "MTU too small for fragment header"},
      {"one payload byte fits", kId, 3, 47, 3, ""},
      {"id of 256 bytes", std::string(256, 'a'), 10, 1000, std::nullopt, "Message ID too long"},
      {"id of 255 bytes", std::string(255, 'a'), 10, 1000, 1, ""},
      {"payload over 65535 bytes", kId, 70000, 70046, std::nullopt, "Fragment payload too large"},
  };
  for (const Case& c : cases) {
    auto r = fragment_encoded(c.id, pattern(c.encoded), c.fragment_size);
    if (c.frames) {
      ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().message();
      EXPECT_EQ(r->size(), *c.frames) << c.name;
      for (const Bytes& f : *r) EXPECT_LE(f.size(), c.fragment_size) << c.name;
    } else {
      ASSERT_FALSE(r.ok()) << c.name;
      EXPECT_EQ(r.error().kind, TransportError::Kind::Other) << c.name;
      EXPECT_EQ(r.error().message(), c.error) << c.name;
    }
  }
}

TEST(BleFragmentParse, RefusalsInOrder) {
  Bytes ok_payload = pattern(5);
  Bytes good = frame("abc", 0, 2, ok_payload);
  auto with = [&](size_t at, uint8_t v) {
    Bytes b = good;
    b[at] = v;
    return b;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    const char* error;
  };
  const Case cases[] = {
      {"nine bytes", Bytes(9, 0), "Fragment too short"},
      {"bad magic", with(1, 'W'), "Invalid fragment magic"},
      {"version 2", with(2, 2), "Unsupported fragment version 2"},
      {"id longer than frame", with(3, 200), "Fragment truncated (id)"},
      {"id not utf-8", with(4, 0xFF), "Invalid UTF-8 in message ID"},
      {"payload cut", Bytes(good.begin(), good.end() - 1), "Fragment truncated (data)"},
      {"count 513", frame("abc", 0, 513, ok_payload), "Fragment count exceeds maximum"},
      {"count 0", frame("abc", 0, 0, ok_payload), "Fragment index out of range"},
      {"index = count", frame("abc", 2, 2, ok_payload), "Fragment index out of range"},
  };
  for (const Case& c : cases) {
    auto r = parse_fragment(c.bytes);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().message(), c.error) << c.name;
  }
  // Trailing bytes after the payload are ignored.
  Bytes trailing = good;
  trailing.push_back(0xAA);
  auto r = parse_fragment(trailing);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Bytes(r->payload.begin(), r->payload.end()), ok_payload);
}

TEST(BleFragmentParse, MinimalSingleFrameFailsOnlyInDecoding) {
  ManualClock clock;
  FragmentReassembler r(clock);
  Bytes f = {'B', 'V', 1, 0, 0, 0, 1, 0, 0, 0};
  auto step = r.accept("p", f);
  EXPECT_FALSE(step.error) << error_text(step);
  ASSERT_TRUE(step.completed);
  EXPECT_TRUE(step.completed->empty());
  EXPECT_FALSE(decode_message(*step.completed).ok());
  EXPECT_EQ(r.size(), 0u);
}

TEST(BleFragmentCompletion, PercentRounding) {
  struct Case {
    uint64_t received, expected;
    uint8_t pct;
  };
  const Case cases[] = {{0, 0, 0},   {1, 3, 33},  {2, 3, 67},  {1, 8, 13},
                        {1, 200, 1}, {1, 201, 0}, {5, 4, 100}, {512, 512, 100}};
  for (const Case& c : cases) {
    EXPECT_EQ(fragment_completion_percent(c.received, c.expected), c.pct)
        << c.received << "/" << c.expected;
  }
}

class Reassembly : public ::testing::Test {
 protected:
  ManualClock clock;
  FragmentReassembler r{clock};

  std::vector<Bytes> split(std::string_view id, const Bytes& data, size_t size = 185) {
    auto f = fragment_encoded(id, data, size);
    EXPECT_TRUE(f.ok());
    return f.value();
  }
};

TEST_F(Reassembly, AnyOrderCompletesAtTheLastFrame) {
  const Bytes data = pattern(1000);
  auto frames = split(kId, data);
  std::vector<size_t> order(frames.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937 rng(7);
  for (int round = 0; round < 5; ++round) {
    if (round == 0)
      std::reverse(order.begin(), order.end());
    else
      std::shuffle(order.begin(), order.end(), rng);
    for (size_t k = 0; k < order.size(); ++k) {
      auto step = r.accept("peer", frames[order[k]]);
      ASSERT_FALSE(step.error) << error_text(step);
      if (k + 1 < order.size()) {
        EXPECT_FALSE(step.completed) << "round " << round << " frame " << k;
      } else {
        ASSERT_TRUE(step.completed);
        EXPECT_EQ(*step.completed, data);
      }
    }
    EXPECT_EQ(r.size(), 0u);
  }
}

TEST_F(Reassembly, RepeatedIndexReplacesAndDoesNotCountTwice) {
  const Bytes data = pattern(300);
  auto frames = split(kId, data);  // 3 frames
  ASSERT_EQ(frames.size(), 3u);
  Bytes altered = frames[0];
  altered.back() ^= 0xFF;
  EXPECT_FALSE(r.accept("p", altered).completed);
  EXPECT_FALSE(r.accept("p", frames[1]).completed);
  EXPECT_FALSE(r.accept("p", frames[1]).completed);  // duplicate: still 2 of 3
  EXPECT_FALSE(r.accept("p", frames[0]).completed);  // replaces the altered payload
  auto step = r.accept("p", frames[2]);
  ASSERT_TRUE(step.completed);
  EXPECT_EQ(*step.completed, data);
}

TEST_F(Reassembly, CountMismatchLeavesAssemblyIntact) {
  const Bytes data = pattern(300);
  auto frames = split(kId, data);
  r.accept("p", frames[0]);
  auto bad = r.accept("p", frame(kId, 1, 4, pattern(10)));
  EXPECT_EQ(error_text(bad), "Fragment count mismatch: expected 3, got 4");
  r.accept("p", frames[1]);
  auto done = r.accept("p", frames[2]);
  ASSERT_TRUE(done.completed);
  EXPECT_EQ(*done.completed, data);
}

TEST_F(Reassembly, SameIdFromTwoPeersStaysApart) {
  const Bytes a = pattern(400, 1), b = pattern(400, 99);
  auto fa = split(kId, a), fb = split(kId, b);
  ASSERT_EQ(fa.size(), fb.size());
  // Interleave: a hostile neighbour replays the id with other bytes and
  // another count must not touch the honest peer's assembly.
  r.accept("honest", fa[0]);
  r.accept("hostile", fb[0]);
  EXPECT_FALSE(r.accept("hostile", frame(kId, 0, 7, pattern(3))).completed);
  r.accept("hostile", fb[1]);
  r.accept("honest", fa[1]);
  EXPECT_EQ(r.size(), 2u);
  auto da = r.accept("honest", fa[2]);
  auto db = r.accept("hostile", fb[2]);
  ASSERT_TRUE(da.completed && db.completed);
  EXPECT_EQ(*da.completed, a);
  EXPECT_EQ(*db.completed, b);
}

TEST_F(Reassembly, IdleExpiryIsStrictlyAfterThirtySeconds) {
  auto frames = split(kId, pattern(300));
  auto other = split("other", pattern(300));
  r.accept("p", frames[0]);
  clock.advance(std::chrono::seconds(30));
  auto kept = r.accept("p", other[0]);  // purge runs: exactly 30 s old stays
  EXPECT_TRUE(kept.expired.empty());
  EXPECT_EQ(r.size(), 2u);
  clock.advance(std::chrono::milliseconds(500));
  auto dropped = r.accept("q", Bytes{1, 2, 3});  // even an invalid frame purges
  EXPECT_TRUE(dropped.error);
  ASSERT_EQ(dropped.expired.size(), 1u);
  EXPECT_EQ(dropped.expired[0], kId);
  EXPECT_EQ(r.size(), 1u);
}

TEST_F(Reassembly, SixtyFifthAssemblyEvictsTheLeastComplete) {
  // 64 assemblies from 8 peers (8 each), all at 1 of 3 frames except one
  // at 2 of 3; then a 65th message from a ninth peer.
  std::vector<std::vector<Bytes>> msgs;
  for (int i = 0; i < 64; ++i) {
    std::string id = "m" + std::to_string(i);
    msgs.push_back(split(id, pattern(400, uint8_t(i))));
    ASSERT_EQ(msgs.back().size(), 3u);
    auto s = r.accept("peer" + std::to_string(i % 8), msgs.back()[0]);
    EXPECT_FALSE(s.evicted);
    if (i != 5) clock.advance(std::chrono::milliseconds(100));
  }
  r.accept("peer5", msgs[5][1]);
  EXPECT_EQ(r.size(), 64u);
  // Frames of held messages never evict.
  EXPECT_FALSE(r.accept("peer1", msgs[1][1]).evicted);
  auto s = r.accept("peer-new", split("m64", pattern(300))[0]);
  ASSERT_TRUE(s.evicted);
  // Lowest score: 1/3 complete and the oldest among those (m0).
  EXPECT_EQ(s.evicted->message_id, "m0");
  EXPECT_EQ(s.evicted->peer_id, "peer0");
  EXPECT_EQ(s.evicted->completion_percent, 33);
  EXPECT_EQ(r.size(), 64u);
}

TEST_F(Reassembly, OnePeerEvictsOnlyItsOwnAssemblies) {
  for (int i = 0; i < 3; ++i) r.accept("victim", split("v" + std::to_string(i), pattern(300))[0]);
  for (size_t i = 0; i < kMaxAssembliesPerPeer + 10; ++i) {
    auto s = r.accept("flooder", split("f" + std::to_string(i), pattern(300))[0]);
    if (s.evicted) {
      EXPECT_EQ(s.evicted->peer_id, "flooder");
    }
  }
  EXPECT_EQ(r.assemblies_of("victim"), 3u);
  EXPECT_EQ(r.assemblies_of("flooder"), kMaxAssembliesPerPeer);
}

TEST_F(Reassembly, OversizeAssemblyIsDiscarded) {
  // 512 frames of 3000 bytes would exceed 1 MiB at frame 350.
  const Bytes chunk = pattern(3000);
  FragmentReassembler::Step last;
  int i = 0;
  for (; i < 512; ++i) {
    last = r.accept("p", frame(kId, uint16_t(i), 512, chunk));
    if (last.error) break;
  }
  ASSERT_TRUE(last.error);
  EXPECT_EQ(last.error->kind, TransportError::Kind::MessageTooLarge);
  EXPECT_EQ(i, 349);  // 350 * 3000 > 1048576
  EXPECT_EQ(last.error->message(),
            "Message too large: 1050000 bytes exceeds limit of 1048576 bytes");
  EXPECT_EQ(r.size(), 0u);
}

TEST_F(Reassembly, RepeatedIndexDoesNotGrowMemoryWithoutBound) {
  const Bytes chunk = pattern(60000);
  for (int i = 0; i < 300; ++i) r.accept("p", frame(kId, 0, 2, chunk));
  EXPECT_EQ(r.held_bytes(), 60000u);
  EXPECT_LE(r.buffered_bytes(), 2 * 60000u + 0x10000);
  EXPECT_EQ(r.size(), 1u);
}

TEST_F(Reassembly, LatencyFromFirstFragmentToCompletion) {
  auto frames = split(kId, pattern(300));
  r.accept("p", frames[0]);
  clock.advance(std::chrono::milliseconds(1234));
  r.accept("p", frames[1]);
  auto s = r.accept("p", frames[2]);
  ASSERT_EQ(s.latency_ms, 1234u);
  auto single = r.accept("p", frame(kId, 0, 1, pattern(3)));
  EXPECT_FALSE(single.latency_ms);
}

// Several peers send several messages each, with drops, duplicates and
// reordering: every message whose frames all arrive is delivered exactly
// once and with its own peer's bytes; nothing else is delivered; the table
// stays within its caps throughout.
TEST_F(Reassembly, RandomizedMultiPeerTraffic) {
  std::mt19937_64 rng(42);
  struct Sent {
    std::string peer, id;
    Bytes data;
  };
  for (int round = 0; round < 20; ++round) {
    std::vector<Sent> sent;
    std::vector<std::pair<size_t, Bytes>> wire;  // (message index, frame)
    std::set<size_t> complete_on_wire;
    for (int m = 0; m < 12; ++m) {
      std::string peer = "peer" + std::to_string(rng() % 5);
      // Ids collide across peers on purpose.
      std::string id = "id" + std::to_string(rng() % 4);
      bool taken = false;
      for (const Sent& s : sent) taken |= s.peer == peer && s.id == id;
      if (taken) continue;
      Bytes data = pattern(1 + rng() % 3000, uint8_t(rng()));
      size_t size = 60 + rng() % 200;
      auto frames = fragment_encoded(id, data, size);
      ASSERT_TRUE(frames.ok());
      bool dropped_any = false;
      for (Bytes& f : *frames) {
        int fate = int(rng() % 10);
        if (fate == 0 && frames->size() > 1) {
          dropped_any = true;
          continue;
        }
        wire.emplace_back(sent.size(), f);
        if (fate == 1) wire.emplace_back(sent.size(), f);  // duplicate
      }
      if (!dropped_any) complete_on_wire.insert(sent.size());
      sent.push_back(Sent{peer, id, std::move(data)});
    }
    std::shuffle(wire.begin(), wire.end(), rng);
    std::map<size_t, int> delivered;
    for (auto& [idx, f] : wire) {
      auto step = r.accept(sent[idx].peer, f);
      ASSERT_FALSE(step.error) << error_text(step);
      ASSERT_LE(r.size(), kMaxAssemblies);
      ASSERT_LE(r.held_bytes(), kMaxAssemblies * kMaxAssembledBytes);
      if (step.completed) {
        EXPECT_EQ(*step.completed, sent[idx].data) << "round " << round;
        ++delivered[idx];
      }
    }
    for (size_t i = 0; i < sent.size(); ++i) {
      // A duplicate frame arriving after completion opens a fresh assembly,
      // never a second delivery, because the rest of that copy never comes.
      EXPECT_EQ(delivered[i], complete_on_wire.contains(i) ? 1 : 0)
          << "round " << round << " message " << i;
    }
    clock.advance(std::chrono::seconds(31));
    r.accept("x", Bytes{});  // purge leftovers
    EXPECT_EQ(r.size(), 0u);
  }
}

}  // namespace
}  // namespace brenvik
