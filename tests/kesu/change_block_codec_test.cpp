// The change-block codec: exact bytes, error texts of the header, decoding
// checks, a random round trip and hostile inputs.
#include <gtest/gtest.h>

#include <random>

#include "change_test_util.h"
#include "kesu/change_store/block_encode.h"
#include "kesu/change_store/block_meta_encode.h"
#include "kesu/change_store/change_block.h"
#include "kesu/change_store/encoded_block.h"
#include "kesu/columnar/column_set.h"
#include "kesu_alloc_probe.h"

namespace kesu {
namespace {

using test::ChangeBuilder;
using test::describe;

const ContainerID kText = ContainerID::root("t", ContainerType::Kind::Text);
const ContainerID kList = ContainerID::root("l", ContainerType::Kind::List);
const ContainerID kMovable = ContainerID::root("ml", ContainerType::Kind::MovableList);
const ContainerID kMap = ContainerID::root("m", ContainerType::Kind::Map);
const ContainerID kTree = ContainerID::root("tr", ContainerType::Kind::Tree);
const ContainerID kCounter = ContainerID::root("c", ContainerType::Kind::Counter);

TEST(ChangeBlockCodec, OneTextInsertEncodesToTheKnownSixtyBytes) {
  SharedArena arena;
  Change c = ChangeBuilder(arena, 1, 0, 0).text(kText, 0, "abc").build();
  Bytes got = encode_change_block({c}, arena);
  Bytes want = {0x00, 0x03, 0x00, 0x03, 0x01,
                // header
                0x10, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
                0x00, 0x00, 0x00,
                // change_meta
                0x05, 0x01, 0x00, 0x00, 0x01, 0x00,
                // cids
                0x06, 0x01, 0x04, 0x01, 0x02, 0x00, 0x00,
                // keys
                0x02, 0x01, 0x74,
                // positions
                0x00,
                // ops
                0x0E, 0x01, 0x04, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01, 0x05, 0x02, 0x01,
                0x03,
                // delete_id_starts
                0x00,
                // values
                0x04, 0x03, 0x61, 0x62, 0x63};
  EXPECT_EQ(got, want);
  EXPECT_EQ(got.size(), 60u);

  SharedArena other;
  auto back = decode_change_block(got, nullptr, other);
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ(describe(*back, other), describe(std::vector<Change>{c}, arena));
}

TEST(ChangeBlockCodec, MetaFieldsOfAChangeWithoutOpsOrDependencies) {
  SharedArena arena;
  Change c = ChangeBuilder(arena, 7, 0, 0).timestamp(7).build();
  Bytes got = encode_change_block({c}, arena);
  auto b = parse_encoded_block(got);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(Bytes(b->change_meta.begin(), b->change_meta.end()),
            (Bytes{0x01, 0x0E, 0x00, 0x01, 0x00}));
  EXPECT_EQ(Bytes(b->ops.begin(), b->ops.end()), (Bytes{0x01, 0x04, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(b->values.empty());
  Bytes header = {0x01, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(b->header.begin(), b->header.end()), header);
  auto h = read_block_header(got);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ((*h)->counters, (std::vector<Counter>{0, 0}));
  EXPECT_EQ((*h)->lamports, (std::vector<Lamport>{0}));
}

TEST(ChangeBlockCodec, OwnPeerDependencyIsAFlagAndReadsBackAsThePreviousOp) {
  SharedArena arena;
  Change a = ChangeBuilder(arena, 3, 0, 0).text(kText, 0, "ab").build();
  Change b = ChangeBuilder(arena, 3, 2, 2)
                 .deps(Frontiers(ID{3, 1}))
                 .text(kText, 0, "x")
                 .message("second")
                 .build();
  Bytes bytes = encode_change_block({a, b}, arena);
  auto h = read_block_header(bytes);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ((*h)->peers, (std::vector<PeerID>{3}));
  EXPECT_EQ((*h)->deps[1], Frontiers(ID{3, 1}));
  EXPECT_EQ((*h)->counters, (std::vector<Counter>{0, 2, 3}));
  SharedArena other;
  auto back = decode_change_block(bytes, *h, other);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(describe(*back, other), describe(std::vector<Change>{a, b}, arena));
}

TEST(ChangeBlockCodec, CounterIncrementsChooseIntegerOrFloat) {
  struct Case {
    double x;
    ValueKind kind;
  } cases[] = {{5.0, ValueKind::I64},
               {-3.0, ValueKind::I64},
               {2.5, ValueKind::F64},
               {134217728.0, ValueKind::F64},
               {134217727.0, ValueKind::I64},
               {std::numeric_limits<double>::infinity(), ValueKind::F64},
               {std::numeric_limits<double>::quiet_NaN(), ValueKind::F64}};
  for (const auto& cs : cases) {
    SharedArena arena;
    Change c = ChangeBuilder(arena, 1, 0, 0).op(kCounter, CounterOp{cs.x}).build();
    Bytes bytes = encode_change_block({c}, arena);
    auto b = parse_encoded_block(bytes);
    ASSERT_TRUE(b.ok());
    auto views = [&] {
      ByteReader r(b->ops);
      (void)r.read_uvarint();
      return read_column_set(r, 4).value();
    }();
    auto kinds = AnyRleDecoder<uint8_t>(views[2]).decode_all(10).value();
    EXPECT_EQ(kinds, std::vector<uint8_t>{uint8_t(cs.kind)}) << cs.x;
    SharedArena other;
    auto back = decode_change_block(bytes, nullptr, other);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ((*back)[0].ops, c.ops) << cs.x;
  }
}

TEST(ChangeBlockCodec, TreeOpsDecodeAsCreateMoveAndDelete) {
  SharedArena arena;
  auto tree = [](TreeOp::Kind k, TreeID target, std::optional<TreeID> parent) {
    auto t = std::make_shared<TreeOp>();
    t->kind = k;
    t->target = target;
    t->parent = parent;
    if (k != TreeOp::Kind::Delete) t->position = Bytes{0x80};
    return OpContent(std::shared_ptr<const TreeOp>(t));
  };
  Change c = ChangeBuilder(arena, 9, 0, 0)
                 .op(kTree, tree(TreeOp::Kind::Create, TreeID{9, 0}, std::nullopt))
                 .op(kTree, tree(TreeOp::Kind::Move, TreeID{9, 0}, TreeID{4, 2}))
                 .op(kTree, tree(TreeOp::Kind::Delete, TreeID{9, 0}, std::nullopt))
                 .build();
  Bytes bytes = encode_change_block({c}, arena);
  auto h = read_block_header(bytes);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ((*h)->peers, (std::vector<PeerID>{9, 4, UINT64_MAX}));
  SharedArena other;
  auto back = decode_change_block(bytes, nullptr, other);
  ASSERT_TRUE(back.ok());
  ASSERT_EQ((*back)[0].ops.size(), 3u);
  EXPECT_EQ((*back)[0].ops, c.ops);
  // The created node's metadata map is a child of the tree.
  auto meta = other.id_to_idx(ContainerID::normal(9, 0, ContainerType::Kind::Map));
  ASSERT_TRUE(meta);
  EXPECT_EQ(other.get_parent(*meta),
            std::optional<std::optional<ContainerIdx>>(other.id_to_idx(kTree)));
}

TEST(ChangeBlockCodec, ContinuingTextInsertsOfOneChangeDecodeAsOneOp) {
  SharedArena arena;
  ChangeBuilder b(arena, 1, 0, 0);
  Change c = b.build();
  auto t1 = arena.alloc_str("ab"), t2 = arena.alloc_str("cd");
  ContainerIdx idx = arena.register_container(kText);
  c.ops.push_back(Op{0, idx, TextInsertOp{t1.bytes, t1.unicode_start, 2, 0}});
  c.ops.push_back(Op{2, idx, TextInsertOp{t2.bytes, t2.unicode_start, 2, 2}});
  Bytes bytes = encode_change_block({c}, arena);
  SharedArena other;
  auto back = decode_change_block(bytes, nullptr, other);
  ASSERT_TRUE(back.ok());
  ASSERT_EQ((*back)[0].ops.size(), 1u);
  EXPECT_EQ(brenvik::as_chars(std::get<TextInsertOp>((*back)[0].ops[0].content).slice.bytes()),
            "abcd");
}

TEST(ChangeBlockCodec, EmptyListOfChangesIsAnInternalError) {
  SharedArena arena;
  EXPECT_THROW(encode_change_block({}, arena), InternalError);
}

// ---- header errors -----------------------------------------------------------

Bytes block_with_header(uint32_t cs, uint32_t cspan, uint32_t ls, uint32_t lspan, uint32_t n,
                        const Bytes& header) {
  EncodedBlock b;
  b.counter_start = cs;
  b.counter_span = cspan;
  b.lamport_start = ls;
  b.lamport_span = lspan;
  b.change_count = n;
  b.header = header;
  Bytes out;
  write_encoded_block(b, out);
  return out;
}

Bytes peer_table(uint64_t count, PeerID p = 1) {
  Bytes h;
  write_uvarint(h, count);
  for (uint64_t i = 0; i < std::min<uint64_t>(count, 4); ++i)
    for (int s = 0; s < 64; s += 8) h.push_back(uint8_t((p + i) >> s));
  return h;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes dod(std::vector<int64_t> v) {
  return encode_delta_of_delta(v).value();
}

TEST(ChangeBlockCodec, HeaderErrorsCarryTheirTexts) {
  const Bytes no_deps = cat({{0x01}, {0x01, 0x00}, dod({}), dod({})});
  struct Case {
    const char* name;
    Bytes block;
    std::string text;
  } cases[] = {
      {"no changes", block_with_header(0, 0, 0, 0, 0, peer_table(1)),
       "Decode block error: empty change block"},
      {"zero peers", block_with_header(0, 0, 0, 0, 1, peer_table(0)),
       "Decode block error: invalid peer table"},
      {"peer count 2^61", block_with_header(0, 0, 0, 0, 1, peer_table(uint64_t(1) << 61)),
       "Decode block error: peer length overflow"},
      {"peer table short", block_with_header(0, 0, 0, 0, 1, cat({peer_table(5), {}})),
       "Decode block error: invalid peer table"},
      {"peer count cut", block_with_header(0, 0, 0, 0, 1, Bytes{0x80}),
       "Decode block error failed to fill whole buffer"},
      {"peer count too long",
       block_with_header(0, 0, 0, 0, 1,
                         Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
       "Decode block error The number being read is larger than can be represented"},
      {"self dependency at the smallest counter",
       block_with_header(0x80000000u, 1, 0, 1, 1,
                         cat({peer_table(1), {0x00, 0x01}, {0x01, 0x00}, dod({}), dod({})})),
       "Decode block error: invalid self dependency"},
      {"dependency peer index equal to the count",
       block_with_header(
           0, 1, 0, 1, 1,
           cat({peer_table(1), {0x01}, {0x01, 0x01}, {0x01, 0x01}, dod({5}), dod({})})),
       "Decode block error: invalid peer index"},
      {"lamport end overflows",
       block_with_header(0, 1, 4294967295u, 1, 1, cat({peer_table(1), no_deps})),
       "Decode block error: invalid lamport"},
      {"dependency columns missing", block_with_header(0, 1, 0, 1, 1, peer_table(1)),
       "Decode block error: invalid deps"},
      {"dependency count of 2^60",
       block_with_header(0, 1, 0, 1, 1,
                         cat({peer_table(1),
                              {0x01},
                              [] {
                                Bytes b{0x01};
                                write_uvarint(b, uint64_t(1) << 60);
                                return b;
                              }(),
                              {0x01, 0x00},
                              dod({}),
                              dod({})})),
       "Decode block error: invalid deps"},
      {"billion dependencies in one run",
       block_with_header(0, 1, 0, 1, 1,
                         cat({peer_table(1),
                              {0x01},
                              [] {
                                Bytes b{0x01};
                                write_uvarint(b, 1'000'000'000);
                                return b;
                              }(),
                              [] {
                                Bytes b;
                                write_ivarint(b, 1'000'000'000);
                                b.push_back(0);
                                return b;
                              }(),
                              dod({}),
                              dod({})})),
       "Decode block error: invalid deps"},
      {"sum of lengths overflows",
       block_with_header(0, 1, 0, 1, 3,
                         cat({peer_table(1), {0xFF, 0xFF, 0xFF, 0xFF, 0x07}, {0x01}, no_deps})),
       "Decode block error: counter length overflow"},
      {"lengths above the span",
       block_with_header(0, 1, 0, 1, 2, cat({peer_table(1), {0x05}, no_deps})),
       "Decode block error: invalid counter length"},
      {"block end overflows",
       block_with_header(0x7FFFFFFF, 5, 0, 5, 1, cat({peer_table(1), no_deps})),
       "Decode block error: counter overflow"},
  };
  for (const auto& c : cases) {
    auto h = read_block_header(c.block);
    ASSERT_FALSE(h.ok()) << c.name;
    EXPECT_EQ(h.error().kind(), KesuErrorKind::DecodeError) << c.name;
    EXPECT_EQ(h.error().text(), c.text) << c.name;
  }
}

TEST(ChangeBlockCodec, OuterRecordErrorsNameTheCompactReader) {
  auto r = read_block_header(Bytes{0x00, 0x01});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text().rfind("Decode block error ", 0), 0u) << r.error().text();
  auto big = read_block_header(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x1F});
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().text().rfind("Decode block error ", 0), 0u);
}

TEST(ChangeBlockCodec, InconsistentRowsAreDataCorruption) {
  SharedArena arena;
  Bytes good =
      encode_change_block({ChangeBuilder(arena, 1, 0, 0).text(kText, 0, "abc").build()}, arena);
  auto b = parse_encoded_block(good).value();
  auto with = [&](auto edit) {
    EncodedBlock e = b;
    Bytes store[3];
    edit(e, store);
    Bytes out;
    write_encoded_block(e, out);
    return out;
  };
  auto ops = [](std::vector<uint32_t> c, std::vector<int32_t> p, std::vector<uint8_t> k,
                std::vector<uint32_t> l) {
    Bytes out{0x01};
    auto cols = encode_columns<DeltaRleColumn<uint32_t>, DeltaRleColumn<int32_t>,
                               AnyRleColumn<uint8_t>, AnyRleColumn<uint32_t>>(c, p, k, l)
                    .value();
    out.insert(out.end(), cols.begin(), cols.end());
    return out;
  };
  struct Case {
    const char* name;
    Bytes block;
  } cases[] = {
      {"nested value in a text container", with([&](EncodedBlock& e, Bytes* s) {
         s[0] = ops({0}, {0}, {11}, {3});
         s[1] = {0x03, 0x01, 0x02, 0x03};
         e.ops = s[0];
         e.values = s[1];
       })},
      {"container index equal to the count", with([&](EncodedBlock& e, Bytes* s) {
         s[0] = ops({1}, {0}, {5}, {3});
         e.ops = s[0];
       })},
      {"one row more than the span", with([&](EncodedBlock& e, Bytes* s) {
         s[0] = ops({0, 0}, {0, 3}, {5, 5}, {3, 1});
         s[1] = {0x03, 0x61, 0x62, 0x63, 0x01, 0x64};
         e.ops = s[0];
         e.values = s[1];
       })},
      {"row length differing from its op", with([&](EncodedBlock& e, Bytes* s) {
         s[0] = ops({0}, {0}, {5}, {2});
         e.ops = s[0];
       })},
      {"delete without a delete row", with([&](EncodedBlock& e, Bytes* s) {
         s[0] = ops({0}, {0}, {9}, {1});
         e.ops = s[0];
         e.values = {};
       })},
      {"message past the end", with([&](EncodedBlock& e, Bytes* s) {
         s[0] = cat({dod({0}), {0x01, 0x05}, {0x61}});
         e.change_meta = s[0];
       })},
      {"message not UTF-8", with([&](EncodedBlock& e, Bytes* s) {
         s[0] = cat({dod({0}), {0x01, 0x01}, {0xFF}});
         e.change_meta = s[0];
       })},
  };
  for (const auto& c : cases) {
    SharedArena other;
    auto r = decode_change_block(c.block, nullptr, other);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), KesuErrorKind::DecodeDataCorruptionError) << c.name;
  }
  // A bad commit message fails the changes but not the header.
  EXPECT_TRUE(read_block_header(cases[6].block).ok());
}

// ---- random round trip ----------------------------------------------------------

std::vector<Change> random_changes(std::mt19937& rng, SharedArena& arena, PeerID peer) {
  std::uniform_int_distribution<int> pick(0, 11);
  std::vector<Change> out;
  Counter counter = 100;
  Lamport lamport = 40;
  int n = 1 + int(rng() % 6);
  for (int i = 0; i < n; ++i) {
    ChangeBuilder b(arena, peer, counter, lamport);
    if (i > 0) b.deps(Frontiers(ID{peer, counter - 1}));
    if (rng() % 3 == 0) {
      Frontiers f = i > 0 ? Frontiers(ID{peer, counter - 1}) : Frontiers();
      f.push(ID{77 + rng() % 3, Counter(rng() % 1000)});
      b.deps(f);
    }
    b.timestamp(int64_t(1700000000 + i * (rng() % 50)));
    if (rng() % 4 == 0) b.message("msg " + std::to_string(rng() % 5));
    int ops = int(rng() % 5);
    for (int k = 0; k < ops; ++k) {
      switch (pick(rng)) {
        case 0: {
          size_t len = rng() % 2 ? 1 + rng() % 3 : 50 + rng() % 400;
          std::string s;
          for (size_t j = 0; j < len; ++j)
            s += (j % 7 == 3) ? "\xC3\xA9" : std::string(1, char('a' + j % 26));
          b.text(kText, uint32_t(rng() % 10), s);
          break;
        }
        case 1: {
          std::vector<KesuValue> vs;
          size_t len = rng() % 2 ? 1 : 20 + rng() % 200;
          for (size_t j = 0; j < len; ++j)
            vs.push_back(j % 3 ? KesuValue(int64_t(j))
                               : KesuValue::string("v" + std::to_string(j)));
          b.list(rng() % 2 ? kList : kMovable, uint32_t(rng() % 5), std::move(vs));
          break;
        }
        case 2:
          b.op(kMap, MapSetOp{InternalString("key" + std::to_string(rng() % 4)),
                              KesuValue(double(rng() % 100) / 4)});
          break;
        case 3:
          b.op(kMap, MapSetOp{InternalString("gone"), std::nullopt});
          break;
        case 4:
          b.op(kCounter, CounterOp{rng() % 2 ? 3.0 : -1.25});
          break;
        case 5: {
          int64_t len = 1 + rng() % 9;
          b.op(rng() % 2 ? kText : kList, DeleteOp{ID{peer ^ (rng() % 2), Counter(rng() % 50)},
                                                   int64_t(rng() % 20), rng() % 2 ? len : -len});
          break;
        }
        case 6:
          b.op(kMovable, ListMoveOp{uint32_t(rng() % 4), IdLp{Lamport(rng() % 30), 5}, 2});
          break;
        case 7:
          b.op(kMovable, ListSetOp{IdLp{Lamport(rng() % 30), peer}, KesuValue(true)});
          break;
        case 8:
          b.op(kText, StyleStartOp{1, 4, InternalString("bold"), KesuValue(true), 0x05});
          b.op(kText, StyleEndOp{});
          break;
        case 9: {
          auto t = std::make_shared<TreeOp>();
          t->kind = TreeOp::Kind::Move;
          t->target = TreeID{peer, Counter(rng() % 10)};
          t->parent = rng() % 2 ? std::optional<TreeID>() : TreeID{3, 1};
          t->position = Bytes{uint8_t(0x40 + rng() % 8), uint8_t(rng() % 200)};
          b.op(kTree, std::shared_ptr<const TreeOp>(t));
          break;
        }
        case 10: {
          auto child =
              ContainerID::normal(peer, counter + Counter(b.len()), ContainerType::Kind::List);
          b.op(kMap, MapSetOp{InternalString("child"), KesuValue(child)});
          break;
        }
        default:
          b.op(ContainerID::normal(2, 3, ContainerType::Kind::Map),
               MapSetOp{InternalString("a long map key name"), KesuValue::string("x")});
          break;
      }
    }
    Change c = b.build();
    counter += Counter(c.atom_len());
    lamport += c.atom_len() + Lamport(rng() % 3);
    out.push_back(std::move(c));
  }
  return out;
}

TEST(ChangeBlockCodec, RandomChangesRoundTripAndReencodeToTheSameBytes) {
  std::mt19937 rng(48);
  for (int round = 0; round < 300; ++round) {
    SharedArena arena;
    auto changes = random_changes(rng, arena, 0x1234'5678'9ABCull + round % 3);
    Bytes bytes = encode_change_block(changes, arena);
    SharedArena other;
    auto back = decode_change_block(bytes, nullptr, other);
    ASSERT_TRUE(back.ok()) << round << ": " << back.error().message();
    ASSERT_EQ(describe(*back, other), describe(changes, arena)) << round;
    EXPECT_EQ(encode_change_block(*back, other), bytes) << round;
    // The block form agrees on ranges and node lists.
    auto block = ChangeBlock::from_bytes(SharedBytes::copy_of(ByteView(bytes))).value();
    auto bytes_nodes = block->to_dag_nodes();
    ASSERT_TRUE(ChangeBlock::parse(block, other).ok());
    EXPECT_EQ(block->to_dag_nodes(), bytes_nodes) << round;
  }
}

// ---- hostile input ------------------------------------------------------------------

// Allocation ceiling for decoding `n` bytes of hostile input.
size_t ceiling(size_t n) {
  return (size_t(1) << 20) + 2048 * n;
}

void decode_bounded(ByteView bytes) {
  test::AllocProbe probe;
  SharedArena arena;
  auto h = read_block_header(bytes);
  auto c = decode_change_block(bytes, nullptr, arena);
  (void)h;
  (void)c;
  if (test::AllocProbe::available()) {
    EXPECT_LE(probe.largest(), ceiling(bytes.size()));
    EXPECT_LE(probe.total(), 8 * ceiling(bytes.size()));
  }
}

TEST(ChangeBlockCodec, TruncatedAndBitFlippedBlocksNeverCrash) {
  std::mt19937 rng(7);
  SharedArena arena;
  auto changes = random_changes(rng, arena, 42);
  changes.push_back(ChangeBuilder(arena, 42, changes.back().ctr_end(), 900)
                        .deps(Frontiers(changes.back().id_last()))
                        .text(kText, 0, "tail")
                        .build());
  Bytes bytes = encode_change_block(changes, arena);
  for (size_t n = 0; n < bytes.size(); ++n) {
    SharedArena a;
    auto r = decode_change_block(ByteView(bytes).first(n), nullptr, a);
    EXPECT_FALSE(r.ok()) << n;
  }
  for (size_t i = 0; i < bytes.size(); ++i)
    for (int bit = 0; bit < 8; ++bit) {
      Bytes f = bytes;
      f[i] ^= uint8_t(1 << bit);
      decode_bounded(f);
    }
}

TEST(ChangeBlockCodec, HugeCountsAreRefusedWithoutLargeAllocations) {
  auto many_rows = [](uint32_t kind, uint32_t len, uint32_t span) {
    // One run of a billion equal rows in each op column.
    Bytes ops{0x01, 0x04};
    auto run = [](int64_t delta_or_value) {
      Bytes b;
      write_ivarint(b, 1'000'000'000);
      write_ivarint(b, delta_or_value);
      return b;
    };
    Bytes c = run(0), p = run(0);
    Bytes k;
    write_ivarint(k, 1'000'000'000);
    k.push_back(uint8_t(kind));
    Bytes l;
    write_ivarint(l, 1'000'000'000);
    write_uvarint(l, len);
    for (const Bytes& col : {c, p, k, l}) write_bytes(ops, col);
    SharedArena arena;
    Change ch = ChangeBuilder(arena, 1, 0, 0).op(kText, StyleEndOp{}).build();
    Bytes good = encode_change_block({ch}, arena);
    EncodedBlock e = parse_encoded_block(good).value();
    e.ops = ops;
    e.counter_span = span;
    e.lamport_span = span;
    Bytes out;
    write_encoded_block(e, out);
    return out;
  };
  struct Case {
    const char* name;
    Bytes block;
  } cases[] = {
      {"a billion style ends", many_rows(0, 1, 0x7FFFFFF0)},
      {"a billion empty text inserts", many_rows(5, 0, 1)},
      {"count 2^60 in a length column",
       [] {
         Bytes b = block_with_header(0, 1, 0, 1, 0xFFFFFFFFu, peer_table(1));
         return b;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedArena arena;
    auto r = decode_change_block(c.block, nullptr, arena);
    EXPECT_FALSE(r.ok());
    decode_bounded(c.block);
  }
}

TEST(ChangeBlock, LamportStartIsReadFromTheLeadingIntegers) {
  SharedArena arena;
  Bytes bytes =
      encode_change_block({ChangeBuilder(arena, 1, 5, 77).text(kText, 0, "x").build()}, arena);
  EXPECT_EQ(ChangeBlock::lamport_start_of(bytes).value(), 77u);
  auto empty = ChangeBlock::lamport_start_of({});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().text(), "Failed to read counter start: failed to fill whole buffer");
  auto cut = ChangeBlock::lamport_start_of(Bytes{0x00, 0x01});
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().text(), "Failed to read lamport start: failed to fill whole buffer");
}

TEST(ChangeBlock, IndexSearchesByCounterAndLamport) {
  SharedArena arena;
  std::vector<Change> cs;
  cs.push_back(ChangeBuilder(arena, 1, 10, 100).text(kText, 0, "abc").build());
  cs.push_back(
      ChangeBuilder(arena, 1, 13, 200).deps(Frontiers(ID{1, 12})).text(kText, 3, "de").build());
  auto block =
      ChangeBlock::from_bytes(SharedBytes::from_vector(encode_change_block(cs, arena))).value();
  ASSERT_TRUE(ChangeBlock::parse(block, arena).ok());
  using P = std::pair<bool, size_t>;
  EXPECT_EQ(block->change_index_by_counter(9), P(false, 0));
  EXPECT_EQ(block->change_index_by_counter(10), P(true, 0));
  EXPECT_EQ(block->change_index_by_counter(14), P(true, 1));
  EXPECT_EQ(block->change_index_by_counter(15), P(false, 2));
  EXPECT_EQ(block->change_index_by_lamport_lte(99), std::nullopt);
  EXPECT_EQ(block->change_index_by_lamport_lte(150), std::optional<size_t>(0));
  EXPECT_EQ(block->change_index_by_lamport_lte(5000), std::optional<size_t>(1));
  EXPECT_EQ(block->lamport_range(), (std::pair<Lamport, Lamport>(100, 202)));
}

TEST(ChangeBlock, ParseOfASharedBlockLeavesTheOtherHolderUntouched) {
  SharedArena arena;
  Bytes bytes =
      encode_change_block({ChangeBuilder(arena, 1, 0, 0).text(kText, 0, "x").build()}, arena);
  ChangeBlockPtr a = ChangeBlock::from_bytes(SharedBytes::from_vector(std::move(bytes))).value();
  ChangeBlockPtr b = a;
  ASSERT_TRUE(ChangeBlock::parse(b, arena).ok());
  EXPECT_TRUE(b->is_parsed());
  EXPECT_FALSE(a->is_parsed());
  ChangeBlockBytes out = ChangeBlock::to_bytes(b, arena);
  EXPECT_FALSE(b->is_parsed());
  EXPECT_TRUE(out.header);
}

}  // namespace
}  // namespace kesu
