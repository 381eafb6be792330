// The change store: folding and splitting on insertion, flushing, loading,
// lookups by Lamport, span reads, bulk import and export.
#include <gtest/gtest.h>

#include <random>

#include "change_test_util.h"
#include "kesu/change_store/block_encode.h"
#include "kesu/change_store/change_store.h"
#include "kesu/common/compact.h"
#include "kesu/kv_store/mem_store.h"

namespace kesu {
namespace {

using test::ChangeBuilder;
using test::describe;

const ContainerID kText = ContainerID::root("text", ContainerType::Kind::Text);
const ContainerID kList = ContainerID::root("list", ContainerType::Kind::List);

struct StoreFixture : ::testing::Test {
  SharedArena arena;
  std::shared_ptr<std::atomic<int64_t>> interval = std::make_shared<std::atomic<int64_t>>(10);
  ChangeStore store{arena, interval};

  std::vector<Change> all(ChangeStore& s) {
    std::vector<Change> out;
    s.visit_all_changes([&](const Change& c) { out.push_back(c); });
    return out;
  }
  std::vector<std::pair<Counter, Counter>> block_ranges(ChangeStore& s) {
    std::vector<std::pair<Counter, Counter>> out;
    for (auto& b : s.TEST_blocks_in_memory()) out.push_back(b->counter_range());
    return out;
  }
};

TEST_F(StoreFixture, LocalChangesFoldWithinTheIntervalUnlessMessagesDiffer) {
  struct Case {
    bool local;
    int64_t second_ts;
    const char* msg2;
    size_t changes;
  } cases[] = {{true, 5, nullptr, 1},  {true, 5, "other", 2},  {false, 5, nullptr, 2},
               {false, 0, nullptr, 1}, {true, 11, nullptr, 2}, {true, -100, nullptr, 1}};
  for (const auto& c : cases) {
    SharedArena a;
    ChangeStore s(a, interval);
    ASSERT_TRUE(
        s.insert_change(ChangeBuilder(a, 1, 0, 0).text(kText, 0, "ab").build(), true, c.local)
            .ok());
    ChangeBuilder second(a, 1, 2, 2);
    second.deps(Frontiers(ID{1, 1})).timestamp(c.second_ts).text(kText, 5, "x");
    if (c.msg2) second.message(c.msg2);
    ASSERT_TRUE(s.insert_change(second.build(), true, c.local).ok());
    EXPECT_EQ(all(s).size(), c.changes) << c.local << " " << c.second_ts;
    EXPECT_EQ(s.TEST_block_count_in_memory(), 1u);
  }
}

TEST_F(StoreFixture, TypingOneCharacterAtATimeFoldsPastTheBlockLimit) {
  ASSERT_TRUE(store
                  .insert_change(
                      ChangeBuilder(arena, 1, 0, 0).text(kText, 0, std::string(4090, 'a')).build(),
                      true, true)
                  .ok());
  size_t size_before = store.TEST_blocks_in_memory()[0]->estimated_size();
  for (Counter i = 4090; i < 4100; ++i)
    ASSERT_TRUE(store
                    .insert_change(ChangeBuilder(arena, 1, i, Lamport(i))
                                       .deps(Frontiers(ID{1, i - 1}))
                                       .text(kText, uint32_t(i), "b")
                                       .build(),
                                   true, true)
                    .ok());
  auto changes = all(store);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].ops.size(), 1u);
  EXPECT_EQ(changes[0].atom_len(), 4100u);
  EXPECT_EQ(store.TEST_blocks_in_memory()[0]->estimated_size(), size_before);
}

