#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kesu/arena/invariant.h"
#include "kesu/delta/text_delta_value.h"
#include "kesu/richtext/loader.h"
#include "richtext_test_util.h"

namespace kesu {
namespace {

using testing::picture;
using testing::slice_of;
using testing::state_of;
using testing::style;

constexpr const char* kMixed =
    "a\xC3\xA9\xF0\x9F\x98\x80"
    "b";  // a é 😀 b

TEST(RichtextState, EmptyStateConvertsToZero) {
  RichtextState s;
  for (PosType t : {PosType::Bytes, PosType::Unicode, PosType::Utf16, PosType::Entity}) {
    EXPECT_EQ(s.event_index_of(0, t), 0u);
    EXPECT_EQ(s.unicode_to_pos(0, t), 0u);
    EXPECT_EQ(s.convert_pos(0, PosType::Unicode, t), std::optional<size_t>(0));
  }
  EXPECT_TRUE(s.entity_ranges_for_delete(0, 0, PosType::Unicode).empty());
  EXPECT_EQ(s.entity_index_for_text_insert(0, PosType::Unicode).first, 0u);
  EXPECT_FALSE(s.entity_index_for_text_insert(0, PosType::Unicode).second.has_value());
}

TEST(RichtextState, EmojiMetrics) {
  RichtextState s = state_of(
      "a\xF0\x9F\x98\x80"
      "b");
  EXPECT_EQ(s.len(PosType::Bytes), 6u);
  EXPECT_EQ(s.len(PosType::Unicode), 3u);
  EXPECT_EQ(s.len(PosType::Utf16), 4u);
  EXPECT_EQ(s.len(PosType::Entity), 3u);
  auto q = s.query(2, PosType::Unicode);
  ASSERT_TRUE(q);
  EXPECT_EQ(s.index_of_cursor(q->cursor, PosType::Bytes), 5u);
  EXPECT_EQ(s.index_of_cursor(q->cursor, PosType::Utf16), 3u);
  EXPECT_EQ(s.index_of_cursor(q->cursor, PosType::Unicode), 2u);
  EXPECT_EQ(s.event_index_of(2, PosType::Event), 2u);
  EXPECT_EQ(s.event_index_of(3, PosType::Utf16), 2u);
}

TEST(RichtextState, OffsetTableInEveryUnit) {
  // Unicode k -> bytes, UTF-16 and entity offsets, first plain then with a
  // style anchor pair around é (entities shift after each anchor).
  struct Row {
    size_t unicode, bytes, utf16, entity_plain, entity_styled;
  } rows[] = {{0, 0, 0, 0, 0}, {1, 1, 1, 1, 2}, {2, 3, 2, 2, 4}, {3, 7, 4, 3, 5}, {4, 8, 5, 4, 6}};
  RichtextState plain = state_of(kMixed);
  RichtextState styled = state_of(kMixed);
  styled.mark_with_entity_index(1, 2, style("bold", 0));
  ASSERT_EQ(picture(styled),
            "a<\xC3\xA9>\xF0\x9F\x98\x80"
            "b");
  for (const auto& r : rows) {
    for (RichtextState* s : {&plain, &styled}) {
      EXPECT_EQ(s->convert_pos(r.unicode, PosType::Unicode, PosType::Bytes), r.bytes);
      EXPECT_EQ(s->convert_pos(r.unicode, PosType::Unicode, PosType::Utf16), r.utf16);
      EXPECT_EQ(s->convert_pos(r.bytes, PosType::Bytes, PosType::Unicode), r.unicode);
      EXPECT_EQ(s->convert_pos(r.utf16, PosType::Utf16, PosType::Unicode), r.unicode);
      EXPECT_EQ(s->convert_pos(r.utf16, PosType::Utf16, PosType::Bytes), r.bytes);
    }
    EXPECT_EQ(plain.convert_pos(r.unicode, PosType::Unicode, PosType::Entity), r.entity_plain);
    EXPECT_EQ(styled.convert_pos(r.unicode, PosType::Unicode, PosType::Entity), r.entity_styled);
  }
  // Inside a character: the start of that character; past the end: none.
  EXPECT_EQ(plain.convert_pos(2, PosType::Bytes, PosType::Unicode), 1u);
  EXPECT_EQ(plain.convert_pos(5, PosType::Bytes, PosType::Utf16), 2u);
  EXPECT_EQ(plain.convert_pos(3, PosType::Utf16, PosType::Unicode), 2u);
  EXPECT_FALSE(plain.convert_pos(5, PosType::Unicode, PosType::Bytes));
  EXPECT_EQ(plain.convert_unicode_pos(4, PosType::Bytes), 8u);
  EXPECT_FALSE(plain.convert_unicode_pos(5, PosType::Bytes));
}

TEST(RichtextState, ReadRangeInUnit) {
  RichtextState s = state_of(kMixed);
  std::string out;
  auto r = s.read_range_in_unit(out, PosType::Unicode, 1, 3);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, std::make_pair(size_t(1), size_t(2)));
  EXPECT_EQ(out, "\xC3\xA9\xF0\x9F\x98\x80");
  s.mark_with_entity_index(0, 1, style("bold", 0));  // <a>é😀b
  out.clear();
  r = s.read_range_in_unit(out, PosType::Bytes, 1, 7);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, std::make_pair(size_t(3), size_t(2)));
  EXPECT_EQ(out, "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_FALSE(s.read_range_in_unit(out, PosType::Unicode, 2, 9).ok());
  EXPECT_FALSE(s.read_range_in_unit(out, PosType::Unicode, 3, 2).ok());
}

// x<ab>y with the style over "ab": where does text typed after x, or after
// b, go for each pair of expand flags?
TEST(RichtextState, ExpandFlagInsertionTable) {
  struct Case {
    uint8_t info;
    bool removal;
    size_t pos;
    size_t entity;
    bool styled;
  } cases[] = {
      {0, false, 1, 1, false}, {0, false, 3, 5, false}, {2, false, 1, 2, true},
      {2, false, 3, 5, false}, {4, false, 1, 1, false}, {4, false, 3, 4, true},
      {6, false, 1, 2, true},  {6, false, 3, 4, true},  {2, true, 1, 1, false},
  };
  for (const auto& c : cases) {
    RichtextState s = state_of("xaby");
    auto op = style("bold", c.info, 1, 1, 100, c.removal ? KesuValue() : KesuValue(true));
    s.mark_with_entity_index(1, 3, op);
    ASSERT_EQ(picture(s), "x<ab>y");
    auto [entity, cursor] = s.entity_index_for_text_insert(c.pos, PosType::Unicode);
    EXPECT_EQ(entity, c.entity) << int(c.info) << " pos " << c.pos;
    s.clear_cursor_cache();
    EXPECT_EQ(s.entity_index_for_text_insert(c.pos, PosType::Utf16).first, c.entity);
    ASSERT_TRUE(s.insert_text_at_entity(entity, slice_of("Z"), IdFull{9, 0, 0}).ok());
    bool z_styled = false;
    for (const auto& run : s.iter_with_styles())
      if (run.text.as_str() == "Z") z_styled = !run.styles.empty();
    EXPECT_EQ(z_styled, c.styled) << int(c.info) << " pos " << c.pos;
  }
}

TEST(RichtextState, SeveralAnchorsStopAtTheFirstSticky) {
  RichtextState s = state_of("ab");
  s.mark_with_entity_index(0, 1, style("italic", 0, 1, 1, 10));  // <a>b, end does not expand
  s.mark_with_entity_index(0, 4, style("bold", 4, 2, 1, 11));    // [<a>b], ends expand
  ASSERT_EQ(picture(s), "<<a>b>");
  // After a: pass the italic end (not sticky); entity 3 is before "b".
  EXPECT_EQ(s.entity_index_for_text_insert(1, PosType::Unicode).first, 4u);
  s.clear_cursor_cache();
  // After b: bold's end anchor expands after: text stays before it.
  EXPECT_EQ(s.entity_index_for_text_insert(2, PosType::Unicode).first, 5u);
}

TEST(RichtextState, PositionZeroRuleDoesNotDependOnTheCache) {
  RichtextState s = state_of("ab");
  s.mark_with_entity_index(0, 2, style("bold", TextStyleInfo::kExpandBefore));
  ASSERT_EQ(picture(s), "<ab>");
  // Cold: entity 0 is before everything; code point 0 passes the start anchor.
  EXPECT_EQ(s.entity_index_for_text_insert(0, PosType::Entity).first, 0u);
  s.clear_cursor_cache();
  EXPECT_EQ(s.entity_index_for_text_insert(0, PosType::Unicode).first, 1u);
  // Warm, on the first leaf: the same entity answer.
  s.seed_cursor_cache(*s.tree().first_leaf());
  EXPECT_EQ(s.entity_index_for_text_insert(0, PosType::Entity).first, 0u);
}

TEST(RichtextState, CacheAnswersTheEndOfATypedRunInsideANonExpandingStyle) {
  RichtextState s = state_of("ab");
  s.mark_with_entity_index(0, 2, style("link", 0));
  ASSERT_EQ(picture(s), "<ab>");
  ASSERT_TRUE(s.insert_text_at_entity(3, slice_of("X"), IdFull{5, 0, 0}).ok());
  ASSERT_EQ(picture(s), "<abX>");
  EXPECT_EQ(s.entity_index_for_text_insert(3, PosType::Unicode).first, 4u);
  s.clear_cursor_cache();
  EXPECT_EQ(s.entity_index_for_text_insert(3, PosType::Unicode).first, 5u);
}

// Insertion and the slow path of the insert-position lookup leave the cached
// leaf's start known in every unit, learned from the descent instead of a
// walk back up. A start that disagrees with the tree would send the next
// keystroke to the wrong place, so every learned start is checked against a
// fresh walk, through typing (runs that grow in place), jumps to random
// places in every unit, and style anchors.
TEST(RichtextState, CursorCacheStartsAgreeWithTheTree) {
  std::mt19937_64 rng(23);
  std::string text;
  const char* pieces[] = {"x", "\xC3\xA9", "\xF0\x9F\x98\x80", "yz"};
  for (int i = 0; i < 400; ++i) text += pieces[i % 4];
  BytesSlice buf = slice_of(text);
  RichtextState s = state_of(
      "ab\xC3\xA9\xF0\x9F\x98\x80"
      "cd");
  s.mark_with_entity_index(1, 3, style("bold", 0x04));
  const PosType units[] = {PosType::Bytes, PosType::Unicode, PosType::Utf16, PosType::Event,
                           PosType::Entity};
  auto check = [&](const char* what, int step) {
    const auto& cache = s.cursor_cache();
    if (!cache) return;
    for (PosType t : units) {
      const auto& start = cache->starts[size_t(t)];
      if (start) {
        ASSERT_EQ(*start, s.leaf_start(cache->leaf, t))
            << what << " step " << step << " unit " << int(t);
      }
    }
  };
  size_t used = 0;  // bytes of `buf` inserted so far
  Counter typed = 0;
  size_t typing_at = 0;  // code point position after the last typed piece
  for (int step = 0; step < 400 && used < text.size(); ++step) {
    bool typing = step % 3 != 0;
    size_t p = typing ? typing_at : rng() % (s.len(PosType::Unicode) + 1);
    PosType unit = typing ? PosType::Unicode : units[rng() % 5];
    size_t pos = *s.convert_pos(p, PosType::Unicode, unit);
    auto [entity, cur] = s.entity_index_for_text_insert(pos, unit);
    check("lookup", step);
    // Typing continues one peer's run out of one buffer; a jump starts a
    // run of its own.
    const char* piece = pieces[used / 2 % 4];
    size_t n = std::string_view(piece).size();
    if (text.compare(used, n, piece) != 0) {
      // Keep slices on character boundaries of the buffer.
      n = unicode_to_byte_offset(std::string_view(text).substr(used), 1);
    }
    IdFull id = typing ? IdFull{7, Lamport(typed), typed} : IdFull{PeerID(1000 + step), 0, 0};
    auto r = s.insert_text_at_entity(entity, buf.slice(used, used + n), id);
    ASSERT_TRUE(r.ok());
    size_t chars = count_unicode(std::string_view(text).substr(used, n));
    if (typing) typed += Counter(chars);
    used += n;
    typing_at = p + chars;
    check("insert", step);
  }
  EXPECT_EQ(s.tree().check_invariants(), "");
}

TEST(RichtextState, CursorCacheLookups) {
  RichtextState s = state_of("0123456789");
  EXPECT_FALSE(RichtextState().cached_cursor(0, PosType::Unicode));
  EXPECT_FALSE(RichtextState().cached_leaf_start(PosType::Unicode));
  auto c = s.insert_text_at_entity(10, slice_of("abcde"), IdFull{2, 0, 0});
  ASSERT_TRUE(c.ok());
  struct Case {
    size_t pos;
    std::optional<size_t> offset;
  } cases[] = {{10, 0}, {15, 5}, {12, 2}, {9, std::nullopt}, {16, std::nullopt}};
  for (const auto& k : cases) {
    s.seed_cursor_cache(c->leaf);
    auto got = s.cached_cursor(k.pos, PosType::Unicode);
    EXPECT_EQ(got.has_value(), k.offset.has_value()) << k.pos;
    if (got) {
      EXPECT_EQ(got->offset, *k.offset);
    }
    EXPECT_EQ(s.cursor_cache().has_value(), k.offset.has_value()) << k.pos;
  }
  s.seed_cursor_cache(c->leaf);
  EXPECT_FALSE(s.cursor_cache()->starts[2].has_value());
  EXPECT_EQ(s.cached_leaf_start(PosType::Utf16), 10u);
  EXPECT_TRUE(s.cursor_cache()->starts[2].has_value());
  // A byte offset inside a character misses.
  RichtextState m = state_of("x");
  auto mc = m.insert_text_at_entity(1, slice_of(kMixed), IdFull{3, 0, 0});
  m.seed_cursor_cache(mc->leaf);
  EXPECT_EQ(m.cached_cursor(4, PosType::Bytes)->offset, 2u);
  EXPECT_FALSE(m.cached_cursor(3, PosType::Bytes));
  // A cached anchor: offset 1 at its end in entities.
  RichtextState a = state_of("ab");
  a.mark_with_entity_index(1, 2, style("bold", 0));  // a<b>
  auto q = a.query(1, PosType::Entity);
  a.seed_cursor_cache(q->cursor.leaf);
  EXPECT_EQ(a.cached_cursor(2, PosType::Entity)->offset, 1u);
  a.seed_cursor_cache(q->cursor.leaf);
  EXPECT_EQ(a.cached_cursor(1, PosType::Unicode)->offset, 0u);
}

TEST(RichtextState, TypingByOnePeerStaysOneRun) {
  BytesSlice buf = slice_of("abc");
  RichtextState s;
  for (int i = 0; i < 3; ++i) {
    auto [e, c] = s.entity_index_for_text_insert(size_t(i), PosType::Unicode);
    ASSERT_TRUE(s.insert_text_at_entity(e, buf.slice(i, i + 1), IdFull{1, Lamport(i), i}).ok());
  }
  EXPECT_EQ(s.tree().size(), 1u);
  EXPECT_EQ(s.to_string(), "abc");
  // A run of another peer at entity 0 becomes a new first leaf.
  ASSERT_TRUE(s.insert_text_at_entity(0, slice_of("z"), IdFull{2, 0, 0}).ok());
  EXPECT_EQ(s.tree().size(), 2u);
  EXPECT_EQ(s.to_string(), "zabc");
}

TEST(RichtextState, InsertRefusesInvalidUtf8AndBadPositions) {
  RichtextState s = state_of("ab");
  EXPECT_FALSE(s.insert_text_at_entity(1, slice_of("\xC3"), IdFull{}).ok());
  EXPECT_FALSE(s.insert_text_at_entity(3, slice_of("x"), IdFull{}).ok());
  EXPECT_FALSE(s.insert_text_at_entity(1, slice_of(""), IdFull{}).ok());
  EXPECT_EQ(s.to_string(), "ab");
  EXPECT_EQ(s.tree().check_invariants(), "");
}

TEST(RichtextState, MarkAbcdef) {
  RichtextState s = state_of("abcdef");
  s.mark_with_entity_index(2, 5, style("bold", 0));
  EXPECT_EQ(picture(s), "ab<cde>f");
  auto ranges = s.style_ranges()->styled_ranges();
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(std::get<0>(ranges[0]), 2u);
  EXPECT_EQ(std::get<1>(ranges[0]), 7u);
  RichtextState empty;
  EXPECT_THROW(empty.mark_with_entity_index(0, 0, style("bold", 0)), InvariantViolation);
}

TEST(RichtextState, DrainInsideOneRun) {
  RichtextState s = state_of("abcdef");
  std::vector<RichtextStateChunk> removed;
  auto r = s.drain_by_entity_index(2, 1, &removed);
  EXPECT_EQ(r.event_start, 2u);
  EXPECT_EQ(r.event_end, 3u);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].as_text().as_str(), "c");
  auto chunks = s.chunks();
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].as_text().as_str(), "def");
  EXPECT_EQ(chunks[1].as_text().id.counter, 3);
  s.drain_by_entity_index(0, 1);
  chunks = s.chunks();
  EXPECT_EQ(chunks[0].as_text().as_str(), "b");
  EXPECT_EQ(chunks[0].as_text().id.counter, 1);
  EXPECT_EQ(chunks[0].as_text().id.lamport, 1u);
  EXPECT_FALSE(s.style_ranges());
  EXPECT_THROW(s.drain_by_entity_index(3, 5), InvariantViolation);
}

