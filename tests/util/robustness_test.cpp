// Hostile-input checks for the decoders that read peer data: random,
// mutated and truncated input must give an error or a value that survives
// re-encoding, never a crash (the suite runs under ASan and UBSan).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "util/base64.h"
#include "util/bech32.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/leb128.h"

namespace brenvik {
namespace {

const std::string kJsonSeeds[] = {
    R"({"id":"x","count":1,"note":null,"flag":true,"transport":"ble"})",
    R"(["x",18446744073709551615,"n\u00e9\ud83d\ude00",false,{"nostr":null}])",
    R"({"a":[1,-2,3.5e-7,{"b":[[],{}]},"\"\\\/\b\f\n\r\t"],"c":-0.0,"d":1E+2})",
    "  {\n  \"k\" : [ true , false , null ] ,\"z\":\"\xc3\xa9\"\n}  ",
};

std::string mutate(std::string s, std::mt19937_64& rng) {
  static const char kAlphabet[] = "{}[]:,\"\\ ntfrue0123456789-+.eEu\xff\x01";
  const int edits = int(rng() % 4) + 1;
  for (int e = 0; e < edits; ++e) {
    const size_t at = s.empty() ? 0 : rng() % s.size();
    const char c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    switch (rng() % 3) {
      case 0:
        if (!s.empty()) s[at] = c;
        break;
      case 1:
        s.insert(s.begin() + long(at), c);
        break;
      case 2:
        if (!s.empty()) s.erase(at, 1);
        break;
    }
  }
  return s;
}

// A value read from text, written back and read again, is the same value.
void check_generic(const std::string& input) {
  auto v = parse_json(input);
  if (!v.ok()) {
    EXPECT_GE(v.error().line, 1u);
    EXPECT_LE(v.error().column, input.size());
    return;
  }
  const std::string again = json_dump(*v);
  auto w = parse_json(again);
  ASSERT_TRUE(w.ok()) << again;
  EXPECT_EQ(json_dump(*w), again);
}

TEST(Robustness, JsonTruncatedAndMutatedInput) {
  std::mt19937_64 rng(11);
  for (const auto& seed : kJsonSeeds) {
    // Every seed is one container: any cut before its closing bracket is
    // incomplete and must be refused.
    const size_t last = seed.find_last_of("}]");
    for (size_t n = 0; n < seed.size(); ++n) {
      const std::string prefix = seed.substr(0, n);
      check_generic(prefix);
      JsonReader r(prefix);
      if (n <= last) {
        EXPECT_FALSE(r.skip_value().ok()) << prefix;
      }
    }
    for (int i = 0; i < 3000; ++i) check_generic(mutate(seed, rng));
  }
}

TEST(Robustness, JsonRandomBytes) {
  std::mt19937_64 rng(12);
  for (int i = 0; i < 5000; ++i) {
    std::string s(rng() % 64, '\0');
    for (auto& c : s) c = char(rng());
    check_generic(s);
    JsonReader r(s);
    (void)r.skip_value();
  }
}

TEST(Robustness, JsonDeepNestingIsRefusedWithoutRecursion) {
  for (const char* open : {"[", "{\"a\":", "[{\"a\":"}) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += open;
    auto v = parse_json(deep);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().message, "recursion limit exceeded");
    JsonReader r(deep);
    auto s = r.skip_value();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "recursion limit exceeded");
  }
}

TEST(Robustness, Base64RandomAndTruncated) {
  std::mt19937_64 rng(13);
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=-_ \n\x80";
  for (int i = 0; i < 20000; ++i) {
    std::string s(rng() % 24, '\0');
    for (auto& c : s) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    // Strict decoding: whatever is accepted re-encodes to exactly the input.
    if (auto d = base64_decode(s); d.ok()) {
      EXPECT_EQ(base64_encode(*d), s);
      EXPECT_LE(d->size(), s.size() * 3 / 4);
    }
    if (auto d = base64url_decode(s); d.ok()) {
      EXPECT_EQ(base64url_encode(*d), s);
    }
  }
  Bytes data(40);
  for (auto& b : data) b = uint8_t(rng());
  const std::string full = base64_encode(data);
  for (size_t n = 0; n < full.size(); ++n) {
    auto d = base64_decode(full.substr(0, n));
    if (d.ok()) {
      EXPECT_EQ(n % 4, 0u);
    }
  }
}