TEST_F(StoreFixture, AChangeThatWouldOverfillTheBlockOpensANewOne) {
  std::vector<KesuValue> vs(999, KesuValue(int64_t(1)));
  ASSERT_TRUE(
      store.insert_change(ChangeBuilder(arena, 1, 0, 0).list(kList, 0, vs).build(), true, false)
          .ok());
  EXPECT_EQ(store.TEST_blocks_in_memory()[0]->estimated_size(), 4000u);
  std::vector<KesuValue> more(24, KesuValue(int64_t(2)));
  ASSERT_TRUE(store
                  .insert_change(ChangeBuilder(arena, 1, 999, 999)
                                     .deps(Frontiers(ID{1, 998}))
                                     .timestamp(1)
                                     .list(kList, 999, more)
                                     .build(),
                                 true, false)
                  .ok());
  EXPECT_EQ(block_ranges(store), (std::vector<std::pair<Counter, Counter>>{{0, 999}, {999, 1023}}));
}

TEST_F(StoreFixture, OversizedChangesAreCutAsTheSizeRuleSays) {
  struct Case {
    const char* name;
    std::function<Change(SharedArena&)> make;
    std::vector<uint32_t> lengths;
  } cases[] = {
      {"10,000 ASCII characters",
       [](SharedArena& a) {
         return ChangeBuilder(a, 1, 0, 0)
             .deps(Frontiers(ID{2, 5}))
             .text(kText, 0, std::string(10000, 'x'))
             .build();
       },
       {4092, 4092, 1816}},
      {"2,000 list values",
       [](SharedArena& a) {
         return ChangeBuilder(a, 1, 0, 0)
             .deps(Frontiers(ID{2, 5}))
             .list(kList, 0, std::vector<KesuValue>(2000, KesuValue(true)))
             .build();
       },
       {1023, 977}},
      {"5,000 three-byte characters",
       [](SharedArena& a) {
         std::string s;
         for (int i = 0; i < 5000; ++i) s += "\xE2\x82\xAC";
         return ChangeBuilder(a, 1, 0, 0).deps(Frontiers(ID{2, 5})).text(kText, 0, s).build();
       },
       {4092, 908}},
  };
  for (const auto& c : cases) {
    SharedArena a;
    ChangeStore s(a, interval);
    Change big = c.make(a);
    ASSERT_TRUE(s.insert_change(big, true, true).ok()) << c.name;
    auto changes = all(s);
    std::vector<uint32_t> lengths;
    for (const auto& ch : changes) lengths.push_back(ch.atom_len());
    EXPECT_EQ(lengths, c.lengths) << c.name;
    Counter ctr = 0;
    Lamport lam = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
      EXPECT_EQ(changes[i].id.counter, ctr) << c.name;
      EXPECT_EQ(changes[i].lamport, lam) << c.name;
      if (i > 0) {
        EXPECT_EQ(changes[i].deps, Frontiers(changes[i - 1].id_last())) << c.name;
      }
      ctr += Counter(changes[i].atom_len());
      lam += changes[i].atom_len();
    }
    EXPECT_EQ(changes[0].deps, Frontiers(ID{2, 5}));
  }
}

TEST_F(StoreFixture, AChangeWithTooManyDependenciesToSplitStillGoesIn) {
  Frontiers deps;
  for (PeerID p = 100; p < 1200; ++p) deps.push(ID{p, 0});
  Change c = ChangeBuilder(arena, 1, 0, 0)
                 .deps(deps)
                 .text(kText, 0, std::string(50, 'q'))
                 .op(ContainerID::root("m", ContainerType::Kind::Map),
                     MapSetOp{InternalString("k"), KesuValue(true)})
                 .build();
  ASSERT_TRUE(store.insert_change(c, true, true).ok());
  auto changes = all(store);
  uint32_t total = 0;
  for (auto& ch : changes) total += ch.atom_len();
  EXPECT_EQ(total, c.atom_len());
  EXPECT_EQ(changes[0].deps, deps);
}