TEST(RichtextState, DrainAnchorsAndStyleChanges) {
  auto fresh = [] {
    RichtextState s = state_of("abcdef");
    s.mark_with_entity_index(1, 3, style("bold", 0));
    return s;
  };
  {
    RichtextState s = fresh();
    ASSERT_EQ(picture(s), "a<bc>def");
    auto r = s.drain_by_entity_index(4, 1);  // the end anchor alone
    EXPECT_EQ(r.event_start, r.event_end);
    ASSERT_TRUE(r.style_change);
    EXPECT_EQ(*r.style_change, (std::array<size_t, 4>{1, 4, 1, 3}));
    EXPECT_TRUE(s.style_ranges()->styled_ranges().empty());
  }
  {
    RichtextState s = fresh();
    auto r = s.drain_by_entity_index(3, 3);  // c > d
    EXPECT_EQ(picture(s), "a<bef");
    ASSERT_TRUE(r.style_change);
    EXPECT_EQ(*r.style_change, (std::array<size_t, 4>{1, 3, 1, 2}));
    EXPECT_EQ(r.event_start, 2u);
    EXPECT_EQ(r.event_end, 4u);
  }
  {
    RichtextState s = fresh();
    auto r = s.drain_by_entity_index(1, 1);  // the start anchor alone
    EXPECT_FALSE(r.style_change);
    EXPECT_FALSE(s.style_ranges()->styled_ranges().empty());
  }
}

