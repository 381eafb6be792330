// Composition of delta ropes: applying compose(A, B) must equal applying A and
// then B, for random deltas of every shape, and the documented corner cases
// must give exactly the documented items.
#include <gtest/gtest.h>

#include <random>

#include "delta_test_model.h"

namespace kesu {
namespace {

using namespace kesu::testing;

// ---- random deltas ------------------------------------------------------------

const char* const kChars[] = {"a", "b", "c", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E"};

std::string random_text(std::mt19937_64& rng, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += kChars[rng() % 6];
  return s;
}

TextMeta random_meta(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0:
      return meta({{"bold", KesuValue(true)}});
    case 1:
      return meta({{"italic", KesuValue(int64_t(rng() % 3))}});
    case 2:
      return meta({{"bold", KesuValue()}});
    default:
      return {};
  }
}

// A valid text delta over a source of `len` positions, built by the push
// steps or by the builder; text comes as owned strings or as slices of one
// shared buffer, so that both joining rules are exercised.
TextDelta random_text_delta(std::mt19937_64& rng, size_t len, size_t ops) {
  std::string pool = random_text(rng, 64);
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view(pool)));
  bool use_builder = rng() % 3 == 0;
  TextDelta d;
  TextDeltaBuilder b;
  size_t pos = 0;
  size_t pool_at = 0;
  for (size_t i = 0; i < ops; ++i) {
    size_t kind = rng() % 3;
    size_t remaining = len - pos;
    if (kind == 0 && remaining > 0) {
      size_t k = 1 + rng() % std::min<size_t>(remaining, 6);
      TextMeta m = rng() % 3 == 0 ? random_meta(rng) : TextMeta{};
      if (use_builder) {
        b.retain_with_attr(k, m);
      } else {
        d.push_retain(k, m);
      }
      pos += k;
    } else if (kind == 1 && remaining > 0) {
      size_t k = 1 + rng() % std::min<size_t>(remaining, 6);
      if (use_builder) {
        b.delete_(k);
      } else {
        d.push_delete(k);
      }
      pos += k;
    } else {
      StringSlice v = StringSlice::owned(random_text(rng, 1 + rng() % 4));
      if (rng() % 2 == 0) {
        // A slice of the shared pool, continuing the previous one at times.
        std::string_view p = pool;
        size_t chars = count_unicode(p);
        if (pool_at >= chars || rng() % 3 == 0) pool_at = rng() % chars;
        size_t n = 1 + rng() % std::min<size_t>(3, chars - pool_at);
        size_t from = unicode_to_byte_offset(p, pool_at);
        size_t to = unicode_to_byte_offset(p, pool_at + n);
        v = StringSlice::slice(buf.slice(from, to));
        pool_at += n;
      }
      TextMeta m = rng() % 4 == 0 ? random_meta(rng) : TextMeta{};
      if (use_builder) {
        // The text builder has no insert step of its own in the engine; the
        // generic one follows the same rule as the push step.
        b.insert(std::move(v), std::move(m));
      } else {
        d.push_insert(std::move(v), std::move(m));
      }
    }
  }
  if (use_builder) return b.build();
  if (rng() % 2) d.trim_trailing_retains();
  return d;
}

ListDelta random_list_delta(std::mt19937_64& rng, size_t len, size_t ops, int64_t& next_value) {
  bool use_builder = rng() % 3 == 0;
  ListDelta d;
  ListDeltaBuilder b;
  size_t pos = 0;
  for (size_t i = 0; i < ops; ++i) {
    size_t kind = rng() % 3;
    size_t remaining = len - pos;
    if (kind == 0 && remaining > 0) {
      size_t k = 1 + rng() % std::min<size_t>(remaining, 6);
      ListDeltaMeta m{rng() % 4 == 0};
      if (use_builder) {
        if (m.from_move) {
          b.retain_with_attr(k, m);
        } else {
          b.retain(k);
        }
      } else {
        d.push_retain(k, m);
      }
      pos += k;
    } else if (kind == 1 && remaining > 0) {
      size_t k = 1 + rng() % std::min<size_t>(remaining, 6);
      if (use_builder) {
        b.delete_(k);
      } else {
        d.push_delete(k);
      }
      pos += k;
    } else {
      ArrayVec v;
      size_t n = 1 + rng() % 5;
      for (size_t j = 0; j < n; ++j) v.push(KesuValue(next_value++));
      ListDeltaMeta m{rng() % 4 == 0};
      if (use_builder) {
        b.insert(std::move(v), m);
      } else {
        d.push_insert(std::move(v), m);
      }
    }
  }
  return use_builder ? b.build() : std::move(d);
}

