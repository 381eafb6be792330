#include "reliability/deduplicator.h"

#include <gtest/gtest.h>

#include <charconv>
#include <random>
#include <vector>

#include "util/hash.h"

namespace brenvik {
namespace {

// prefix followed by n (built by appending, which GCC 12 does not misread
// as an overlapping copy the way it does literal + string).
std::string named(std::string_view prefix, uint64_t n) {
  std::string s(prefix);
  s.append(std::to_string(n));
  return s;
}

using std::chrono::milliseconds;
using std::chrono::seconds;

DedupConfig exact(uint64_t max, uint64_t retention = 604'800) {
  DedupConfig c;
  c.max_tracked_messages = max;
  c.retention_time_secs = retention;
  return c;
}

TEST(BloomHashesTest, Fnv1aVectors) {
  // FNV-1a 64 reference values (offset basis 0xcbf29ce484222325).
  const std::pair<const char*, uint64_t> cases[] = {
      {"", 0xcbf29ce484222325ull},
      {"a", 0xaf63dc4c8601ec8cull},
      {"foobar", 0x85944171f73967e8ull},
  };
  for (auto [text, h] : cases) {
    EXPECT_EQ(fnv1a64(std::string_view(text)), h) << text;
    EXPECT_EQ(bloom_hashes(text).h1, h) << text;
  }
  // The second hash starts from 0x5f356495 and is forced odd.
  EXPECT_EQ(bloom_hashes("").h2, 0x5f356495ull);
  uint64_t h = 0x5f356495ull;
  h = (h ^ 'a') * 0x100000001b3ull;
  EXPECT_EQ(bloom_hashes("a").h2, h | 1);
}

TEST(DeduplicatorTest, EvictionPrefersSentIdsThenStalest) {
  ManualClock clock;
  Deduplicator d(exact(2), clock);
  EXPECT_TRUE(d.check_seen("A"));  // received: persisted
  clock.advance(seconds(1));
  EXPECT_TRUE(d.mark_seen("B"));  // sent
  clock.advance(seconds(1));
  EXPECT_TRUE(d.mark_seen("C"));  // full: B goes although A is older
  EXPECT_TRUE(d.is_duplicate("A"));
  EXPECT_FALSE(d.is_duplicate("B"));
  EXPECT_TRUE(d.is_duplicate("C"));
  EXPECT_FALSE(d.check_seen("A"));
  auto exported = d.export_seen(10);
  ASSERT_EQ(exported.size(), 1u);
  EXPECT_EQ(exported[0].seen_at_ms, clock.wall_unix_ms() - 2000);  // A keeps its time
}

TEST(DeduplicatorTest, TouchMovesToTheBackOfEviction) {
  ManualClock clock;
  Deduplicator d(exact(3), clock);
  for (const char* k : {"x", "y", "z"}) {
    d.mark_seen(k);
    clock.advance(seconds(1));
  }
  EXPECT_TRUE(d.touch("x"));
  EXPECT_FALSE(d.touch("unknown"));
  EXPECT_FALSE(d.is_duplicate("unknown"));
  d.mark_seen("w");  // evicts y, the stalest now
  EXPECT_TRUE(d.is_duplicate("x"));
  EXPECT_FALSE(d.is_duplicate("y"));
}

TEST(DeduplicatorTest, RetentionBoundary) {
  ManualClock clock;
  Deduplicator d(exact(100, 3600), clock);
  d.check_seen("old");
  clock.advance(seconds(1));
  d.check_seen("young");
  clock.advance(seconds(3599));
  EXPECT_EQ(d.expire(), 1u);
  EXPECT_FALSE(d.is_duplicate("old"));
  EXPECT_TRUE(d.is_duplicate("young"));
}

TEST(DeduplicatorTest, FullMapDropsExpiredBeforeEvicting) {
  ManualClock clock;
  Deduplicator d(exact(2, 10), clock);
  d.check_seen("p1");
  clock.advance(seconds(5));
  d.check_seen("p2");
  clock.advance(seconds(5));  // p1 is now exactly 10 s old
  d.check_seen("p3");
  EXPECT_FALSE(d.is_duplicate("p1"));
  EXPECT_TRUE(d.is_duplicate("p2"));
  EXPECT_TRUE(d.is_duplicate("p3"));
}

TEST(DeduplicatorTest, ForgetAndClockGoingBack) {
  ManualClock clock;
  Deduplicator d(exact(3), clock);
  d.mark_seen("a");
  clock.set_wall_unix_ns(clock.wall_unix_ns() - 5'000'000'000);  // wall clock set back
  d.mark_seen("b");
  d.mark_seen("c");
  EXPECT_TRUE(d.forget("c"));
  EXPECT_FALSE(d.forget("c"));
  d.mark_seen("d");
  d.mark_seen("e");  // evicts the smallest last_seen: b (set back), not a
  EXPECT_TRUE(d.is_duplicate("a"));
  EXPECT_FALSE(d.is_duplicate("b"));
}

TEST(DeduplicatorTest, ExportOrderAndLimit) {
  ManualClock clock(0);
  Deduplicator d(exact(10), clock);
  clock.advance(milliseconds(5));
  d.check_seen("z5");
  clock.advance(milliseconds(2));
  d.check_seen("y");
  d.check_seen("x");
  d.mark_seen("sent");
  auto all = d.export_seen(10);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], (SeenId{"x", 7}));
  EXPECT_EQ(all[1], (SeenId{"y", 7}));
  EXPECT_EQ(all[2], (SeenId{"z5", 5}));
  auto one = d.export_seen(1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].id, "x");
}