TEST(Robustness, Bech32MutationsAreCaught) {
  std::mt19937_64 rng(14);
  static const char kCharset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
  for (auto variant : {Bech32Variant::Bech32, Bech32Variant::Bech32m}) {
    Bytes data(34);
    for (auto& v : data) v = uint8_t(rng() % 32);
    const std::string good = bech32_encode("brv", data, variant);
    // Any single substituted character is detected by the checksum.
    for (size_t i = 4; i < good.size(); ++i) {
      for (char c : std::string_view(kCharset)) {
        if (c == good[i]) continue;
        std::string bad = good;
        bad[i] = c;
        EXPECT_FALSE(bech32_decode(bad).ok()) << bad;
      }
    }
    for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(bech32_decode(good.substr(0, n)).ok());
    for (int i = 0; i < 5000; ++i) {
      std::string s = good;
      const int edits = int(rng() % 3) + 1;
      for (int e = 0; e < edits; ++e) {
        const size_t at = rng() % s.size();
        if (rng() % 2) {
          s[at] = char(rng());
        } else {
          s.erase(at, 1);
        }
        if (s.empty()) break;
      }
      auto d = bech32_decode(s, 1023);
      if (d.ok()) {
        EXPECT_EQ(bech32_encode(d->hrp, d->data, d->variant).size(), s.size());
      }
    }
  }
}

TEST(Robustness, Leb128FastAndPlainDecodersAgree) {
  std::mt19937_64 rng(15);
  for (int i = 0; i < 3000; ++i) {
    Bytes b(rng() % 40);
    for (auto& x : b) x = uint8_t(rng() % 3 == 0 ? rng() & 0x7f : rng() | 0x80);
    size_t p1 = 0, p2 = 0;
    std::vector<uint64_t> plain;
    for (;;) {
      auto a = leb128_get_u64(b, p1);
      auto f = leb128_read_u64(b, p2);
      ASSERT_EQ(a.ok(), f.ok());
      if (!a.ok()) {
        EXPECT_EQ(a.error(), f.error());
        break;
      }
      ASSERT_EQ(*a, *f);
      ASSERT_EQ(p1, p2);
      plain.push_back(*a);
      if (p1 == b.size()) break;
    }
    if (!plain.empty()) {
      std::vector<uint64_t> many(plain.size());
      size_t p3 = 0;
      ASSERT_TRUE(leb128_get_u64_many(b, p3, many).ok());
      EXPECT_EQ(many, plain);
    }
    size_t ps = 0;
    while (ps < b.size() && leb128_get_i64(b, ps).ok()) {
    }
  }
}

TEST(Robustness, Leb128RoundTripAndTruncation) {
  std::mt19937_64 rng(16);
  std::vector<uint64_t> values;
  Bytes enc;
  for (int i = 0; i < 5000; ++i) {
    const uint64_t v = rng() >> (rng() % 64);
    values.push_back(v);
    leb128_put_u64(enc, v);
    const int64_t s = int64_t(rng()) >> (rng() % 64);
    Bytes e;
    leb128_put_i64(e, s);
    size_t p = 0;
    ASSERT_EQ(*leb128_get_i64(e, p), s);
    ASSERT_EQ(p, e.size());
    for (size_t n = 0; n < e.size(); ++n) {
      size_t q = 0;
      auto t = leb128_get_i64(ByteView(e).first(n), q);
      ASSERT_FALSE(t.ok());
      EXPECT_EQ(t.error(), CodecError::Truncated);
    }
  }
  std::vector<uint64_t> out(values.size());
  size_t pos = 0;
  ASSERT_TRUE(leb128_get_u64_many(enc, pos, out).ok());
  EXPECT_EQ(out, values);
  EXPECT_EQ(pos, enc.size());
  // One value more than the input holds.
  std::vector<uint64_t> too_many(values.size() + 1);
  pos = 0;
  auto r = leb128_get_u64_many(enc, pos, too_many);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), CodecError::Truncated);
}

}  // namespace
}  // namespace brenvik
