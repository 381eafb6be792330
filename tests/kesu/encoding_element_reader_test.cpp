#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "columnar_test_util.h"
#include "kesu/internal/encoding/element_reader.h"
#include "kesu_alloc_probe.h"

namespace kesu {
namespace {
using test::hx;
using test::Rng;

// The identifier pair of tree nodes: peer index and counter.
using PeerCol = DeltaRleColumn<uint64_t>;
using CounterCol = DeltaRleColumn<int32_t>;
using NodeIdPair = std::pair<PeerCol::Decoder, CounterCol::Decoder>;

// Reads every value of a column decoder, at most `limit` of them.
template <typename D>
auto drain(D& d, size_t limit = 1000) {
  using T = typename decltype(d.next())::value_type::value_type;
  std::vector<T> out;
  for (;;) {
    auto v = d.next();
    if (!v.ok()) return ColumnarResult<std::vector<T>>(Err(v.error()));
    if (!v->has_value() || out.size() == limit) return ColumnarResult<std::vector<T>>(out);
    out.push_back(**v);
  }
}

TEST(KesuElementReaders, ColumnPairVectors) {
  struct Case {
    const char* hex;
    std::vector<uint64_t> peers;
    std::vector<int32_t> counters;
    size_t trailing;  // bytes left in the input after the pair
  };
  const Case cases[] = {
      // The node ids of an empty tree.
      {"02 00 00", {}, {}, 0},
      // Peer indices 0, 0 (differences 0, 0: a run) and counters 0, 1
      // (differences 0, 1: a literal stretch).
      {"02 02 0400 03 030002", {0, 0}, {0, 1}, 0},
      // A third field is left unread, as for any column set.
      {"03 02 020e 02 0202 01 ff", {7}, {1}, 2},
      // Columns of different lengths: each decoder yields its own values.
      {"02 04 02060400 00", {3, 3, 3}, {}, 0},
  };
  for (const auto& c : cases) {
    Bytes b = hx(c.hex);
    ByteReader r(b);
    ElementCursor cur(r, 1);
    auto p = next_column_pair<PeerCol, CounterCol>(cur);
    ASSERT_TRUE(p.ok()) << c.hex << " " << p.error().message();
    ASSERT_TRUE(p->has_value()) << c.hex;
    EXPECT_EQ(*drain((*p)->first), c.peers) << c.hex;
    EXPECT_EQ(*drain((*p)->second), c.counters) << c.hex;
    EXPECT_EQ(r.remaining(), c.trailing) << c.hex;
    EXPECT_EQ(cur.remaining(), 0u);
  }
}

TEST(KesuElementReaders, ColumnPairErrors) {
  struct Case {
    const char* hex;
    SerdeErrorKind kind;
  };
  const Case cases[] = {
      {"", SerdeErrorKind::UnexpectedEnd},            // no field count
      {"01 00", SerdeErrorKind::CustomDeserialize},   // one field only
      {"00", SerdeErrorKind::CustomDeserialize},      // no field
      {"02 00", SerdeErrorKind::UnexpectedEnd},       // second field missing
      {"02 05 0102", SerdeErrorKind::UnexpectedEnd},  // byte string past the end
      {"02 80", SerdeErrorKind::UnexpectedEnd},       // unfinished length
  };
  for (const auto& c : cases) {
    Bytes b = hx(c.hex);
    ByteReader r(b);
    ElementCursor cur(r, 3);
    auto p = next_column_pair<PeerCol, CounterCol>(cur);
    ASSERT_FALSE(p.ok()) << c.hex;
    EXPECT_EQ(p.error().kind, c.kind) << c.hex;
  }

  // Strategies that read a header when opened refuse a bad one at once, as
  // a column that does not decode.
  Bytes dod = hx("02 01 02 01 00");  // option tag 2 in the DeltaOfDelta column
  ByteReader r1(dod);
  ElementCursor c1(r1, 1);
  auto bad_dod = next_column_pair<DeltaOfDeltaColumn<int64_t>, PlainColumn<uint64_t>>(c1);
  ASSERT_FALSE(bad_dod.ok());
  EXPECT_EQ(bad_dod.error().kind, SerdeErrorKind::CustomDeserialize);
  Bytes plain = hx("02 02 0000 00");  // the plain column has no count
  ByteReader r2(plain);
  ElementCursor c2(r2, 1);
  auto bad_plain = next_column_pair<DeltaOfDeltaColumn<int64_t>, PlainColumn<uint64_t>>(c2);
  ASSERT_FALSE(bad_plain.ok());
  EXPECT_EQ(bad_plain.error().kind, SerdeErrorKind::CustomDeserialize);

  // Faults inside a column surface when the caller reads it.
  Bytes zero = hx("02 01 00 00");  // a run count of 0
  ByteReader r3(zero);
  ElementCursor c3(r3, 1);
  auto p = next_column_pair<PeerCol, CounterCol>(c3);
  ASSERT_TRUE(p.ok());
  auto first = drain((*p)->first);
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().message(), "`Invalid count` during rle decoding");
}

TEST(KesuElementReaders, CursorEndIsNotAnError) {
  Bytes b = hx("02 00 00  02 00 02 0204");
  ByteReader r(b);
  ElementCursor cur(r, 2);
  auto a = next_column_pair<PeerCol, CounterCol>(cur);
  auto b2 = next_column_pair<PeerCol, CounterCol>(cur);
  ASSERT_TRUE(a.ok() && b2.ok());
  EXPECT_TRUE(a->has_value());
  EXPECT_EQ(*drain((*b2)->second), (std::vector<int32_t>{2}));
  // The end: nothing is read, even though the input is empty.
  auto end = next_column_pair<PeerCol, CounterCol>(cur);
  ASSERT_TRUE(end.ok());
  EXPECT_FALSE(end->has_value());
  auto end_rows = next_column_rows<PeerCol, CounterCol>(cur, 10);
  ASSERT_TRUE(end_rows.ok());
  EXPECT_FALSE(end_rows->has_value());

  // A cursor opened from its count.
  Bytes counted = hx("01 02 00 00");
  ByteReader rc(counted);
  auto oc = ElementCursor::open(rc);
  ASSERT_TRUE(oc.ok());
  EXPECT_EQ(oc->remaining(), 1u);
  auto counted_pair = next_column_pair<PeerCol, CounterCol>(*oc);
  ASSERT_TRUE(counted_pair.ok());
  EXPECT_TRUE(counted_pair->has_value());
  Bytes none;
  ByteReader rn(none);
  EXPECT_EQ(ElementCursor::open(rn).error().kind, SerdeErrorKind::UnexpectedEnd);
}

// The node columns of a tree state: parent, last-move peer index, counter,
// Lamport minus counter, and a plain column of position indices.
using NodeRow = std::tuple<uint64_t, uint64_t, int32_t, int32_t, uint64_t>;
SerdeResult<std::optional<std::vector<NodeRow>>> read_nodes(ByteView b, size_t max_rows) {
  ByteReader r(b);
  ElementCursor cur(r, 1);
  return next_column_rows<DeltaRleColumn<uint64_t>, DeltaRleColumn<uint64_t>,
                          DeltaRleColumn<int32_t>, DeltaRleColumn<int32_t>, PlainColumn<uint64_t>>(
      cur, max_rows);
}

Bytes node_columns(const std::vector<NodeRow>& rows) {
  std::vector<uint64_t> parent, peer, pos;
  std::vector<int32_t> counter, lamport;
  for (const auto& [a, b, c, d, e] : rows) {
    parent.push_back(a);
    peer.push_back(b);
    counter.push_back(c);
    lamport.push_back(d);
    pos.push_back(e);
  }
  return *encode_columns<DeltaRleColumn<uint64_t>, DeltaRleColumn<uint64_t>,
                         DeltaRleColumn<int32_t>, DeltaRleColumn<int32_t>, PlainColumn<uint64_t>>(
      parent, peer, counter, lamport, pos);
}

TEST(KesuElementReaders, RowsFromColumns) {
  // The nodes of an empty tree.
  auto empty = read_nodes(hx("05 00 00 00 00 01 00"), 100);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE((*empty)->empty());

  std::vector<NodeRow> rows{{0, 0, 0, 0, 0}, {2, 0, 1, 0, 1}, {2, 1, 7, -3, 0}, {3, 1, 8, 5, 2}};
  auto back = read_nodes(node_columns(rows), 100);
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ(**back, rows);

  // The shortest column sets the number of rows: here the plain column holds
  // two position indices for four nodes.
  Bytes cut;
  Bytes full_bytes = node_columns(rows);
  ByteReader full(full_bytes);
  auto views = *read_column_set(full, 5);
  Bytes short_pos;
  write_uvarint(short_pos, 2);
  write_uvarint(short_pos, 0);
  write_uvarint(short_pos, 1);
  write_column_set(
      cut, {Bytes(views[0].begin(), views[0].end()), Bytes(views[1].begin(), views[1].end()),
            Bytes(views[2].begin(), views[2].end()), Bytes(views[3].begin(), views[3].end()),
            short_pos});
  auto two = read_nodes(cut, 100);
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(**two, std::vector<NodeRow>(rows.begin(), rows.begin() + 2));

  // Four columns, the shape of text spans, with a boolean among them.
  using SpanRow = std::tuple<uint64_t, int32_t, bool, int32_t>;
  Bytes spans = *encode_columns<DeltaRleColumn<uint64_t>, DeltaRleColumn<int32_t>, BoolRleColumn,
                                DeltaOfDeltaColumn<int32_t>>({1, 1, 2}, {10, 11, 12},
                                                             {true, false, true}, {5, 7, 9});
  ByteReader rs(spans);
  ElementCursor cs(rs, 1);
  auto srows = next_column_rows<DeltaRleColumn<uint64_t>, DeltaRleColumn<int32_t>, BoolRleColumn,
                                DeltaOfDeltaColumn<int32_t>>(cs, 100);
  ASSERT_TRUE(srows.ok());
  EXPECT_EQ(**srows, (std::vector<SpanRow>{{1, 10, true, 5}, {1, 11, false, 7}, {2, 12, true, 9}}));
}

TEST(KesuElementReaders, RowsFromColumnsErrors) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::string text;  // the CustomDeserialize text; empty for other kinds
    SerdeErrorKind kind;
  };
  // A DeltaRle counter column whose sum leaves the 32-bit range.
  Bytes wide;
  write_ivarint(wide, 1);
  write_ivarint128(wide, i128(INT32_MAX) + 1);
  Bytes overflow_cols;
  write_column_set(overflow_cols, {hx("0100"), hx("0100"), wide, hx("0100"), hx("0100")});
  // A plain column claiming 2^60 values with none present.
  Bytes huge_plain;
  write_column_set(huge_plain, {hx(""), hx(""), hx(""), hx(""), hx("8080808080808080 10")});
  const Case cases[] = {
      {"four fields for five columns", hx("04 00 00 00 00"), "", SerdeErrorKind::CustomDeserialize},
      {"truncated column", hx("05 00 00 00 00 03 01"), "", SerdeErrorKind::UnexpectedEnd},
      {"zero run count", hx("05 02 0000 00 00 00 01 00"), "`Invalid count` during rle decoding",
       SerdeErrorKind::CustomDeserialize},
      {"sum out of range", overflow_cols,
       "`2147483648 cannot be safely converted from i128` during rle decoding",
       SerdeErrorKind::CustomDeserialize},
      {"plain count without values", huge_plain, "", SerdeErrorKind::CustomDeserialize},
  };
  for (const auto& c : cases) {
    auto r = read_nodes(c.bytes, 1000);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind, c.kind) << c.name;
    if (!c.text.empty()) {
      EXPECT_EQ(r.error().detail, c.text) << c.name;
    }
  }
}

