// The id-to-cursor insert-piece tree and the style range tree.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "kesu/btree/id_to_cursor_tree.h"
#include "kesu/btree/style_range_tree.h"

namespace kesu {
namespace {

LeafIndex leaf(uint32_t slot) {
  return LeafIndex{{slot, 1}};
}

std::string pieces(const IdToCursorTree& t) {
  std::string out;
  for (const auto& p : t) {
    if (!out.empty()) out += ' ';
    out += std::to_string(p.leaf.index.slot) + ":" + std::to_string(p.len);
  }
  return out;
}

TEST(IdToCursorTree, RunsOfOneLeafMergeAndSplit) {
  IdToCursorTree t;
  t.push({leaf(1), 3});
  t.push({leaf(1), 2});  // same leaf: one run of 5
  t.push({leaf(2), 4});
  EXPECT_EQ(pieces(t), "1:5 2:4");
  EXPECT_EQ(t.root_cache(), 9u);
  // A piece of another leaf inside the first run splits it.
  IdToCursorFinder f(2);
  auto [cur, split] = t.insert_by_path(t.query(f)->cursor, {leaf(3), 1});
  EXPECT_EQ(pieces(t), "1:2 3:1 1:3 2:4");
  ASSERT_TRUE(split);
  EXPECT_EQ(t.get_elem(*split), (InsertPiece{leaf(1), 3}));
  // At the start of a run of the same leaf: merged at its front.
  IdToCursorFinder g(6);
  t.insert_by_path(t.query(g)->cursor, {leaf(2), 6});
  EXPECT_EQ(pieces(t), "1:2 3:1 1:3 2:10");
  EXPECT_EQ(t.root_cache(), 16u);
  EXPECT_EQ(t.check_invariants(), "");
}

TEST(IdToCursorTree, FinderCountsRunLengths) {
  IdToCursorTree t;
  for (uint32_t i = 0; i < 100; ++i) t.push({leaf(i), i % 4 + 1});
  size_t base = 0;
  for (uint32_t i = 0; i < 100; ++i) {
    IdToCursorFinder f(base + i % 4);
    auto r = t.query(f);
    ASSERT_TRUE(r && r->found);
    EXPECT_EQ(t.get_elem(r->cursor.leaf).leaf, leaf(i));
    EXPECT_EQ(r->cursor.offset, i % 4);
    base += i % 4 + 1;
  }
  EXPECT_EQ(t.root_cache(), base);
}

using Styles = std::map<std::string, std::string>;

std::string runs(const StyleRangeTree<Styles>& t) {
  std::string out;
  for (const auto& e : t) {
    if (!out.empty()) out += ' ';
    std::string keys;
    for (const auto& [k, v] : e.styles) keys += k;
    out += (keys.empty() ? "-" : keys) + std::to_string(e.len);
  }
  return out;
}

TEST(StyleRangeTree, MergeAndSplitRules) {
  using T = StyleRangeTrait<Styles>;
  StyleRangeTree<Styles> t;
  t.push({Styles{}, 5});
  t.push({Styles{}, 3});  // equal styles: one run
  t.push({Styles{{"b", "1"}}, 4});
  t.push({Styles{{"i", "1"}}, 0});  // an empty run joins whatever precedes it
  EXPECT_EQ(runs(t), "-8 b4");
  // Splitting copies the styles into both parts; the head keeps the offset.
  T::Elem e{Styles{{"u", "1"}}, 10};
  T::Elem tail = T::split_at(e, 4);
  EXPECT_EQ(e.len, 4u);
  EXPECT_EQ(tail.len, 6u);
  EXPECT_EQ(tail.styles, e.styles);
  // Absorbing an earlier run at the start takes that run's styles.
  T::Elem empty{Styles{}, 0};
  ASSERT_TRUE(T::can_merge(T::Elem{Styles{{"s", "1"}}, 2}, empty));
  T::merge_left(empty, T::Elem{Styles{{"s", "1"}}, 2});
  EXPECT_EQ(empty.len, 2u);
  EXPECT_EQ(empty.styles, (Styles{{"s", "1"}}));
  // A different style in the middle splits the run in three.
  StyleRangeTree<Styles>::Elem mid{Styles{{"i", "1"}}, 2};
  LengthFinder<T> f(3);
  t.insert_by_path(t.query(f)->cursor, std::move(mid));
  EXPECT_EQ(runs(t), "-3 i2 -5 b4");
  EXPECT_EQ(t.root_cache(), 14u);
  EXPECT_EQ(t.check_invariants(), "");
}

}  // namespace
}  // namespace kesu
