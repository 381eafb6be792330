#include <gtest/gtest.h>

#include "columnar_test_util.h"
#include "kesu/columnar/column_set.h"

namespace kesu {
namespace {
using test::hx;
using test::Rng;
using test::to_hex;

TEST(KesuColumns, EncodingVectors) {
  EXPECT_EQ(to_hex(encode_any_rle<uint64_t>({5, 5, 5, 7, 8, 9, 9})), "06050307080409");
  EXPECT_EQ(to_hex(encode_any_rle<uint8_t>({5, 5, 5, 7, 8, 9, 9})), "06050307080409");
  EXPECT_EQ(to_hex(encode_any_rle<uint64_t>({42})), "012a");
  EXPECT_EQ(to_hex(encode_any_rle<uint64_t>({})), "");
  // Differences 100, 1, 1, 1, -53: the last one is 50 - 103, zigzag 105 (0x69).
  EXPECT_EQ(to_hex(encode_delta_rle<int64_t>({100, 101, 102, 103, 50})), "01c80106020169");
  EXPECT_EQ(to_hex(encode_bool_rle({false, false, true, true, true, false})), "020301");
  EXPECT_EQ(to_hex(encode_bool_rle({true})), "0001");
  EXPECT_EQ(to_hex(encode_bool_rle({true, true})), "0002");
  EXPECT_EQ(to_hex(encode_bool_rle({})), "");
  EXPECT_EQ(to_hex(*encode_delta_of_delta({10, 12, 14, 17})), "011403a0a800");
  EXPECT_EQ(to_hex(*encode_delta_of_delta({7})), "010e00");
  EXPECT_EQ(to_hex(*encode_delta_of_delta({})), "0000");
}

TEST(KesuColumns, DecodingVectors) {
  auto any = AnyRleDecoder<uint64_t>(hx("06050307080409")).decode_all(100);
  EXPECT_EQ(*any, (std::vector<uint64_t>{5, 5, 5, 7, 8, 9, 9}));
  auto delta = DeltaRleDecoder<int64_t>(hx("01c80106020169")).decode_all(100);
  EXPECT_EQ(*delta, (std::vector<int64_t>{100, 101, 102, 103, 50}));
  auto b = BoolRleDecoder(hx("020301")).decode_all(100);
  EXPECT_EQ(*b, (std::vector<bool>{false, false, true, true, true, false}));
  // Zero runs only flip the value.
  auto z = BoolRleDecoder(hx("01 00 02")).decode_all(100);
  EXPECT_EQ(*z, (std::vector<bool>{false, false, false}));
  Bytes dod = hx("011403a0a800");
  auto d = DeltaOfDeltaDecoder::open(dod);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(*d->decode_all<int64_t>(100), (std::vector<int64_t>{10, 12, 14, 17}));
  Bytes dod_empty = hx("0000");
  auto empty = DeltaOfDeltaDecoder::open(dod_empty);
  EXPECT_TRUE(empty->decode_all<int64_t>(100)->empty());
}

TEST(KesuColumns, RunCountLimits) {
  struct Case {
    int64_t count;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {0, "`Invalid count` during rle decoding"},
      {1'000'000'001, "`decode Rle count is too large : 1000000001` during rle decoding"},
      {-1'000'000'001, "`decode Rle count is too large : -1000000001` during rle decoding"},
      {int64_t(1) << 60,
       "`decode Rle count is too large : 1152921504606846976` during rle decoding"},
      {1'000'000'000, nullptr},
      {-1'000'000'000, nullptr},
  };
  for (const auto& c : cases) {
    Bytes b;
    write_ivarint(b, c.count);
    b.push_back(7);
    AnyRleDecoder<uint8_t> d(b);
    auto v = d.next();
    if (c.error) {
      ASSERT_FALSE(v.ok()) << c.count;
      EXPECT_EQ(v.error().message(), c.error);
    } else {
      ASSERT_TRUE(v.ok()) << c.count;
      EXPECT_EQ(**v, 7);
    }
  }
  Bytes big;
  write_uvarint(big, 1'000'000'001);
  auto bv = BoolRleDecoder(big).next();
  ASSERT_FALSE(bv.ok());
  EXPECT_EQ(bv.error().kind(), ColumnarErrorKind::RleDecodeError);
}

// A run that stands for a billion values must not be materialised beyond
// the caller's limit: the decode fails fast with bounded memory.
TEST(KesuColumns, HugeRunsRespectTheValueLimit) {
  Bytes b;
  write_ivarint(b, 1'000'000'000);
  b.push_back(1);
  auto any = AnyRleDecoder<uint64_t>(b).decode_all(1 << 16);
  ASSERT_FALSE(any.ok());
  EXPECT_EQ(any.error().kind(), ColumnarErrorKind::RleDecodeError);
  auto delta = DeltaRleDecoder<int64_t>(b).decode_all(1 << 16);
  EXPECT_FALSE(delta.ok());
  Bytes bools;
  write_uvarint(bools, 0);
  write_uvarint(bools, 1'000'000'000);
  EXPECT_FALSE(BoolRleDecoder(bools).decode_all(1 << 16).ok());
  // A literal stretch is held to the same limit, value by value.
  Bytes literals = hx("09 01 02 03 04 05");  // literal of 5
  auto at_limit = AnyRleDecoder<uint64_t>(literals).decode_all(5);
  ASSERT_TRUE(at_limit.ok());
  EXPECT_EQ(*at_limit, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
  auto past_limit = AnyRleDecoder<uint64_t>(literals).decode_all(4);
  ASSERT_FALSE(past_limit.ok());
  EXPECT_EQ(past_limit.error().kind(), ColumnarErrorKind::RleDecodeError);
  // take() reserves a bounded amount, then reports the shortfall.
  Bytes short_run = hx("0201");
  AnyRleDecoder<uint64_t> t(short_run);
  auto taken = t.take(size_t(1) << 40);
  ASSERT_FALSE(taken.ok());
  EXPECT_EQ(taken.error().message(),
            "`The elements of decoder is less than n(1099511627776)` during rle decoding");
}

TEST(KesuColumns, CleanEndAndTruncation) {
  // A column ending inside a count's varint reads as its end.
  auto a = AnyRleDecoder<uint64_t>(hx("04 05 80")).decode_all(10);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(*a, (std::vector<uint64_t>{5, 5}));
  auto b = BoolRleDecoder(hx("04 80")).decode_all(10);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b->size(), 4u);
  // A column ending inside a value is a serializer error.
  auto c = AnyRleDecoder<uint64_t>(hx("7f")).decode_all(10);  // literal of 64, no values
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().kind(), ColumnarErrorKind::SerializeError);
  EXPECT_EQ(c.error().serde().kind, SerdeErrorKind::UnexpectedEnd);
  // take() of an unframed stream returns the following bytes.
  Bytes stream = hx("04 09 ff ee");
  AnyRleDecoder<uint64_t> d(stream);
  auto two = d.take(2);
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(to_hex(d.rest()), "ffee");
}

TEST(KesuColumns, DeltaConversionFailures) {
  // u64 field whose running sum goes negative.
  auto neg = DeltaRleDecoder<uint64_t>(encode_delta_rle<int64_t>({5, -1})).decode_all(10);
  ASSERT_FALSE(neg.ok());
  EXPECT_EQ(neg.error().message(), "`-1 cannot be safely converted from i128` during rle decoding");
  auto wide =
      DeltaRleDecoder<int32_t>(encode_delta_rle<int64_t>({int64_t(1) << 40})).decode_all(10);
  EXPECT_FALSE(wide.ok());
  // Saturation keeps hostile 128-bit sums from overflowing.
  Bytes b;
  write_ivarint(b, -2);
  i128 max = ~(i128(1) << 127);
  write_ivarint128(b, max);
  write_ivarint128(b, max);
  auto sat = DeltaRleDecoder<int64_t>(b).decode_all(10);
  EXPECT_FALSE(sat.ok());
}

TEST(KesuColumns, DeltaOfDeltaFaults) {
  auto e1 = encode_delta_of_delta({INT64_MIN, 0});
  ASSERT_FALSE(e1.ok());
  EXPECT_EQ(e1.error().message(), "`delta overflow 64 bits` during rle encoding");
  auto e2 = encode_delta_of_delta({0, INT64_MAX, -1});
  ASSERT_FALSE(e2.ok());
  EXPECT_EQ(e2.error().message(), "`delta of delta overflow 64 bits` during rle encoding");

  struct Case {
    const char* hex;
    ColumnarErrorKind kind;
  };
  const Case open_cases[] = {
      {"", ColumnarErrorKind::SerializeError},          // empty input
      {"02", ColumnarErrorKind::SerializeError},        // bad option tag
      {"0114", ColumnarErrorKind::RleDecodeError},      // no last-bits byte
      {"011409ff", ColumnarErrorKind::RleDecodeError},  // last bits above 8
      {"0114ff", ColumnarErrorKind::RleDecodeError},
  };
  for (const auto& c : open_cases) {
    auto d = DeltaOfDeltaDecoder::open(hx(c.hex));
    ASSERT_FALSE(d.ok()) << c.hex;
    EXPECT_EQ(d.error().kind(), c.kind) << c.hex;
  }
  // Bits that run out inside a payload end the decode with an error.
  Bytes cut_bytes = hx("011408a0");
  auto cut = DeltaOfDeltaDecoder::open(cut_bytes);
  ASSERT_TRUE(cut.ok());
  auto all = cut->decode_all<int64_t>(10);
  ASSERT_FALSE(all.ok());
  EXPECT_EQ(all.error().kind(), ColumnarErrorKind::RleDecodeError);
  // take() beyond the stream.
  Bytes few_bytes = hx("011403a0a800");
  auto few = DeltaOfDeltaDecoder::open(few_bytes);
  auto t = few->take<int64_t>(5);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().message(),
            "`The elements of decoder is less than n (5)` during rle decoding");
  // Conversion to a narrower type.
  Bytes wide = *encode_delta_of_delta({0, int64_t(1) << 40});
  auto narrow = DeltaOfDeltaDecoder::open(wide);
  EXPECT_FALSE(narrow->decode_all<int32_t>(10).ok());
}

// Regular columns are decoded a stretch at a time (a run of equal
// differences, a series of unchanged slopes); a limit or a narrower type
// that is crossed inside such a stretch must stop at the exact value.
template <typename T>
std::pair<std::vector<int64_t>, std::string> decode_both(const Bytes& b, bool dod, size_t max) {
  auto out = [](auto r) -> std::pair<std::vector<int64_t>, std::string> {
    if (!r.ok()) return {{}, r.error().message()};
    return {std::vector<int64_t>(r->begin(), r->end()), ""};
  };
  if (!dod) return out(DeltaRleDecoder<T>(b).decode_all(max));
  auto d = DeltaOfDeltaDecoder::open(b);
  if (!d.ok()) return {{}, d.error().message()};
  return out(d->template decode_all<T>(max));
}

TEST(KesuColumns, StretchesStopAtTheExactValue) {
  std::vector<int64_t> rising, falling, ramp(1000);
  for (int64_t i = 0; i < 10; ++i) rising.push_back(int64_t(INT32_MAX) - 5 + i);
  for (int64_t i = 0; i < 10; ++i) falling.push_back(10 - 3 * i);
  // Longer than one 64-bit window of unchanged slopes, with one bump.
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = int64_t(i) * 1000 + (i == 500 ? 7 : 0);
  enum class As { I64, I32, U32 };
  struct Case {
    const char* what;
    const std::vector<int64_t>& values;
    As as;
    size_t max_values;
    const char* error;  // nullptr: decodes to the values
  };
  const Case cases[] = {
      {"fits", rising, As::I64, 10, nullptr},
      {"limit at the end", rising, As::I64, 10, nullptr},
      {"long ramp", ramp, As::I64, 1000, nullptr},
      {"leaves int32 at the top", rising, As::I32, 10,
       "`2147483648 cannot be safely converted from i128` during rle decoding"},
      {"leaves uint32 below zero", falling, As::U32, 10,
       "`-2 cannot be safely converted from i128` during rle decoding"},
      {"limit inside the stretch", rising, As::I64, 7,
       "`column holds more than 7 values` during rle decoding"},
      {"limit inside a long ramp", ramp, As::I64, 300,
       "`column holds more than 300 values` during rle decoding"},
  };
  for (const auto& c : cases) {
    for (bool dod : {false, true}) {
      Bytes b = dod ? *encode_delta_of_delta(c.values) : encode_delta_rle(c.values);
      auto [got, msg] = c.as == As::I64   ? decode_both<int64_t>(b, dod, c.max_values)
                        : c.as == As::I32 ? decode_both<int32_t>(b, dod, c.max_values)
                                          : decode_both<uint32_t>(b, dod, c.max_values);
      if (c.error)
        EXPECT_EQ(msg, c.error) << c.what << (dod ? " (delta of delta)" : " (delta)");
      else
        EXPECT_EQ(got, c.values) << c.what << (dod ? " (delta of delta)" : " (delta)") << msg;
    }
  }
}

TEST(KesuColumns, DeltaOfDeltaTakeLeavesFollowingBytes) {
  Bytes b = *encode_delta_of_delta({10, 12, 14, 17});
  b.push_back(0xEE);
  auto d = DeltaOfDeltaDecoder::open(b);
  auto v = d->take<int64_t>(4);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(to_hex(d->rest()), "ee");
}

TEST(KesuColumns, FramedColumnSets) {
  std::vector<int64_t> a{5, 5}, b{1, 2};
  auto bytes = encode_columns<DeltaRleColumn<int64_t>, DeltaRleColumn<int64_t>>(a, b);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(to_hex(*bytes),
            "02"
            "03030a00"
            "020402");
  ByteReader r(*bytes);
  auto back = decode_columns<DeltaRleColumn<int64_t>, DeltaRleColumn<int64_t>>(r, 100);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(std::get<0>(*back), a);
  EXPECT_EQ(std::get<1>(*back), b);

  // Fewer columns than fields.
  Bytes one = hx("01 02 0105");
  ByteReader r1(one);
  auto bad = decode_columns<AnyRleColumn<uint64_t>, AnyRleColumn<uint64_t>>(r1, 100);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, SerdeErrorKind::CustomDeserialize);

  // Columns of 3 and 5 values give 3 records.
  auto uneven = encode_columns<AnyRleColumn<uint64_t>, PlainColumn<uint64_t>>(
      std::vector<uint64_t>{1, 2, 3}, std::vector<uint64_t>{4, 5, 6, 7, 8});
  ByteReader r2(*uneven);
  auto cut = decode_columns<AnyRleColumn<uint64_t>, PlainColumn<uint64_t>>(r2, 100);
  ASSERT_TRUE(cut.ok());
  EXPECT_EQ(std::get<1>(*cut), (std::vector<uint64_t>{4, 5, 6}));

  // A column error becomes CustomDeserialize carrying the display text.
  Bytes broken = hx("01 02 0005");
  ByteReader r3(broken);
  auto err = decode_columns<AnyRleColumn<uint64_t>>(r3, 100);
  ASSERT_FALSE(err.ok());
  EXPECT_EQ(err.error().kind, SerdeErrorKind::CustomDeserialize);
  EXPECT_EQ(err.error().detail, "`Invalid count` during rle decoding");
}

TEST(KesuColumns, RandomRoundTrips) {
  Rng rng(7);
  for (int iter = 0; iter < 200; ++iter) {
    size_t n = rng.below(300);
    std::vector<uint64_t> u;
    std::vector<int64_t> s;
    std::vector<bool> bs;
    int64_t cur = int64_t(rng.below(1000));
    for (size_t i = 0; i < n; ++i) {
      // Mix runs, small steps and wide jumps.
      uint64_t mode = rng.below(4);
      u.push_back(mode == 0 && !u.empty() ? u.back() : rng.below(mode == 3 ? UINT64_MAX : 50));
      cur = mode == 3 ? int64_t(rng.next() >> 4) - (int64_t(1) << 59)
                      : cur + int64_t(rng.below(7)) - 3;
      s.push_back(cur);
      bs.push_back(rng.below(3) == 0);
    }
    EXPECT_EQ(*AnyRleDecoder<uint64_t>(encode_any_rle(u)).decode_all(n), u);
    EXPECT_EQ(*DeltaRleDecoder<int64_t>(encode_delta_rle(s)).decode_all(n), s);
    EXPECT_EQ(*BoolRleDecoder(encode_bool_rle(bs)).decode_all(n), bs);
    auto dod = encode_delta_of_delta(s);
    ASSERT_TRUE(dod.ok());
    EXPECT_EQ(*DeltaOfDeltaDecoder::open(*dod)->decode_all<int64_t>(n), s);
    // next() sees the same values as decode_all().
    Bytes u_bytes = encode_any_rle(u);
    AnyRleDecoder<uint64_t> it(u_bytes);
    for (uint64_t x : u) EXPECT_EQ(**it.next(), x);
    EXPECT_FALSE(it.next()->has_value());
  }
}

// Random bytes fed to every column decoder give values or errors only: no
// over-read (checked by the sanitizers) and no crash.
TEST(KesuColumns, FuzzDecodersGiveErrorsOnly) {
  Rng rng(99);
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes b(rng.below(24));
    for (auto& x : b) x = uint8_t(rng.next());
    if (!b.empty() && rng.below(2)) b[0] &= 0x81;  // favour plausible option tags
    (void)AnyRleDecoder<uint64_t>(b).decode_all(4096);
    (void)AnyRleDecoder<int32_t>(b).take(rng.below(64));
    (void)DeltaRleDecoder<uint32_t>(b).decode_all(4096);
    (void)BoolRleDecoder(b).decode_all(4096);
    auto d = DeltaOfDeltaDecoder::open(b);
    if (d.ok()) (void)d->decode_all<int64_t>(4096);
    ByteReader r(b);
    (void)decode_columns<AnyRleColumn<uint64_t>, DeltaRleColumn<int64_t>, BoolRleColumn,
                         DeltaOfDeltaColumn<int64_t>, PlainColumn<uint64_t>>(r, 4096);
  }
}

}  // namespace
}  // namespace kesu
