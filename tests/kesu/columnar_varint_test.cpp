#include <gtest/gtest.h>

#include "columnar_test_util.h"
#include "kesu/columnar/varint.h"

namespace kesu {
namespace {
using test::hx;
using test::to_hex;

TEST(KesuVarint, UnsignedWriteVectors) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "00"},     {127, "7f"},       {128, "8001"},
      {300, "ac02"}, {16384, "808001"}, {UINT64_MAX, "ffffffffffffffffff01"},
  };
  for (auto [v, hex] : cases) {
    Bytes out;
    write_uvarint(out, v);
    EXPECT_EQ(to_hex(out), hex) << v;
    ByteReader r(out);
    auto back = r.read_uvarint();
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, v);
    EXPECT_TRUE(r.at_end());
  }
  Bytes out;
  write_uvarint32(out, UINT32_MAX);
  EXPECT_EQ(to_hex(out), "ffffffff0f");
}

TEST(KesuVarint, ZigzagAndSignedLebVectors) {
  const std::pair<int64_t, const char*> zigzag[] = {
      {-1, "01"}, {1, "02"}, {-64, "7f"}, {64, "8001"}, {INT64_MIN, "ffffffffffffffffff01"}};
  for (auto [v, hex] : zigzag) {
    Bytes out;
    write_ivarint(out, v);
    EXPECT_EQ(to_hex(out), hex) << v;
    ByteReader r(out);
    EXPECT_EQ(*r.read_ivarint(), v);
  }
  Bytes out32;
  write_ivarint32(out32, INT32_MIN);
  EXPECT_EQ(to_hex(out32), "ffffffff0f");
  ByteReader r32(out32);
  EXPECT_EQ(*r32.read_ivarint32(), INT32_MIN);

  const std::pair<int64_t, const char*> sleb[] = {{-1, "7f"},
                                                  {63, "3f"},
                                                  {64, "c000"},
                                                  {-64, "40"},
                                                  {-65, "bf7f"},
                                                  {INT64_MIN, "8080808080808080807f"},
                                                  {INT64_MAX, "ffffffffffffffffff00"}};
  for (auto [v, hex] : sleb) {
    Bytes out;
    write_sleb128(out, v);
    EXPECT_EQ(to_hex(out), hex) << v;
    ByteReader r(out);
    auto back = r.read_sleb128();
    ASSERT_TRUE(back.ok()) << hex;
    EXPECT_EQ(*back, v);
  }
}

// Signed LEB128 is read from one load when the number ends within the next
// eight bytes and byte by byte otherwise: both must agree on every length,
// sign and overlong form, and leave the cursor after the number.
TEST(KesuVarint, SignedLeb128SameWhateverFollows) {
  std::vector<int64_t> values = {0, 1, -1, 63, -64, 64, -65, INT64_MIN, INT64_MAX};
  for (int bits = 7; bits < 64; bits += 7) {
    int64_t edge = int64_t(1) << (bits - 1);
    for (int64_t v : {edge - 1, edge, -edge, -edge - 1}) values.push_back(v);
  }
  for (int64_t v : values) {
    Bytes number;
    write_sleb128(number, v);
    for (size_t pad : {size_t(0), size_t(3), size_t(9)}) {
      Bytes b = number;
      b.insert(b.end(), pad, 0xFF);
      ByteReader r(b);
      auto back = r.read_sleb128();
      ASSERT_TRUE(back.ok()) << v << " pad " << pad;
      EXPECT_EQ(*back, v) << "pad " << pad;
      EXPECT_EQ(r.position(), number.size()) << v << " pad " << pad;
    }
  }
  // Overlong forms: "-1" spread over two, and zero over eight bytes.
  for (const char* hex : {"ff7f", "8080808080808000"}) {
    Bytes b = hx(std::string(hex) + "0000000000000000");
    ByteReader r(b);
    auto back = r.read_sleb128();
    ASSERT_TRUE(back.ok()) << hex;
    EXPECT_EQ(*back, std::string(hex) == "ff7f" ? -1 : 0) << hex;
    EXPECT_EQ(r.position(), std::string(hex).size() / 2) << hex;
  }
  // A number still running after eight bytes, followed by more input.
  Bytes bad = hx("ffffffffffffffffff0100");
  ByteReader r(bad);
  EXPECT_EQ(r.read_sleb128().error().kind, SerdeErrorKind::BadVarint);
}

