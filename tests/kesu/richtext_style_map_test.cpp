#include <gtest/gtest.h>

#include "richtext_test_util.h"

namespace kesu {
namespace {

using testing::style;

// Runs of the map up to `upto`, as (length, keys joined) pairs.
std::vector<std::pair<uint64_t, size_t>> runs(const StyleRangeMap& m, uint64_t upto) {
  std::vector<std::pair<uint64_t, size_t>> out;
  uint64_t pos = 0;
  for (const auto& e : m.tree()) {
    if (pos >= upto) break;
    size_t ops = 0;
    for (const auto& [k, set] : e.styles.entries()) ops += set.size();
    out.emplace_back(e.len, ops);
    pos += e.len;
  }
  return out;
}

TEST(RichtextStyleMap, FreshMapIsUnmaintained) {
  StyleRangeMap m;
  EXPECT_FALSE(m.has_style());
  for (uint64_t pos : {0ull, 5ull, 1000ull}) {
    EXPECT_EQ(&m.insert(pos, 3), &empty_styles());
  }
  m.remove(0, 10);
  EXPECT_EQ(m.total_len(), StyleRangeMap::kInitialLen);
  EXPECT_TRUE(StyleRangeMap::styles_at(&m, 3).empty());
  EXPECT_TRUE(StyleRangeMap::styles_at(nullptr, 3).empty());
}

TEST(RichtextStyleMap, AnnotateThenInsertInsideAndAtBorders) {
  StyleRangeMap m;
  auto bold = style("bold", 0);
  m.annotate(2, 5, bold);
  ASSERT_TRUE(m.has_style());
  EXPECT_EQ(runs(m, 5), (std::vector<std::pair<uint64_t, size_t>>{{2, 0}, {3, 1}}));
  // Strictly inside: the styled run grows and its styles come back.
  const Styles& in = m.insert(3, 3);
  ASSERT_NE(in.get(InternalString("bold")), nullptr);
  EXPECT_EQ(runs(m, 8), (std::vector<std::pair<uint64_t, size_t>>{{2, 0}, {6, 1}}));
  // At the left border: intersection of nothing and bold is nothing.
  EXPECT_TRUE(m.insert(2, 1).empty());
  EXPECT_EQ(runs(m, 9), (std::vector<std::pair<uint64_t, size_t>>{{2, 0}, {1, 0}, {6, 1}}));
  // At position 0 never styled, even when the first run is styled.
  StyleRangeMap m2;
  m2.annotate(0, 4, bold);
  EXPECT_TRUE(m2.insert(0, 2).empty());
  EXPECT_EQ(runs(m2, 6), (std::vector<std::pair<uint64_t, size_t>>{{2, 0}, {4, 1}}));
}

TEST(RichtextStyleMap, SameKeyFromTwoOperationsAndRepeatedAnnotate) {
  StyleRangeMap m;
  auto late = style("bold", 0, /*lamport=*/9, /*peer=*/1, 1);
  auto early = style("bold", 0, /*lamport=*/3, /*peer=*/2, 2);
  m.annotate(0, 6, late);
  m.annotate(4, 10, early);
  m.annotate(4, 10, early);
  Styles at5 = StyleRangeMap::styles_at(&m, 5);
  const auto* set = at5.get(InternalString("bold"));
  ASSERT_NE(set, nullptr);
  ASSERT_EQ(set->size(), 2u);
  EXPECT_EQ((*set)[0]->lamport, 3u);
  EXPECT_EQ((*set)[1]->lamport, 9u);
  // The end anchor of `late` at 5: only `late` leaves the runs before it.
  auto start = m.remove_style_ending_at(5, *late);
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(*start, 0u);
  Styles after = StyleRangeMap::styles_at(&m, 5);
  ASSERT_EQ(after.get(InternalString("bold"))->size(), 1u);
  EXPECT_EQ((*after.get(InternalString("bold")))[0]->lamport, 3u);
  EXPECT_TRUE(StyleRangeMap::styles_at(&m, 2).empty());
}

TEST(RichtextStyleMap, RemoveStyleWhereItIsAbsentChangesNothing) {
  StyleRangeMap m;
  auto bold = style("bold", 0);
  auto link = style("link", 0, 2, 1, 5);
  m.annotate(2, 5, bold);
  EXPECT_FALSE(m.remove_style_ending_at(7, *link).has_value());
  EXPECT_FALSE(m.remove_style_ending_at(7, *bold).has_value());
  EXPECT_FALSE(StyleRangeMap::styles_at(&m, 4).empty());
}

TEST(RichtextStyleMap, DeleteInsideOneRunAndAcrossRuns) {
  StyleRangeMap m;
  m.annotate(2, 5, style("bold", 0));
  m.remove(4, 3);  // end < start: nothing
  EXPECT_EQ(runs(m, 5), (std::vector<std::pair<uint64_t, size_t>>{{2, 0}, {3, 1}}));
  m.remove(3, 4);
  EXPECT_EQ(runs(m, 4), (std::vector<std::pair<uint64_t, size_t>>{{2, 0}, {2, 1}}));
  m.remove(1, 3);  // across the border
  EXPECT_EQ(runs(m, 2), (std::vector<std::pair<uint64_t, size_t>>{{1, 0}, {1, 1}}));
  EXPECT_EQ(m.total_len(), StyleRangeMap::kInitialLen - 3);
  m.remove(1, 2);  // the whole styled run
  EXPECT_TRUE(m.styled_ranges().empty());
}

TEST(RichtextStyleMap, StylesAtBordersIsTheIntersection) {
  StyleRangeMap m;
  auto bold = style("bold", 0, 1, 1, 1);
  auto italic = style("italic", 0, 2, 1, 2);
  m.annotate(0, 6, bold);
  m.annotate(3, 9, italic);
  struct Case {
    uint64_t pos;
    size_t keys;
  } cases[] = {{0, 0}, {2, 1}, {3, 1}, {4, 2}, {6, 1}, {8, 1}, {9, 0}, {12, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(StyleRangeMap::styles_at(&m, c.pos).size(), c.keys) << c.pos;
}

TEST(RichtextStyleMap, ConfigurationDefaultsAndInfoDebug) {
  auto cfg = StyleConfigMap::default_rich_text();
  EXPECT_EQ(cfg.size(), 7u);
  EXPECT_EQ(*cfg.get(InternalString("bold")), 1);
  EXPECT_EQ(*cfg.get(InternalString("link")), 3);
  EXPECT_EQ(cfg.get(InternalString("size")), nullptr);
  EXPECT_EQ(TextStyleInfo{6}.debug(),
            "TextStyleInfo { data: 0b110, expand_before: true, expand_after: true }");
}

}  // namespace
}  // namespace kesu
