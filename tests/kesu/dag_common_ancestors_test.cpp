// The causal graph against a brute-force model of random histories:
// version conversions, common ancestors with their diff mode, and the
// causal iteration between two versions.
#include <gtest/gtest.h>

#include <set>

#include "dag_test_util.h"

namespace kesu {
namespace {

using test::RandomHistory;

std::unique_ptr<OpLog> build(RandomHistory& h) {
  auto log = std::make_unique<OpLog>(h.arena());
  for (const Change& c : h.changes()) log->insert_new_change(c, false);
  return log;
}

std::string str(const Frontiers& f) {
  std::string s = "[";
  for (ID id : f.to_sorted_vec()) s += id.to_string() + " ";
  return s + "]";
}

TEST(DagVersions, FrontiersRemoveAndUpdateOnNewChange) {
  auto make = [](std::initializer_list<ID> ids) {
    Frontiers f;
    for (ID id : ids) f.push(id);
    return f;
  };
  struct Case {
    const char* name;
    Frontiers f;
    ID remove;
    Frontiers want;
    bool single;
  } cases[] = {
      {"empty", {}, {1, 5}, {}, false},
      {"the single id", make({{1, 5}}), {1, 5}, {}, false},
      {"another counter", make({{1, 6}}), {1, 5}, make({{1, 6}}), true},
      {"map of two leaves a single id", make({{1, 5}, {2, 1}}), {1, 5}, make({{2, 1}}), true},
      {"counter differs: unchanged", make({{1, 6}, {2, 1}}), {1, 5}, make({{1, 6}, {2, 1}}), false},
      {"map of three stays a map",
       make({{1, 5}, {2, 1}, {3, 0}}),
       {2, 1},
       make({{1, 5}, {3, 0}}),
       false},
  };
  for (auto& c : cases) {
    Frontiers shared = c.f;  // a copy sharing the map must not change
    Frontiers before = c.f;
    c.f.remove(c.remove);
    EXPECT_EQ(c.f, c.want) << c.name;
    EXPECT_EQ(shared, before) << c.name;
    if (c.single) EXPECT_FALSE(c.f.is_map_form()) << c.name;
  }
  Frontiers f = make({{1, 3}, {2, 1}});
  frontiers_update_on_new_change(f, ID{3, 0}, make({{1, 3}, {2, 1}}));
  EXPECT_EQ(f, make({{3, 0}}));
  f = make({{1, 3}, {2, 1}});
  frontiers_update_on_new_change(f, ID{3, 0}, make({{2, 1}}));
  EXPECT_EQ(f, make({{1, 3}, {3, 0}}));
}

TEST(DagVersions, FrontiersAndVersionVectorsRoundTripAgainstBruteForce) {
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    RandomHistory h(seed, 2 + seed % 4, seed % 2 == 0);
    for (int i = 0; i < 60; ++i) h.step(0.4);
    auto log = build(h);
    const AppDag& dag = log->dag();
    EXPECT_EQ(dag.vv(), h.all());
    EXPECT_EQ(dag.frontiers(), h.frontiers_of(h.all())) << str(dag.frontiers());
    for (int i = 0; i < 80; ++i) {
      VersionVector v = h.random_version();
      Frontiers f = h.frontiers_of(v);
      auto back = dag.frontiers_to_vv(f);
      ASSERT_TRUE(back.has_value());
      EXPECT_EQ(*back, v) << "seed " << seed << " " << str(f);
      EXPECT_EQ(dag.vv_to_frontiers(v), f) << "seed " << seed;
      Lamport next = 0;
      for (ID id : f.to_sorted_vec()) {
        EXPECT_EQ(dag.get_lamport(id), h.lamport_of(id));
        next = std::max(next, h.lamport_of(id) + 1);
      }
      EXPECT_EQ(dag.frontiers_to_next_lamport(f), next);
    }
    EXPECT_FALSE(dag.frontiers_to_vv(Frontiers(ID{999, 0})).has_value());
    EXPECT_FALSE(dag.get_lamport(ID{100, 1'000'000}).has_value());
  }
}

TEST(DagCommonAncestors, MatchBruteForceOnRandomGraphs) {
  std::map<DiffMode, int> seen;
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    RandomHistory h(seed, 2 + seed % 5, true);
    for (int i = 0; i < 50; ++i) h.step(seed % 3 == 0 ? 0.8 : 0.3);
    auto log = build(h);
    const AppDag& dag = log->dag();
    for (int i = 0; i < 150; ++i) {
      VersionVector fv = h.random_version(), tv = h.random_version();
      if (i % 7 == 0) tv = fv;
      if (i % 5 == 0) vv_merge(tv, fv);  // `to` after `from`
      Frontiers from = h.frontiers_of(fv), to = h.frontiers_of(tv);
      auto [common, mode] = dag.find_common_ancestors(from, to);
      seen[mode]++;
      std::string ctx = "seed " + std::to_string(seed) + " from " + str(from) + " to " + str(to);
      if (to.empty()) {
        EXPECT_TRUE(common.empty()) << ctx;
        EXPECT_EQ(mode, DiffMode::Checkout) << ctx;
        continue;
      }
      // Every history starts at one root, so the answer is exact, except
      // for a version of several heads that `to` does not leave through
      // all of them: that falls back to the newest point every branch of
      // both passes through, as a checkout.
      Frontiers exact = h.frontiers_of(RandomHistory::meet(fv, tv));
      if (!(common == exact)) {
        EXPECT_GE(from.size(), 2u) << ctx;
        EXPECT_EQ(mode, DiffMode::Checkout) << ctx;
        EXPECT_EQ(str(common), str(h.convergence_point(fv, tv))) << ctx;
        continue;
      }
      bool to_after = vv_includes(tv, fv);
      switch (mode) {
        case DiffMode::Linear: {
          // Only one peer's ops lie between the two versions, in one chain.
          EXPECT_TRUE(to_after) << ctx;
          EXPECT_LE(from.size(), 1u) << ctx;
          for (const IdSpan& s : tv.diff_iter(fv)) {
            EXPECT_TRUE(from.empty() || s.peer == from.to_sorted_vec()[0].peer) << ctx;
          }
          break;
        }
        case DiffMode::ImportGreaterUpdates:
          EXPECT_TRUE(to_after) << ctx;
          break;
        case DiffMode::Checkout:
          // Only a version that is not after `from`, or one equal to it, or
          // a fork from several heads, is a checkout.
          EXPECT_TRUE(!to_after || tv == fv || from.size() >= 2) << ctx;
          break;
        case DiffMode::Import:
          ADD_FAILURE() << "Import comes only from the causal iteration " << ctx;
      }
      if (!to_after) EXPECT_EQ(mode, DiffMode::Checkout) << ctx;
      if (to_after && tv != fv && from.size() == 1) EXPECT_NE(mode, DiffMode::Checkout) << ctx;
    }
  }
  for (DiffMode m : {DiffMode::Checkout, DiffMode::ImportGreaterUpdates, DiffMode::Linear})
    EXPECT_GT(seen[m], 0) << diff_mode_name(m);
}

