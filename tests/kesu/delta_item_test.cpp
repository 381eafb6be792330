// Delta items: lengths, the merge test, merging, insertion inside an item and
// splitting, per instance; and the rope's position query.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

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

TEST(DeltaItemList, LengthsAndEmptiness) {
  L r = L::replace(entries(0, 3), {}, 5);
  EXPECT_EQ(r.rle_len(), 8u);
  EXPECT_EQ(r.data_len(), 3u);
  EXPECT_EQ(L::retain(4).data_len(), 4u);
  EXPECT_TRUE(L::retain(0).is_empty());
  EXPECT_TRUE(L::deletion(0).is_empty());
  EXPECT_FALSE(L::deletion(1).is_empty());
}

TEST(DeltaItemList, MergeTestRespectsCapacityAndMoveFlag) {
  struct Case {
    const char* name;
    L a, b;
    bool want;
  } cases[] = {
      {"5 + 3 entries", L::insert(entries(0, 5)), L::insert(entries(5, 3)), true},
      {"5 + 4 entries", L::insert(entries(0, 5)), L::insert(entries(5, 4)), false},
      {"different from_move", L::insert(entries(0, 1)), L::insert(entries(1, 1), {true}), false},
      {"retains with equal flags", L::retain(2), L::retain(3), true},
      {"retains with different flags", L::retain(2), L::retain(3, {true}), false},
      {"retain with replace", L::retain(2), L::insert(entries(0, 1)), false},
      {"deletes do not matter", L::replace(entries(0, 1), {}, 4), L::replace(entries(1, 1), {}, 2),
       true},
  };
  for (auto& c : cases) EXPECT_EQ(L::can_merge(c.a, c.b), c.want) << c.name;
}

TEST(DeltaItemList, MergeRightAndLeftKeepOrderAndSumDeletes) {
  L a = L::replace(entries(0, 2), {}, 1);
  a.merge_right(L::replace(entries(2, 2), {}, 2));
  EXPECT_EQ(a, L::replace(entries(0, 4), {}, 3));
  L r = L::replace(entries(2, 2), {}, 2);
  r.merge_left(L::replace(entries(0, 2), {}, 1));
  EXPECT_EQ(r, L::replace(entries(0, 4), {}, 3));
  // Joining beyond eight entries is a broken invariant.
  L big = L::insert(entries(0, 5));
  EXPECT_THROW(big.merge_right(L::insert(entries(5, 4))), InvariantViolation);
  EXPECT_THROW(big.merge_right(L::retain(1)), InvariantViolation);
}

TEST(DeltaItemList, InsertInside) {
  // Inside the value: one item of 6 entries, the new ones at 3 and 4.
  L i = L::replace(entries(0, 4), {}, 2);
  L n = L::replace(entries(10, 2), {}, 1);
  ASSERT_TRUE(i.insert_inside(3, n));
  ArrayVec want;
  for (int v : {0, 1, 2, 10, 11, 3}) want.push(KesuValue(v));
  EXPECT_EQ(i, L::replace(want, {}, 3));
  // Inside the deleted stretch: refused, so the tree splits instead.
  L j = L::replace(entries(0, 4), {}, 2);
  L m = L::replace(entries(10, 2), {}, 1);
  EXPECT_FALSE(j.insert_inside(5, m));
  EXPECT_EQ(m, L::replace(entries(10, 2), {}, 1));
  // Two pure deletions add up whatever their flags.
  L d1 = L::replace(ArrayVec{}, {true}, 2);
  L d2 = L::replace(ArrayVec{}, {false}, 3);
  ASSERT_TRUE(d1.insert_inside(1, d2));
  EXPECT_EQ(d1.as_replace().del, 5u);
  // Retains with equal flags join at any offset; with different flags not.
  L r1 = L::retain(3);
  L r2 = L::retain(4);
  ASSERT_TRUE(r1.insert_inside(1, r2));
  EXPECT_EQ(r1.as_retain().len, 7u);
  L r3 = L::retain(4, {true});
  EXPECT_FALSE(r1.insert_inside(1, r3));
  // Too many entries together: refused.
  L f = L::insert(entries(0, 7));
  L g = L::insert(entries(0, 2));
  EXPECT_FALSE(f.insert_inside(1, g));
}

