#include "kesu/arena/arena.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace kesu {
namespace {

TEST(Arena, NewSlotsAreSequentialWithFirstGeneration) {
  Arena<std::string> a;
  for (uint32_t i = 0; i < 40; ++i) {
    ArenaSlotIndex h = a.insert(std::to_string(i));
    EXPECT_EQ(h.slot, i);
    EXPECT_EQ(h.generation, 1u);
  }
  EXPECT_EQ(a.len(), 40u);
  // Values stay addressable across segment boundaries.
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(*a.get({i, 1}), std::to_string(i));
}

TEST(Arena, FreedSlotsAreReusedLastFreedFirstUnderNewGeneration) {
  Arena<int> a;
  auto h0 = a.insert(10), h1 = a.insert(11);
  a.insert(12);
  ASSERT_EQ(a.remove(h1), 11);
  ASSERT_EQ(a.remove(h0), 10);
  auto n0 = a.insert(20), n1 = a.insert(21);
  EXPECT_EQ(n0, (ArenaSlotIndex{0, 2}));
  EXPECT_EQ(n1, (ArenaSlotIndex{1, 2}));
  auto n3 = a.insert(22);  // no free slot left: a new one
  EXPECT_EQ(n3, (ArenaSlotIndex{3, 1}));
  EXPECT_EQ(a.len(), 4u);
}

TEST(Arena, StaleHandleLooksUpNothing) {
  Arena<int> a;
  auto h = a.insert(5);
  ASSERT_TRUE(a.remove(h));
  EXPECT_EQ(a.get(h), nullptr);
  EXPECT_FALSE(a.remove(h));
  EXPECT_EQ(a.len(), 0u);
  auto h2 = a.insert(6);
  EXPECT_EQ(h2.slot, h.slot);
  EXPECT_EQ(h2.generation, h.generation + 1);
  EXPECT_EQ(a.get(h), nullptr);
  ASSERT_NE(a.get(h2), nullptr);
  EXPECT_EQ(*a.get(h2), 6);
  // A slot beyond the storage is not an error either.
  EXPECT_FALSE(a.remove({1000, 1}));
  EXPECT_EQ(a.get({1000, 1}), nullptr);
}

// A vacant entry stores 0 where a live one stores its generation, so a
// default handle (generation 0) must still look up nothing there; the spare
// word belongs to the value and starts at 0 on every reuse.
TEST(Arena, VacantEntriesAndTheSpareWord) {
  Arena<std::string> a;
  auto h0 = a.insert("a");
  auto h1 = a.insert("b");
  a.word_at(h0.slot) = 77;
  EXPECT_EQ(a.word_at(h0.slot), 77u);
  EXPECT_EQ(a.word_at(h1.slot), 0u);
  EXPECT_EQ(a.handle_at(h1.slot), h1);
  ASSERT_EQ(a.remove(h0), "a");
  for (ArenaSlotIndex zero : {ArenaSlotIndex{0, 0}, ArenaSlotIndex{5, 0}}) {
    EXPECT_EQ(a.get(zero), nullptr);
    EXPECT_FALSE(a.remove(zero));
    EXPECT_FALSE(a.erase(zero));
  }
  EXPECT_THROW(a.word_at(h0.slot), InvariantViolation);
  EXPECT_THROW(a.handle_at(h0.slot), InvariantViolation);
  EXPECT_THROW(a.word_at(9), InvariantViolation);
  auto again = a.insert("c");
  EXPECT_EQ(again, (ArenaSlotIndex{0, 2}));
  EXPECT_EQ(a.word_at(again.slot), 0u);
  EXPECT_EQ(*a.get(again), "c");
  EXPECT_EQ(a.len(), 2u);
}

TEST(Arena, GenerationWrapsToOneNeverZero) {
  EXPECT_EQ(next_generation(1), 2u);
  EXPECT_EQ(next_generation(UINT32_MAX - 1), UINT32_MAX);
  EXPECT_EQ(next_generation(UINT32_MAX), 1u);
}

TEST(Arena, Get2MutCases) {
  Arena<int> a;
  auto h0 = a.insert(1);
  auto h1 = a.insert(2);
  auto [p, q] = a.get2_mut(h0, h1);
  ASSERT_TRUE(p && q);
  std::swap(*p, *q);
  EXPECT_EQ(*a.get(h0), 2);
  // Two handles of one slot: the live one on its side, nothing on the other.
  ASSERT_TRUE(a.remove(h0));
  auto n0 = a.insert(7);
  auto [x, y] = a.get2_mut(h0, n0);
  EXPECT_EQ(x, nullptr);
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(*y, 7);
  auto [x2, y2] = a.get2_mut(n0, h0);
  ASSERT_NE(x2, nullptr);
  EXPECT_EQ(y2, nullptr);
  // A slot equal to the storage length is allowed and finds nothing.
  auto [u, v] = a.get2_mut(h1, {2, 1});
  EXPECT_NE(u, nullptr);
  EXPECT_EQ(v, nullptr);
}

TEST(Arena, Get2MutFatalCases) {
  Arena<int> a;
  auto h = a.insert(1);
  try {
    a.get2_mut(h, h);
    FAIL() << "identical handles accepted";
  } catch (const InvariantViolation& p) {
    EXPECT_STREQ(p.what(), "Arena::get2_mut is called with two identical indices");
  }
  try {
    a.get2_mut(h, {5, 1});
    FAIL() << "slot past the storage accepted";
  } catch (const InvariantViolation& p) {
    EXPECT_STREQ(p.what(), "mid > len");
  }
}

TEST(Arena, DropsRemainingValuesAndMovedOutOnes) {
  auto counted = std::make_shared<int>(0);
  {
    Arena<std::shared_ptr<int>> a;
    auto h = a.insert(counted);
    a.insert(counted);
    a.insert(counted);
    EXPECT_EQ(counted.use_count(), 4);
    a.remove(h);
    EXPECT_EQ(counted.use_count(), 3);
    Arena<std::shared_ptr<int>> b(std::move(a));
    EXPECT_EQ(b.len(), 2u);
    EXPECT_EQ(counted.use_count(), 3);
  }
  EXPECT_EQ(counted.use_count(), 1);
}

TEST(Arena, DebugForm) {
  EXPECT_EQ(debug_string(ArenaSlotIndex{3, 1}), "Index { slot: 3, generation: Generation(1) }");
  EXPECT_EQ(debug_string(ArenaSlotIndex{255, 7}, true),
            "Index { slot: ff, generation: Generation(7) }");
}

}  // namespace
}  // namespace kesu

