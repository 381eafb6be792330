#include <gtest/gtest.h>

#include "columnar_test_util.h"
#include "kesu/columnar/column_set.h"
#include "kesu/common/compact.h"
#include "kesu/common/version.h"
#include "kesu/internal/encoding/arena.h"
#include "kesu/internal/encoding/value.h"
#include "kesu_alloc_probe.h"

namespace kesu {
namespace {
using test::hx;
using test::Rng;
using test::to_hex;
using K = ContainerType::Kind;

TEST(KesuValueEncoding, CompactFormVectors) {
  const std::pair<KesuValue, const char*> cases[] = {
      {KesuValue(), "00"},
      {KesuValue(true), "0101"},
      {KesuValue(int64_t(-1)), "0301"},
      {KesuValue(1.0), "02000000000000f03f"},
      {KesuValue::string("a"), "040161"},
      {KesuValue::list({}), "0500"},
      {KesuValue::binary({0xFF}), "0801ff"},
      {KesuValue(ContainerID::root("a", K::Map)), "0700016101"},
      {KesuValue::map_from_pairs({{"k", KesuValue(int64_t(1))}}), "0601016b0302"},
      {KesuValue::list({KesuValue::list({nullptr})}), "0501050100"},
  };
  for (const auto& [v, hex] : cases) {
    Bytes out;
    encode_compact_value(v, out);
    EXPECT_EQ(to_hex(out), hex) << v.debug();
    ByteReader r(out);
    auto back = decode_compact_value(r);
    ASSERT_TRUE(back.ok()) << hex;
    EXPECT_EQ(*back, v);
    EXPECT_TRUE(r.at_end());
  }
  const std::pair<const char*, SerdeErrorKind> bad[] = {
      {"09", SerdeErrorKind::CustomDeserialize},
      {"0102", SerdeErrorKind::BadBool},
      {"02000000", SerdeErrorKind::UnexpectedEnd},
      {"0402c328", SerdeErrorKind::BadUtf8},
      {"03ffffffffffffffffff02", SerdeErrorKind::BadVarint},
      {"05ffffffffffffffff0f", SerdeErrorKind::UnexpectedEnd},  // huge count, no elements
      {"0880808080808080808001", SerdeErrorKind::UnexpectedEnd},
  };
  for (auto [hex, kind] : bad) {
    Bytes b = hx(hex);
    ByteReader r(b);
    auto v = decode_compact_value(r);
    ASSERT_FALSE(v.ok()) << hex;
    EXPECT_EQ(v.error().kind, kind) << hex;
  }
  // A later duplicate key replaces the earlier value.
  Bytes dup = hx("0602 016b0302 016b0304");
  ByteReader rd(dup);
  EXPECT_EQ(*decode_compact_value(rd), KesuValue::map_from_pairs({{"k", KesuValue(int64_t(2))}}));
}

TEST(KesuValueEncoding, NestedVectors) {
  KeyArena keys;
  keys.register_key(InternalString("k"));
  const std::pair<KesuValue, const char*> cases[] = {
      {KesuValue(true), "01"},
      {KesuValue(false), "02"},
      {KesuValue(int64_t(-1)), "037f"},
      {KesuValue(int64_t(64)), "03c000"},
      {KesuValue(1.0), "043ff0000000000000"},
      {KesuValue(ContainerID::normal(7, 10, K::Text)), "0902"},
      {KesuValue::map_from_pairs({{"k", nullptr}}), "08010000"},
      {KesuValue::string("ab"), "05026162"},
      {KesuValue::binary({1, 2}), "06020102"},
  };
  for (const auto& [v, hex] : cases) {
    Bytes out;
    size_t written = write_nested_value(v, out, keys);
    EXPECT_EQ(written, out.size());
    EXPECT_EQ(to_hex(out), hex) << v.debug();
    ByteReader r(out);
    auto back = read_nested_value(r, keys.keys(), 7, 10);
    ASSERT_TRUE(back.ok()) << hex;
    EXPECT_EQ(*back, v);
  }
  EXPECT_EQ(keys.size(), 1u);  // "k" was already registered
}

TEST(KesuValueEncoding, NestedContainerIdentifiers) {
  Bytes b = hx("07 02 0900 0901");
  ByteReader r(b);
  auto v = read_nested_value(r, {}, 7, 10);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->as_list()[0].as_container(), ContainerID::normal(7, 10, K::Map));
  EXPECT_EQ(v->as_list()[1].as_container(), ContainerID::normal(7, 11, K::List));
  ByteReader r2(b);
  auto sat = read_nested_value(r2, {}, 7, INT32_MAX);
  EXPECT_EQ(sat->as_list()[1].as_container(), ContainerID::normal(7, INT32_MAX, K::List));
  // Below the top level, every container gets its top-level element's id.
  Bytes deep = hx("07 02 00 07 02 0902 0902");
  ByteReader r3(deep);
  auto d = read_nested_value(r3, {}, 1, 5);
  const auto& inner = d->as_list()[1].as_list();
  EXPECT_EQ(inner[0].as_container(), ContainerID::normal(1, 6, K::Text));
  EXPECT_EQ(inner[1].as_container(), ContainerID::normal(1, 6, K::Text));
}

TEST(KesuValueEncoding, NestedFaultsAreDataCorruption) {
  std::vector<InternalString> keys{InternalString("k")};
  const char* bad[] = {
      "0a",                       // tag above 9
      "08 01 01 00",              // key index equal to the arena length
      "07 81808080 01",           // list count 268435457
      "04 3ff00000000000",        // double with 7 bytes
      "03 ffffffffffffffffff01",  // signed LEB128 tenth byte 0x01
      "05 02 c328",               // invalid UTF-8
      "07 02 07 01 0a",           // bad tag below the top level
      "",
  };
  for (const char* hex : bad) {
    Bytes b = hx(hex);
    ByteReader r(b);
    auto v = read_nested_value(r, keys, 1, 1);
    ASSERT_FALSE(v.ok()) << hex;
    EXPECT_EQ(v.error().kind(), KesuErrorKind::DecodeDataCorruptionError) << hex;
  }
  Bytes limit = hx("07 80808080 01");  // 268435456 itself passes the count check
  ByteReader rl(limit);
  EXPECT_EQ(read_nested_value(rl, keys, 1, 1).error().kind(),
            KesuErrorKind::DecodeDataCorruptionError);  // ...and fails for lack of elements
}

TEST(KesuValueEncoding, OperationValues) {
  std::vector<InternalString> keys{InternalString("bold")};
  Bytes future = hx("02 abcd");
  ByteReader rf(future);
  auto f = read_op_value(0x91, rf, keys, 1, 1);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f->kind, ValueKind::Future);
  EXPECT_EQ(f->future_kind, 17);
  KeyArena arena;
  Bytes out;
  EXPECT_EQ(write_op_value(*f, out, arena), 0x91);
  EXPECT_EQ(to_hex(out), "02abcd");