TEST(DeltaItemList, SplitInsideValueAndInsideDeletes) {
  L a = L::replace(entries(0, 3), {true}, 5);
  L tail = a.split_at(1);
  EXPECT_EQ(a, L::replace(entries(0, 1), {true}, 0));
  EXPECT_EQ(tail, L::replace(entries(1, 2), {true}, 5));
  L b = L::replace(entries(0, 3), {true}, 5);
  L t2 = b.split_at(4);
  EXPECT_EQ(b, L::replace(entries(0, 3), {true}, 1));
  // The deleted tail carries the default attribute, not the head's.
  EXPECT_EQ(t2, L::replace(ArrayVec{}, {false}, 4));
  L r = L::retain(5, {true});
  EXPECT_EQ(r.split_at(2), L::retain(3, {true}));
  EXPECT_EQ(r, L::retain(2, {true}));
}

// ArrayVec constructs only the entries it holds; shifting, splitting,
// copying and moving must neither lose, duplicate nor drop twice a value
// whose payload lives on the heap (the sanitizers see the latter two).
// Random operations are checked against a plain vector.
TEST(DeltaItemList, ArrayVecKeepsHeapValuesThroughEveryOperation) {
  auto val = [](int i) {
    return KesuValue::string("entry-" + std::to_string(i) + std::string(40, 'x'));
  };
  auto contents = [](const ArrayVec& a) {
    std::vector<std::string> out;
    for (const auto& v : a) out.emplace_back(v.as_string());
    return out;
  };
  auto model_of = [&](int from, int n) {
    std::vector<std::string> m;
    for (int i = 0; i < n; ++i) m.emplace_back(val(from + i).as_string());
    return m;
  };
  auto make = [&](int from, int n) {
    ArrayVec a;
    for (int i = 0; i < n; ++i) a.push(val(from + i));
    return a;
  };
  std::mt19937 rng(7);
  int next = 0;
  ArrayVec a = make(next, 3);
  std::vector<std::string> m = model_of(next, 3);
  next += 3;
  for (int step = 0; step < 400; ++step) {
    switch (rng() % 6) {
      case 0: {  // insert copies, or moved entries, at a random position
        int n = int(rng() % (ArrayVec::kCapacity - a.size() + 1));
        size_t k = rng() % (a.size() + 1);
        ArrayVec add = make(next, n);
        auto madd = model_of(next, n);
        next += n;
        if (rng() % 2) {
          a.insert_at(k, add);
          EXPECT_EQ(contents(add), madd) << "a copied source stays whole";
        } else {
          a.insert_at(k, std::move(add));
        }
        m.insert(m.begin() + long(k), madd.begin(), madd.end());
        break;
      }
      case 1: {  // split, keep one half
        size_t k = rng() % (a.size() + 1);
        ArrayVec tail = a.split_off(k);
        std::vector<std::string> mt(m.begin() + long(k), m.end());
        m.resize(k);
        EXPECT_EQ(contents(tail), mt);
        if (rng() % 2) {
          a = std::move(tail);
          m = mt;
        }
        break;
      }
      case 2: {  // copy construction and copy assignment
        ArrayVec c(a);
        ArrayVec d = make(next++, 1);
        d = c;
        a = d;
        EXPECT_EQ(contents(c), m);
        break;
      }
      case 3: {  // move construction leaves the source empty
        ArrayVec c(std::move(a));
        EXPECT_TRUE(a.empty());  // NOLINT: checked on purpose
        a = std::move(c);
        break;
      }
      case 4: {  // self assignment changes nothing
        ArrayVec& self = a;
        a = self;
        break;
      }
      default:
        if (a.size() < ArrayVec::kCapacity) {
          a.push(val(next));
          m.emplace_back(val(next).as_string());
          ++next;
        }
    }
    ASSERT_EQ(contents(a), m) << "step " << step;
  }
}