TEST(DagCommonAncestors, DisjointHistoriesNeverClaimMoreThanTheCommonPart) {
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    RandomHistory h(seed, 3, false);
    for (int i = 0; i < 40; ++i) h.step(0.3);
    auto log = build(h);
    for (int i = 0; i < 100; ++i) {
      VersionVector fv = h.random_version(), tv = h.random_version();
      Frontiers from = h.frontiers_of(fv), to = h.frontiers_of(tv);
      auto [common, mode] = log->dag().find_common_ancestors(from, to);
      // Several roots: a fallback may answer less, never more.
      auto cv = log->dag().frontiers_to_vv(common);
      ASSERT_TRUE(cv.has_value());
      EXPECT_TRUE(vv_includes(RandomHistory::meet(fv, tv), *cv)) << "seed " << seed;
      if (!vv_includes(tv, fv)) EXPECT_EQ(mode, DiffMode::Checkout);
    }
  }
}

struct Fixed {
  SharedArena arena;
  OpLog log{arena};
  Change add(PeerID p, Counter c, Lamport l, Frontiers deps, uint32_t len) {
    test::ChangeBuilder b(arena, p, c, l);
    b.deps(std::move(deps)).text(test::kDagText, 0, std::string(len, 'x'));
    Change ch = b.build();
    log.insert_new_change(ch, false);
    return ch;
  }
};

