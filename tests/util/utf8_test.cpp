#include <gtest/gtest.h>

#include "util/utf8.h"

namespace brenvik {
namespace {

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(uint8_t(x));
  return b;
}

TEST(Utf8, AcceptsWellFormedText) {
  const Bytes cases[] = {
      {},
      to_bytes("plain ascii that is longer than eight bytes"),
      B({0xC3, 0xA9}),              // é
      B({0xE2, 0x80, 0x94}),        // em dash
      B({0xED, 0x9F, 0xBF}),        // U+D7FF, last before the surrogates
      B({0xEE, 0x80, 0x80}),        // U+E000, first after them
      B({0xF0, 0x9F, 0x98, 0x80}),  // U+1F600
      B({0xF4, 0x8F, 0xBF, 0xBF}),  // U+10FFFF
      to_bytes("abcdefgh\xc3\xa9ijklmnop"),
  };
  for (const auto& c : cases) EXPECT_TRUE(validate_utf8(c).ok()) << to_string(c);
}

struct BadCase {
  Bytes input;
  size_t valid_up_to;
  uint8_t error_len;  // 0 = incomplete
  const char* text;
};

TEST(Utf8, ReportsIndexLengthAndText) {
  const BadCase cases[] = {
      {B({0xC3, 0x28}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {B({'a', 'b', 0x80}), 2, 1, "invalid utf-8 sequence of 1 bytes from index 2"},
      {B({0xC0, 0x80}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
      {B({0xE0, 0x80, 0x80}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {B({0xED, 0xA0, 0x80}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
      {B({0xE2, 0x82, 0x28}), 0, 2, "invalid utf-8 sequence of 2 bytes from index 0"},
      {B({'x', 0xF0, 0x9F, 0x98, 0x28}), 1, 3, "invalid utf-8 sequence of 3 bytes from index 1"},
      {B({0xF4, 0x90, 0x80, 0x80}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {B({0xF5, 0x80}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {B({0xFF}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {B({'a', 0xC3}), 1, 0, "incomplete utf-8 byte sequence from index 1"},
      {B({0xE2, 0x80}), 0, 0, "incomplete utf-8 byte sequence from index 0"},
      {B({'0', '1', '2', '3', '4', '5', '6', '7', '8', 0xF0, 0x9F, 0x98}), 9, 0,
       "incomplete utf-8 byte sequence from index 9"},
      // An invalid second byte wins over the end of input.
      {B({0xE0, 0x41}), 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const auto& c : cases) {
    auto r = validate_utf8(c.input);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().valid_up_to, c.valid_up_to) << c.text;
    EXPECT_EQ(r.error().error_len, c.error_len) << c.text;
    EXPECT_EQ(r.error().message(), c.text);
  }
}

}  // namespace
}  // namespace brenvik