TEST_F(StoreFixture, AChangeThatDoesNotContinueItsPeerIsRefused) {
  ASSERT_TRUE(
      store.insert_change(ChangeBuilder(arena, 1, 0, 10).text(kText, 0, "abc").build(), true, false)
          .ok());
  auto gap =
      store.insert_change(ChangeBuilder(arena, 1, 5, 20).text(kText, 0, "x").build(), true, false);
  ASSERT_FALSE(gap.ok());
  EXPECT_EQ(gap.error().kind(), KesuErrorKind::DecodeDataCorruptionError);
  auto back =
      store.insert_change(ChangeBuilder(arena, 1, 3, 11).text(kText, 0, "x").build(), true, false);
  EXPECT_FALSE(back.ok());
  EXPECT_EQ(all(store).size(), 1u);
}

TEST_F(StoreFixture, ImportBatchBackupKeepsTheFirstVersionOfOldBlocksOnly) {
  ASSERT_TRUE(
      store.insert_change(ChangeBuilder(arena, 1, 0, 0).text(kText, 0, "ab").build(), true, false)
          .ok());
  BlockBackup backup;
  backup.vv.set(1, 2);
  ASSERT_TRUE(
      store
          .insert_change(ChangeBuilder(arena, 1, 2, 2).timestamp(1).text(kText, 0, "c").build(),
                         true, false, &backup)
          .ok());
  ASSERT_TRUE(
      store
          .insert_change(ChangeBuilder(arena, 1, 3, 3).timestamp(2).text(kText, 0, "d").build(),
                         true, false, &backup)
          .ok());
  ASSERT_EQ(backup.blocks.size(), 1u);
  EXPECT_EQ(backup.blocks.begin()->second->counter_range(), (std::pair<Counter, Counter>(0, 2)));
  EXPECT_EQ(backup.blocks.begin()->second->changes().size(), 1u);
}

// Changes of peer 1 over [0, 100), [100, 300), [300, 400), each too large to
// share a block with another.
std::vector<Change> three_blocks(SharedArena& a) {
  Frontiers many;
  for (PeerID p = 1000; p < 2020; ++p) many.push(ID{p, 1});
  std::vector<Change> out;
  Counter c = 0;
  for (uint32_t len : {100u, 200u, 100u}) {
    Frontiers d = many;
    if (c > 0) d.push(ID{1, c - 1});
    out.push_back(ChangeBuilder(a, 1, c, Lamport(c))
                      .deps(d)
                      .timestamp(c)
                      .text(kText, 0, std::string(len, 'z'))
                      .build());
    c += Counter(len);
  }
  return out;
}

TEST_F(StoreFixture, FlushExportAndImportGiveTheSameChangesBack) {
  auto changes = three_blocks(arena);
  for (auto& c : changes) ASSERT_TRUE(store.insert_change(c, false, false).ok());
  ASSERT_TRUE(
      store
          .insert_change(ChangeBuilder(arena, 2, 0, 0).text(kText, 0, "other").build(), true, false)
          .ok());
  VersionVector vv{{1, 400}, {2, 5}};
  Frontiers fr(ID{1, 399});
  fr.push(ID{2, 4});
  store.flush_meta(vv, fr);
  for (auto& b : store.TEST_blocks_in_memory()) {
    EXPECT_TRUE(b->flushed());
    EXPECT_FALSE(b->is_parsed());
  }
  SharedBytes file = store.export_all();

  SharedArena a2;
  ChangeStore other(a2, interval);
  auto info = other.import_all(file);
  ASSERT_TRUE(info.ok()) << info.error().message();
  EXPECT_EQ(info->vv, vv);
  EXPECT_EQ(info->frontiers, fr);
  EXPECT_FALSE(info->shallow_start);
  EXPECT_EQ(other.TEST_block_count_in_memory(), 2u);  // the head blocks only
  EXPECT_EQ(describe(all(other), a2), describe(all(store), arena));
}

