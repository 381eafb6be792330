// Queries, paths, neighbours and iteration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree_test_chunks.h"

namespace kesu::testing {
namespace {

// One element per length, letters a, b, c, ... so that results can be named.
SolidTree make(std::vector<size_t> lens) {
  SolidTree t;
  char c = 'a';
  for (size_t n : lens) t.push(Chunk{std::string(n, c++)});
  return t;
}

SolidTree build(size_t n) {
  std::vector<Chunk> v;
  for (size_t i = 0; i < n; ++i) v.push_back(Chunk{std::string(1 + i % 3, char('a' + i % 26))});
  return SolidTree::build_from_elems(std::move(v));
}

char name(const SolidTree& t, LeafIndex l) {
  const std::string& s = t.get_elem(l).s;
  return s.empty() ? '0' : s[0];
}

struct QueryCase {
  std::vector<size_t> lens;
  size_t target;
  bool left_biased;
  char leaf;
  size_t offset;
  bool found;
};

TEST(BTreeQuery, LengthFinderTable) {
  const QueryCase cases[] = {
      {{3, 4}, 0, false, 'a', 0, true},    {{3, 4}, 2, false, 'a', 2, true},
      {{3, 4}, 3, false, 'b', 0, true},    {{3, 4}, 6, false, 'b', 3, true},
      {{3, 4}, 7, false, 'b', 4, false},   {{3, 4}, 9, false, 'b', 6, false},
      {{3, 4}, 3, true, 'a', 3, false},    {{3, 4}, 0, true, 'a', 0, true},
      {{3, 4}, 7, true, 'b', 4, false},    {{2, 0, 3}, 2, false, 'c', 0, true},
      {{2, 0, 3}, 1, false, 'a', 1, true}, {{0, 0, 4}, 0, false, 'c', 0, true},
  };
  for (const auto& c : cases) {
    SolidTree t = make(c.lens);
    std::optional<QueryResult> r;
    if (c.left_biased) {
      LengthFinder<SolidTrait, RleMeasure<SolidTrait>, true> f(c.target);
      r = t.query(f);
    } else {
      SolidFinder f(c.target);
      r = t.query(f);
    }
    ASSERT_TRUE(r);
    EXPECT_EQ(name(t, r->cursor.leaf), c.leaf) << c.target;
    EXPECT_EQ(r->cursor.offset, c.offset) << c.target;
    EXPECT_EQ(r->found, c.found) << c.target;
  }
}

TEST(BTreeQuery, DeepTreeFindsEveryPosition) {
  SolidTree t = build(500);
  std::vector<std::pair<LeafIndex, size_t>> expect;  // (leaf, offset) of every position
  size_t pos = 0;
  auto it = t.iter();
  // Walk leaves through a query at each element start, then every offset.
  size_t total = size_t(t.root_cache().len);
  while (pos < total) {
    SolidFinder f(pos);
    auto r = t.query(f);
    ASSERT_TRUE(r && r->found);
    ASSERT_EQ(r->cursor.offset, 0u) << pos;
    const auto* e = it.next();
    ASSERT_EQ(&t.get_elem(r->cursor.leaf), e);
    for (size_t k = 1; k < e->s.size(); ++k) {
      SolidFinder g(pos + k);
      auto q = t.query(g);
      ASSERT_TRUE(q && q->found);
      EXPECT_EQ(q->cursor, (Cursor{r->cursor.leaf, k}));
    }
    EXPECT_EQ(t.index_of_leaf(r->cursor.leaf, [](const ChunkCache& c) { return size_t(c.len); }),
              pos);
    pos += e->s.size();
  }
}

TEST(BTreeQuery, EmptyTreeAnswersNothing) {
  SolidTree t;
  SolidFinder f(0);
  EXPECT_FALSE(t.query(f));
  EXPECT_EQ(f.left(), 0u);
  EXPECT_FALSE(t.last_leaf());
  EXPECT_FALSE(t.end_cursor());
  auto it = t.iter();
  EXPECT_EQ(it.next(), nullptr);
  EXPECT_EQ(t.root_cache(), ChunkCache{});
}

TEST(BTreeQuery, EndCursorIsPastTheLastElement) {
  SolidTree t = make({5});
  auto e = t.end_cursor();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->leaf, *t.last_leaf());
  EXPECT_EQ(e->offset, 5u);
}

TEST(BTreeQuery, PathsToRootAndLeaf) {
  SolidTree t = build(30);  // root -> 3 nodes -> 10 leaves each
  Path root = t.get_path(ArenaIndex::internal(t.root()));
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0], (PathEntry{ArenaIndex::internal(t.root()), 0}));
  SolidFinder f(t.root_cache().len - 1);
  LeafIndex last = t.query(f)->cursor.leaf;
  Path p = t.get_path(last);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[2].node, ArenaIndex(last));
  EXPECT_EQ(p[2].position, 9);
  EXPECT_EQ(p[1].position, 2);
  EXPECT_EQ(t.leaf_position(last).second, 9u);
}