TEST(DeduplicatorTest, RestoreStopsWhenFullAndSkipsBadEntries) {
  ManualClock clock;
  const int64_t now_ms = clock.wall_unix_ms();
  Deduplicator d(exact(5000, 3600), clock);
  std::vector<SeenId> list;
  list.push_back({"too-old", now_ms - 3600 * 1000});
  list.push_back({"unrepresentable", std::numeric_limits<int64_t>::max()});
  for (int i = 0; i < 6000; ++i) list.push_back({named("id", i), now_ms - i});
  list.insert(list.begin() + 3, SeenId{"id0", now_ms});  // a repeat is skipped
  EXPECT_EQ(d.restore_seen(list), 5000u);
  EXPECT_TRUE(d.is_duplicate("id4999"));
  EXPECT_FALSE(d.is_duplicate("id5000"));
  EXPECT_FALSE(d.is_duplicate("too-old"));
  // Restored entries are persisted and age by their own times.
  clock.advance(milliseconds(3600 * 1000 - 4999));
  EXPECT_EQ(d.expire(), 1u);
  EXPECT_FALSE(d.is_duplicate("id4999"));
  EXPECT_EQ(d.export_seen(10000).size(), 4999u);
}

TEST(DeduplicatorTest, UpdateConfigKeepsNewestWithinNewRetention) {
  ManualClock clock;
  Deduplicator d(exact(100), clock);
  d.check_seen("day-old");
  clock.advance(seconds(86'400 - 1800));
  d.check_seen("half-hour");
  clock.advance(seconds(900));
  d.mark_seen("quarter");
  clock.advance(seconds(900));
  d.check_seen("now");
  d.update_config(exact(2, 3600));
  EXPECT_FALSE(d.is_duplicate("day-old"));
  EXPECT_FALSE(d.is_duplicate("half-hour"));  // within the hour but beyond the new size
  EXPECT_TRUE(d.is_duplicate("quarter"));
  EXPECT_TRUE(d.is_duplicate("now"));
  // Persistence flags survive: only "now" is exported.
  ASSERT_EQ(d.export_seen(10).size(), 1u);

  DedupConfig bloom;
  bloom.use_bloom_filter = true;
  d.update_config(bloom);
  EXPECT_TRUE(d.bloom_mode());
  EXPECT_FALSE(d.is_duplicate("now"));  // a change of mode starts empty
  d.update_config(exact(10));
  EXPECT_FALSE(d.bloom_mode());
  EXPECT_EQ(d.size(), 0u);
}

TEST(DeduplicatorTest, BloomRotation) {
  ManualClock clock;
  DedupConfig c;
  c.use_bloom_filter = true;
  Deduplicator d(c, clock);
  ASSERT_TRUE(d.bloom_mode());
  EXPECT_TRUE(d.check_seen("k"));
  EXPECT_FALSE(d.check_seen("k"));
  EXPECT_FALSE(d.forget("k"));
  clock.advance(seconds(2000));
  EXPECT_TRUE(d.touch("k"));  // one rotation clears slot 1 only
  for (int i = 0; i < 3; ++i) {
    clock.advance(seconds(900));
    d.touch("other");
  }
  EXPECT_FALSE(d.is_duplicate("k"));
  EXPECT_EQ(d.expire(), 0u);
  EXPECT_TRUE(d.export_seen(10).empty());
  EXPECT_EQ(d.restore_seen({{"x", clock.wall_unix_ms()}}), 0u);
}

TEST(DeduplicatorTest, BloomSizesFromTheHostAreCapped) {
  DedupConfig c;
  c.use_bloom_filter = true;
  c.bloom_filter_bits = uint64_t(1) << 62;
  c.bloom_hash_count = uint64_t(1) << 40;
  c.bloom_filter_count = 1;
  Deduplicator d(c);
  EXPECT_TRUE(d.check_seen("k"));  // neither an allocation failure nor an endless loop
  EXPECT_TRUE(d.is_duplicate("k"));
}

TEST(DeduplicatorTest, Stats) {
  ManualClock clock;
  Deduplicator d(exact(8), clock);
  d.check_seen("a");
  clock.advance(seconds(61));
  d.check_seen("b");
  d.mark_seen("c");
  auto s = d.stats();
  EXPECT_EQ(s.tracked, 3u);
  EXPECT_EQ(s.recent, 2u);
  EXPECT_EQ(s.usage_percent, 37);
  EXPECT_EQ(s.strategy, "HashMap");
  EXPECT_FALSE(s.false_positive_rate);

  DedupConfig c;
  c.use_bloom_filter = true;
  c.bloom_filter_bits = 700;
  c.bloom_hash_count = 7;
  Deduplicator b(c, clock);
  for (int i = 0; i < 30; ++i) b.check_seen(named("k", i));
  auto bs = b.stats();
  EXPECT_EQ(bs.strategy, "BloomFilter");
  EXPECT_EQ(bs.recent, bs.tracked);
  EXPECT_LE(bs.tracked, 30u);
  EXPECT_EQ(bs.usage_percent, bs.tracked);  // capacity 700 / 7 = 100 keys
  ASSERT_TRUE(bs.false_positive_rate);
  EXPECT_GT(*bs.false_positive_rate, 0.0);
}

// The exact map against a plain model under random traffic: same answers,
// never more than the maximum.
TEST(DeduplicatorTest, MatchesModelUnderRandomTraffic) {
  ManualClock clock;
  Deduplicator d(exact(50, 30), clock);
  struct E {
    int64_t first, last;
    bool persist;
  };
  std::map<std::string, E> model;
  std::mt19937_64 rng(3);
  for (int step = 0; step < 20000; ++step) {
    clock.advance(milliseconds(rng() % 500));
    std::string k = named("k", rng() % 120);
    const int64_t now = clock.wall_unix_ns();
    switch (rng() % 4) {
      case 0:
      case 1: {
        bool persist = rng() % 2;
        bool expect_new = !model.contains(k);
        if (expect_new && model.size() >= 50) {
          for (auto it = model.begin(); it != model.end();) {
            it = it->second.first <= now - 30'000'000'000 ? model.erase(it) : std::next(it);
          }
          if (model.size() >= 50) {
            auto victim = model.begin();
            for (auto it = model.begin(); it != model.end(); ++it) {
              if (std::pair(it->second.persist, it->second.last) <
                  std::pair(victim->second.persist, victim->second.last)) {
                victim = it;
              }
            }
            model.erase(victim);
          }
        }
        if (expect_new) model[k] = E{now, now, persist};
        ASSERT_EQ(d.check_and_record(k, persist), expect_new) << step;
        break;
      }
      case 2:
        if (model.contains(k)) model[k].last = now;
        ASSERT_EQ(d.touch(k), model.contains(k)) << step;
        break;
      case 3:
        ASSERT_EQ(d.forget(k), model.erase(k) == 1) << step;
        break;
    }
    ASSERT_LE(d.size(), 50u);
    ASSERT_EQ(d.size(), model.size()) << step;
  }
}

// Ids whose hashes agree in the bits that pick the lookup filter's slot, so
// that one slot holds more ids than its count can express.
std::vector<std::string> ids_sharing_a_filter_slot(size_t n) {
  std::vector<std::string> out;
  char buf[32] = "crowd-";
  for (uint64_t i = 0; out.size() < n; ++i) {
    auto end = std::to_chars(buf + 6, buf + sizeof buf, i).ptr;
    std::string_view id(buf, size_t(end - buf));
    if (((std::hash<std::string_view>{}(id) >> 20) & 0x7fff) == 0x1234) out.emplace_back(id);
  }
  return out;
}

TEST(DeduplicatorTest, CrowdedLookupSlotNeverHidesAStoredId) {
  const std::vector<std::string> ids = ids_sharing_a_filter_slot(300);
  ManualClock clock;
  Deduplicator d(exact(1000), clock);
  for (const std::string& id : ids) ASSERT_TRUE(d.check_and_record(id, false)) << id;
  // Forgetting more ids than a saturated count could track must not make
  // the survivors look new.
  for (size_t i = 0; i < 280; ++i) ASSERT_TRUE(d.forget(ids[i])) << i;
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(d.is_duplicate(ids[i]), i >= 280) << i;
    EXPECT_EQ(d.touch(ids[i]), i >= 280) << i;
  }
  // Below the ceiling the count is exact: after the last id leaves, a new
  // one in the same slot is new, and one recorded again is a duplicate.
  Deduplicator small(exact(1000), clock);
  for (size_t i = 0; i < 10; ++i) ASSERT_TRUE(small.check_and_record(ids[i], false));
  for (size_t i = 0; i < 10; ++i) ASSERT_TRUE(small.forget(ids[i]));
  EXPECT_FALSE(small.is_duplicate(ids[0]));
  EXPECT_TRUE(small.check_and_record(ids[0], false));
  EXPECT_FALSE(small.check_and_record(ids[0], false));
}

// A full map hands the evicted entry's node to the new id; lookups of both
// the evicted and the new id must follow.
TEST(DeduplicatorTest, EvictionReusesTheNodeForTheNewId) {
  ManualClock clock;
  Deduplicator d(exact(3), clock);
  for (int i = 0; i < 10; ++i) {
    clock.advance(milliseconds(1));
    ASSERT_TRUE(d.check_and_record(named("e", i), false)) << i;
    EXPECT_TRUE(d.is_duplicate(named("e", i))) << i;
    if (i >= 3) {
      EXPECT_FALSE(d.is_duplicate(named("e", i - 3))) << i;
    }
  }
}

TEST(SeenWindowTest, CapacityAndExpiry) {
  ManualClock clock;
  SeenWindow w(2, seconds(600), clock);
  EXPECT_FALSE(w.check_and_insert("k1"));
  EXPECT_FALSE(w.check_and_insert("k2"));
  EXPECT_FALSE(w.check_and_insert("k3"));  // evicts k1
  EXPECT_FALSE(w.check_and_insert("k1"));  // new again, evicts k2
  EXPECT_FALSE(w.contains("k2"));
  EXPECT_TRUE(w.contains("k3"));

  SeenWindow t(10, seconds(600), clock);
  EXPECT_FALSE(t.check_and_insert("a"));
  clock.advance(seconds(599));
  EXPECT_TRUE(t.check_and_insert("a"));
  clock.advance(seconds(1));
  EXPECT_FALSE(t.contains("a"));
  EXPECT_EQ(t.size(), 1u);                // still stored until the next prune
  EXPECT_FALSE(t.check_and_insert("a"));  // expired: inserted anew
  t.remove("a");
  EXPECT_FALSE(t.check_and_insert("a"));
  t.remove("absent");

  SeenWindow zero(0, seconds(1), clock);
  EXPECT_EQ(zero.max_entries(), 1u);
  zero.check_and_insert("x");
  zero.check_and_insert("y");
  EXPECT_EQ(zero.size(), 1u);
}

TEST(SeenWindowTest, PruneStopsAtFirstYoungKeyAndRemoveKeepsOrder) {
  ManualClock clock;
  SeenWindow w(10, seconds(10), clock);
  w.check_and_insert("a");
  clock.advance(seconds(5));
  w.check_and_insert("b");
  w.check_and_insert("c");
  w.remove("b");
  clock.advance(seconds(6));
  w.prune_expired(clock.monotonic());
  EXPECT_EQ(w.size(), 1u);
  EXPECT_EQ(w.pop_oldest(), "c");
  EXPECT_EQ(w.pop_oldest(), std::nullopt);
}

}  // namespace
}  // namespace brenvik