TEST_F(StoreFixture, LamportLookupAcrossAHoleScansStorage) {
  auto changes = three_blocks(arena);
  for (auto& c : changes) ASSERT_TRUE(store.insert_change(c, false, false).ok());
  store.flush_meta(VersionVector{{1, 400}}, Frontiers(ID{1, 399}));
  SharedArena a2;
  ChangeStore s(a2, interval);
  ASSERT_TRUE(s.import_all(store.export_all()).ok());
  ASSERT_TRUE(s.get_block(ID{1, 50}));  // memory now holds [0, 100) and [300, 400)
  EXPECT_EQ(s.TEST_block_count_in_memory(), 2u);
  auto r = s.get_change_by_lamport_lte(1, 150);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->change().id, (ID{1, 100}));
  EXPECT_EQ(s.TEST_block_count_in_memory(), 3u);
  EXPECT_EQ(s.idlp_to_id(1, 150), std::optional<ID>(ID{1, 150}));
  EXPECT_EQ(s.idlp_to_id(1, 399), std::optional<ID>(ID{1, 399}));
  EXPECT_EQ(s.idlp_to_id(1, 400), std::nullopt);
  EXPECT_FALSE(s.get_change_by_lamport_lte(7, 150));
}

TEST_F(StoreFixture, LamportLookupBetweenChangesAndBelowTheFirst) {
  ASSERT_TRUE(
      store.insert_change(ChangeBuilder(arena, 1, 0, 10).text(kText, 0, "abc").build(), true, false)
          .ok());
  ASSERT_TRUE(
      store
          .insert_change(ChangeBuilder(arena, 1, 3, 50).timestamp(1).text(kText, 0, "de").build(),
                         true, false)
          .ok());
  EXPECT_FALSE(store.get_change_by_lamport_lte(1, 9));
  EXPECT_EQ(store.idlp_to_id(1, 12), std::optional<ID>(ID{1, 2}));
  EXPECT_EQ(store.idlp_to_id(1, 20), std::nullopt);  // between the two changes
  EXPECT_EQ(store.get_change_by_lamport_lte(1, 1000)->change().id, (ID{1, 3}));
  EXPECT_EQ(store.last_op_lamport(ID{1, 1}), 10u);
  EXPECT_EQ(store.last_op_lamport(ID{1, 9}), UINT32_MAX);
}

TEST_F(StoreFixture, SpanReadsYieldWholeOverlappingChanges) {
  for (auto& c : three_blocks(arena)) ASSERT_TRUE(store.insert_change(c, false, false).ok());
  auto ids = [&](IdSpan s) {
    std::vector<Counter> out;
    for (auto& r : store.iter_changes_in_span(s)) out.push_back(r.change().id.counter);
    return out;
  };
  EXPECT_EQ(ids(IdSpan{1, {150, 350}}), (std::vector<Counter>{100, 300}));
  EXPECT_EQ(ids(IdSpan{1, {5, 5}}), (std::vector<Counter>{}));
  EXPECT_EQ(ids(IdSpan{1, {0, 100}}), (std::vector<Counter>{0}));
  EXPECT_EQ(ids(IdSpan{1, {399, 1000}}), (std::vector<Counter>{300}));
  EXPECT_EQ(ids(IdSpan{2, {0, 10}}), (std::vector<Counter>{}));
  auto nodes = store.get_dag_nodes_that_contains(ID{1, 120});
  ASSERT_TRUE(nodes);
  EXPECT_EQ(nodes->front().cnt, 100);
  EXPECT_FALSE(store.get_dag_nodes_that_contains(ID{1, 400}));
  EXPECT_EQ(store.get_last_dag_nodes_for_peer(1)->front().cnt, 300);
  EXPECT_FALSE(store.get_last_dag_nodes_for_peer(3));
}

