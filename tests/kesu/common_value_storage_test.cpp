// How values hold their payloads: short texts and byte strings inside the
// value, longer ones in shared blocks, and blocks recycled through the
// per-thread block pool, including blocks freed on another thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kesu/common/block_pool.h"
#include "kesu/common/value.h"

namespace kesu {
namespace {

std::string text_of(size_t n, char first) {
  std::string s(n, 'x');
  for (size_t i = 0; i < n; ++i) s[i] = char(first + i % 23);
  if (n > 2) s[1] = '\0';  // payloads are counted, not terminated
  return s;
}

// Lengths around the largest payload held inside the value.
TEST(KesuValueStorage, ShortAndLongPayloadsBehaveAlike) {
  const size_t inl = KesuValue::kInlineBytes;
  for (size_t n : {size_t(0), size_t(1), inl - 1, inl, inl + 1, size_t(300)}) {
    for (bool binary : {false, true}) {
      SCOPED_TRACE(std::to_string(n) + (binary ? " binary" : " string"));
      std::string s = text_of(n, 'a');
      auto make = [&](const std::string& t) {
        return binary ? KesuValue::binary_of(brenvik::as_bytes(t)) : KesuValue::string(t);
      };
      auto bytes_of = [&](const KesuValue& v) {
        return binary ? std::string(brenvik::as_chars(v.as_binary())) : std::string(v.as_string());
      };
      KesuValue v = make(s);
      EXPECT_EQ(v.type(), binary ? ValueType::Binary : ValueType::String);
      EXPECT_EQ(bytes_of(v), s);
      EXPECT_EQ(v.holds_block(), n > inl);

      // Copies are equal and hash alike; only block payloads are shared.
      KesuValue copy = v;
      EXPECT_EQ(copy, v);
      EXPECT_EQ(hash_value(copy), hash_value(v));
      EXPECT_EQ(copy.same_block(v), n > inl);
      EXPECT_EQ(make(s), v);
      if (n > 0) {
        std::string other = s;
        other.back() = char(other.back() + 1);
        EXPECT_FALSE(make(other) == v);
        EXPECT_NE(hash_value(make(other)), hash_value(v));
      }

      // Values moved around by a growing list still read their own bytes.
      KesuList list;
      for (int i = 0; i < 40; ++i) list.push_back(i % 2 ? copy : KesuValue(i));
      for (int i = 1; i < 40; i += 2) ASSERT_EQ(bytes_of(list[size_t(i)]), s);
      KesuValue moved = std::move(list[1]);
      EXPECT_TRUE(list[1].is_null());
      EXPECT_EQ(bytes_of(moved), s);

      // Taking the payload out leaves Null and the other copies intact.
      if (binary) {
        Bytes got = copy.take_binary();
        EXPECT_EQ(std::string(got.begin(), got.end()), s);
      } else {
        EXPECT_EQ(copy.take_string(), s);
      }
      EXPECT_TRUE(copy.is_null());
      EXPECT_EQ(bytes_of(v), s);
      EXPECT_EQ(bytes_of(moved), s);
    }
  }
}

// Builds a value whose blocks span several pool classes.
KesuValue build(int seed) {
  KesuList rows;
  for (int i = 0; i < 200; ++i) {
    KesuMap m;
    m["n"] = KesuValue(int64_t(seed * 1000 + i));
    m["long"] = KesuValue::string(text_of(40 + size_t(i % 50), char('a' + seed % 20)));
    m["tags"] = KesuValue::list({KesuValue(i), KesuValue::string("t")});
    rows.push_back(KesuValue::map(std::move(m)));
  }
  return KesuValue::list(std::move(rows));
}

bool intact(const KesuValue& v, int seed) {
  const KesuList& rows = v.as_list();
  if (rows.size() != 200) return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    const KesuMap& m = rows[i].as_map();
    if (m.at("n").as_i64() != seed * 1000 + int64_t(i)) return false;
    if (m.at("long").as_string() != text_of(40 + i % 50, char('a' + seed % 20))) return false;
    if (m.at("tags").as_list().size() != 2) return false;
  }
  return true;
}

// Values built on one thread are released on another, whose pool then hands
// those blocks out for values it builds itself, which go back to the first
// thread to be released there. Run under the address sanitizer, a block
// handed out while still in use, or used after it went back to a pool,
// fails the run.
TEST(KesuValueStorage, BlocksFreedOnAnotherThreadAreReusedSafely) {
  constexpr int kRounds = 20;
  std::vector<KesuValue> to_b, to_a;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 4; ++i) to_b.push_back(build(round * 4 + i));
    std::thread b([&] {
      for (int i = 0; i < 4; ++i) ASSERT_TRUE(intact(to_b[size_t(i)], round * 4 + i));
      // A copy kept on this thread while the original goes back: the block
      // must outlive both ends of the handover.
      KesuValue kept = to_b[0];
      to_b.clear();
      EXPECT_GT(block_pool::cached_bytes(), 0u);
      for (int i = 0; i < 4; ++i) to_a.push_back(build(1000 + round * 4 + i));
      EXPECT_TRUE(intact(kept, round * 4));
      to_a.push_back(std::move(kept));
    });
    b.join();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(intact(to_a[size_t(i)], 1000 + round * 4 + i));
    EXPECT_TRUE(intact(to_a[4], round * 4));
    to_a.clear();
  }
  // Blocks also flow both ways at once, each value shared by both threads.
  std::vector<KesuValue> shared;
  for (int i = 0; i < 8; ++i) shared.push_back(build(i));
  std::thread t([copy = shared]() mutable {
    for (int pass = 0; pass < 20; ++pass) {
      KesuValue v = build(pass);
      ASSERT_TRUE(intact(v, pass));
      for (size_t i = 0; i < copy.size(); ++i) ASSERT_TRUE(intact(copy[i], int(i)));
    }
    copy.clear();
  });
  for (int pass = 0; pass < 20; ++pass) {
    KesuValue v = build(100 + pass);
    ASSERT_TRUE(intact(v, 100 + pass));
  }
  shared.clear();
  t.join();
}

// What a thread keeps is bounded whatever it frees.
TEST(KesuValueStorage, PoolKeepsABoundedAmount) {
  std::thread([] {
    std::vector<KesuValue> many;
    // About 25 MB of blocks, well above what a thread may keep.
    for (int i = 0; i < 240; ++i) many.push_back(build(i));
    many.clear();
    EXPECT_GT(block_pool::cached_bytes(), block_pool::kMaxCachedBytes / 2);
    EXPECT_LE(block_pool::cached_bytes(), block_pool::kMaxCachedBytes);
    KesuValue again = build(7);
    EXPECT_TRUE(intact(again, 7));
  }).join();
}

}  // namespace
}  // namespace kesu
