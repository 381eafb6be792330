#include <gtest/gtest.h>

#include "util/base64.h"
#include "util/hex.h"
#include "util/leb128.h"

namespace brenvik {
namespace {

// RFC 4648 §10 vectors.
TEST(Base64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, enc] : cases) {
    EXPECT_EQ(base64_encode(as_bytes(plain)), enc);
    auto d = base64_decode(enc);
    ASSERT_TRUE(d.ok()) << enc;
    EXPECT_EQ(to_string(*d), plain);
  }
}

TEST(Base64, RefusesNonCanonicalAndMalformed) {
  const std::pair<const char*, CodecError> cases[] = {
      {"Zh==", CodecError::NonCanonical},  {"Zm9=", CodecError::NonCanonical},
      {"Zg=", CodecError::InvalidLength},  {"Zg", CodecError::InvalidLength},
      {"Z===", CodecError::InvalidCharacter}, {"Zm9v\n", CodecError::InvalidLength},
      {"Zm-v", CodecError::InvalidCharacter}, {"=m9v", CodecError::InvalidCharacter},
  };
  for (auto [text, err] : cases) {
    auto d = base64_decode(text);
    ASSERT_FALSE(d.ok()) << text;
    EXPECT_EQ(d.error(), err) << text;
  }
}

TEST(Leb128, UnsignedAndSignedExamples) {
  Bytes u;
  leb128_put_u64(u, 624485);
  EXPECT_EQ(hex_encode(u), "e58e26");
  Bytes s;
  leb128_put_i64(s, -123456);
  EXPECT_EQ(hex_encode(s), "c0bb78");
  size_t pos = 0;
  EXPECT_EQ(*leb128_get_i64(s, pos), -123456);
  for (int64_t v : {INT64_MIN, INT64_MAX, int64_t(-1), int64_t(0), int64_t(63), int64_t(-64), int64_t(64)}) {
    Bytes b;
    leb128_put_i64(b, v);
    size_t p = 0;
    auto r = leb128_get_i64(b, p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, v);
    EXPECT_EQ(p, b.size());
    EXPECT_EQ(zigzag_decode(zigzag_encode(v)), v);
  }
}

}  // namespace
}  // namespace brenvik
