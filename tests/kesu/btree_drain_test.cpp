// Draining ranges: what is handed out, what stays, and the repaired tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree_test_chunks.h"

namespace kesu::testing {
namespace {

SolidTree built(size_t n, size_t len = 1) {
  std::vector<Chunk> v;
  for (size_t i = 0; i < n; ++i) v.push_back(Chunk{std::string(len, char('a' + i % 26))});
  return SolidTree::build_from_elems(std::move(v));
}

std::optional<QueryResult> at(const SolidTree& t, size_t pos) {
  SolidFinder f(pos);
  return t.query(f);
}

std::string drain_all(SolidTree& t, size_t a, size_t b) {
  std::string out;
  auto d = t.drain(at(t, a), at(t, b));
  while (auto e = d.next()) out += e->s + "|";
  return out;
}

TEST(BTreeDrain, WholeSequence) {
  SolidTree t = built(300);
  ArenaSlotIndex root = t.root();
  std::string all = contents(t);
  std::string got;
  {
    auto d = t.drain(at(t, 0), at(t, 300));
    while (auto e = d.next()) got += e->s;
  }
  EXPECT_EQ(got, all);
  EXPECT_TRUE(t.is_empty());
  EXPECT_EQ(t.root(), root);
  EXPECT_EQ(t.root_cache(), ChunkCache{});
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.check_invariants(), "");
  t.push(Chunk{"again"});
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeDrain, InsideOneElementAndEmptyRanges) {
  SolidTree t;
  t.push(Chunk{"abcdefgh"});
  EXPECT_EQ(drain_all(t, 2, 5), "cde|");
  EXPECT_EQ(shape(t), "2,3");
  EXPECT_EQ(contents(t), "abfgh");
  // start == end inside an element: nothing comes out, the element stays split.
  SolidTree u;
  u.push(Chunk{"abcdefgh"});
  EXPECT_EQ(drain_all(u, 3, 3), "");
  EXPECT_EQ(shape(u), "3,5");
  EXPECT_EQ(u.check_invariants(), "");
  // A drain over an empty tree changes nothing.
  SolidTree e;
  {
    auto d = e.drain(at(e, 0), at(e, 0));
    EXPECT_FALSE(d.next());
  }
  EXPECT_TRUE(e.is_empty());
  EXPECT_EQ(e.check_invariants(), "");
}

TEST(BTreeDrain, ReleasingEarlyRemovesTheWholeRange) {
  for (size_t taken : {0u, 1u}) {
    SolidTree t = built(200, 2);
    std::string all = contents(t);
    {
      auto d = t.drain(at(t, 31), at(t, 333));
      for (size_t i = 0; i < taken; ++i) EXPECT_TRUE(d.next());
    }
    EXPECT_EQ(contents(t), all.substr(0, 31) + all.substr(333)) << taken;
    EXPECT_EQ(t.check_invariants(), "") << taken;
  }
}

TEST(BTreeDrain, AcrossTwoParents) {
  // Two leaf parents of 10: take the last 3 of the first and the first 3 of the second.
  SolidTree t = built(20);
  size_t nodes = t.internal_node_count();
  EXPECT_EQ(drain_all(t, 7, 13), "h|i|j|k|l|m|");
  EXPECT_EQ(t.internal_node_count(), nodes);
  EXPECT_EQ(contents(t), "abcdefgnopqrst");
  EXPECT_EQ(t.check_invariants(), "");
  // Emptying the whole first parent and part of the second removes the first.
  SolidTree u = built(30);
  size_t unodes = u.internal_node_count();
  drain_all(u, 0, 13);
  EXPECT_EQ(u.internal_node_count(), unodes - 1);
  EXPECT_EQ(u.size(), 17u);
  EXPECT_EQ(u.check_invariants(), "");
}

TEST(BTreeDrain, MostOfADeepTreeLosesLevels) {
  SolidTree t = built(1000);  // four levels
  ASSERT_EQ(t.depth(), 4u);
  ArenaSlotIndex root = t.root();
  drain_all(t, 5, 995);
  EXPECT_EQ(t.root(), root);
  EXPECT_EQ(t.size(), 10u);
  EXPECT_LT(t.depth(), 4u);
  EXPECT_EQ(contents(t), "abcdehijkl");
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeDrain, EveryRangeOfAThreeLevelTree) {
  // All ranges [a, b) of a tree of 150 one-character leaves, each on a fresh tree.
  const size_t n = 150;
  SolidTree ref = built(n);
  std::string all = contents(ref);
  for (size_t a = 0; a <= n; a += 7) {
    for (size_t b = a; b <= n; b += 5) {
      SolidTree t = built(n);
      std::string got;
      {
        auto d = t.drain(at(t, a), at(t, b));
        while (auto e = d.next()) got += e->s;
      }
      ASSERT_EQ(got, all.substr(a, b - a)) << a << ".." << b;
      ASSERT_EQ(contents(t), all.substr(0, a) + all.substr(b)) << a << ".." << b;
      ASSERT_EQ(t.check_invariants(), "") << a << ".." << b;
    }
  }
}

}  // namespace
}  // namespace kesu::testing