std::vector<TextElem> random_source_text(std::mt19937_64& rng, size_t n) {
  std::vector<TextElem> v;
  for (auto& c : split_chars(random_text(rng, n))) v.push_back({c, {}});
  return v;
}

// apply(apply(S, A), B) == apply(S, compose(A, B)), for text deltas of many
// sizes (small ones stay in one leaf, large ones build trees of depth 3+).
TEST(DeltaComposeProperty, TextComposeMatchesSequentialApply) {
  std::mt19937_64 rng(0x5eed1);
  for (int round = 0; round < 600; ++round) {
    size_t src_len = rng() % 40;
    size_t ops = round < 400 ? 1 + rng() % 12 : 100 + rng() % 300;
    if (round >= 400) src_len = 200 + rng() % 200;
    auto src = random_source_text(rng, src_len);
    TextDelta a = random_text_delta(rng, src_len, ops);
    auto mid = apply_text(src, a);
    ASSERT_TRUE(mid.has_value()) << a.debug();
    TextDelta b = random_text_delta(rng, mid->size(), ops);
    auto want = apply_text(*mid, b);
    ASSERT_TRUE(want.has_value());
    std::string before_b = b.debug();
    TextDelta c = a.clone();
    c.compose(b);
    auto got = apply_text(src, c);
    ASSERT_TRUE(got.has_value()) << "round " << round << "\nA=" << a.debug() << "\nB=" << b.debug()
                                 << "\nC=" << c.debug();
    ASSERT_EQ(text_of(*got), text_of(*want))
        << "round " << round << "\nA=" << a.debug() << "\nB=" << b.debug() << "\nC=" << c.debug();
    ASSERT_TRUE(*got == *want) << "styles differ in round " << round << "\nA=" << a.debug()
                               << "\nB=" << b.debug() << "\nC=" << c.debug();
    ASSERT_EQ(c.tree().check_invariants(), "") << "round " << round;
    ASSERT_EQ(b.debug(), before_b) << "compose changed its argument";
  }
}

TEST(DeltaComposeProperty, ListComposeMatchesSequentialApply) {
  std::mt19937_64 rng(0x5eed2);
  for (int round = 0; round < 600; ++round) {
    size_t src_len = round < 400 ? rng() % 40 : 200 + rng() % 200;
    size_t ops = round < 400 ? 1 + rng() % 12 : 100 + rng() % 300;
    std::vector<ListElem> src;
    for (size_t i = 0; i < src_len; ++i) src.push_back({KesuValue(-int64_t(i) - 1), false});
    int64_t next = 1;
    ListDelta a = random_list_delta(rng, src_len, ops, next);
    auto mid = apply_list(src, a);
    ASSERT_TRUE(mid.has_value());
    ListDelta b = random_list_delta(rng, mid->size(), ops, next);
    auto want = apply_list(*mid, b);
    ASSERT_TRUE(want.has_value());
    ListDelta c = a.clone();
    c.compose(b);
    auto got = apply_list(src, c);
    ASSERT_TRUE(got.has_value()) << "round " << round << "\nA=" << a.debug() << "\nB=" << b.debug()
                                 << "\nC=" << c.debug();
    ASSERT_TRUE(*got == *want) << "round " << round << "\nA=" << a.debug() << "\nB=" << b.debug()
                               << "\nC=" << c.debug();
    ASSERT_EQ(c.tree().check_invariants(), "") << "round " << round;
  }
}