  EXPECT_EQ(value_kind_from_byte(0x10), ValueKind::TreeMove);
  EXPECT_EQ(value_kind_from_byte(0x83), ValueKind::I64);

  Bytes root_move = hx("01 05 02 01 ff");
  ByteReader rr(root_move);
  auto tm = read_op_value(0x10, rr, keys, 1, 1);
  ASSERT_TRUE(tm.ok());
  EXPECT_FALSE(tm->parent.has_value());
  EXPECT_EQ(to_hex(rr.rest()), "ff");
  Bytes child_move = hx("01 05 02 00 03 07");
  ByteReader rc(child_move);
  auto tc = read_op_value(0x10, rc, keys, 1, 1);
  ASSERT_TRUE(tc.ok());
  ASSERT_TRUE(tc->parent.has_value());
  EXPECT_EQ(tc->parent->first, 3u);
  EXPECT_EQ(tc->parent->second, 7);
  EXPECT_TRUE(rc.at_end());

  // Round trip of every kind through write and read.
  std::vector<OpValue> values(17);
  for (size_t i = 0; i < values.size(); ++i) values[i].kind = ValueKind(i);
  values[3].i64 = -123456789;
  values[4].f64 = 2.5;
  values[5].bytes = brenvik::as_bytes("héllo");
  values[6].bytes = brenvik::as_bytes("\x01\x02");
  values[7].index = 99;
  values[10].i64 = -7;
  values[11].value =
      KesuValue::map_from_pairs({{"x", KesuValue::list({1, 2.5, KesuValue::string("s")})}});
  values[12].info = 4;
  values[12].len = 12;
  values[12].key = InternalString("underline");
  values[12].value = KesuValue(true);
  values[13].target = 3;
  values[13].position = 4;
  values[13].parent_index = 5;
  values[14].from = 8;
  values[14].peer_idx = 1;
  values[14].lamport = 77;
  values[15].peer_idx = 2;
  values[15].lamport = 5;
  values[15].value = KesuValue::string("v");
  values[16].peer_idx = 1;
  values[16].subject_counter = INT32_MAX;
  values[16].position = 2;
  values[16].parent = std::make_pair(uint64_t(0), Counter(4));
  KeyArena ka;
  Bytes all;
  std::vector<uint8_t> kinds;
  for (const auto& v : values) kinds.push_back(write_op_value(v, all, ka));
  ByteReader r(all);
  for (size_t i = 0; i < values.size(); ++i) {
    auto back = read_op_value(kinds[i], r, ka.keys(), 9, 9);
    ASSERT_TRUE(back.ok()) << i;
    const OpValue& a = values[i];
    const OpValue& b = *back;
    EXPECT_EQ(b.kind, a.kind) << i;
    EXPECT_EQ(b.i64, a.i64) << i;
    EXPECT_EQ(b.f64, a.f64) << i;
    EXPECT_EQ(brenvik::to_string(b.bytes), brenvik::to_string(a.bytes)) << i;
    EXPECT_EQ(b.index, a.index) << i;
    EXPECT_EQ(b.value, a.value) << i;
    EXPECT_EQ(b.key, a.key) << i;
    EXPECT_EQ(b.parent_index, a.parent_index) << i;
    EXPECT_EQ(b.parent, a.parent) << i;
    EXPECT_EQ(b.subject_counter, a.subject_counter) << i;
    EXPECT_EQ(b.lamport, a.lamport) << i;
  }
  EXPECT_TRUE(r.at_end());