TEST(BTreeQuery, StepsAlongPaths) {
  SolidTree t = build(30);
  auto first = *t.first_leaf();
  Path p = t.get_path(first);
  Path one = p;
  EXPECT_FALSE(t.next_leaf_in_path(one, 1));
  // Every leaf is reached once, crossing parents.
  size_t steps = 1;
  while (t.next_leaf_in_path(p, p.size())) ++steps;
  EXPECT_EQ(steps, 30u);
  Path at_end = p;
  EXPECT_FALSE(t.next_leaf_in_path(p, p.size()));
  EXPECT_EQ(p, at_end);
  EXPECT_EQ(p.back().node, ArenaIndex(*t.last_leaf()));
}

TEST(BTreeQuery, SiblingsAcrossParents) {
  SolidTree t = build(30);
  std::vector<LeafIndex> leaves;
  Path p = t.get_path(*t.first_leaf());
  do leaves.push_back(p.back().node.unwrap_leaf());
  while (t.next_leaf_in_path(p, p.size()));
  for (size_t i = 0; i < leaves.size(); ++i) {
    auto n = t.next_sibling(leaves[i]);
    auto pr = t.prev_sibling(leaves[i]);
    if (i + 1 < leaves.size()) {
      ASSERT_TRUE(n);
      EXPECT_EQ(*n, ArenaIndex(leaves[i + 1]));
    } else {
      EXPECT_FALSE(n);
    }
    if (i > 0) {
      ASSERT_TRUE(pr);
      EXPECT_EQ(*pr, ArenaIndex(leaves[i - 1]));
    } else {
      EXPECT_FALSE(pr);
    }
    EXPECT_EQ(t.compare_leaf_order(leaves[i], leaves[(i + 7) % leaves.size()]),
              i < (i + 7) % leaves.size() ? -1 : 1);
  }
  const auto& root = t.node(t.root());
  auto mid = t.child_index(root, 1);
  EXPECT_EQ(*t.next_sibling(mid), t.child_index(root, 2));
  EXPECT_EQ(*t.prev_sibling(mid), t.child_index(root, 0));
  EXPECT_FALSE(t.next_sibling(t.child_index(root, 2)));
  EXPECT_FALSE(t.next_sibling(ArenaIndex::internal(t.root())));
}

TEST(BTreeQuery, IterationYieldsEachElementOnceThenNothing) {
  SolidTree t = build(250);
  auto it = t.iter();
  size_t n = 0;
  while (it.next()) ++n;
  EXPECT_EQ(n, 250u);
  EXPECT_EQ(it.next(), nullptr);
  EXPECT_EQ(it.next(), nullptr);
}