TEST(KesuVarint, ReadFailures) {
  struct Case {
    const char* hex;
    int width;  // 32, 64, 128, or -64 for signed LEB128
    SerdeErrorKind kind;
  };
  const Case cases[] = {
      {"", 64, SerdeErrorKind::UnexpectedEnd},
      {"80", 64, SerdeErrorKind::UnexpectedEnd},
      {"80808080808080808002", 64, SerdeErrorKind::BadVarint},
      {"ffffffff10", 32, SerdeErrorKind::BadVarint},
      {"8080808080808080808080808080808080 8004", 128, SerdeErrorKind::BadVarint},
      {"ffffffffffffffffff01", -64, SerdeErrorKind::BadVarint},
      {"80", -64, SerdeErrorKind::UnexpectedEnd},
  };
  for (const auto& c : cases) {
    Bytes b = hx(c.hex);
    ByteReader r(b);
    SerdeErrorKind got;
    switch (c.width) {
      case 32:
        got = r.read_uvarint32().error().kind;
        break;
      case 64:
        got = r.read_uvarint().error().kind;
        break;
      case 128:
        got = r.read_uvarint128().error().kind;
        break;
      default:
        got = r.read_sleb128().error().kind;
        break;
    }
    EXPECT_EQ(got, c.kind) << c.hex;
  }
}

TEST(KesuVarint, OverlongAcceptedAndLimitsOfWideForms) {
  Bytes b = hx("8000");
  ByteReader r(b);
  EXPECT_EQ(*r.read_uvarint(), 0u);
  EXPECT_EQ(r.position(), 2u);

  // 128-bit: the largest zigzag values round-trip in 19 bytes.
  for (i128 v : {i128(0), i128(-1), ~(i128(1) << 127) /*max*/, i128(1) << 127 /*min*/}) {
    Bytes out;
    write_ivarint128(out, v);
    EXPECT_LE(out.size(), 19u);
    ByteReader rr(out);
    auto back = rr.read_ivarint128();
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(*back == v);
  }
}

TEST(KesuVarint, ByteStringsAndPrimitives) {
  Bytes b = hx("05 6162");
  ByteReader r(b);
  EXPECT_EQ(r.read_bytes().error().kind, SerdeErrorKind::UnexpectedEnd);
  Bytes empty = hx("00 ff");
  ByteReader r2(empty);
  auto v = r2.read_bytes();
  ASSERT_TRUE(v.ok());
  EXPECT_TRUE(v->empty());
  EXPECT_EQ(r2.position(), 1u);

  Bytes bad_utf8 = hx("02 c328");
  ByteReader r3(bad_utf8);
  EXPECT_EQ(r3.read_str().error().kind, SerdeErrorKind::BadUtf8);

  Bytes flags = hx("02");
  ByteReader r4(flags);
  EXPECT_EQ(r4.read_bool().error().kind, SerdeErrorKind::BadBool);
  ByteReader r5(flags);
  EXPECT_EQ(r5.read_option_tag().error().kind, SerdeErrorKind::BadOption);

  Bytes f;
  write_f64_le(f, 1.0);
  write_f64_be(f, 1.0);
  EXPECT_EQ(to_hex(f), "000000000000f03f3ff0000000000000");
  ByteReader r6(hx("000000000000f0"));
  EXPECT_EQ(r6.read_f64_le().error().kind, SerdeErrorKind::UnexpectedEnd);
}

}  // namespace
}  // namespace kesu
