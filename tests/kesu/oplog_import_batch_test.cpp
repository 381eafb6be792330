// The operation log: history opened from stored bytes and loaded node by
// node on demand, and import batches that either stay whole or leave every
// structure exactly as it was.
#include <gtest/gtest.h>

#include "dag_test_util.h"

namespace kesu {
namespace {

using test::RandomHistory;

struct NodeView {
  PeerID peer;
  Counter cnt;
  uint64_t len;
  Lamport lamport;
  std::vector<ID> deps;
  bool has_successor;
  bool operator==(const NodeView&) const = default;
};

std::map<ID, NodeView> nodes_of(const AppDag& d) {
  std::map<ID, NodeView> out;
  for (const auto& [k, n] : d.TEST_node_map())
    out[k] = {n->peer, n->cnt, n->len, n->lamport, n->deps.to_sorted_vec(), n->has_successor};
  return out;
}

Bytes export_bytes(OpLog& log) {
  log.change_store().flush_meta(log.dag().vv(), log.dag().frontiers());
  SharedBytes b = log.change_store().export_all();
  return Bytes(b.data(), b.data() + b.size());
}

TEST(OpLogLazyLoad, StoredHistoryAnswersLikeTheLiveOneLoadingBlocksOnDemand) {
  RandomHistory h(7, 4, true);
  for (int i = 0; i < 1500; ++i) h.step(0.3, 40);  // several blocks per peer
  OpLog live(h.arena());
  for (const Change& c : h.changes()) live.insert_new_change(c, false);
  Bytes bytes = export_bytes(live);

  OpLog opened{SharedArena()};
  ASSERT_TRUE(opened.load_from_change_store(SharedBytes::copy_of(ByteView(bytes))));
  const AppDag& d = opened.dag();
  EXPECT_EQ(d.vv(), live.dag().vv());
  EXPECT_EQ(d.frontiers(), live.dag().frontiers());
  EXPECT_EQ(opened.count_ops(), live.count_ops());
  EXPECT_TRUE(d.TEST_node_map().empty());
  EXPECT_EQ(d.TEST_unparsed_vv(), d.vv());

  // A lookup near the top of a peer loads only its newest blocks.
  PeerID p = h.peer_id(1);
  Counter top = d.vv().get(p) - 1;
  ASSERT_TRUE(d.get_node(ID{p, top}));
  Counter mark = d.TEST_unparsed_vv().get(p);
  EXPECT_GT(mark, 0);
  EXPECT_LE(mark, top);
  // Reaching counter 0 removes the peer's mark.
  ASSERT_TRUE(d.get_node(ID{p, 0}));
  EXPECT_EQ(d.TEST_unparsed_vv().entries().count(p), 0u);

  for (int i = 0; i < 60; ++i) {
    VersionVector fv = h.random_version(), tv = h.random_version();
    Frontiers from = h.frontiers_of(fv), to = h.frontiers_of(tv);
    EXPECT_EQ(d.frontiers_to_vv(from), std::optional<VersionVector>(fv));
    EXPECT_EQ(d.vv_to_frontiers(tv), to);
    // Stored nodes are one per change, live ones may span several changes:
    // a same-node shortcut may then tell Linear where the other tells
    // ImportGreaterUpdates; the common ancestors agree.
    auto [lc, lm] = d.find_common_ancestors(from, to);
    auto [rc, rm] = live.dag().find_common_ancestors(from, to);
    EXPECT_EQ(lc, rc);
    auto fold = [](DiffMode m) {
      return m == DiffMode::Linear ? DiffMode::ImportGreaterUpdates : m;
    };
    EXPECT_EQ(fold(lm), fold(rm));
  }
  // Loaded nodes never overlap and cover every op.
  Counter seen = 0;
  PeerID last_peer = 0;
  for (const auto& [k, n] : d.TEST_node_map()) {
    if (k.peer != last_peer) seen = 0, last_peer = k.peer;
    EXPECT_EQ(k.counter, seen) << k.to_string();
    seen = n->ctr_end();
  }
  EXPECT_FALSE(d.get_node(ID{p, d.vv().get(p)}));
  EXPECT_FALSE(d.get_node(ID{424242, 0}));
}

TEST(OpLogLazyLoad, DamagedStoredHistoryIsRefusedAndLeavesTheLogEmpty) {
  RandomHistory h(3, 3, true);
  for (int i = 0; i < 100; ++i) h.step(0.3, 10);
  OpLog live(h.arena());
  for (const Change& c : h.changes()) live.insert_new_change(c, false);
  Bytes good = export_bytes(live);
  std::vector<Bytes> bad = {Bytes{}, Bytes(good.begin(), good.begin() + good.size() / 2),
                            Bytes(good.size(), 0xff)};
  for (size_t at : {size_t(20), good.size() / 3, good.size() - 20}) {
    Bytes b = good;
    b[at] ^= 0x5a;
    bad.push_back(std::move(b));
  }
  for (size_t i = 0; i < bad.size(); ++i) {
    OpLog log{SharedArena()};
    auto r = log.load_from_change_store(SharedBytes::copy_of(ByteView(bad[i])));
    if (r) {
      // A flip the checksums do not cover may still decode: then the
      // history must be whole and answer lookups without failing.
      for (const auto& [p, c] : log.dag().vv().entries())
        EXPECT_TRUE(log.dag().get_node(ID{p, 0})) << i;
      continue;
    }
    EXPECT_EQ(log.dag().vv().size(), 0u) << i;
    EXPECT_TRUE(log.dag().frontiers().empty()) << i;
  }
}

struct Snapshot {
  VersionVector vv;
  Frontiers frontiers;
  std::map<ID, NodeView> nodes;
  std::set<ID> unresolved;
  VersionVector unparsed;
  int64_t ops;
  Bytes bytes;
  size_t pending;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snap(OpLog& log) {
  Bytes b = export_bytes(log);
  return {log.dag().vv(),
          log.dag().frontiers(),
          nodes_of(log.dag()),
          log.dag().TEST_unresolved_dep_points(),
          log.dag().TEST_unparsed_vv(),
          log.count_ops(),
          std::move(b),
          log.pending_changes().size()};
}

TEST(OpLogImportBatch, AbortLeavesEveryStructureAsBeforeAndFinishKeepsAll) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    for (size_t before : {size_t(0), size_t(30)}) {
      RandomHistory h(seed, 3 + seed % 3, seed % 2 == 0);
      for (int i = 0; i < 70; ++i) h.step(0.5, 5);
      const auto& all = h.changes();
      OpLog log(h.arena());
      for (size_t i = 0; i < before; ++i) log.insert_new_change(all[i], false);
      Snapshot s0 = snap(log);

      log.begin_import(h.arena().checkpoint());
      for (size_t i = before; i < all.size(); ++i) log.insert_new_change(all[i], false);
      log.park_pending_change(all.back());  // a parked change is undone too
      // (No flush inside the batch: an import never writes storage before
      // it ends.)
      ASSERT_NE(log.dag().vv(), s0.vv);
      ASSERT_EQ(log.pending_changes().size(), 1u);
      log.abort_import();
      Snapshot s1 = snap(log);
      EXPECT_EQ(s1.vv, s0.vv) << seed;
      EXPECT_EQ(s1.frontiers, s0.frontiers) << seed;
      EXPECT_EQ(s1.nodes, s0.nodes) << seed;
      EXPECT_EQ(s1.unresolved, s0.unresolved) << seed;
      EXPECT_EQ(s1.bytes, s0.bytes) << seed;
      EXPECT_EQ(s1, s0) << seed;
      log.abort_import();  // no batch: nothing happens
      EXPECT_EQ(snap(log), s0);

      // The same changes again, kept this time, give the history a log
      // built in one go has.
      log.begin_import(h.arena().checkpoint());
      for (size_t i = before; i < all.size(); ++i) log.insert_new_change(all[i], false);
      log.finish_import();
      EXPECT_FALSE(log.in_batch());
      OpLog direct(h.arena());
      for (const Change& c : all) direct.insert_new_change(c, false);
      Snapshot a = snap(log), b = snap(direct);
      EXPECT_EQ(a.nodes, b.nodes) << seed;
      EXPECT_EQ(a.bytes, b.bytes) << seed;
    }
  }
}

TEST(OpLogImportBatch, AbortRestoresANodeSplitByADependencyAndAnExtendedNode) {
  SharedArena arena;
  OpLog log(arena);
  auto add = [&](PeerID p, Counter c, Lamport l, Frontiers deps, uint32_t len) {
    test::ChangeBuilder b(arena, p, c, l);
    b.deps(std::move(deps)).text(test::kDagText, 0, std::string(len, 'x'));
    log.insert_new_change(b.build(), false);
  };
  add(1, 0, 0, {}, 5);  // a0..a4
  auto before = nodes_of(log.dag());
  log.begin_import(arena.checkpoint());
  add(2, 0, 3, Frontiers(ID{1, 2}), 2);  // depends on a2: splits a0..a4
  add(1, 5, 5, Frontiers(ID{1, 4}), 3);  // extends a3..a4
  EXPECT_EQ(log.dag().TEST_node_map().size(), 3u);
  log.abort_import();
  EXPECT_EQ(nodes_of(log.dag()), before);
  EXPECT_EQ(log.dag().vv(), (VersionVector{{1, 5}}));
}

TEST(OpLogImportBatch, TrimAndCheckImport) {
  SharedArena arena;
  OpLog log(arena);
  test::ChangeBuilder b(arena, 1, 0, 0);
  b.text(test::kDagText, 0, "abcd");
  log.insert_new_change(b.build(), false);
  auto change = [&](Counter c, uint32_t len, Frontiers deps) {
    test::ChangeBuilder x(arena, 1, c, Lamport(c));
    x.deps(std::move(deps)).text(test::kDagText, 0, std::string(len, 'y'));
    return x.build();
  };
  EXPECT_EQ(log.trim_known_part(change(4, 2, Frontiers(ID{1, 3})))->id.counter, 4);
  EXPECT_FALSE(log.trim_known_part(change(2, 2, Frontiers(ID{1, 1}))).has_value());
  auto tail = log.trim_known_part(change(2, 4, Frontiers(ID{1, 1})));
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->id.counter, 4);
  EXPECT_EQ(tail->atom_len(), 2u);

  EXPECT_EQ(log.check_import({}).has_ready_change, false);
  auto known = log.check_import({change(0, 4, {})});
  EXPECT_FALSE(known.has_ready_change || known.touches_list_or_tree);
  EXPECT_TRUE(log.check_import({change(4, 1, Frontiers(ID{1, 3}))}).has_ready_change);
  EXPECT_FALSE(log.check_import({change(9, 1, Frontiers(ID{1, 8}))}).has_ready_change);
}

}  // namespace
}  // namespace kesu