TEST(RichtextState, EntityRangesForDelete) {
  RichtextState s = state_of("abcdef");
  s.mark_with_entity_index(1, 3, style("bold", 0));  // a<bc>def
  auto r = s.entity_ranges_for_delete(0, 4, PosType::Unicode);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0], (EntityRangeInfo{{1, 0}, 0, 1, 1}));
  EXPECT_EQ(r[1], (EntityRangeInfo{{1, 1}, 2, 4, 2}));
  EXPECT_EQ(r[2], (EntityRangeInfo{{1, 3}, 5, 6, 1}));
  EXPECT_TRUE(s.entity_ranges_for_delete(4, 3, PosType::Unicode).empty());
  RichtextState two = state_of("abc");
  ASSERT_TRUE(two.insert_text_at_entity(3, slice_of("def"), IdFull{1, 3, 3}).ok());
  ASSERT_EQ(two.tree().size(), 2u);
  r = two.entity_ranges_for_delete(1, 4, PosType::Unicode);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], (EntityRangeInfo{{1, 1}, 1, 5, 4}));
}

TEST(RichtextLoader, PairsAnchorsInOrder) {
  auto x = style("bold", 0, 1, 1, 50);
  auto y = style("italic", 0, 2, 1, 60);
  RichtextStateLoader l;
  l.push(RichtextStateChunk::text(testing::chunk_of("ab")));
  l.push(RichtextStateChunk::anchor(x, AnchorType::Start));
  l.push(RichtextStateChunk::anchor(y, AnchorType::Start));
  l.push(RichtextStateChunk::text(testing::chunk_of("c", IdFull{1, 2, 2})));
  l.push(RichtextStateChunk::anchor(y, AnchorType::End));
  l.push(RichtextStateChunk::anchor(x, AnchorType::End));
  EXPECT_EQ(l.entity_index(), 7u);
  ASSERT_EQ(l.styles().size(), 2u);
  EXPECT_EQ(std::get<0>(l.styles()[0]), y);
  EXPECT_EQ(std::get<1>(l.styles()[0]), 3u);
  EXPECT_EQ(std::get<2>(l.styles()[0]), 6u);
  EXPECT_EQ(std::get<1>(l.styles()[1]), 2u);
  EXPECT_EQ(std::get<2>(l.styles()[1]), 7u);
  RichtextState s = std::move(l).into_state();
  EXPECT_EQ(picture(s), "ab<<c>>");
  EXPECT_EQ(StyleRangeMap::styles_at(s.style_ranges(), 5).size(), 2u);
}