// Runs of a billion values cost a few bytes each: the caller's row bound
// must stop them before memory is spent, whichever column carries them.
TEST(KesuElementReaders, HugeRunsFailFastWithBoundedMemory) {
  if (!test::AllocProbe::available())
    GTEST_SKIP() << "allocation probe needs the address sanitizer";
  Bytes run;  // 1,000,000,000 equal differences
  write_ivarint(run, 1'000'000'000);
  write_ivarint128(run, 0);
  for (size_t col = 0; col < 4; ++col) {
    std::vector<Bytes> cols(5, hx("0100"));
    cols[col] = run;
    Bytes b;
    write_column_set(b, cols);
    test::AllocProbe probe;
    auto r = read_nodes(b, 4096);
    ASSERT_FALSE(r.ok()) << col;
    EXPECT_LE(probe.total(), size_t(1) << 20) << col;
  }
}

TEST(KesuElementReaders, FuzzGivesErrorsOnlyWithBoundedMemory) {
  if (!test::AllocProbe::available())
    GTEST_SKIP() << "allocation probe needs the address sanitizer";
  Rng rng(77);
  size_t worst = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes b(rng.below(40));
    for (auto& x : b) x = uint8_t(rng.next());
    // Plausible field counts and short column lengths half of the time.
    if (!b.empty() && rng.below(2)) b[0] = uint8_t(rng.below(7));
    for (size_t i = 1; i < b.size(); i += 1 + rng.below(6))
      if (rng.below(2)) b[i] = uint8_t(rng.below(8));
    test::AllocProbe probe;
    {
      (void)read_nodes(b, 2048);
      ByteReader r(b);
      ElementCursor cur(r, 2);
      for (int k = 0; k < 2; ++k) {
        auto p = next_column_pair<DeltaOfDeltaColumn<int64_t>, PlainColumn<uint32_t>>(cur);
        if (!p.ok() || !p->has_value()) break;
        (void)drain((*p)->first, 2048);
        (void)drain((*p)->second, 2048);
      }
    }
    worst = std::max(worst, probe.total());
  }
  EXPECT_LE(worst, size_t(1) << 20);
}

}  // namespace
}  // namespace kesu
