// Building delta ropes: the push steps, trimming and the builder, which must
// keep deltas compact by growing the last item whenever the rules allow.
#include <gtest/gtest.h>

#include "delta_test_model.h"

namespace kesu {
namespace {

using namespace kesu::testing;
using L = ListDeltaItem;

ArrayVec entries(int from, int n) {
  ArrayVec v;
  for (int i = 0; i < n; ++i) v.push(KesuValue(from + i));
  return v;
}

TEST(DeltaPush, RetainsJoinOnEqualAttributesOnly) {
  TextDelta d;
  d.push_retain(2).push_retain(3);
  EXPECT_EQ(d.items(), items_of<TextDeltaOps>({T::retain(5)}));
  d.push_retain(1, meta({{"bold", KesuValue(true)}}));
  EXPECT_EQ(d.items().size(), 2u);
  d.push_retain(0, {});
  EXPECT_EQ(d.items().size(), 2u);
  EXPECT_EQ(d.len(), 6u);
}

TEST(DeltaPush, ListInsertsJoinUpToEightEntries) {
  struct Case {
    const char* name;
    std::vector<int> sizes;
    std::vector<size_t> want_items;  // entries per item
  } cases[] = {
      {"5 then 3", {5, 3}, {8}},
      {"5, 3, then 1", {5, 3, 1}, {8, 1}},
      {"5 then 4", {5, 4}, {5, 4}},
      {"empty insert is nothing", {0}, {}},
  };
  for (auto& c : cases) {
    ListDelta d;
    int next = 0;
    for (int n : c.sizes) {
      d.push_insert(entries(next, n));
      next += n;
    }
    std::vector<size_t> got;
    for (const auto& it : d) got.push_back(it.value_len());
    EXPECT_EQ(got, c.want_items) << c.name;
    EXPECT_EQ(d.len(), size_t(next)) << c.name;
  }
}

TEST(DeltaPush, DeleteJoinsAnyReplaceWhateverItsAttribute) {
  ListDelta d;
  d.push_insert(entries(0, 2), {true}).push_delete(3);
  EXPECT_EQ(d.items(), items_of<ListDeltaOps>({L::replace(entries(0, 2), {true}, 3)}));
  d.push_retain(1).push_delete(2);
  EXPECT_EQ(d.items().size(), 3u);
}

TEST(DeltaPush, TextDeleteThenInsertJoinsWithinThirtyTwoBytes) {
  TextDelta d;
  d.push_delete(3);
  // Look at the item in place: a copy's capacity is its length.
  ASSERT_EQ(d.tree().size(), 1u);
  EXPECT_EQ((*d.begin()).as_replace().value.capacity(), 32u);
  EXPECT_TRUE((*d.begin()).as_replace().attr.map.empty());
  d.push_insert(StringSlice::owned(std::string(20, 'a')));
  auto items = d.items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].as_replace().del, 3u);
  EXPECT_EQ(items[0].as_replace().value.byte_len(), 20u);
  TextDelta e;
  e.push_delete(3).push_insert(StringSlice::owned(std::string(40, 'a')));
  EXPECT_EQ(e.items().size(), 2u);
}

TEST(DeltaPush, SlicesOfOneBufferJoinWhenTheyTouch) {
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("abcdef")));
  TextDelta d;
  d.push_insert(StringSlice::slice(buf.slice(0, 2)))
      .push_insert(StringSlice::slice(buf.slice(2, 4)));
  EXPECT_EQ(d.items().size(), 1u);
  auto other = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("ef")));
  d.push_insert(StringSlice::slice(other));
  EXPECT_EQ(d.items().size(), 2u);
  d.push_insert(StringSlice::owned("g"));
  EXPECT_EQ(d.items().size(), 3u);
  EXPECT_EQ(d.len(), 7u);
}

TEST(DeltaPush, EmptyLastItemIsDroppedWhenNotAbsorbed) {
  // A Retain of 0 left at the end by an earlier edit.
  TextDelta d = rope_of<TextDeltaOps>({T::ins("a"), T::retain(0)});
  d.push_retain(0);
  EXPECT_EQ(d.tree().size(), 2u) << "a no-op push leaves the rope alone";
  d.push_insert(StringSlice::owned("b"));
  EXPECT_EQ(d.items(), items_of<TextDeltaOps>({T::ins("a"), T::ins("b")}));
  EXPECT_EQ(d.tree().check_invariants(), "");
}