TEST(DeltaItemText, SplitCountsCharactersNotBytes) {
  // Five characters, the second two bytes long: six bytes.
  std::string s =
      "a\xC3\xA9"
      "bcd";
  TextDeltaItem a = TextDeltaItem::replace(StringSlice::owned(s), {}, 2);
  TextDeltaItem tail = a.split_at(2);
  EXPECT_EQ(a.as_replace().value.text(), "a\xC3\xA9");
  EXPECT_EQ(a.as_replace().del, 0u);
  EXPECT_EQ(tail.as_replace().value.text(), "bcd");
  EXPECT_EQ(tail.as_replace().del, 2u);

  TextDeltaItem b =
      TextDeltaItem::replace(StringSlice::owned(s), meta({{"b", KesuValue(true)}}), 2);
  TextDeltaItem t2 = b.split_at(6);
  EXPECT_EQ(b.as_replace().value.text(), s);
  EXPECT_EQ(b.as_replace().del, 1u);
  EXPECT_EQ(t2.as_replace().value.text(), "");
  EXPECT_FALSE(t2.as_replace().value.is_slice());
  EXPECT_EQ(t2.as_replace().value.capacity(), 32u);
  EXPECT_TRUE(t2.as_replace().attr.map.empty());
  EXPECT_EQ(t2.as_replace().del, 1u);

  // A slice splits into two slices of the same buffer.
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view(s)));
  TextDeltaItem c = TextDeltaItem::insert(StringSlice::slice(buf));
  TextDeltaItem t3 = c.split_at(2);
  ASSERT_TRUE(t3.as_replace().value.is_slice());
  EXPECT_TRUE(c.as_replace().value.as_slice().can_merge(t3.as_replace().value.as_slice()));
  EXPECT_EQ(t3.as_replace().value.as_slice().start(), 3u);
}

TEST(DeltaItemText, JoiningRulesForOwnedStringsAndSlices) {
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("hello world")));
  auto s1 = StringSlice::slice(buf.slice(0, 5));
  auto s2 = StringSlice::slice(buf.slice(5, 11));
  auto s3 = StringSlice::slice(buf.slice(6, 11));
  auto other =
      StringSlice::slice(BytesSlice::from_bytes(brenvik::as_bytes(std::string_view(" world"))));
  struct Case {
    const char* name;
    StringSlice a, b;
    bool want;
  } cases[] = {
      {"touching slices", s1, s2, true},
      {"gap between slices", s1, s3, false},
      {"another buffer", s1, other, false},
      {"slice then owned", s1, StringSlice::owned("x"), false},
      {"owned then slice", StringSlice::owned_with_capacity("a", 10), s1, false},
      {"owned within capacity", StringSlice::owned_with_capacity("abc", 5),
       StringSlice::owned("de"), true},
      {"owned beyond capacity", StringSlice::owned_with_capacity("abc", 5),
       StringSlice::owned("def"), false},
      {"default value has 32 bytes of room", StringSlice(),
       StringSlice::owned(std::string(32, 'x')), true},
  };
  for (auto& c : cases) {
    // Moved, not copied: a copy of an owned string has no spare capacity.
    EXPECT_EQ(TextDeltaItem::can_merge(TextDeltaItem::insert(std::move(c.a)),
                                       TextDeltaItem::insert(std::move(c.b))),
              c.want)
        << c.name;
  }
  // Equal values with different styles never merge.
  EXPECT_FALSE(TextDeltaItem::can_merge(TextDeltaItem::insert(s1),
                                        TextDeltaItem::insert(s2, meta({{"b", KesuValue(1)}}))));
  TextDeltaItem joined = TextDeltaItem::insert(s1);
  joined.merge_right(TextDeltaItem::insert(s2));
  EXPECT_EQ(joined.as_replace().value.text(), "hello world");
  TextDeltaItem left = TextDeltaItem::insert(s2);
  left.merge_left(TextDeltaItem::insert(s1));
  EXPECT_EQ(left.as_replace().value.text(), "hello world");
  TextDeltaItem bad = TextDeltaItem::insert(s1);
  EXPECT_THROW(bad.merge_right(TextDeltaItem::insert(s3)), InvariantViolation);
  // An owned string grows in front even without room.
  TextDeltaItem o = TextDeltaItem::insert(StringSlice::owned("cd"));
  o.merge_left(TextDeltaItem::insert(StringSlice::owned("ab")));
  EXPECT_EQ(o.as_replace().value.text(), "abcd");
  EXPECT_EQ(o.as_replace().value.unicode_len(), 4u);
}

