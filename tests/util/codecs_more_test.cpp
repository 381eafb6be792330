#include <gtest/gtest.h>

#include <random>

#include "util/base64.h"
#include "util/hex.h"
#include "util/leb128.h"

namespace brenvik {
namespace {

TEST(Hex, RoundTripAcrossBlockSizes) {
  std::mt19937_64 rng(3);
  for (size_t n : {0, 1, 15, 16, 17, 31, 32, 33, 100, 1000}) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    const std::string h = hex_encode(b);
    ASSERT_EQ(h.size(), 2 * n);
    EXPECT_EQ(h.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(*hex_decode(h), b);
    std::string upper = h;
    for (auto& c : upper) c = char(std::toupper(uint8_t(c)));
    EXPECT_EQ(*hex_decode(upper), b);
  }
  EXPECT_EQ(hex_encode(Bytes{0x00, 0x9f, 0xa0, 0xff}), "009fa0ff");
}

// A bad character is found wherever it sits, inside a vector block or in
// the scalar tail.
TEST(Hex, RefusesBadCharacterAtEveryPosition) {
  const std::string good(80, 'a');
  for (char bad : {'g', 'G', '/', ':', '@', '`', ' ', '\0', '\x80', '\xb0', '\xe1'}) {
    for (size_t i = 0; i < good.size(); ++i) {
      std::string s = good;
      s[i] = bad;
      auto r = hex_decode(s);
      ASSERT_FALSE(r.ok()) << i << " " << int(uint8_t(bad));
      EXPECT_EQ(r.error(), CodecError::InvalidCharacter);
    }
  }
  EXPECT_EQ(hex_decode("abc").error(), CodecError::InvalidLength);
}

TEST(Base64Url, UnpaddedRoundTripAndRefusals) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},        {"f", "Zg"},        {"fo", "Zm8"},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg"}, {"\xfb\xff", "-_8"},
  };
  for (auto [plain, enc] : cases) {
    EXPECT_EQ(base64url_encode(as_bytes(plain)), enc);
    auto d = base64url_decode(enc);
    ASSERT_TRUE(d.ok()) << enc;
    EXPECT_EQ(to_string(*d), plain);
  }
  EXPECT_EQ(base64url_decode("Zg==").error(), CodecError::InvalidCharacter);
  EXPECT_EQ(base64url_decode("Zh").error(), CodecError::NonCanonical);
  EXPECT_EQ(base64url_decode("+/8").error(), CodecError::InvalidCharacter);
  EXPECT_EQ(base64url_decode("Z").error(), CodecError::InvalidLength);
}

// Examples of the DWARF debugging format, section 7.6, for both forms.
TEST(Leb128, DwarfExamples) {
  const std::pair<uint64_t, const char*> unsigned_cases[] = {
      {2, "02"},
      {127, "7f"},
      {128, "8001"},
      {129, "8101"},
      {130, "8201"},
      {12857, "b964"},
      {UINT64_MAX, "ffffffffffffffffff01"},
  };
  for (auto [v, hex] : unsigned_cases) {
    Bytes b;
    leb128_put_u64(b, v);
    EXPECT_EQ(hex_encode(b), hex);
    size_t p = 0;
    EXPECT_EQ(*leb128_get_u64(b, p), v);
    p = 0;
    EXPECT_EQ(*leb128_read_u64(b, p), v);
  }
  const std::pair<int64_t, const char*> signed_cases[] = {
      {2, "02"},     {-2, "7e"},     {127, "ff00"}, {-127, "817f"},
      {128, "8001"}, {-128, "807f"}, {129, "8101"}, {-129, "ff7e"},
  };
  for (auto [v, hex] : signed_cases) {
    Bytes b;
    leb128_put_i64(b, v);
    EXPECT_EQ(hex_encode(b), hex);
  }
}

TEST(Leb128, OverflowAndTruncation) {
  const std::pair<const char*, CodecError> cases[] = {
      {"ffffffffffffffffff02", CodecError::Overflow},
      {"8080808080808080808000", CodecError::Overflow},
      {"80", CodecError::Truncated},
      {"", CodecError::Truncated},
      {"ffffffffffffffffff", CodecError::Truncated},
  };
  for (auto [hex, err] : cases) {
    const Bytes b = *hex_decode(hex);
    size_t p = 0;
    auto r = leb128_get_u64(b, p);
    ASSERT_FALSE(r.ok()) << hex;
    EXPECT_EQ(r.error(), err) << hex;
    // The same input padded so that the one-load path is taken.
    Bytes padded = b;
    if (!padded.empty() && err == CodecError::Truncated) continue;
    padded.resize(padded.size() + 8, 0x80);
    p = 0;
    auto f = leb128_read_u64(padded, p);
    ASSERT_FALSE(f.ok()) << hex;
  }
}

}  // namespace
}  // namespace brenvik

namespace brenvik {
namespace {

// The batch decoder takes several values per load; chunk sizes that end
// inside a word, and runs of one-byte values, must not change the result.
TEST(Leb128, BatchDecodeMatchesValuesInAnyChunking) {
  std::mt19937_64 rng(21);
  std::vector<uint64_t> values;
  for (int run = 0; run < 200; ++run) {
    const int kind = int(rng() % 3);
    const int len = int(rng() % 20) + 1;
    for (int i = 0; i < len; ++i)
      values.push_back(kind == 0 ? rng() % 128 : kind == 1 ? rng() % 16384 : rng() >> (rng() % 64));
  }
  Bytes enc;
  for (uint64_t v : values) leb128_put_u64(enc, v);
  for (size_t chunk : {1, 3, 7, 8, 9, 16, 100, 5000}) {
    std::vector<uint64_t> got;
    size_t pos = 0;
    while (got.size() < values.size()) {
      std::vector<uint64_t> part(std::min(chunk, values.size() - got.size()));
      ASSERT_TRUE(leb128_get_u64_many(enc, pos, part).ok()) << chunk;
      got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, values) << chunk;
    EXPECT_EQ(pos, enc.size()) << chunk;
  }
}

}  // namespace
}  // namespace brenvik