TEST(RichtextLoader, OrphanEndAnchorStillLoads) {
  RichtextState s = state_of("abcdef");
  s.mark_with_entity_index(1, 3, style("bold", 0));
  s.drain_by_entity_index(1, 1);  // the start anchor alone
  ASSERT_EQ(picture(s), "abc>def");
  RichtextStateLoader l;
  for (auto& c : s.chunks()) l.push(std::move(c));
  EXPECT_EQ(l.orphan_end_anchors(), 1u);
  RichtextState back = std::move(l).into_state();
  EXPECT_EQ(picture(back), "abc>def");
  EXPECT_EQ(back.len(PosType::Entity), 7u);
  EXPECT_EQ(back.tree().check_invariants(), "");
  EXPECT_EQ(back.entity_index_for_text_insert(6, PosType::Unicode).first, 7u);
}

TEST(RichtextLoader, CollectChunksInIdSpan) {
  RichtextStateChunk text = RichtextStateChunk::text(testing::chunk_of("abcde", IdFull{1, 10, 10}));
  RichtextStateChunk anchor =
      RichtextStateChunk::anchor(style("bold", 0, 1, 1, 7), AnchorType::End);
  struct Case {
    IdSpan target;
    const RichtextStateChunk* chunk;
    std::string expect;  // text of the piece, "*" for an anchor, "" for nothing
  } cases[] = {
      {{1, {12, 20}}, &text, "cde"}, {{2, {12, 20}}, &text, ""},  {{1, {19, 11}}, &text, "cde"},
      {{1, {0, 10}}, &text, ""},     {{1, {7, 8}}, &anchor, "*"}, {{1, {5, 7}}, &anchor, ""},
  };
  for (const auto& c : cases) {
    std::vector<RichtextStateChunk> out;
    collect_chunks_in_id_span(c.target, out, *c.chunk);
    std::string got;
    for (const auto& o : out) got += o.is_text() ? std::string(o.as_text().as_str()) : "*";
    EXPECT_EQ(got, c.expect) << c.target.debug();
  }
}

}  // namespace
}  // namespace kesu
