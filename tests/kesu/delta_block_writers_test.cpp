// The change-block writers: the tagged value encoding with registered map
// keys, the run-length column writers for u32 and i128, the value registers
// and the decoding of container references and value-kind bytes.
#include <gtest/gtest.h>

#include <limits>

#include "kesu/columnar/rle.h"
#include "kesu/internal/encoding/value.h"
#include "kesu/internal/encoding/value_register.h"

namespace kesu {
namespace {

Bytes bytes(std::initializer_list<uint8_t> b) {
  return Bytes(b);
}

TEST(RegisteredValueEncoding, ByteVectors) {
  struct Case {
    const char* name;
    KesuValue v;
    Bytes want;
  };
  std::vector<Case> cases = {
      {"null", KesuValue(), bytes({0})},
      {"true", KesuValue(true), bytes({1})},
      {"false", KesuValue(false), bytes({2})},
      {"-65", KesuValue(int64_t(-65)), bytes({3, 0xBF, 0x7F})},
      {"63", KesuValue(int64_t(63)), bytes({3, 0x3F})},
      {"64", KesuValue(int64_t(64)), bytes({3, 0xC0, 0x00})},
      {"-64", KesuValue(int64_t(-64)), bytes({3, 0x40})},
      {"1.0", KesuValue(1.0), bytes({4, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0})},
      {"string", KesuValue::string("h\xC3\xA9"), bytes({5, 3, 'h', 0xC3, 0xA9})},
      {"binary", KesuValue::binary(Bytes{1, 2}), bytes({6, 2, 1, 2})},
      {"list", KesuValue::list({KesuValue(true), KesuValue()}), bytes({7, 2, 1, 0})},
      {"text container", KesuValue(ContainerID::normal(1, 2, ContainerType::Kind::Text)),
       bytes({9, 2})},
      {"unknown container", KesuValue(ContainerID::normal(1, 2, ContainerType::unknown(9))),
       bytes({9, 9})},
  };
  for (auto& c : cases) {
    Bytes out{0xEE};  // bytes already in the buffer stay and are not counted
    KeyArena keys;
    size_t n = write_nested_value(c.v, out, keys);
    EXPECT_EQ(Bytes(out.begin() + 1, out.end()), c.want) << c.name;
    EXPECT_EQ(n, c.want.size()) << c.name;
  }
}

TEST(RegisteredValueEncoding, MapKeysGoThroughTheRegister) {
  KeyArena keys;
  Bytes out;
  EXPECT_EQ(write_nested_value(KesuValue::map({{"a", KesuValue(1)}}), out, keys), 5u);
  EXPECT_EQ(out, bytes({8, 1, 0, 3, 1}));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].as_str(), "a");
  Bytes out2;
  write_nested_value(KesuValue::map({{"a", KesuValue()}}), out2, keys);
  EXPECT_EQ(out2, bytes({8, 1, 0, 0}));
  EXPECT_EQ(keys.size(), 1u);
  // A long key is interned and still registered once; nested maps count.
  Bytes out3;
  KesuValue nested = KesuValue::map({{"a long key", KesuValue::map({{"a", KesuValue(true)}})}});
  size_t n = write_nested_value(nested, out3, keys);
  EXPECT_EQ(out3, bytes({8, 1, 1, 8, 1, 0, 1}));
  EXPECT_EQ(n, out3.size());
}

TEST(U32ColumnWriter, RunsAndLiteralGroups) {
  struct Case {
    const char* name;
    std::vector<uint32_t> in;
    Bytes want;  // after finishing
  } cases[] = {
      // 5,5,5 is written as a run when 7 arrives; 7 stays pending and is
      // finished as a literal group of one.
      {"run then single", {5, 5, 5, 7}, bytes({6, 5, 1, 7})},
      // 1,2 are written when the repeat of 3 begins; Run(3, 2) is pending.
      {"literal then run", {1, 2, 3, 3}, bytes({3, 1, 2, 4, 3})},
      {"only literals", {1, 2, 3}, bytes({5, 1, 2, 3})},
      {"nothing", {}, bytes({})},
      {"large value", {300, 300}, bytes({4, 0xAC, 0x02})},
  };
  for (auto& c : cases) {
    AnyRleEncoder<uint32_t> w;
    for (uint32_t v : c.in) w.append(v);
    EXPECT_EQ(w.finish(), c.want) << c.name;
  }
}