// Style maps are shared between copies of an item (splits, composition):
// a change through one copy must never show through another, and merging
// into an unstyled item must give it exactly the merged entries.
TEST(DeltaItemText, StyleMapsAreSharedButChangedPrivately) {
  TextMeta bold = meta({{"bold", KesuValue(true)}});
  TextDeltaItem a = TextDeltaItem::insert(StringSlice::owned("abc"), bold);
  TextDeltaItem tail = a.split_at(1);
  TextDeltaOps::attr_merge(a.attr_mut(), meta({{"italic", KesuValue(true)}}));
  EXPECT_EQ(a.attr(), meta({{"bold", KesuValue(true)}, {"italic", KesuValue(true)}}));
  EXPECT_EQ(tail.attr(), bold) << "the split-off part keeps its own styles";
  EXPECT_EQ(bold, meta({{"bold", KesuValue(true)}})) << "the caller's map is untouched";

  TextMeta plain;
  TextDeltaOps::attr_merge(plain, bold);
  EXPECT_EQ(plain, bold);
  plain.map.insert_or_assign("bold", KesuValue(false));
  EXPECT_EQ(bold.map.find("bold")->second, KesuValue(true));
  EXPECT_FALSE(plain == bold);

  // A null value is an entry like any other, and an empty map is the default.
  TextMeta cleared = bold;
  TextDeltaOps::attr_merge(cleared, meta({{"bold", KesuValue()}}));
  EXPECT_EQ(cleared.map.size(), 1u);
  EXPECT_TRUE(cleared.map.find("bold")->second.is_null());
  EXPECT_TRUE(TextDeltaOps::attr_is_default(TextMeta{}));
  EXPECT_EQ(TextMeta{}, meta({}));
}

TEST(DeltaItemText, InvalidUtf8IsABrokenInvariant) {
  EXPECT_THROW(StringSlice::owned("\xC3"), InvariantViolation);
  EXPECT_THROW(StringSlice::slice(BytesSlice::from_bytes(
                   brenvik::ByteView(reinterpret_cast<const uint8_t*>("\xFF"), 1))),
               InvariantViolation);
}

TextChunk chunk(const BytesSlice& buf, size_t from, size_t to, PeerID peer, Counter c, Lamport l) {
  return TextChunk::make(buf.slice(from, to), peer, c, l);
}

TEST(DeltaItemRichtext, ChunksJoinOnlyWhenEverythingContinues) {
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("abcdef")));
  using R = RichtextRawDeltaItem;
  auto ins = [](TextChunk c) { return R::insert(RichtextItem(std::move(c))); };
  struct Case {
    const char* name;
    R a, b;
    bool want;
  } cases[] = {
      {"contiguous", ins(chunk(buf, 0, 3, 1, 0, 10)), ins(chunk(buf, 3, 6, 1, 3, 13)), true},
      {"counter gap", ins(chunk(buf, 0, 3, 1, 0, 10)), ins(chunk(buf, 3, 6, 1, 4, 13)), false},
      {"lamport gap", ins(chunk(buf, 0, 3, 1, 0, 10)), ins(chunk(buf, 3, 6, 1, 3, 14)), false},
      {"other peer", ins(chunk(buf, 0, 3, 1, 0, 10)), ins(chunk(buf, 3, 6, 2, 3, 13)), false},
      {"byte gap", ins(chunk(buf, 0, 2, 1, 0, 10)), ins(chunk(buf, 3, 6, 1, 2, 12)), false},
      {"style anchor", ins(chunk(buf, 0, 3, 1, 0, 10)), R::insert(RichtextItem(StyleAnchor{})),
       false},
      {"retains always", R::retain(1), R::retain(2), true},
  };
  for (auto& c : cases) EXPECT_EQ(R::can_merge(c.a, c.b), c.want) << c.name;
  EXPECT_EQ(R::insert(RichtextItem(StyleAnchor{})).rle_len(), 1u);

  R a = ins(chunk(buf, 0, 3, 1, 0, 10));
  a.merge_right(ins(chunk(buf, 3, 6, 1, 3, 13)));
  EXPECT_EQ(a.as_replace().value.as_text().unicode_len, 6u);
  R b = ins(chunk(buf, 3, 6, 1, 3, 13));
  b.merge_left(ins(chunk(buf, 0, 3, 1, 0, 10)));
  EXPECT_EQ(b.as_replace().value.as_text().counter, 0);
  EXPECT_EQ(b.as_replace().value.as_text().lamport, 10u);
  EXPECT_EQ(b.as_replace().value.as_text().bytes.start(), 0u);
}

