// Removal, rebalancing of lacking nodes and collapsing of the root.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree_test_chunks.h"

namespace kesu::testing {
namespace {

SolidTree built(size_t n) {
  std::vector<Chunk> v;
  for (size_t i = 0; i < n; ++i) v.push_back(Chunk{std::string(1, char('a' + i % 26))});
  return SolidTree::build_from_elems(std::move(v));
}

Cursor at(const SolidTree& t, size_t pos) {
  SolidFinder f(pos);
  return t.query(f)->cursor;
}

// Drops the last `k` leaves of an internal node without any rebalancing, so
// that a test can shape sibling counts before calling handle_lack itself.
void drop_tail(SolidTree& t, ArenaSlotIndex n, size_t k) {
  const auto& node = t.node(n);
  std::vector<ArenaIndex> gone;
  for (size_t i = node.len - k; i < node.len; ++i) gone.push_back(t.child_index(node, i));
  for (auto g : gone) t.purge(g);
  t.remove_dead_children(n);
  t.recursive_update_cache(ArenaIndex::internal(n), std::nullopt);
}

std::string counts(const SolidTree& t) {
  const auto& r = t.node(t.root());
  std::string out;
  for (size_t i = 0; i < r.len; ++i) {
    if (!out.empty()) out += '/';
    out += std::to_string(r.leaf_children ? 1 : t.node(t.child_index(r, i).index).len);
  }
  return out;
}

TEST(BTreeRemove, HandleLackTable) {
  struct Case {
    size_t left, right;
    bool lacking_is_left;
    std::string after;
  };
  const Case cases[] = {
      {5, 6, true, "11"},     // merge into one node
      {5, 7, true, "6/6"},    // borrow one from the right
      {1, 11, true, "6/6"},   // borrow five from the right
      {11, 2, false, "7/6"},  // lend four to the right
  };
  for (const auto& c : cases) {
    // Two leaf parents of 10 each, grown to 11 where the case needs it.
    SolidTree t = built(20);
    const auto& root = t.node(t.root());
    ArenaSlotIndex l = t.child_index(root, 0).index, r = t.child_index(root, 1).index;
    if (c.right == 11) t.push(Chunk{"r"});
    if (c.left == 11) t.insert_by_path(at(t, 0), Chunk{"l"});
    ASSERT_EQ(counts(t),
              std::to_string(c.left > 10 ? 11 : 10) + "/" + std::to_string(c.right > 10 ? 11 : 10));
    if (c.left < 10) drop_tail(t, l, 10 - c.left);
    if (c.right < 10) drop_tail(t, r, 10 - c.right);
    ASSERT_EQ(t.check_invariants(), "");
    std::string before = contents(t);
    std::optional<ArenaSlotIndex> next = t.handle_lack(c.lacking_is_left ? l : r);
    if (c.after == "11") {
      // The parent (the root) now holds one child and is handed back.
      ASSERT_EQ(next, t.root());
      EXPECT_EQ(counts(t), "11");
      EXPECT_FALSE(t.handle_lack(*next));  // the root collapses one level
      EXPECT_EQ(t.depth(), 2u);
      EXPECT_TRUE(t.contains_internal(c.lacking_is_left ? r : l) == false);
    } else {
      EXPECT_EQ(counts(t), c.after) << c.left << "/" << c.right;
      // The root holds fewer than 6 children, so it is handed back; the
      // caller's next call on the root ends the loop.
      ASSERT_EQ(next, t.root());
      EXPECT_FALSE(t.handle_lack(*next));
      EXPECT_EQ(counts(t), c.after);
    }
    EXPECT_EQ(contents(t), before);
    EXPECT_EQ(t.check_invariants(), "") << c.left << "/" << c.right;
  }
}

TEST(BTreeRemove, RemovingTheOnlyLeafEmptiesTheTree) {
  SolidTree t;
  ArenaSlotIndex root = t.root();
  Cursor c = t.push(Chunk{"a"});
  auto e = t.remove_leaf(c.leaf);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->s, "a");
  EXPECT_TRUE(t.is_empty());
  EXPECT_EQ(t.root(), root);
  EXPECT_EQ(t.root_cache(), ChunkCache{});
  EXPECT_FALSE(t.remove_leaf(c.leaf));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeRemove, EmptiedParentsGoUpToTheRoot) {
  // 11 elements: the second leaf parent holds a single leaf.
  SolidTree t = built(11);
  ASSERT_EQ(counts(t), "10/1");
  size_t nodes = t.internal_node_count();
  t.remove_leaf(at(t, 10).leaf);
  EXPECT_EQ(t.internal_node_count(), nodes - 2);  // the parent, then the root collapsed
  EXPECT_EQ(t.depth(), 2u);
  EXPECT_EQ(t.size(), 10u);
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeRemove, NodeWithoutChildrenIsTakenOutAndItsParentReturned) {
  SolidTree t = built(60);  // root -> 6 nodes of 10
  ArenaSlotIndex third = t.child_index(t.node(t.root()), 2).index;
  drop_tail(t, third, 10);
  auto next = t.handle_lack(third);
  EXPECT_EQ(next, t.root());
  EXPECT_EQ(t.node(t.root()).len, 5);
  EXPECT_FALSE(t.contains_internal(third));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeRemove, RootChainCollapsesInOneCall) {
  SolidTree t = built(1000);  // root -> 10 -> 10 -> 10 leaves
  ASSERT_EQ(t.depth(), 4u);
  ArenaSlotIndex root = t.root();
  auto drop_all_but_first = [&](ArenaSlotIndex n) {
    const auto& node = t.node(n);
    std::vector<ArenaIndex> gone;
    for (size_t i = 1; i < node.len; ++i) gone.push_back(t.child_index(node, i));
    for (auto g : gone) t.purge(g);
    t.remove_dead_children(n);
  };
  drop_all_but_first(root);
  ArenaSlotIndex a = t.child_index(t.node(root), 0).index;
  drop_all_but_first(a);
  ArenaSlotIndex b = t.child_index(t.node(a), 0).index;
  t.try_reduce_levels();
  // The purges above left the root's aggregate to the caller.
  t.recursive_update_cache(ArenaIndex::internal(root), std::nullopt);
  EXPECT_EQ(t.root(), root);
  EXPECT_EQ(t.depth(), 2u);
  EXPECT_EQ(t.node(root).len, 10);
  EXPECT_FALSE(t.contains_internal(a));
  EXPECT_FALSE(t.contains_internal(b));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeRemove, RemovingEveryLeafInRandomOrderKeepsTheTreeSound) {
  SolidTree t = built(700);
  std::vector<LeafIndex> leaves;
  for (size_t i = 0; i < 700; ++i) leaves.push_back(at(t, i).leaf);
  uint64_t x = 88172645463325252ull;
  for (size_t i = leaves.size(); i > 1; --i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    std::swap(leaves[i - 1], leaves[x % i]);
  }
  for (size_t i = 0; i < leaves.size(); ++i) {
    ASSERT_TRUE(t.remove_leaf(leaves[i]));
    ASSERT_EQ(t.check_invariants(), "") << i;
    ASSERT_EQ(size_t(t.root_cache().len), 700 - i - 1);
  }
  EXPECT_TRUE(t.is_empty());
  EXPECT_EQ(t.internal_node_count(), 1u);
}

}  // namespace
}  // namespace kesu::testing
