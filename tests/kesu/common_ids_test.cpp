#include <gtest/gtest.h>

#include "columnar_test_util.h"
#include "kesu/common/bytes_slice.h"
#include "kesu/common/compact.h"
#include "kesu/common/version.h"

namespace kesu {
namespace {
using test::hx;
using test::to_hex;

TEST(KesuIds, KeyAndTextForms) {
  ID id{1, 2};
  auto key = id.to_bytes();
  EXPECT_EQ(to_hex(key), "000000000000000100000002");
  EXPECT_EQ(*ID::from_bytes(key), id);
  for (size_t n : {11u, 13u}) {
    Bytes b(n, 0);
    auto r = ID::from_bytes(b);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(),
              "Invalid ID bytes. Expected 12 bytes but got " + std::to_string(n) + " bytes");
  }
  EXPECT_EQ((ID{12345, 5}).to_string(), "5@12345");
  EXPECT_EQ((IdLp{7, 12345}).to_string(), "L7@12345");
  EXPECT_EQ((TreeID{1, 2}).debug(), "TreeID { peer: 1, counter: 2 }");
}

TEST(KesuIds, CompactIdsAndSpans) {
  EXPECT_FALSE(CompactId::make(1, INT32_MAX).has_value());
  auto c = CompactId::make(1, INT32_MAX - 1);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->counter(), INT32_MAX - 1);
  EXPECT_THROW(c->inc(1), InternalError);
  EXPECT_EQ(CompactId::make(3, -4)->counter(), -4);
  EXPECT_FALSE(CompactIdLp::make(1, UINT32_MAX).has_value());
  EXPECT_THROW(CompactIdLp::make_unchecked(1, UINT32_MAX), InternalError);

  CounterSpan back{10, 4};
  EXPECT_EQ(back.slice(1, 3), (CounterSpan{9, 7}));
  EXPECT_EQ((CounterSpan{3, 8}).slice(1, 3), (CounterSpan{4, 6}));
  EXPECT_THROW(back.slice(3, 1), InternalError);
  EXPECT_THROW(back.slice(0, 7), InternalError);
  CounterSpan clamp{3, 8};
  clamp.set_start_clamped(10);
  EXPECT_EQ(clamp.start, 8);
  CounterSpan clamp_back{8, 3};
  clamp_back.set_start_clamped(1);
  EXPECT_EQ(clamp_back.start, 3);
  EXPECT_EQ((CounterSpan{3, 8}).debug(), "3~8");
}

TEST(KesuIds, SpanOverlapAndMerge) {
  IdSpan a{1, {0, 10}}, b{1, {5, 20}}, other{2, {5, 20}};
  EXPECT_EQ(a.overlap(b), std::make_pair(uint32_t(0), uint32_t(5)));
  EXPECT_FALSE(a.overlap(other).has_value());
  EXPECT_FALSE((IdSpan{1, {0, 5}}).overlap(IdSpan{1, {5, 9}}).has_value());
  // Backward spans are normalised first.
  EXPECT_EQ((IdSpan{1, {9, 2}}).overlap(IdSpan{1, {0, 5}}),
            std::make_pair(uint32_t(2), uint32_t(5)));

  struct Case {
    CounterSpan a, b;
    bool joins;
    CounterSpan joined;
  };
  const Case cases[] = {
      {{5, 6}, {6, 7}, true, {5, 7}},  // single + single, ascending
      {{5, 6}, {4, 5}, true, {5, 3}},  // single + single, descending
      {{5, 6}, {6, 9}, true, {5, 9}},  // single + forward multi
      {{5, 6}, {4, 1}, true, {5, 1}},  // single + backward multi beginning next to it
      {{5, 6}, {7, 9}, false, {}},    {{0, 5}, {5, 6}, true, {0, 6}},  // multi + single
      {{9, 5}, {5, 6}, true, {9, 4}},  // backward multi + single moves the end down
      {{0, 5}, {5, 9}, true, {0, 9}},  // same direction
      {{0, 5}, {5, 2}, false, {}},     // directions differ
      {{0, 5}, {6, 9}, false, {}},
  };
  for (const auto& c : cases) {
    IdSpan x{1, c.a}, y{1, c.b};
    EXPECT_EQ(x.can_merge(y), c.joins) << c.a.debug() << " + " << c.b.debug();
    if (c.joins) {
      x.merge(y);
      EXPECT_EQ(x.counter, c.joined) << c.a.debug() << " + " << c.b.debug();
    }
  }
  EXPECT_FALSE((IdSpan{1, {0, 5}}).can_merge(IdSpan{2, {5, 6}}));
}