  // StyleStart with a key index outside the arena.
  Bytes bad_key = hx("00 01 05 00");
  ByteReader rb(bad_key);
  EXPECT_EQ(read_op_value(12, rb, keys, 1, 1).error().kind(),
            KesuErrorKind::DecodeDataCorruptionError);
}

TEST(KesuArenas, KeysAndContainers) {
  EXPECT_EQ(to_hex(encode_keys({InternalString("a"), InternalString("bc")})), "0161026263");
  EXPECT_EQ(encode_keys({}).size(), 0u);
  auto keys = decode_keys(hx("0161026263"));
  ASSERT_TRUE(keys.ok());
  EXPECT_EQ((*keys)[1], InternalString("bc"));
  for (const char* bad : {"0261", "80", "02c328"})
    EXPECT_EQ(decode_keys(hx(bad)).error().kind(), KesuErrorKind::DecodeDataCorruptionError) << bad;

  KeyArena ka;
  PeerTable peers;
  peers.register_peer(100);
  peers.register_peer(200);
  EXPECT_EQ(to_hex(encode_containers({ContainerID::root("a", K::Map)}, ka, peers)), "010401000000");
  EXPECT_EQ(to_hex(encode_containers({ContainerID::normal(200, 5, K::Text)}, ka, peers)),
            "01040002010a");
  auto ids = decode_containers(hx("02 0401000000 040002010a"), ka.keys(), peers.peers());
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ((*ids)[0], ContainerID::root("a", K::Map));
  EXPECT_EQ((*ids)[1], ContainerID::normal(200, 5, K::Text));

  struct Case {
    const char* hex;
    KesuErrorKind kind;
  };
  const Case bad[] = {
      {"01 0401000002", KesuErrorKind::DecodeDataCorruptionError},  // key index == arena length
      {"01 040002020a", KesuErrorKind::DecodeDataCorruptionError},  // peer index == table length
      {"01 0302000000", KesuErrorKind::Unknown},                    // field count below 4
      {"01 0402000000", KesuErrorKind::Unknown},                    // bad is_root byte
      {"01 040100", KesuErrorKind::Unknown},                        // truncated row
      {"05", KesuErrorKind::Unknown},
  };
  for (const auto& c : bad) {
    auto r = decode_containers(hx(c.hex), ka.keys(), peers.peers());
    ASSERT_FALSE(r.ok()) << c.hex;
    EXPECT_EQ(r.error().kind(), c.kind) << c.hex;
  }
}