TEST(DeltaPush, RawRichtextAnchorsNeverJoin) {
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("abcd")));
  RichtextRawDelta d;
  d.push_insert(RichtextItem(TextChunk::make(buf.slice(0, 2), 1, 0, 0)));
  d.push_insert(RichtextItem(TextChunk::make(buf.slice(2, 3), 1, 2, 2)));
  EXPECT_EQ(d.items().size(), 1u);
  d.push_insert(RichtextItem(StyleAnchor{}));
  d.push_insert(RichtextItem(StyleAnchor{}));
  EXPECT_EQ(d.items().size(), 3u);
  d.push_insert(RichtextItem(TextChunk::make(buf.slice(3, 4), 1, 3, 3)));
  EXPECT_EQ(d.items().size(), 4u);
  d.push_retain(2).push_retain(3);
  EXPECT_EQ(d.items().back(), RichtextRawDeltaItem::retain(5));
  EXPECT_EQ(d.len(), 11u);
}

TEST(DeltaPush, ManyPushesBuildABalancedTree) {
  TextDelta d;
  for (int i = 0; i < 5000; ++i) {
    d.push_insert(StringSlice::owned(i % 2 ? "x" : "\xC3\xA9"),
                  i % 3 ? TextMeta{} : meta({{"b", KesuValue(i)}}));
    if (i % 7 == 0) d.push_delete(1);
  }
  EXPECT_EQ(d.len(), 5000u);
  EXPECT_EQ(d.tree().check_invariants(), "");
  EXPECT_GE(d.tree().depth(), 4u);
}

TEST(DeltaTrim, TrailingUnstyledRetainsGo) {
  struct Case {
    const char* name;
    std::vector<TextDeltaItem> in, want;
  } cases[] = {
      {"replace then retain", {T::ins("a"), T::retain(3)}, {T::ins("a")}},
      {"only retains", {T::retain(3), T::retain(2)}, {}},
      {"styled retain stays",
       {T::ins("a"), T::retain(3, meta({{"b", KesuValue(1)}}))},
       {T::ins("a"), T::retain(3, meta({{"b", KesuValue(1)}}))}},
      {"retain before a styled one stays",
       {T::retain(2), T::retain(3, meta({{"b", KesuValue(1)}})), T::retain(1)},
       {T::retain(2), T::retain(3, meta({{"b", KesuValue(1)}}))}},
  };
  for (auto& c : cases) {
    TextDelta d = rope_of<TextDeltaOps>(c.in);
    d.trim_trailing_retains();
    EXPECT_EQ(d.items(), c.want) << c.name;
    EXPECT_EQ(d.tree().check_invariants(), "") << c.name;
  }
}

TEST(DeltaBuilder, ListStepsJoinByTheirRules) {
  ArrayVec a{KesuValue(7)};
  struct Case {
    const char* name;
    ListDelta got;
    std::vector<L> want;
  };
  std::vector<Case> cases;
  cases.push_back({"delete then insert",
                   ListDeltaBuilder().delete_(2).insert(a).build(),
                   {L::replace(a, {}, 2)}});
  cases.push_back({"insert then delete",
                   ListDeltaBuilder().insert(a, {true}).delete_(2).build(),
                   {L::replace(a, {true}, 2)}});
  cases.push_back({"delete then moved insert",
                   ListDeltaBuilder().delete_(2).insert(a, {true}).build(),
                   {L::deletion(2), L::insert(a, {true})}});
  cases.push_back({"retains", ListDeltaBuilder().retain(3).retain(4).build(), {L::retain(7)}});
  cases.push_back(
      {"no-ops", ListDeltaBuilder().retain(0).delete_(0).insert(ArrayVec{}).build(), {}});
  cases.push_back({"nine entries",
                   ListDeltaBuilder().insert(entries(0, 5)).insert(entries(5, 4)).build(),
                   {L::insert(entries(0, 5)), L::insert(entries(5, 4))}});
  for (auto& c : cases) {
    EXPECT_EQ(c.got.items(), c.want) << c.name;
    EXPECT_EQ(c.got.tree().check_invariants(), "") << c.name;
  }
  ListDelta empty = ListDeltaBuilder().build();
  EXPECT_TRUE(empty.is_empty());
}

TEST(DeltaBuilder, TextStepsAndStyledRetains) {
  TextMeta b = meta({{"bold", KesuValue(true)}});
  TextDelta d = TextDeltaBuilder()
                    .retain_with_attr(2, b)
                    .retain_with_attr(3, b)
                    .retain_with_attr(1, {})
                    .delete_(4)
                    .build();
  EXPECT_EQ(d.items(), items_of<TextDeltaOps>({T::retain(5, b), T::retain(1), T::del(4)}));
}

}  // namespace
}  // namespace kesu
