#include <gtest/gtest.h>

#include <sstream>

#include "test_support.h"
#include "util/bech32.h"
#include "util/hex.h"

namespace brenvik {
namespace {

struct Listed {
  std::string text;
  std::string reason;  // empty for valid strings
};

// Pulls the "* <tt>...</tt>" items between two headings of a BIP text,
// rebuilding the raw bytes written as "0xNN + " before or " + 0xNN" after.
std::vector<Listed> list_items(const std::string& doc, const std::string& from,
                               const std::string& to) {
  std::vector<Listed> out;
  size_t a = doc.find(from);
  if (a == std::string::npos) return out;
  size_t b = doc.find(to, a + from.size());
  std::string section = doc.substr(a, b == std::string::npos ? std::string::npos : b - a);
  std::istringstream in(section);
  std::string line;
  auto hex_byte = [](const std::string& s, size_t at) {
    return char(std::stoi(s.substr(at, 2), nullptr, 16));
  };
  while (std::getline(in, line)) {
    if (line.rfind("* ", 0) != 0) continue;
    const size_t open = line.find("<tt>"), close = line.find("</tt>");
    if (open == std::string::npos || close == std::string::npos) continue;
    Listed l;
    if (line.compare(2, 2, "0x") == 0) l.text.push_back(hex_byte(line, 4));
    l.text += line.substr(open + 4, close - open - 4);
    size_t rest = close + 5;
    if (line.compare(rest, 5, " + 0x") == 0) {
      l.text.push_back(hex_byte(line, rest + 5));
      rest += 7;
    }
    if (rest < line.size() && line[rest] == ':') l.reason = line.substr(rest + 1);
    out.push_back(l);
  }
  return out;
}

std::string lower_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

struct VariantDoc {
  const char* file;
  Bech32Variant variant;
  const char* valid_from;
  const char* invalid_from;
  const char* end;
};

const VariantDoc kDocs[] = {
    {"bip-0173.mediawiki", Bech32Variant::Bech32, "The following strings are valid Bech32",
     "The following string are not valid Bech32", "The following list gives valid segwit"},
    {"bip-0350.mediawiki", Bech32Variant::Bech32m, "The following strings are valid Bech32m",
     "The following string are not valid Bech32m", "===Test vectors for v0-v16"},
};

TEST(Bech32, StandardVectorsDecodeAndReencode) {
  for (const auto& d : kDocs) {
    std::string doc;
    if (!testing::read_file(testing::standards_dir() / d.file, doc))
      GTEST_SKIP() << "standard text not found: " << d.file;
    auto valid = list_items(doc, d.valid_from, d.invalid_from);
    ASSERT_GE(valid.size(), 7u) << d.file;
    for (const auto& v : valid) {
      auto r = bech32_decode(v.text);
      ASSERT_TRUE(r.ok()) << v.text << ": " << bech32_error_message(r.error());
      EXPECT_EQ(r->variant, d.variant) << v.text;
      // Re-encoding gives the lowercase form of the input.
      EXPECT_EQ(bech32_encode(r->hrp, r->data, r->variant), lower_ascii(v.text));
    }
  }
}

TEST(Bech32, StandardInvalidVectorsAreRefused) {
  for (const auto& d : kDocs) {
    std::string doc;
    if (!testing::read_file(testing::standards_dir() / d.file, doc))
      GTEST_SKIP() << "standard text not found: " << d.file;
    auto invalid = list_items(doc, d.invalid_from, d.end);
    ASSERT_GE(invalid.size(), 12u) << d.file;
    for (const auto& v : invalid) {
      auto r = bech32_decode(v.text);
      // Some invalid strings of one variant are valid strings of the other
      // only in theory; none of the listed ones decodes as the wanted variant.
      EXPECT_TRUE(!r.ok() || r->variant != d.variant) << v.text << " (" << v.reason << ")";
    }
  }
}

TEST(Bech32, FaultsAreNamed) {
  const std::pair<std::string, Bech32Error> cases[] = {
      {"pzry9x0s0muk", Bech32Error::MissingSeparator},
      {"1pzry9x0s0muk", Bech32Error::EmptyHrp},
      {"x1b4n0q5v", Bech32Error::InvalidDataCharacter},
      {"li1dgmt3", Bech32Error::TooShortChecksum},
      {std::string("\x20") + "1nwldj5", Bech32Error::InvalidHrpCharacter},
      {"A1G7SGD8", Bech32Error::InvalidChecksum},
      {"a12UEL5L", Bech32Error::MixedCase},
      {"a12uel5m", Bech32Error::InvalidChecksum},
      {"an84characterslonghumanreadablepartthatcontainsthenumber1andtheexcludedcharactersbio1569pv"
       "x",
       Bech32Error::TooLong},
  };
  for (const auto& [text, err] : cases) {
    auto r = bech32_decode(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error(), err) << text << ": " << bech32_error_message(r.error());
  }
}

TEST(Bech32, CallerLimitAllowsLongerStrings) {
  Bytes data(150, 7);
  std::string s = bech32_encode("brv", data, Bech32Variant::Bech32m);
  ASSERT_GT(s.size(), 90u);
  EXPECT_FALSE(bech32_decode(s).ok());
  auto r = bech32_decode(s, 1023);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->data, data);
}

// The segwit examples pin the 5-to-8 regrouping: witness version, then the
// program regrouped without padding, equals the listed script after its
// two-byte header.
TEST(Bech32, SegwitExamplesPinBitConversion) {
  const std::pair<const char*, const char*> cases[] = {
      {"BC1QW508D6QEJXTDG4Y5R3ZARVARY0C5XW7KV8F3T4",
       "0014751e76e8199196d454941c45d1b3a323f1433bd6"},
      {"tb1qrp33g0q5c5txsp9arysrx4k6zdkfs4nce4xj0gdcccefvpysxf3q0sl5k7",
       "00201863143c14c5166804bd19203356da136c985678cd4d27a1b8c6329604903262"},
      {"BC1SW50QA3JX3S", "6002751e"},
      {"bc1zw508d6qejxtdg4y5r3zarvaryvg6kdaj", "5210751e76e8199196d454941c45d1b3a323"},
  };
  for (auto [addr, script] : cases) {
    auto r = bech32_decode(addr);
    ASSERT_TRUE(r.ok()) << addr;
    ASSERT_FALSE(r->data.empty());
    auto prog = convert_bits(ByteView(r->data).subspan(1), 5, 8, false);
    ASSERT_TRUE(prog.ok()) << addr;
    EXPECT_EQ(hex_encode(*prog), std::string(script).substr(4)) << addr;
    auto back = convert_bits(*prog, 8, 5, true);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, Bytes(r->data.begin() + 1, r->data.end()));
  }
}

TEST(Bech32, ConvertBitsRefusesBadPadding) {
  // One byte in 5-bit groups: 8 bits -> two groups, the second holding 2 data bits + 3 zero bits.
  auto five = convert_bits(Bytes{0xFF}, 8, 5, true);
  ASSERT_TRUE(five.ok());
  EXPECT_EQ(*five, (Bytes{31, 28}));
  EXPECT_EQ(convert_bits(Bytes{31, 29}, 5, 8, false).error(), Bech32Error::InvalidPadding);
  // A whole spare 5-bit group is too much padding.
  EXPECT_EQ(convert_bits(Bytes{31, 28, 0}, 5, 8, false).error(), Bech32Error::InvalidPadding);
  EXPECT_EQ(convert_bits(Bytes{32}, 5, 8, false).error(), Bech32Error::InvalidDataCharacter);
}

}  // namespace
}  // namespace brenvik