namespace kesu {
namespace {

// Large segments of released arenas are kept for the next arena of the same
// shape. A kept segment must be handed to one arena at a time, and the thread
// must never keep more than its bound.
TEST(ArenaSegmentCache, ReusedSegmentsServeOneArenaAtATimeWithinTheBound) {
  struct Big {
    uint64_t tag;
    std::array<uint64_t, 7> pad;
  };
  // Past the doubling segments, so that fixed segments of 4096 entries
  // (hundreds of kilobytes) are allocated and released.
  constexpr uint32_t kCount = 8176 + 3 * 4096;
  auto fill = [](Arena<Big>& a, uint64_t base) {
    for (uint32_t i = 0; i < kCount; ++i) a.insert(Big{base + i, {}});
  };
  auto check = [](const Arena<Big>& a, uint64_t base) {
    for (uint32_t i = 0; i < kCount; ++i) {
      const Big* b = a.get({i, 1});
      if (!b || b->tag != base + i) return false;
    }
    return true;
  };
  {
    Arena<Big> first;
    fill(first, 0);
  }
  size_t kept = arena_detail::segment_cache_bytes();
  EXPECT_GT(kept, 0u);
  EXPECT_LE(kept, arena_detail::kSegmentCacheBytes);
  {
    // Two live arenas at once: if one segment were handed out twice, the
    // second fill would overwrite the first arena's values.
    Arena<Big> b, c;
    fill(b, 1000000);
    fill(c, 2000000);
    EXPECT_TRUE(check(b, 1000000));
    EXPECT_TRUE(check(c, 2000000));
  }
  // Releasing far more than the bound keeps no more than the bound.
  {
    std::vector<std::unique_ptr<Arena<Big>>> many;
    for (int k = 0; k < 12; ++k) {
      many.push_back(std::make_unique<Arena<Big>>());
      fill(*many.back(), 0);
    }
  }
  EXPECT_LE(arena_detail::segment_cache_bytes(), arena_detail::kSegmentCacheBytes);
  EXPECT_GT(arena_detail::segment_cache_bytes(), arena_detail::kSegmentCacheBytes / 2);
}

}  // namespace
}  // namespace kesu

namespace kesu {
namespace {

// A cache filled by arenas of one size must not turn away the segments of
// another: the blocks released last are the ones kept, so that the arenas a
// thread builds now find their storage there instead of in fresh pages.
TEST(ArenaSegmentCache, RecentSegmentsDisplaceOldOnes) {
  struct Wide {
    uint64_t tag;
    std::array<uint64_t, 40> pad;
  };
  struct Narrow {
    uint64_t tag;
    std::array<uint64_t, 9> pad;
  };
  constexpr uint32_t kCount = 8176 + 4 * 4096;
  {
    // Wide arenas alone fill the cache to its bound.
    std::vector<std::unique_ptr<Arena<Wide>>> many;
    for (int k = 0; k < 4; ++k) {
      many.push_back(std::make_unique<Arena<Wide>>());
      for (uint32_t i = 0; i < kCount; ++i) many.back()->insert(Wide{i, {}});
    }
  }
  ASSERT_GT(arena_detail::segment_cache_bytes(), arena_detail::kSegmentCacheBytes / 2);
  {
    Arena<Narrow> a;
    for (uint32_t i = 0; i < kCount; ++i) a.insert(Narrow{i, {}});
  }
  const size_t before = arena_detail::segment_cache_bytes();
  EXPECT_LE(before, arena_detail::kSegmentCacheBytes);
  {
    // The same arena again takes its large segments back out of the cache.
    Arena<Narrow> b;
    for (uint32_t i = 0; i < kCount; ++i) b.insert(Narrow{i, {}});
    EXPECT_LT(arena_detail::segment_cache_bytes(), before);
  }
}

}  // namespace
}  // namespace kesu
