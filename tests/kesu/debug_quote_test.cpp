// The engine's debug form of a text: every \u{..} escape with two digits.
#include <gtest/gtest.h>

#include "kesu/common/internal_string.h"

namespace kesu {
namespace {

TEST(DebugQuote, ControlCharactersTakeTwoHexDigits) {
  EXPECT_EQ(debug_quote(std::string("a\0\x01\x1f\x7f\"\\\n", 8)),
            R"("a\0\u{01}\u{1f}\u{7f}\"\\\n")");
}

}  // namespace
}  // namespace kesu