TEST_F(StoreFixture, ExportAfterAVersionSlicesChangesAndRecordsTheStart) {
  ASSERT_TRUE(store
                  .insert_change(ChangeBuilder(arena, 1, 0, 0).text(kText, 0, "abcdef").build(),
                                 true, false)
                  .ok());
  ASSERT_TRUE(
      store
          .insert_change(
              ChangeBuilder(arena, 2, 0, 6).deps(Frontiers(ID{1, 5})).text(kText, 6, "xyz").build(),
              true, false)
          .ok());
  VersionVector start{{1, 2}};
  VersionVector latest{{1, 5}, {2, 3}};
  Frontiers latest_fr(ID{1, 4});
  latest_fr.push(ID{2, 2});
  auto bytes = store.export_from(start, Frontiers(ID{1, 1}), latest, latest_fr);
  ASSERT_TRUE(bytes.ok()) << bytes.error().message();
  SharedArena a2;
  ChangeStore other(a2, interval);
  auto info = other.import_all(*bytes);
  ASSERT_TRUE(info.ok()) << info.error().message();
  ASSERT_TRUE(info->shallow_start);
  EXPECT_EQ(info->shallow_start->first, start);
  EXPECT_EQ(info->shallow_start->second, Frontiers(ID{1, 1}));
  auto got = all(other);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, (ID{1, 2}));
  EXPECT_EQ(got[0].atom_len(), 3u);  // "cde": cut at both versions
  EXPECT_EQ(brenvik::as_chars(std::get<TextInsertOp>(got[0].ops[0].content).slice.bytes()), "cde");
  EXPECT_EQ(got[1].atom_len(), 3u);
}

TEST_F(StoreFixture, ImportRefusesABlockWhoseChangesDoNotDecode) {
  ASSERT_TRUE(
      store.insert_change(ChangeBuilder(arena, 1, 0, 0).text(kText, 0, "abc").build(), true, false)
          .ok());
  store.flush_meta(VersionVector{{1, 3}}, Frontiers(ID{1, 2}));
  SharedBytes file = store.export_all();
  // A store whose block passes the table checksums but whose ops are broken.
  MemKvStore kv;
  ASSERT_TRUE(kv.import_all(file).ok());
  auto key = ID{1, 0}.to_bytes();
  SharedBytes block = *kv.get(ByteView(key.data(), 12));
  Bytes broken = block.to_vector();
  broken[broken.size() - 2] = 0xFF;  // a text byte that is not UTF-8
  kv.set(SharedBytes::copy_of(ByteView(key.data(), 12)),
         SharedBytes::from_vector(std::move(broken)));
  SharedBytes bad = kv.export_all();
  SharedArena a2;
  ChangeStore other(a2, interval);
  auto info = other.import_all(bad);
  ASSERT_FALSE(info.ok());
  EXPECT_EQ(info.error().kind(), KesuErrorKind::DecodeDataCorruptionError);
}

TEST_F(StoreFixture, ImportChecksTheMetaEntries) {
  auto store_with = [](std::vector<std::pair<std::string, Bytes>> entries) {
    MemKvStore kv;
    for (auto& [k, v] : entries)
      kv.set(SharedBytes::copy_of(k), SharedBytes::from_vector(Bytes(v)));
    return kv.export_all();
  };
  struct Case {
    const char* name;
    SharedBytes file;
    bool ok;
  } cases[] = {
      {"empty store", store_with({{"vv", {0x00}}, {"fr", {0x00}}}), true},
      {"vv missing", store_with({{"fr", {0x00}}}), false},
      {"fr names a missing change",
       store_with({{"vv", {0x01, 0x2A, 0x06}}, {"fr", {0x01, 0x2A, 0x04}}}), false},
      {"vv beyond the stored blocks", store_with({{"vv", {0x01, 0x2A, 0x06}}, {"fr", {0x00}}}),
       false},
      {"vv counter of five bytes with a high fifth byte",
       store_with({{"vv", {0x01, 0x2A, 0x80, 0x80, 0x80, 0x80, 0x10}}, {"fr", {0x00}}}), false},
  };
  for (auto& c : cases) {
    SharedArena a;
    ChangeStore s(a, interval);
    auto r = s.import_all(c.file);
    EXPECT_EQ(r.ok(), c.ok) << c.name;
    if (!r.ok()) {
      EXPECT_EQ(r.error().kind(), KesuErrorKind::DecodeDataCorruptionError) << c.name;
    }
  }
  Bytes vv_bytes{0x01, 0x2A, 0x06};
  ByteReader r(vv_bytes);
  EXPECT_EQ(read_version_vector(r).value(), (VersionVector{{42, 3}}));
}

