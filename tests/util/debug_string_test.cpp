// The debug form of a text and its two variants, as logs and debug texts
// already show them.
#include <gtest/gtest.h>

#include "util/debug_string.h"

namespace brenvik {
namespace {

TEST(DebugQuoted, EscapesAndVariants) {
  const std::string text(
      "q\"b\\n\nr\rt\tz\0o\x01u\x1f"
      "d\x7f\xc3\xa9/",
      21);
  struct Case {
    const char* name;
    std::string got;
    const char* want;
  };
  const Case cases[] = {
      {"default", debug_quoted(text),
       R"("q\"b\\n\nr\rt\tz\0o\u{1}u\u{1f}d\u{7f})"
       "\xc3\xa9/\""},
      {"NUL as an escape", debug_quoted(text, DebugQuoteForm{.nul_as_backslash_zero = false}),
       R"("q\"b\\n\nr\rt\tz\u{0}o\u{1}u\u{1f}d\u{7f})"
       "\xc3\xa9/\""},
      {"two hex digits", debug_quoted(text, DebugQuoteForm{.min_hex_digits = 2}),
       R"("q\"b\\n\nr\rt\tz\0o\u{01}u\u{1f}d\u{7f})"
       "\xc3\xa9/\""},
      {"empty", debug_quoted(""), R"("")"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

}  // namespace
}  // namespace brenvik