// Composing three deltas in either grouping gives the same effect.
TEST(DeltaComposeProperty, CompositionIsAssociativeInEffect) {
  std::mt19937_64 rng(0x5eed3);
  for (int round = 0; round < 200; ++round) {
    size_t src_len = rng() % 30;
    auto src = random_source_text(rng, src_len);
    TextDelta a = random_text_delta(rng, src_len, 1 + rng() % 10);
    auto s1 = apply_text(src, a);
    TextDelta b = random_text_delta(rng, s1->size(), 1 + rng() % 10);
    auto s2 = apply_text(*s1, b);
    TextDelta c = random_text_delta(rng, s2->size(), 1 + rng() % 10);
    TextDelta left = a.clone();
    left.compose(b);
    left.compose(c);
    TextDelta bc = b.clone();
    bc.compose(c);
    TextDelta right = a.clone();
    right.compose(bc);
    auto l = apply_text(src, left);
    auto r = apply_text(src, right);
    ASSERT_TRUE(l && r);
    ASSERT_TRUE(*l == *r) << "round " << round;
  }
}

// ---- the documented corner cases ---------------------------------------------

struct ComposeCase {
  const char* name;
  std::vector<TextDeltaItem> a;
  bool a_empty_rope;
  std::vector<TextDeltaItem> b;
  std::vector<TextDeltaItem> want;
};