TEST_F(StoreFixture, RootNamesAreCachedAndGivenUpBeyondTheBudget) {
  EXPECT_FALSE(store.has_any_root_name({}));
  EXPECT_EQ(store.TEST_root_name_state(), RootNameCache::State::NotBuilt);
  ASSERT_TRUE(
      store.insert_change(ChangeBuilder(arena, 1, 0, 0).text(kText, 0, "a").build(), true, false)
          .ok());
  EXPECT_TRUE(store.has_any_root_name({"text"}));
  EXPECT_FALSE(store.has_any_root_name({"list"}));
  ASSERT_TRUE(
      store
          .insert_change(
              ChangeBuilder(arena, 1, 1, 1).timestamp(3).list(kList, 0, {KesuValue(true)}).build(),
              true, false)
          .ok());
  EXPECT_TRUE(store.has_any_root_name({"list"}));
  std::string huge(RootNameCache::kMaxBytes, 'n');
  ASSERT_TRUE(store
                  .insert_change(ChangeBuilder(arena, 1, 2, 2)
                                     .timestamp(9)
                                     .op(ContainerID::root(huge, ContainerType::Kind::Map),
                                         MapSetOp{InternalString("k"), std::nullopt})
                                     .build(),
                                 true, false)
                  .ok());
  EXPECT_EQ(store.TEST_root_name_state(), RootNameCache::State::Invalidated);
  EXPECT_TRUE(store.has_any_root_name({"never used"}));
}

}  // namespace
}  // namespace kesu

#include "kesu/change/pending_changes.h"

namespace kesu {
namespace {

TEST(PendingChanges, ParkingIsBoundedAndDropsAreCounted) {
  SharedArena arena;
  const ContainerID text = ContainerID::root("t", ContainerType::Kind::Text);
  PendingChanges pending(3, 1 << 20);
  for (Counter i = 0; i < 5; ++i)
    pending.park(9, i, test::ChangeBuilder(arena, 2, i, 0).text(text, 0, "x").build());
  EXPECT_EQ(pending.size(), 3u);
  EXPECT_EQ(pending.dropped(), 2u);
  auto ready = pending.take_ready(9, 2);  // waiting for 9@0 and 9@1
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[0].id.counter, 0);
  EXPECT_EQ(pending.size(), 1u);
  EXPECT_TRUE(pending.park(9, 7, test::ChangeBuilder(arena, 2, 7, 0).build()));

  PendingChanges by_bytes(100, 10);
  EXPECT_FALSE(
      by_bytes.park(1, 0, test::ChangeBuilder(arena, 2, 0, 0).text(text, 0, "0123456789").build()));
  EXPECT_EQ(by_bytes.dropped(), 1u);
}

}  // namespace
}  // namespace kesu