TEST(KesuValueEncoding, ElementReaders) {
  Bytes b;
  write_bytes(b, encode_delta_rle<int64_t>({3, 4, 5}));
  write_bytes(b, encode_delta_rle<int64_t>({-1}));
  write_bytes(b, hx("03 01 02 03"));
  write_str(b, "long interned key");
  ByteReader r(b);
  EXPECT_EQ(*read_delta_column<uint32_t>(r, 100), (std::vector<uint32_t>{3, 4, 5}));
  auto neg = read_delta_column<uint32_t>(r, 100);
  ASSERT_FALSE(neg.ok());
  EXPECT_EQ(neg.error().kind, SerdeErrorKind::CustomDeserialize);
  EXPECT_EQ(*read_plain_u64_column(r), (std::vector<uint64_t>{1, 2, 3}));
  auto s = read_interned_string(r);
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(s->same_entry(InternalString("long interned key")));
  Bytes list = hx("02 00 0101");
  ByteReader rl(list);
  EXPECT_EQ(*read_value_list(rl), (std::vector<KesuValue>{KesuValue(), KesuValue(true)}));
}

// Builds position arena bytes from explicit rows.
Bytes position_rows(const std::vector<uint64_t>& prefixes, const std::vector<Bytes>& rests) {
  Bytes r;
  write_uvarint(r, rests.size());
  for (const auto& x : rests) write_bytes(r, x);
  Bytes out{0x01};
  write_column_set(out, {encode_any_rle(prefixes), r});
  return out;
}

TEST(KesuArenas, Positions) {
  std::vector<Bytes> pos{hx("80"), hx("8040"), hx("81")};
  Bytes enc = encode_positions(pos);
  EXPECT_EQ(enc, position_rows({0, 1, 0}, {hx("80"), hx("40"), hx("81")}));
  EXPECT_EQ(*decode_positions(enc), pos);
  EXPECT_TRUE(encode_positions({}).empty());
  EXPECT_TRUE(decode_positions({})->empty());

  auto first = decode_positions(position_rows({1}, {hx("80")}));
  EXPECT_EQ(first.error().message(),
            "Decode error: (Decode position arena failed: first common prefix is nonzero)");
  auto range = decode_positions(position_rows({0, 2}, {hx("80"), hx("41")}));
  EXPECT_EQ(range.error().message(),
            "Decode error: (Decode position arena failed: common prefix out of range)");
  // One more rest than prefixes: as many positions as prefixes.
  auto cut = decode_positions(position_rows({0, 1}, {hx("80"), hx("40"), hx("81")}));
  ASSERT_TRUE(cut.ok());
  EXPECT_EQ(cut->size(), 2u);
  // Prefix sharing cannot expand a small input without bound.
  std::vector<uint64_t> prefixes{0};
  std::vector<Bytes> rests{Bytes(4000, 0x80)};
  for (int i = 1; i < 2000; ++i) {
    prefixes.push_back(3999 + i);
    rests.push_back(hx("01"));
  }
  auto big = decode_positions(position_rows(prefixes, rests));
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().kind(), KesuErrorKind::DecodeError);
}

// The writers size their output before storing it: every integer width,
// long texts and keys must come out exactly as counted, in both forms.
TEST(KesuValueEncoding, WritersCountWhatTheyStore) {
  KesuList items;
  for (int64_t x : {int64_t(0), int64_t(-1), int64_t(63), int64_t(64), int64_t(-64), int64_t(-65),
                    int64_t(1) << 62, INT64_MIN, INT64_MAX})
    items.push_back(KesuValue(x));
  items.push_back(KesuValue::string(std::string(300, 'x')));
  items.push_back(KesuValue::binary(Bytes(20000, 0xAB)));
  items.push_back(KesuValue(-0.0));
  KesuValue v = KesuValue::list(items);
  for (bool nested : {false, true}) {
    Bytes out = hx("ee");  // writers append after what is there
    KeyArena keys;
    if (nested) {
      size_t n = write_nested_value(v, out, keys);
      EXPECT_EQ(n, out.size() - 1);
    } else {
      encode_compact_value(v, out);
    }
    EXPECT_EQ(out[0], 0xEE);
    ByteReader r(ByteView(out).subspan(1));
    auto back = nested ? read_nested_value(r, keys.keys(), 1, 1)
                       : KesuResult<KesuValue>(*decode_compact_value(r));
    EXPECT_EQ(*back, v) << nested;
    EXPECT_TRUE(r.at_end()) << nested;
  }
}

