#include <gtest/gtest.h>

#include "kesu/arena/invariant.h"
#include "richtext_test_util.h"

namespace kesu {
namespace {

using testing::chunk_of;
using testing::slice_of;

// a (1 byte), é (2), U+1F600 (4), b (1).
constexpr const char* kMixed =
    "a\xC3\xA9\xF0\x9F\x98\x80"
    "b";

TEST(RichtextTextChunk, CountsCodePointsAndUtf16Units) {
  struct Case {
    const char* text;
    uint32_t cps, u16;
  } cases[] = {
      {"", 0, 0}, {"abc", 3, 3}, {kMixed, 4, 5}, {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2, 4}};
  for (const auto& c : cases) {
    TextChunk t = chunk_of(c.text);
    EXPECT_EQ(t.unicode_len, c.cps) << c.text;
    EXPECT_EQ(t.utf16_len, c.u16) << c.text;
  }
}

TEST(RichtextTextChunk, ByteAndUtf16OffsetTable) {
  TextChunk t = chunk_of(kMixed);
  struct Case {
    bool utf16;
    size_t in;
    bool ok;
    uint32_t out;
  } cases[] = {
      {false, 0, true, 0},  {false, 1, true, 1},  {false, 2, false, 1}, {false, 3, true, 2},
      {false, 4, false, 2}, {false, 6, false, 2}, {false, 7, true, 3},  {false, 8, true, 4},
      {false, 9, false, 4}, {true, 0, true, 0},   {true, 2, true, 2},   {true, 3, false, 2},
      {true, 4, true, 3},   {true, 5, true, 4},   {true, 6, false, 4},
  };
  for (const auto& c : cases) {
    auto r = c.utf16 ? t.unicode_offset_of_utf16(c.in) : t.unicode_offset_of_byte(c.in);
    EXPECT_EQ(r.first, c.ok) << (c.utf16 ? "utf16 " : "byte ") << c.in;
    EXPECT_EQ(r.second, c.out) << (c.utf16 ? "utf16 " : "byte ") << c.in;
  }
}

TEST(RichtextTextChunk, AsciiShortcutPassesOffsetsThrough) {
  TextChunk t = chunk_of("hello");
  EXPECT_EQ(t.unicode_offset_of_byte(3), std::make_pair(true, 3u));
  EXPECT_EQ(t.unicode_offset_of_byte(9), std::make_pair(true, 9u));
  EXPECT_EQ(t.unicode_offset_of_utf16(7), std::make_pair(true, 7u));
}

TEST(RichtextTextChunk, InvalidUtf8IsAnErrorNotACrash) {
  const char* bad[] = {"\xC3",
                       "a\xFF"
                       "b",
                       "\xED\xA0\x80", "\xF0\x9F\x98"};
  for (const char* b : bad) {
    auto r = TextChunk::make(slice_of(b), IdFull{1, 0, 0});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), KesuErrorKind::ArgErr);
  }
  // A slice ending inside a character of a valid buffer is refused too.
  BytesSlice whole = slice_of(kMixed);
  EXPECT_FALSE(TextChunk::make(whole.slice(0, 2), IdFull{}).ok());
}

TEST(RichtextTextChunk, SliceSplitAndPrefixLengths) {
  TextChunk t = chunk_of(kMixed, IdFull{7, 100, 10});
  TextChunk mid = t.slice(1, 3);
  EXPECT_EQ(mid.as_str(), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(mid.unicode_len, 2u);
  EXPECT_EQ(mid.utf16_len, 3u);
  EXPECT_EQ(mid.id.counter, 11);
  EXPECT_EQ(mid.id.lamport, 101u);
  EXPECT_EQ(t.bytes_of_prefix(3), 7u);
  EXPECT_EQ(t.utf16_of_prefix(3), 4u);
  EXPECT_THROW(t.slice(2, 2), InvariantViolation);

  TextChunk right = t.split(2);
  EXPECT_EQ(t.as_str(), "a\xC3\xA9");
  EXPECT_EQ(t.utf16_len, 2u);
  EXPECT_EQ(right.as_str(),
            "\xF0\x9F\x98\x80"
            "b");
  EXPECT_EQ(right.utf16_len, 3u);
  EXPECT_EQ(right.id.counter, 12);
  EXPECT_TRUE(t.can_append(right));
  t.append(right);
  EXPECT_EQ(t.as_str(), kMixed);
}

TEST(RichtextTextChunk, PrependJoinsOnlyContiguousBytesOfOneBuffer) {
  BytesSlice buf = slice_of("abcdef");
  TextChunk left = TextChunk::make_trusted(buf.slice(0, 2), IdFull{1, 0, 0});
  TextChunk right = TextChunk::make_trusted(buf.slice(2, 6), IdFull{1, 2, 2});
  TextChunk gap = TextChunk::make_trusted(buf.slice(3, 6), IdFull{1, 3, 3});
  TextChunk other = chunk_of("ab");
  EXPECT_THROW(gap.prepend(left), InvariantViolation);
  EXPECT_THROW(right.prepend(other), InvariantViolation);
  right.prepend(left);
  EXPECT_EQ(right.as_str(), "abcdef");
  EXPECT_EQ(right.unicode_len, 6u);
  EXPECT_EQ(right.id.counter, 0);
}

}  // namespace
}  // namespace kesu
