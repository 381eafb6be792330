// Insertion, splitting, in-place updates and bulk construction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree_test_chunks.h"

namespace kesu::testing {
namespace {

template <typename Tree>
Cursor at(const Tree& t, size_t pos) {
  LengthFinder<ChunkTrait> f(pos);
  return t.query(f)->cursor;
}

SolidTree pushed(size_t n) {
  SolidTree t;
  for (size_t i = 0; i < n; ++i) t.push(Chunk{std::string(1, char('a' + i))});
  return t;
}

// Child counts of the root's children, e.g. "6,6".
std::string counts(const SolidTree& t) {
  const auto& r = t.node(t.root());
  std::string out;
  for (size_t i = 0; i < r.len; ++i) {
    if (!out.empty()) out += ',';
    out += std::to_string(r.leaf_children ? 1 : t.node(t.child_index(r, i).index).len);
  }
  return out;
}

TEST(BTreeInsert, MergesIntoTheElementAtTheCursorOnly) {
  ChunkTree t;
  t.push(Chunk{"ab"});
  Cursor c = at(t, 0);
  auto [ret, split] = t.insert_by_path(c, Chunk{"c"});
  EXPECT_EQ(ret, c);
  EXPECT_FALSE(split);
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(contents(t), "cab");
  // Inside the element: taken in, no leaf, no split.
  auto r2 = t.insert_by_path(at(t, 1), Chunk{"x"});
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(contents(t), "cxab");
  EXPECT_EQ(r2.first.offset, 1u);
  // Only the previous element could absorb: a new leaf goes before the cursor's leaf.
  ChunkTree u;
  u.push(Chunk{"aaaaaaa"});
  u.push(Chunk{"bbbbbbbb"});
  auto [r3, s3] = u.insert_by_path(at(u, 7), Chunk{"c"});
  EXPECT_EQ(shape(u), "7,1,8");
  EXPECT_EQ(u.get_elem(r3.leaf).s, "c");
  EXPECT_EQ(u.check_invariants(), "");
}

TEST(BTreeInsert, SplitsAnElementAndReportsTheRightPart) {
  ChunkTree t;
  t.push(Chunk{"aaaaaaaa"});
  auto [ret, split] = t.insert_by_path(at(t, 3), Chunk{"bbbbbbbb"});
  ASSERT_TRUE(split);
  EXPECT_EQ(t.get_elem(*split).s, "aaaaa");
  EXPECT_EQ(shape(t), "3,8,5");
  EXPECT_EQ(t.get_elem(ret.leaf).s, "bbbbbbbb");
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeInsert, AtTheEndOfALastChildStaysInThatParent) {
  std::vector<Chunk> v;
  for (int i = 0; i < 20; ++i) v.push_back(Chunk{"q"});
  SolidTree t = SolidTree::build_from_elems(std::move(v));
  Cursor end_of_tenth = at(t, 9);
  end_of_tenth.offset = 1;
  auto first_parent = t.leaf_position(end_of_tenth.leaf).first;
  auto [ret, split] = t.insert_by_path(end_of_tenth, Chunk{"z"});
  EXPECT_EQ(t.leaf_position(ret.leaf), std::make_pair(first_parent, size_t{10}));
  EXPECT_EQ(contents(t), std::string(10, 'q') + "z" + std::string(10, 'q'));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeInsert, SplitLeafAtTheEndOfTheSequence) {
  SolidTree t = pushed(3);
  auto e = *t.end_cursor();
  auto s = t.split_leaf_at(e);
  EXPECT_FALSE(s.cursor);
  EXPECT_EQ(s.insert_index, 3u);
  EXPECT_FALSE(s.new_leaf);
  // At the end of a leaf that has a successor: that successor at offset 0.
  auto s2 = t.split_leaf_at(Cursor{at(t, 0).leaf, 1});
  ASSERT_TRUE(s2.cursor);
  EXPECT_EQ(s2.cursor->leaf, at(t, 1).leaf);
  EXPECT_EQ(s2.insert_index, 1u);
  // An offset past the element is fatal with the element in the message.
  try {
    t.split_leaf_at(Cursor{at(t, 0).leaf, 4});
    FAIL();
  } catch (const InvariantViolation& p) {
    EXPECT_STREQ(p.what(), "elem.rle_len=1 but pos.offset=4 Elem:Chunk(\"a\")");
  }
}

TEST(BTreeInsert, FullParentsSplitBeforeAndAfter) {
  // A parent holding 11 is split 5 + 6 before an element under it is split.
  SolidTree t;
  for (int i = 0; i < 11; ++i) t.push(Chunk{"ab"});
  EXPECT_EQ(t.depth(), 2u);
  auto s = t.split_leaf_at(Cursor{at(t, 2).leaf, 1});
  EXPECT_TRUE(s.new_leaf);
  EXPECT_EQ(counts(t), "6,6");  // 5 + 6, then the split element added one leaf on the left
  EXPECT_EQ(t.check_invariants(), "");
  // A parent reaching 12 after an insertion is split 6 + 6.
  SolidTree u = pushed(11);
  ArenaSlotIndex root = u.root();
  u.insert_by_path(at(u, 0), Chunk{"z"});
  EXPECT_EQ(counts(u), "6,6");
  EXPECT_EQ(u.root(), root);
  const auto& r = u.node(root);
  EXPECT_EQ(u.node(u.child_index(r, 0).index).parent_slot, 0);
  EXPECT_EQ(u.node(u.child_index(r, 1).index).parent_slot, 1);
  EXPECT_EQ(u.depth(), 3u);
  EXPECT_EQ(u.check_invariants(), "");
}

TEST(BTreeInsert, PushFillsTheRootThenSplitsAtTwelve) {
  SolidTree t;
  t.push(Chunk{"a"});
  EXPECT_TRUE(t.node(t.root()).leaf_children);
  EXPECT_EQ(t.root_cache(), (ChunkCache{1, 0}));
  for (int i = 1; i < 11; ++i) t.push(Chunk{"x"});
  EXPECT_EQ(t.node(t.root()).len, 11);
  t.push(Chunk{"b"});
  EXPECT_EQ(counts(t), "6,6");
  EXPECT_EQ(t.root_cache(), (ChunkCache{12, 10}));
  EXPECT_EQ(t.check_invariants(), "");
  // A mergeable push grows the last element and returns its old end.
  ChunkTree m;
  m.push(Chunk{"ab"});
  Cursor c = m.push(Chunk{"cd"});
  EXPECT_EQ(c.offset, 2u);
  EXPECT_EQ(m.size(), 1u);
}

TEST(BTreeInsert, UpdateLeafRemovesOrMergesForward) {
  // Emptied with nothing returned: the leaf goes.
  SolidTree t = pushed(3);
  LeafIndex b = at(t, 1).leaf;
  auto [alive, leaves] = t.update_leaf(b, [](Chunk& c) {
    c.s.clear();
    return std::pair<std::optional<Chunk>, std::optional<Chunk>>{};
  });
  EXPECT_FALSE(alive);
  EXPECT_TRUE(leaves.empty());
  EXPECT_FALSE(t.contains_leaf(b));
  EXPECT_EQ(contents(t), "ac");
  EXPECT_EQ(t.check_invariants(), "");
  // One element that the next leaf can absorb: no new leaf.
  ChunkTree u;
  u.push(Chunk{"aaaa"});
  u.push(Chunk{"bbbbbbb"});
  u.insert_by_path(*u.end_cursor(), Chunk{"cc"});
  ASSERT_EQ(shape(u), "4,7,2");
  LeafIndex first = at(u, 0).leaf, second = at(u, 4).leaf;
  auto [alive2, leaves2] = u.update_leaf(first, [](Chunk&) {
    return std::pair<std::optional<Chunk>, std::optional<Chunk>>{Chunk{"z"}, std::nullopt};
  });
  EXPECT_TRUE(alive2);
  ASSERT_EQ(leaves2.size(), 1u);
  EXPECT_EQ(leaves2[0], second);
  EXPECT_EQ(contents(u), "aaaazbbbbbbbcc");
  EXPECT_EQ(u.size(), 3u);
  EXPECT_EQ(u.check_invariants(), "");
}

TEST(BTreeInsert, UpdateLeafPreSplitsAFullParent) {
  SolidTree t = pushed(10);
  LeafIndex l = at(t, 4).leaf;
  auto [alive, leaves] = t.update_leaf(l, [](Chunk&) {
    return std::pair<std::optional<Chunk>, std::optional<Chunk>>{Chunk{"1"}, Chunk{"2"}};
  });
  EXPECT_TRUE(alive);
  ASSERT_EQ(leaves.size(), 2u);
  EXPECT_EQ(t.get_elem(leaves[0]).s, "1");
  EXPECT_EQ(t.get_elem(leaves[1]).s, "2");
  EXPECT_EQ(contents(t), "abcde12fghij");
  EXPECT_EQ(t.depth(), 3u);
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeInsert, UpdateRangeWithoutDifferencesKeepsEntries) {
  ChunkTree t;
  for (int i = 0; i < 40; ++i) t.push(Chunk{"abcdefgh"});
  size_t calls = 0;
  SplitLeaves made = t.update_range(at(t, 3), at(t, 300), [&](Chunk& c) {
    ++calls;
    for (auto& ch : c.s) ch = char(ch == 'a' ? 'b' : ch);  // no 'x' appears: same cache
    return std::optional<ChunkCache>{};
  });
  EXPECT_EQ(made.size(), 2u);
  EXPECT_EQ(calls, 38u);  // 5-char head part, 36 whole, 4-char tail part
  EXPECT_EQ(t.root_cache(), (ChunkCache{320, 0}));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeInsert, UpdateRangeAppliesDifferencesOnce) {
  SolidTree t;
  for (int i = 0; i < 200; ++i) t.push(Chunk{"aaaa"});
  t.update_range(at(t, 0), *t.end_cursor(), [](Chunk& c) {
    c.s[0] = 'x';
    return std::optional<ChunkCache>(ChunkCache{0, 1});
  });
  EXPECT_EQ(t.root_cache(), (ChunkCache{800, 200}));
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(BTreeInsert, BuildFromElemsShape) {
  struct Case {
    size_t n;
    size_t depth;
    std::string root_counts;
  };
  const Case cases[] = {
      {0, 1, ""}, {1, 2, "1"}, {10, 2, "1,1,1,1,1,1,1,1,1,1"}, {11, 3, "10,1"}, {25, 3, "10,10,5"},
  };
  for (const auto& c : cases) {
    std::vector<Chunk> v;
    for (size_t i = 0; i < c.n; ++i) v.push_back(Chunk{"xy"});
    SolidTree t = SolidTree::build_from_elems(std::move(v));
    EXPECT_EQ(t.depth(), c.depth) << c.n;
    EXPECT_EQ(counts(t), c.root_counts) << c.n;
    EXPECT_EQ(t.root_cache(), (ChunkCache{int64_t(2 * c.n), int64_t(c.n)}));
    EXPECT_EQ(t.check_invariants(), "") << c.n;
    t.push(Chunk{"z"});  // the built tree takes further edits
    EXPECT_EQ(t.check_invariants(), "") << c.n;
  }
}

}  // namespace
}  // namespace kesu::testing