TEST(BTreeQuery, RangeIteration) {
  SolidTree t = make({3, 4, 5, 2});
  auto at = [&](size_t pos) {
    SolidFinder f(pos);
    return t.query(f)->cursor;
  };
  // Within one leaf: one slice carrying both offsets.
  {
    Cursor s = at(4), e{s.leaf, 4};
    auto r = t.iter_range(s, e);
    auto a = r.next();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->elem->s, "bbbb");
    EXPECT_EQ(a->start, 1u);
    EXPECT_EQ(a->end, 4u);
    EXPECT_FALSE(r.next());
  }
  // The end at offset 0 of a later leaf does not yield that leaf.
  {
    auto r = t.iter_range(at(1), at(7));
    std::string seen;
    while (auto s = r.next()) seen += s->elem->s[0];
    EXPECT_EQ(seen, "ab");
  }
  // Up to the end of the tree the last leaf is kept.
  {
    auto r = t.iter_range_to_end(at(8));
    std::string seen;
    std::optional<size_t> last_end;
    while (auto s = r.next()) {
      seen += s->elem->s[0];
      last_end = s->end;
    }
    EXPECT_EQ(seen, "cd");
    EXPECT_EQ(last_end, 2u);
  }
}

TEST(BTreeNode, HandleKindsAndDebugForms) {
  ArenaIndex l = ArenaIndex::leaf({1, 2}), i = ArenaIndex::internal({3, 4});
  EXPECT_EQ(l.unwrap_leaf(), (LeafIndex{{1, 2}}));
  EXPECT_EQ(i.unwrap_internal(), (ArenaSlotIndex{3, 4}));
  try {
    (void)i.unwrap_leaf();
    FAIL();
  } catch (const InvariantViolation& p) {
    EXPECT_STREQ(p.what(), "unwrap_leaf on internal node");
  }
  try {
    (void)l.unwrap_internal();
    FAIL();
  } catch (const InvariantViolation& p) {
    EXPECT_STREQ(p.what(), "unwrap_internal on leaf node");
  }
  EXPECT_EQ(debug_string(l), "Leaf(Index { slot: 1, generation: Generation(2) })");
  EXPECT_EQ(debug_string(LeafIndex{{1, 2}}),
            "LeafIndex(Index { slot: 1, generation: Generation(2) })");
}

TEST(BTreeNode, DeleteChildrenRangeKeepsOrder) {
  struct Case {
    size_t start, end;
    std::vector<uint32_t> left;
  };
  const Case cases[] = {
      {5, 5, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {2, 3, {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {0, 4, {4, 5, 6, 7, 8, 9, 10, 11}},
      {8, 12, {0, 1, 2, 3, 4, 5, 6, 7}},
  };
  for (const auto& c : cases) {
    InternalNode<int> n;
    for (uint32_t i = 0; i < 12; ++i) n.push_child({i, int(i)});
    n.delete_children_range(c.start, c.end);
    std::vector<uint32_t> got;
    for (const auto& ch : n.kids()) got.push_back(ch.slot);
    EXPECT_EQ(got, c.left) << c.start << ".." << c.end;
  }
  InternalNode<int> full;
  for (uint32_t i = 0; i < 12; ++i) full.push_child({i, 0});
  EXPECT_THROW(full.push_child({99, 0}), InvariantViolation);
}

TEST(BTreeNode, ParentSlotsRenumberedFromAPosition) {
  SolidTree t = build(100);  // root holds 10 internal nodes
  const auto& root = t.node(t.root());
  ASSERT_FALSE(root.leaf_children);
  // Scramble the slots, then renumber from 3: 0..2 keep their (wrong) values.
  auto& r = const_cast<InternalNode<ChunkCache>&>(root);
  for (size_t i = 0; i < r.len; ++i)
    const_cast<InternalNode<ChunkCache>&>(t.node(t.child_index(r, i).index)).parent_slot = 77;
  t.update_children_parent_slot(t.root(), 3);
  for (size_t i = 0; i < r.len; ++i) {
    EXPECT_EQ(t.node(t.child_index(r, i).index).parent_slot, i < 3 ? 77 : i) << i;
  }
  // Leaf children carry no slot: nothing to do and nothing breaks.
  t.update_children_parent_slot(t.child_index(r, 0).index, 0);
}

TEST(BTreeNode, PathLongerThanMaxDepthIsFatal) {
  Path p;
  for (size_t i = 0; i < MAX_DEPTH; ++i) p.push({});
  try {
    p.push({});
    FAIL();
  } catch (const InvariantViolation& e) {
    EXPECT_STREQ(e.what(), kMsgUnwrapErr);
  }
}

}  // namespace
}  // namespace kesu::testing