TEST(DagCommonAncestors, CasesTheSearchDistinguishes) {
  // a0..a3 (one node); b0..b1 on a3; a4 on a3 and b1 (merge); c0 a root.
  Fixed f;
  f.add(1, 0, 0, {}, 4);
  f.add(2, 0, 4, Frontiers(ID{1, 3}), 2);
  Frontiers m(ID{1, 3});
  m.push(ID{2, 1});
  f.add(1, 4, 6, m, 1);
  f.add(3, 0, 0, {}, 1);
  const AppDag& d = f.log.dag();
  Frontiers a1(ID{1, 1}), a2(ID{1, 2}), a3(ID{1, 3}), a4(ID{1, 4}), b1(ID{2, 1}), c0(ID{3, 0});
  Frontiers a1c0(ID{1, 1});
  a1c0.push(ID{3, 0});
  struct Case {
    const char* name;
    Frontiers from, to, common;
    DiffMode mode;
  } cases[] = {
      {"to empty", a2, {}, {}, DiffMode::Checkout},
      {"from empty, single-dep chain to a root", {}, a2, {}, DiffMode::Linear},
      {"from empty, merge on the way", {}, a4, {}, DiffMode::ImportGreaterUpdates},
      {"same id", a2, a2, a2, DiffMode::Checkout},
      {"earlier id of the same node", a1, a2, a1, DiffMode::Linear},
      {"later id of the same node", a2, a1, a1, DiffMode::Checkout},
      {"other peer chaining back", a3, b1, a3, DiffMode::ImportGreaterUpdates},
      {"disjoint histories", a2, c0, {}, DiffMode::Checkout},
      {"unrelated root in to", a1, a1c0, {}, DiffMode::Checkout},
      {"concurrent", b1, a3, a3, DiffMode::Checkout},
  };
  for (const auto& c : cases) {
    auto [common, mode] = d.find_common_ancestors(c.from, c.to);
    EXPECT_EQ(common, c.common) << c.name << " got " << str(common);
    EXPECT_EQ(mode, c.mode) << c.name << " got " << diff_mode_name(mode);
  }
}

TEST(DagCausalIteration, YieldsEachOpOnceDependenciesFirst) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    RandomHistory h(seed, 2 + seed % 4, seed % 3 != 0);
    for (int i = 0; i < 50; ++i) h.step(0.5);
    auto log = build(h);
    for (int i = 0; i < 40; ++i) {
      VersionVector fv = h.random_version(), tv = h.random_version();
      Frontiers from = h.frontiers_of(fv), to = h.frontiers_of(tv);
      auto [common_vv, mode, it] = log->iter_changes_causally(fv, from, tv, to);
      VersionVector merged = fv;
      vv_merge(merged, tv);
      EXPECT_TRUE(vv_includes(RandomHistory::meet(fv, tv), common_vv));
      std::set<ID> seen;
      VersionVector done = common_vv;
      while (auto c = it.next()) {
        for (uint32_t k = 0; k < c->atom_len(); ++k) {
          ID id{c->id.peer, c->id.counter + Counter(k)};
          EXPECT_TRUE(seen.insert(id).second) << "twice " << id.to_string();
          // Everything the op depends on is either before the range or out.
          for (const auto& [p, e] : h.op_vv(id).entries()) {
            Counter need = p == id.peer ? id.counter : e;
            EXPECT_GE(done.get(p), std::min(need, merged.get(p)))
                << "seed " << seed << " " << id.to_string() << " before its deps";
          }
          done.set(id.peer, std::max(done.get(id.peer), id.counter + 1));
        }
      }
      size_t expected = 0;
      for (const IdSpan& s : merged.diff_iter(common_vv)) expected += s.counter.length();
      EXPECT_EQ(seen.size(), expected) << "seed " << seed;
      if (fv == tv) EXPECT_EQ(seen.size(), 0u);
    }
  }
}

}  // namespace
}  // namespace kesu