TEST(KesuVersions, VersionVectorEqualityAndDiff) {
  VersionVector a({{1, 3}, {2, 0}}), b({{1, 3}}), c({{1, 3}, {2, -2}}), d({{1, 4}});
  EXPECT_EQ(a, b);
  EXPECT_EQ(c, b);
  EXPECT_FALSE(b == d);
  EXPECT_EQ(VersionVector(), VersionVector({{7, 0}, {8, -1}}));

  VersionVector self({{1, 5}, {2, 2}});
  auto diff = self.diff_iter(VersionVector({{1, 3}, {2, 4}}));
  ASSERT_EQ(diff.size(), 1u);
  EXPECT_EQ(diff[0], (IdSpan{1, {3, 5}}));
  auto all = self.diff_iter(VersionVector());
  std::sort(all.begin(), all.end(), [](auto& x, auto& y) { return x.peer < y.peer; });
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], (IdSpan{1, {0, 5}}));
  EXPECT_EQ(all[1], (IdSpan{2, {0, 2}}));
}

TEST(KesuVersions, FrontiersPushEqualityAndBytes) {
  Frontiers f;
  f.push({1, 3});
  f.push({1, 5});
  EXPECT_FALSE(f.is_map_form());
  EXPECT_EQ(f, Frontiers(ID{1, 5}));
  f.push({2, 2});
  EXPECT_TRUE(f.is_map_form());
  Frontiers copy = f;
  f.push({1, 4});
  EXPECT_EQ(f, copy);
  copy.push({3, 1});  // a shared block is copied before it changes
  EXPECT_EQ(f.size(), 2u);
  EXPECT_EQ(copy.size(), 3u);

  struct Case {
    std::vector<ID> ids;
    const char* hex;
  };
  const Case cases[] = {
      {{}, "00"},
      {{{1, 0}}, "010100"},
      {{{300, -1}, {5, 10}}, "02 0514 ac0201"},  // sorted by peer on writing
  };
  for (const auto& c : cases) {
    Frontiers fr;
    for (ID id : c.ids) fr.push(id);
    EXPECT_EQ(to_hex(fr.encode()), to_hex(hx(c.hex)));
    auto back = Frontiers::decode(hx(c.hex));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, fr);
  }
  // Two IDs of one peer keep only the larger counter.
  auto dup = Frontiers::decode(hx("02 010a 0106"));
  EXPECT_EQ(*dup, Frontiers(ID{1, 5}));
  for (const char* bad : {"", "02 0100", "01 80"}) {
    auto r = Frontiers::decode(hx(bad));
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().message(), "Decode error: (Decode Frontiers error)");
  }
}

TEST(KesuCompact, RecordForms) {
  Bytes out;
  write_id(out, {1, 0});
  write_id(out, {300, -1});
  EXPECT_EQ(to_hex(out), "0100ac0201");
  Bytes vv;
  write_version_vector(vv, VersionVector());
  EXPECT_EQ(to_hex(vv), "00");
  vv.clear();
  write_version_vector(vv, VersionVector({{5, 10}}));
  EXPECT_EQ(to_hex(vv), "010514");
  ByteReader r(vv);
  EXPECT_EQ(*read_version_vector(r), VersionVector({{5, 10}}));

  Bytes root, normal;
  write_container_id(root, ContainerID::root("a", ContainerType::Kind::Map));
  write_container_id(normal, ContainerID::normal(7, 3, ContainerType::Kind::Text));
  EXPECT_EQ(to_hex(root), "00016101");
  EXPECT_EQ(to_hex(normal), "01070600");
  Bytes unknown = hx("01070609");
  ByteReader ru(unknown);
  EXPECT_EQ(read_container_id(ru)->container_type(), ContainerType::unknown(9));
  Bytes bad_variant = hx("02");
  ByteReader rb(bad_variant);
  EXPECT_EQ(read_container_id(rb).error().kind, SerdeErrorKind::CustomDeserialize);
  Bytes no_kind = hx("000161");
  ByteReader rk(no_kind);
  EXPECT_EQ(read_container_id(rk).error().kind, SerdeErrorKind::UnexpectedEnd);
  Bytes big_counter = hx("0107ffffffff10 00");
  ByteReader rc(big_counter);
  EXPECT_EQ(read_container_id(rc).error().kind, SerdeErrorKind::BadVarint);
}

TEST(KesuBytesSlice, SliceAndJoin) {
  Bytes data = hx("00010203040506070809");
  BytesSlice all = BytesSlice::from_bytes(data);
  EXPECT_TRUE(all.slice(2, 2).empty());
  EXPECT_THROW(all.slice(3, 2), InternalError);
  EXPECT_THROW(all.slice(0, 11), InternalError);
  BytesSlice a = all.slice(0, 4), b = all.slice(4, 9), gap = all.slice(5, 9);
  EXPECT_FALSE(a.can_merge(gap));
  a.merge(b);
  EXPECT_EQ(a.start(), 0u);
  EXPECT_EQ(a.end(), 9u);
  BytesSlice other = BytesSlice::from_bytes(data).slice(4, 9);
  BytesSlice c = all.slice(0, 4);
  EXPECT_FALSE(c.can_merge(other));  // equal bytes, different buffers
  EXPECT_THROW(c.merge(other), InternalError);
  EXPECT_EQ(all.slice(1, 3).debug(), "BytesSlice { data: [1, 2], start: 1, end: 3 }");
}

}  // namespace
}  // namespace kesu
