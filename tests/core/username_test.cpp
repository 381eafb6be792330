#include <gtest/gtest.h>

#include "core/username.h"

namespace brenvik {
namespace {

TEST(Username, Normalisation) {
  struct Case {
    std::string input;
    std::string want;  // the normalised name, or the error text
  };
  const std::string addr_like = "brv1" + std::string(40, 'q');
  const Case cases[] = {
      {"Alice", "alice"},
      {"ALICE", "alice"},
      // Full lowercase: U+0130 becomes i + combining dot above (no composed form).
      {"\xc4\xb0stanbul", "i\xcc\x87stanbul"},
      // Final sigma at the end of a word, medial sigma elsewhere.
      {"\xce\x9f\xce\xa3\xce\x9f\xce\xa3", "\xce\xbf\xcf\x83\xce\xbf\xcf\x82"},
      {"\xce\xa3", "\xcf\x83"},  // alone: no cased letter before it
      {"\xce\x91\xce\xa3 x", "\xce\xb1\xcf\x82 x"},
      // NFC: e + combining acute composes to U+00E9; the compatibility form is kept.
      {"e\xcc\x81", "\xc3\xa9"},
      {"\xef\xac\x81", "\xef\xac\x81"},  // U+FB01 ligature untouched (no NFKC)
      {"   ", "username is empty or whitespace after normalization"},
      {"\xe3\x80\x80", "username is empty or whitespace after normalization"},
      {"", "username is empty or whitespace after normalization"},
      {std::string(64, 'a'), std::string(64, 'a')},
      {std::string(65, 'a'), "username is 65 bytes after normalization, maximum is 64"},
      {"a\xe2\x80\x8b", "username contains a control or format character"},
      {"a\tb", "username contains a control or format character"},
      {std::string("a\0b", 3), "username contains a control or format character"},
      {addr_like, "username has the shape of an address, which is not claimable"},
      {"BRV1" + std::string(40, 'Q'),
       "username has the shape of an address, which is not claimable"},
      {"brv1" + std::string(39, 'q'), "brv1" + std::string(39, 'q')},
      {"brv1" + std::string(41, 'q'), "brv1" + std::string(41, 'q')},
      {"brv1" + std::string(39, 'q') + "_", "brv1" + std::string(39, 'q') + "_"},
      {"\xff", "username is not valid UTF-8"},
  };
  for (const auto& c : cases) {
    auto r = normalize_username(c.input);
    EXPECT_EQ(r.ok() ? *r : r.error().message(), c.want) << c.input;
  }
}

TEST(Username, ControlOrFormatTableBoundaries) {
  const std::pair<std::string, bool> cases[] = {
      {"\x1f", true},
      {" ", false},
      {"\x7f", true},
      {"\xc2\x9f", true},           // U+009F
      {"\xc2\xa0", false},          // U+00A0
      {"\xc2\xad", true},           // U+00AD soft hyphen
      {"\xe2\x80\x8f", true},       // U+200F
      {"\xe2\x80\x90", false},      // U+2010
      {"\xe2\x81\xa5", false},      // U+2065 is outside the table
      {"\xef\xbb\xbf", true},       // U+FEFF
      {"\xf3\xa0\x81\xbf", true},   // U+E007F
      {"\xf3\xa0\x82\x80", false},  // U+E0080
      {"plain", false},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(contains_control_or_format_char(text), want);
}

}  // namespace
}  // namespace brenvik