TEST(I128ColumnWriter, DifferencesAndOverflow) {
  DeltaRleEncoder<i128> w;
  for (int v : {10, 20, 30, 40}) ASSERT_TRUE(w.try_append(v).ok());
  // Differences 10, 10, 10, 10: one run of four.
  EXPECT_EQ(w.finish(), bytes({8, 20}));

  DeltaRleEncoder<i128> n;
  for (int v : {-1, -3}) ASSERT_TRUE(n.try_append(v).ok());
  EXPECT_EQ(n.finish(), bytes({3, 1, 3}));  // literal group of -1, -2

  // A difference beyond the 128-bit range is refused, and the writer keeps
  // its state: the values appended before and after still decode.
  const i128 max = std::numeric_limits<i128>::max();
  const i128 min = std::numeric_limits<i128>::min();
  DeltaRleEncoder<i128> o;
  ASSERT_TRUE(o.try_append(min).ok());
  auto r = o.try_append(max);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ColumnarErrorKind::OverflowError);
  ASSERT_TRUE(o.try_append(min + 5).ok());
  // The differences written: min - 0, then 5.
  Bytes col = o.finish();
  AnyRleDecoder<i128> d(col);
  auto all = d.decode_all(10);
  ASSERT_TRUE(all.ok());
  EXPECT_TRUE(*all == (std::vector<i128>{min, 5}));
}

TEST(ValueRegisterTest, IndicesInFirstSeenOrder) {
  KeyRegister keys;
  std::vector<size_t> got;
  for (const char* k : {"A", "B", "A", "C"}) got.push_back(keys.register_value(InternalString(k)));
  EXPECT_EQ(got, (std::vector<size_t>{0, 1, 0, 2}));
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[2].as_str(), "C");

  SharedStringRegister strings;
  auto a = std::make_shared<const Bytes>(Bytes{'x', 'y'});
  auto b = std::make_shared<const Bytes>(Bytes{'x', 'y'});
  auto c = std::make_shared<const Bytes>(Bytes{'x'});
  EXPECT_EQ(strings.register_value(a), 0u);
  EXPECT_EQ(strings.register_value(b), 0u) << "equal bytes in another allocation";
  EXPECT_EQ(strings.register_value(c), 1u);
  EXPECT_EQ(strings[0].get(), a.get()) << "the first allocation is kept";

  PeerRegister peers;
  EXPECT_EQ(peers.register_value(7), 0u);
  EXPECT_EQ(peers.register_value(UINT64_MAX), 1u);
  EXPECT_EQ(peers.register_value(7), 0u);
}

TEST(DecodeContainerId, TablesAndKinds) {
  std::vector<PeerID> peers{42};
  std::vector<InternalString> names{InternalString("root")};
  auto root = decode_container_id({true, 0, 0, 2}, peers, names);
  ASSERT_TRUE(root.ok());
  EXPECT_EQ(*root, ContainerID::root("root", ContainerType::Kind::Text));
  auto normal = decode_container_id({false, 0, -3, 9}, peers, names);
  ASSERT_TRUE(normal.ok());
  EXPECT_EQ(*normal, ContainerID::normal(42, -3, ContainerType::unknown(9)));

  struct Bad {
    const char* name;
    EncodedContainerRef ref;
    bool empty_names;
  } bad[] = {
      {"root name index 0 of an empty table", {true, 0, 0, 1}, true},
      {"negative name index", {true, 0, -1, 1}, false},
      {"name index past the end", {true, 0, 1, 1}, false},
      {"peer index past the end", {false, 1, 0, 1}, false},
  };
  for (auto& c : bad) {
    auto r =
        decode_container_id(c.ref, peers, c.empty_names ? std::vector<InternalString>{} : names);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), KesuErrorKind::DecodeDataCorruptionError) << c.name;
  }
}

TEST(ValueKindFromByte, HighBitIsNotPartOfTheKind) {
  EXPECT_EQ(value_kind_from_byte(0x10), ValueKind::TreeMove);
  EXPECT_EQ(value_kind_from_byte(0x90), ValueKind::TreeMove);
  EXPECT_EQ(value_kind_from_byte(0x11), ValueKind::Future);
  EXPECT_EQ(value_kind_from_byte(0x00), ValueKind::Null);
  EXPECT_EQ(value_kind_from_byte(0xFF), ValueKind::Future);
}

}  // namespace
}  // namespace kesu