namespace kesu {
namespace {

TEST(ChangeStoreFlush, OnlyNewOrGrownBlocksAreWritten) {
  SharedArena arena;
  const ContainerID text = ContainerID::root("t", ContainerType::Kind::Text);
  ChangeStore store(arena, nullptr);
  store.flush_meta(VersionVector{}, Frontiers());
  EXPECT_EQ(MemKvStore().import_all(store.export_all()).ok(), true);
  {
    MemKvStore kv;
    ASSERT_TRUE(kv.import_all(store.export_all()).ok());
    EXPECT_EQ(kv.len(), 2u);  // "vv" and "fr" only
  }
  ChangeStore clone = store;  // a copy of the handle is the same store
  ASSERT_TRUE(clone
                  .insert_change(test::ChangeBuilder(arena, 1, 0, 0).text(text, 0, "ab").build(),
                                 true, false)
                  .ok());
  store.flush_meta(VersionVector{{1, 2}}, Frontiers(ID{1, 1}));

  SharedArena a2;
  ChangeStore other(a2, nullptr);
  ASSERT_TRUE(other.import_all(store.export_all()).ok());
  // The stored block is loaded, then grows by an appended change.
  ASSERT_TRUE(
      other
          .insert_change(test::ChangeBuilder(a2, 1, 2, 2).timestamp(5).text(text, 0, "c").build(),
                         true, false)
          .ok());
  other.flush_meta(VersionVector{{1, 3}}, Frontiers(ID{1, 2}));
  MemKvStore kv;
  ASSERT_TRUE(kv.import_all(other.export_all()).ok());
  EXPECT_EQ(kv.len(), 3u);  // one block, rewritten under its old key
  auto key = ID{1, 0}.to_bytes();
  auto h = read_block_header(kv.get(ByteView(key.data(), 12))->view());
  ASSERT_TRUE(h.ok());
  EXPECT_EQ((*h)->change_count, 2u);
}

}  // namespace
}  // namespace kesu

namespace kesu {
namespace {

// A stored history whose block bytes were damaged after the table was
// written (so the table's checksums pass): import refuses it or takes it,
// and a store that took it stays usable for every read and a new flush.
TEST(ChangeStoreImport, DamagedBlocksAreRefusedOrReadableNeverFatal) {
  SharedArena arena;
  const ContainerID text = ContainerID::root("t", ContainerType::Kind::Text);
  const ContainerID list = ContainerID::root("l", ContainerType::Kind::List);
  ChangeStore store(arena, nullptr);
  Counter c = 0;
  for (int i = 0; i < 40; ++i) {
    test::ChangeBuilder b(arena, 1 + i % 2, c / 2, Lamport(i * 10));
    if (c >= 2) b.deps(Frontiers(ID{PeerID(1 + i % 2), c / 2 - 1}));
    b.timestamp(i)
        .text(text, 0, "hello")
        .list(list, 0, {KesuValue(int64_t(i)), KesuValue::string("s")});
    Change ch = b.build();
    ch.id.counter = Counter(i / 2 * 7);
    for (auto& op : ch.ops) op.counter += ch.id.counter - Counter(c / 2);
    ASSERT_TRUE(store.insert_change(ch, true, false).ok());
    c += 2;
  }
  VersionVector vv{{1, 140}, {2, 140}};
  Frontiers fr(ID{1, 139});
  fr.push(ID{2, 139});
  store.flush_meta(vv, fr);
  SharedBytes file = store.export_all();
  MemKvStore clean;
  ASSERT_TRUE(clean.import_all(file).ok());
  std::vector<KvPair> blocks;
  auto it = clean.scan(KeyBound::unbounded(), KeyBound::unbounded());
  while (auto p = it->next())
    if (p->key.size() == 12) blocks.push_back(*p);
  ASSERT_FALSE(blocks.empty());

  std::mt19937 rng(11);
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    MemKvStore kv;
    ASSERT_TRUE(kv.import_all(file).ok());
    const KvPair& victim = blocks[rng() % blocks.size()];
    Bytes v = victim.value.to_vector();
    for (int f = 0; f < 1 + int(rng() % 3); ++f) v[rng() % v.size()] ^= uint8_t(1u << (rng() % 8));
    kv.set(victim.key, SharedBytes::from_vector(std::move(v)));
    SharedArena a;
    ChangeStore s(a, nullptr);
    auto r = s.import_all(kv.export_all());
    if (!r.ok()) {
      ++refused;
      continue;
    }
    s.visit_all_changes([](const Change&) {});
    for (PeerID p : {PeerID(1), PeerID(2)})
      for (Lamport l = 0; l < 420; l += 37) (void)s.get_change_by_lamport_lte(p, l);
    s.flush_meta(r->vv, r->frontiers);
  }
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace kesu