TEST(DeltaItemRichtext, SplitCountsUtf16AndShiftsIdentifiers) {
  std::string s =
      "a\xF0\x9D\x84\x9E"
      "b";  // a, U+1D11E (two UTF-16 units), b
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view(s)));
  TextChunk c = TextChunk::make(buf, 5, 100, 200);
  EXPECT_EQ(c.unicode_len, 3u);
  EXPECT_EQ(c.utf16_len, 4u);
  TextChunk tail = c.split_off(2);
  EXPECT_EQ(c.unicode_len, 2u);
  EXPECT_EQ(c.utf16_len, 3u);
  EXPECT_EQ(c.bytes.size(), 5u);
  EXPECT_EQ(tail.counter, 102);
  EXPECT_EQ(tail.lamport, 202u);
  EXPECT_EQ(tail.utf16_len, 1u);
  // An anchor cannot be split.
  RichtextItem anchor{StyleAnchor{}};
  EXPECT_THROW(RichtextRawDeltaOps::split_value(anchor, 0), InvariantViolation);
}

TEST(DeltaRopeQuery, BoundariesLandOnTheLaterProducingItem) {
  ListDelta d = rope_of<ListDeltaOps>(
      {L::retain(2), L::deletion(3), L::insert(entries(0, 2)), L::deletion(1)});
  ASSERT_EQ(d.len(), 4u);
  auto items = [&](size_t p) {
    auto q = d.query(p);
    return std::make_pair(d.tree().get_elem(q->cursor.leaf).debug(), q->cursor.offset);
  };
  // Position 2 skips the pure deletion and lands at the insert's start.
  EXPECT_EQ(items(2), std::make_pair(L::insert(entries(0, 2)).debug(), size_t(0)));
  // len - 1 finds the last item that produces positions.
  EXPECT_EQ(items(3), std::make_pair(L::insert(entries(0, 2)).debug(), size_t(1)));
  EXPECT_EQ(items(1), std::make_pair(L::retain(2).debug(), size_t(1)));
  EXPECT_FALSE(ListDelta().query(0).has_value());
}

TEST(DeltaRopeInsertAt, PadsBeyondTheEndAndSplitsInside) {
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("xyz")));
  RichtextRawDelta d;
  d.insert_at(3, RichtextRawDeltaItem::insert(RichtextItem(TextChunk::make(buf, 1, 0, 0))));
  auto items = d.items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], RichtextRawDeltaItem::retain(3));
  d.insert_at(1, RichtextRawDeltaItem::insert(RichtextItem(StyleAnchor{})));
  items = d.items();
  ASSERT_EQ(items.size(), 4u) << d.debug();
  EXPECT_EQ(items[0], RichtextRawDeltaItem::retain(1));
  EXPECT_FALSE(items[1].as_replace().value.is_text());
  EXPECT_EQ(items[2], RichtextRawDeltaItem::retain(2));
  EXPECT_EQ(d.len(), 7u);
}

}  // namespace
}  // namespace kesu