TEST(DeltaComposeCases, TextTable) {
  const TextMeta bold = meta({{"bold", KesuValue(true)}});
  const TextMeta italic = meta({{"italic", KesuValue(true)}});
  const TextMeta both = meta({{"bold", KesuValue(true)}, {"italic", KesuValue(true)}});
  std::vector<ComposeCase> cases = {
      {"empty A takes a copy of B, retains included",
       {},
       true,
       {T::retain(2), T::ins("x")},
       {T::retain(2), T::ins("x")}},
      {"empty B leaves A", {T::ins("ab")}, false, {}, {T::ins("ab")}},
      {"replace over a retain", {T::retain(3)}, false, {T::ins("X", {}, 3)}, {T::ins("X", {}, 3)}},
      {"deleting inserted text leaves nothing", {T::ins("abc")}, false, {T::del(3)}, {}},
      {"delete past an insert deletes beyond A", {T::ins("ab")}, false, {T::del(5)}, {T::del(3)}},
      {"a delete of A is never undone",
       {T::retain(2), T::del(4)},
       false,
       {T::retain(1), T::del(1)},
       {T::retain(1), T::del(1), T::del(4)}},
      {"retain past A's end pads and appends",
       {T::retain(2)},
       false,
       {T::retain(5), T::ins("Z")},
       {T::retain(5), T::ins("Z")}},
      {"item at A's end is appended",
       {T::ins("ab")},
       false,
       {T::retain(2), T::ins("c")},
       {T::ins("ab"), T::ins("c")}},
      {"default retain only moves the index",
       {T::ins("ab")},
       false,
       {T::retain(1), T::ins("X")},
       {T::ins("a"), T::ins("X"), T::ins("b")}},
      {"style over an insert splits it",
       {T::ins("abc", bold)},
       false,
       {T::retain(2, italic)},
       {T::ins("ab", both), T::ins("c", bold)}},
      {"empty replace changes nothing",
       {T::ins("ab")},
       false,
       {T::ins(""), T::retain(1, italic)},
       {T::ins("a", italic), T::ins("b")}},
      {"delete ending on an item boundary",
       {T::retain(2), T::ins("xy")},
       false,
       {T::del(2)},
       {T::del(2), T::ins("xy")}},
      {"insert into a retain splits it",
       {T::retain(4)},
       false,
       {T::retain(2), T::ins("Q")},
       {T::retain(2), T::ins("Q"), T::retain(2)}},
      {"delete inside a replace",
       {T::ins("abcd", {}, 1)},
       false,
       {T::retain(1), T::del(2)},
       {T::ins("ad", {}, 1)}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TextDelta a = c.a_empty_rope ? TextDelta() : rope_of<TextDeltaOps>(c.a);
    TextDelta b = rope_of<TextDeltaOps>(c.b);
    a.compose(b);
    EXPECT_EQ(a.debug(), rope_of<TextDeltaOps>(c.want).debug());
    EXPECT_EQ(a.tree().check_invariants(), "");
  }
}

TEST(DeltaComposeCases, ZeroLengthStyledRetainDoesNothing) {
  TextDelta a = rope_of<TextDeltaOps>({T::ins("ab")});
  TextDelta b =
      rope_of<TextDeltaOps>({T::retain(0, meta({{"bold", KesuValue(true)}})), T::ins("c")});
  a.compose(b);
  EXPECT_EQ(a.debug(), rope_of<TextDeltaOps>({T::ins("c"), T::ins("ab")}).debug());
}

// An owned string with spare capacity takes later text in place, at its end
// or inside it, instead of a new item.
TEST(DeltaComposeCases, RoomyOwnedStringTakesTextInPlace) {
  struct Case {
    const char* name;
    std::vector<TextDeltaItem> b;
    const char* want;
  };
  std::vector<Case> cases = {
      {"appended at the end", {T::retain(2), T::ins("c")}, "abc"},
      {"inserted inside", {T::retain(1), T::ins("X")}, "aXb"},
      {"inserted at the start", {T::ins("X")}, "Xab"},
  };
  for (auto& c : cases) {
    TextDelta a;
    a.push_insert(StringSlice::owned_with_capacity("ab", 8));
    a.compose(rope_of<TextDeltaOps>(c.b));
    ASSERT_EQ(a.tree().size(), 1u) << c.name << ": " << a.debug();
    EXPECT_EQ(a.begin().operator*().as_replace().value.text(), c.want) << c.name;
  }
}

TEST(DeltaComposeCases, ListFromMoveIsSetNeverCleared) {
  using L = ListDeltaItem;
  ListDelta a = rope_of<ListDeltaOps>({L::insert(ArrayVec{KesuValue(1), KesuValue(2)}),
                                       L::retain(2), L::insert(ArrayVec{KesuValue(3)}, {true})});
  ListDelta set = rope_of<ListDeltaOps>({L::retain(4, {true})});
  a.compose(set);
  for (const auto& it : a) EXPECT_TRUE(it.attr().from_move) << it.debug();
  ListDelta clear = rope_of<ListDeltaOps>({L::retain(5, {false})});
  a.compose(clear);
  for (const auto& it : a) EXPECT_TRUE(it.attr().from_move) << it.debug();
}

// The deletion walk over many leaves turns kept positions into deletes and
// drops inserted content, with the caches exact afterwards.
TEST(DeltaComposeCases, DeletionWalkAcrossManyLeaves) {
  std::vector<TextDeltaItem> items;
  for (int i = 0; i < 100; ++i) {
    items.push_back(T::retain(1, meta({{"k", KesuValue(int64_t(i))}})));
    items.push_back(T::ins("x", meta({{"k", KesuValue(int64_t(i))}})));
  }
  TextDelta a = rope_of<TextDeltaOps>(items);
  ASSERT_EQ(a.len(), 200u);
  TextDelta b = rope_of<TextDeltaOps>({T::retain(10), T::del(180)});
  a.compose(b);
  EXPECT_EQ(a.len(), 20u);
  EXPECT_EQ(a.tree().check_invariants(), "");
  // 90 retained positions of A became deletes; the 90 inserted characters vanished.
  size_t deleted = 0;
  for (const auto& it : a)
    if (it.is_replace()) deleted += it.as_replace().del;
  EXPECT_EQ(deleted, 90u);
}

TEST(DeltaComposeCases, RawRichtextComposeItemsRecordsDeletion) {
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("hello")));
  RichtextRawDelta a;
  a.push_retain(2);
  a.push_insert(RichtextItem(TextChunk::make(buf, 7, 0, 0)));
  size_t index = 3;
  a.compose_items(RichtextItem(), NoAttr{}, 2, index);
  // Positions 3..5 of the new text are characters 1..3 of the chunk.
  auto items = a.items();
  ASSERT_EQ(items.size(), 3u) << a.debug();
  EXPECT_EQ(items[1].as_replace().value.as_text().unicode_len, 1u);
  EXPECT_EQ(items[2].as_replace().value.as_text().unicode_len, 2u);
  EXPECT_EQ(items[2].as_replace().value.as_text().counter, 3);
  EXPECT_EQ(index, 3u);
  EXPECT_EQ(a.len(), 5u);
}

}  // namespace
}  // namespace kesu