// Keys shared by many maps, an empty key, and more distinct keys than a
// writer remembers at once: each key is written as its own arena index.
TEST(KesuValueEncoding, NestedKeysAcrossManyMaps) {
  KesuList rows;
  for (int i = 0; i < 40; ++i) {
    KesuMap m;
    m[""] = KesuValue(int64_t(i));
    m["k" + std::to_string(i % 13)] = KesuValue(true);
    m["shared"] = KesuValue::string("s");
    rows.push_back(KesuValue::map(m));
  }
  KesuValue v = KesuValue::list(rows);
  KeyArena keys;
  Bytes out;
  write_nested_value(v, out, keys);
  EXPECT_EQ(keys.size(), 15u);  // "", "shared" and k0..k12
  ByteReader r(out);
  EXPECT_EQ(*read_nested_value(r, keys.keys(), 1, 1), v);
  // A second value reuses the arena: known keys keep their indices.
  size_t before = keys.size();
  Bytes again;
  write_nested_value(KesuValue::map_from_pairs({{"", KesuValue(1)}, {"new", KesuValue(2)}}), again,
                     keys);
  EXPECT_EQ(keys.size(), before + 1);
}

// Readers let a repeated short text share the block of its first reading.
// Texts that differ only late, in length or in their last byte, and long
// texts, must still come back exactly; repeats of a text too long to be held
// inside the value share one block.
TEST(KesuValueEncoding, RepeatedShortTextsShareOneBlock) {
  const std::string texts[] = {"a",
                               "b",
                               "ab",
                               "ba",
                               "tag-0001",
                               "tag-0002",
                               "tag-00001",
                               "a text of forty-eight bytes that many rows share",
                               "seventeen-bytes-17",
                               std::string(3, '\0'),
                               std::string(40, 'x')};
  KesuList rows;
  for (int i = 0; i < 300; ++i) {
    const std::string& t = texts[size_t(i * 7) % std::size(texts)];
    rows.push_back(KesuValue::map_from_pairs(
        {{"t", KesuValue::string(t)}, {"u", KesuValue::string("unique " + std::to_string(i))}}));
  }
  KesuValue v = KesuValue::list(rows);
  for (bool nested : {false, true}) {
    Bytes out;
    KeyArena keys;
    if (nested)
      write_nested_value(v, out, keys);
    else
      encode_compact_value(v, out);
    ByteReader r(out);
    auto back = nested ? read_nested_value(r, keys.keys(), 1, 1)
                       : KesuResult<KesuValue>(*decode_compact_value(r));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, v) << nested;
    const KesuList& got = back->as_list();
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].as_map().at("t").as_string(), texts[(i * 7) % std::size(texts)]);
    }
    // Rows 100 and 111 hold the same 48-byte text, read long
    // after the reader started sharing.
    EXPECT_TRUE(got[100].as_map().at("t").same_block(got[111].as_map().at("t"))) << nested;
  }
}

TEST(KesuValueEncoding, RandomValuesRoundTrip) {
  Rng rng(3);
  for (int iter = 0; iter < 300; ++iter) {
    // Build a random value tree with an explicit work list.
    std::function<KesuValue(int)> make = [&](int depth) -> KesuValue {
      switch (rng.below(depth > 3 ? 6 : 9)) {
        case 0:
          return KesuValue();
        case 1:
          return KesuValue(rng.below(2) == 1);
        case 2:
          return KesuValue(double(int64_t(rng.next())) / 7.0);
        case 3:
          return KesuValue(int64_t(rng.next()));
        case 4:
          return KesuValue::string(std::string(rng.below(12), char('a' + rng.below(26))));
        case 5: {
          Bytes b(rng.below(10));
          for (auto& x : b) x = uint8_t(rng.next());
          return KesuValue::binary(b);
        }
        case 6: {
          KesuList l;
          for (size_t i = rng.below(5); i > 0; --i) l.push_back(make(depth + 1));
          return KesuValue::list(l);
        }
        case 7: {
          KesuMap m;
          for (size_t i = rng.below(5); i > 0; --i)
            m[std::string("k").append(std::to_string(rng.below(9)))] = make(depth + 1);
          return KesuValue::map(m);
        }
        default:
          return KesuValue(ContainerID::normal(rng.below(5), Counter(rng.below(100)), K::List));
      }
    };
    KesuValue v = make(0);
    Bytes compact;
    encode_compact_value(v, compact);
    ByteReader r(compact);
    EXPECT_EQ(*decode_compact_value(r), v) << v.debug();
    // The nested form cannot carry container ids; it names them by the operation.
    if (v.type() != ValueType::Container && v.debug().find("Container") == std::string::npos) {
      KeyArena keys;
      Bytes nested;
      write_nested_value(v, nested, keys);
      ByteReader rn(nested);
      EXPECT_EQ(*read_nested_value(rn, keys.keys(), 1, 1), v) << v.debug();
    }
  }
}

