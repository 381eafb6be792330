#include <gtest/gtest.h>

#include <random>

#include "core/address.h"
#include "sealed/group_id.h"
#include "util/bech32.h"
#include "util/hex.h"

namespace brenvik {
namespace {

std::string bech32m_text(std::string_view hrp, const Bytes& bytes, Bech32Variant v) {
  return bech32_encode(hrp, convert_bits(bytes, 8, 5, true).value(), v);
}

Bytes versioned(uint8_t version, size_t n) {
  Bytes b{version};
  for (size_t i = 0; i < n; ++i) b.push_back(uint8_t(0x10 + i));
  return b;
}

TEST(Address, DerivedFromIdentityKey) {
  Bytes key(32);
  for (size_t i = 0; i < 32; ++i) key[i] = uint8_t(i);
  // Computed independently: SHA-256 of the key, first 20 bytes, bech32m.
  auto a = address_payload_from_public_key(key);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(hex_encode(a->bytes), "630dcd2966c4336691125448bbb25b4ff412a49c");
  EXPECT_EQ(derive_address(key).value(), "brv1q93smnffvmzrxe53zf2y3wajtd8lgy4ynsc2kxfq");

  auto bad = address_payload_from_public_key(Bytes(33));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(),
            "Invalid public key: Ed25519 public key must be 32 bytes, got 33");
}

TEST(Address, RandomPayloadsRoundTrip) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 500; ++i) {
    Address a;
    for (auto& b : a.bytes) b = uint8_t(rng());
    std::string text = encode_address(a);
    ASSERT_EQ(text.size(), kAddressTextLength);
    auto back = parse_address(text);
    ASSERT_TRUE(back.ok()) << text << " " << back.error().message();
    EXPECT_EQ(*back, a);
  }
}

TEST(Address, ParseRefusals) {
  const std::string good = "brv1q93smnffvmzrxe53zf2y3wajtd8lgy4ynsc2kxfq";
  std::string upper = good;
  for (auto& c : upper) c = char(toupper(c));
  // Non-zero fill bits in the last data value, with a valid checksum.
  Bytes values = convert_bits(versioned(1, 20), 8, 5, true).value();
  values.back() |= 1;
  std::string fill_bits = bech32_encode("brv", values, Bech32Variant::Bech32m);

  const std::pair<std::string, std::string> cases[] = {
      {upper, "address is not lowercase (the canonical form is lowercase-only)"},
      {"brv1Q93smnffvmzrxe53zf2y3wajtd8lgy4ynsc2kxfq",
       "address is not lowercase (the canonical form is lowercase-only)"},
      {good.substr(0, 43) + "p", "address is not valid bech32m: invalid checksum"},
      {bech32m_text("brv", versioned(1, 20), Bech32Variant::Bech32),
       "address is not valid bech32m: invalid checksum"},
      {"", "address is not valid bech32m: missing human-readable separator, \"1\""},
      {std::string(1024, 'q'), "address is not valid bech32m: string is too long"},
      {bech32m_text("bc", versioned(1, 20), Bech32Variant::Bech32m),
       "address has human-readable part 'bc', expected 'brv'"},
      {bech32m_text("brv", Bytes(20, 7), Bech32Variant::Bech32m),
       "address payload is 20 bytes, expected 21"},
      {bech32m_text("brv", versioned(0, 20), Bech32Variant::Bech32m),
       "address version byte is 0x00, expected 0x01"},
      {fill_bits, "address is a non-canonical encoding of its payload"},
  };
  for (const auto& [text, want] : cases) {
    auto r = parse_address(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().message(), want) << text;
  }
}

TEST(SessionGroupId, SameNameFromBothEnds) {
  Address lo, hi;
  lo.bytes.fill(0x01);
  hi.bytes.fill(0xF0);
  std::string a = encode_address(lo), b = encode_address(hi);
  auto ab = session_group_id(a, b), ba = session_group_id(b, a);
  ASSERT_TRUE(ab.ok());
  ASSERT_TRUE(ba.ok());
  EXPECT_EQ(ab->str(), "session:" + a + ":" + b);
  EXPECT_EQ(ba->str(), ab->str());

  // Not addresses: byte order of the texts; the shorter prefix first.
  EXPECT_EQ(session_group_id("bob", "alice")->str(), "session:alice:bob");
  EXPECT_EQ(session_group_id("ab", "a")->str(), "session:a:ab");
  EXPECT_EQ(session_group_id("same", "same")->str(), "session:same:same");
  auto bad = session_group_id("a/b", "c");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(),
            "Invalid group id: Group ID segment contains invalid characters ('/', '\\', or ':')");
}

}  // namespace
}  // namespace brenvik