// Counts from a few bytes must not turn into large reservations, and random
// input gives errors only.
TEST(KesuDecoders, FuzzGivesErrorsOnlyWithBoundedMemory) {
  if (!test::AllocProbe::available())
    GTEST_SKIP() << "allocation probe needs the address sanitizer";
  Rng rng(2024);
  std::vector<InternalString> keys{InternalString("a"), InternalString("long key name")};
  std::vector<PeerID> peers{1, 2, 3};
  size_t worst_largest = 0, worst_total = 0;
  for (int iter = 0; iter < 30000; ++iter) {
    Bytes b(rng.below(48));
    for (auto& x : b) x = uint8_t(rng.next());
    // Bias a share of inputs towards large varints and plausible tags.
    if (!b.empty() && rng.below(3) == 0) b[0] = uint8_t(rng.below(10));
    for (size_t i = 1; i < b.size() && i < 9 && rng.below(2); ++i) b[i] |= 0x80;
    test::AllocProbe probe;
    {
      ByteReader r1(b);
      (void)decode_compact_value(r1);
      ByteReader r2(b);
      (void)read_nested_value(r2, keys, 1, 1);
      ByteReader r3(b);
      if (!b.empty()) (void)read_op_value(b[0], r3, keys, 1, 1);
      (void)decode_keys(b);
      (void)decode_containers(b, keys, peers);
      (void)decode_positions(b);
      (void)Frontiers::decode(b);
      (void)ContainerID::from_bytes(b);
      ByteReader r4(b);
      (void)read_version_vector(r4);
      ByteReader r5(b);
      (void)read_value_list(r5);
      ByteReader r6(b);
      (void)read_plain_u64_column(r6);
      // take(n) produces exactly n values, so n is the caller's trusted bound;
      // up to it, runs may legitimately stand for many values.
      size_t n = size_t(rng.below(8192));
      (void)AnyRleDecoder<uint64_t>(b).take(n);
      (void)DeltaRleDecoder<int64_t>(b).take(n);
      (void)BoolRleDecoder(b).take(n);
      auto dod = DeltaOfDeltaDecoder::open(b);
      if (dod.ok()) (void)dod->take<int64_t>(n);
      (void)AnyRleDecoder<uint64_t>(b).decode_all(8192);
    }
    worst_largest = std::max(worst_largest, probe.largest());
    worst_total = std::max(worst_total, probe.total());
  }
  EXPECT_LE(worst_largest, size_t(1) << 20);
  EXPECT_LE(worst_total, size_t(1) << 20);
}

TEST(KesuDecoders, HugeClaimedCountsFailFast) {
  if (!test::AllocProbe::available())
    GTEST_SKIP() << "allocation probe needs the address sanitizer";
  {
    test::AllocProbe self_check;  // the probe sees a large request
    std::vector<uint8_t> big(size_t(2) << 20);
    EXPECT_GE(self_check.largest(), big.size());
  }
  const char* inputs[] = {
      "05 8080808080808080 01",  // compact list of 2^56 elements
      "06 8080808080808080 01",  // compact map
      "08 8080808080808080 01",  // compact binary
      "07 80808080 01",          // nested list at the limit
  };
  for (const char* hex : inputs) {
    Bytes b = hx(hex);
    test::AllocProbe probe;
    ByteReader r1(b);
    EXPECT_FALSE(decode_compact_value(r1).ok()) << hex;
    ByteReader r2(b);
    EXPECT_FALSE(read_nested_value(r2, {}, 1, 1).ok()) << hex;
    EXPECT_LE(probe.total(), size_t(64) << 10) << hex;
  }
  // Nested lists each claiming the rest of the input: the reservations of
  // the whole decode share one budget, so they stay linear in the input.
  Bytes chain;
  for (int i = 0; i < 2000; ++i) {
    chain.push_back(0x05);
    write_uvarint(chain, 4000 - 2 * i);
  }
  test::AllocProbe probe;
  ByteReader r(chain);
  EXPECT_FALSE(decode_compact_value(r).ok());
  EXPECT_LE(probe.total(), size_t(1) << 20);
}

}  // namespace
}  // namespace kesu
