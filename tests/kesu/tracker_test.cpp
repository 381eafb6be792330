// The tracker: insert and delete replay, checkout, diff, and convergence of
// concurrent histories replayed in many causal orders.
#include <gtest/gtest.h>

#include <random>
#include <variant>
#include <vector>

#include "kesu/arena/invariant.h"
#include "tracker_test_util.h"

namespace kesu {
namespace {

using testing::index_matches_rope;
using testing::SimOp;
using testing::Simulation;
using testing::visible_ids;

std::vector<ID> ids(PeerID p, Counter a, Counter b) {
  std::vector<ID> out;
  for (Counter c = a; c < b; ++c) out.push_back(ID{p, c});
  return out;
}

const FugueSpan& span_of(const Tracker& t, ID id) {
  auto leaf = t.id_to_cursor().get_insert(id);
  EXPECT_TRUE(leaf.has_value());
  return t.rope().span(*leaf);
}

TEST(Tracker, FreshTrackerHoldsOnlyThePlaceholder) {
  Tracker t;
  EXPECT_EQ(t.rope().active_len(), kPlaceholderLen);
  EXPECT_EQ(t.rope().tree().size(), 1u);
  const FugueSpan& s = span_of(t, ID{kPlaceholderPeer, 1000});
  EXPECT_EQ(s.content, RichtextChunk::unknown(kPlaceholderLen));
  EXPECT_FALSE(s.real_id.has_value());
  EXPECT_EQ(t.id_to_cursor().fragments(kPlaceholderPeer)->size(), 1u);
  EXPECT_EQ(t.applied_version().size(), 0u);
}

// Concurrent inserts at one place end up with the smaller peer first, whatever
// order they are replayed in; the runs typed after each stay with it.
TEST(Tracker, ConcurrentInsertsOrderBySmallerPeer) {
  const PeerID small = 3, large = UINT64_MAX - 5;  // unsigned comparison
  SimOp a{ID{large, 0}, 0, {}, true, 0, 2, {}, false, 0};
  SimOp b{ID{small, 0}, 0, {}, true, 0, 3, {}, false, 10};
  // Typed after a's run, concurrently with b.
  SimOp a2{ID{large, 2}, 2, VersionVector{{large, 2}}, true, 2, 1, {}, false, 20};
  std::vector<ID> expect = ids(small, 0, 3);
  for (ID x : ids(large, 0, 3)) expect.push_back(x);
  std::vector<std::vector<SimOp>> orders = {{a, b, a2}, {b, a, a2}, {a, a2, b}};
  for (const auto& order : orders) {
    Tracker t;
    for (const SimOp& op : order) testing::apply_op(t, op);
    t.checkout_to(VersionVector{{small, 3}, {large, 3}}, false);
    EXPECT_EQ(visible_ids(t), expect);
    EXPECT_TRUE(index_matches_rope(t));
  }
}

TEST(Tracker, InsertOriginsInsideAndAtEdgesOfRuns) {
  Tracker t;
  t.insert(IdFull{1, 0, 0}, 0, RichtextChunk::text(0, 10));
  // Inside a run at offset 4: origins are the neighbours, the right part is
  // cut into its own leaf.
  t.insert(IdFull{2, 10, 0}, 4, RichtextChunk::text(10, 12));
  const FugueSpan& mid = span_of(t, ID{2, 0});
  EXPECT_EQ(mid.origin_left, CompactId::make(1, 3));
  EXPECT_EQ(mid.origin_right, CompactId::make(1, 4));
  // At position 0: no left origin.
  t.insert(IdFull{3, 12, 0}, 0, RichtextChunk::text(20, 21));
  EXPECT_EQ(span_of(t, ID{3, 0}).origin_left, std::nullopt);
  EXPECT_EQ(span_of(t, ID{3, 0}).origin_right, CompactId::make(1, 0));
  // After the last visible element with deleted elements following: the first
  // deleted element is the right origin.
  t.remove(ID{4, 0}, ID{1, 8}, 11, 2, false);  // deletes (1,8) and (1,9)
  t.insert(IdFull{5, 20, 0}, 11, RichtextChunk::text(30, 31));
  EXPECT_EQ(span_of(t, ID{5, 0}).origin_left, CompactId::make(1, 7));
  EXPECT_EQ(span_of(t, ID{5, 0}).origin_right, CompactId::make(1, 8));
  std::vector<ID> expect{ID{3, 0}};
  for (ID x : ids(1, 0, 4)) expect.push_back(x);
  for (ID x : ids(2, 0, 2)) expect.push_back(x);
  for (ID x : ids(1, 4, 8)) expect.push_back(x);
  expect.push_back(ID{5, 0});
  EXPECT_EQ(visible_ids(t), expect);
  EXPECT_TRUE(index_matches_rope(t));
  // Inserting past the end of an empty rope is refused.
  CrdtRope empty;
  EXPECT_THROW(empty.insert_span(1, FugueSpan{}, [](ID) { return std::nullopt; }),
               InvariantViolation);
}

TEST(Tracker, PartlyReplayedInsertsAndDeletes) {
  Tracker t;
  t.insert(IdFull{1, 10, 0}, 0, RichtextChunk::text(0, 3));
  // The same insert again changes nothing.
  t.insert(IdFull{1, 10, 0}, 0, RichtextChunk::text(0, 3));
  EXPECT_EQ(visible_ids(t), ids(1, 0, 3));
  // Five elements of which the first three were replayed: the last two go at
  // pos + 3 with lamport + 3, continuing the run.
  t.insert(IdFull{1, 10, 0}, 0, RichtextChunk::text(0, 5));
  EXPECT_EQ(visible_ids(t), ids(1, 0, 5));
  const FugueSpan& s = span_of(t, ID{1, 4});
  EXPECT_EQ(s.id, (IdFull{1, 10, 0}));
  EXPECT_EQ(s.content, RichtextChunk::text(0, 5));
  EXPECT_EQ(t.applied_version().get(1), 5);

  // A forward delete of 4 whose first atom was replayed deletes 3 more at the
  // same position.
  Tracker f;
  f.insert(IdFull{1, 0, 0}, 0, RichtextChunk::text(0, 6));
  f.remove(ID{2, 0}, ID{1, 1}, 1, 1, false);
  f.remove(ID{2, 0}, ID{1, 1}, 1, 4, false);
  EXPECT_EQ(visible_ids(f), (std::vector<ID>{ID{1, 0}, ID{1, 5}}));
  EXPECT_EQ(f.applied_version().get(2), 4);
  // A reverse delete of 3 whose first atom (the last element) was replayed.
  Tracker r;
  r.insert(IdFull{1, 0, 0}, 0, RichtextChunk::text(0, 6));
  r.remove(ID{2, 0}, ID{1, 3}, 3, 1, true);
  r.remove(ID{2, 0}, ID{1, 1}, 1, 3, true);
  EXPECT_EQ(visible_ids(r), (std::vector<ID>{ID{1, 0}, ID{1, 4}, ID{1, 5}}));
  EXPECT_TRUE(index_matches_rope(f));
  EXPECT_TRUE(index_matches_rope(r));
}

std::vector<IdSpan> delete_records(const Tracker& t, PeerID p) {
  std::vector<IdSpan> out;
  for (const IdFragment& f : *t.id_to_cursor().fragments(p))
    if (f.cursor.is_delete()) out.push_back(f.cursor.as_delete());
  return out;
}

TEST(Tracker, DeleteRecordsTheTargetIds) {
  for (bool reverse : {false, true}) {
    Tracker t;
    t.insert(IdFull{7, 0, 20}, 0, RichtextChunk::text(0, 5));
    t.remove(ID{9, 0}, ID{7, 20}, 0, 3, reverse);
    // Reversed, the three backward single spans join into one backward run.
    std::vector<IdSpan> want{reverse ? IdSpan{7, {22, 19}} : IdSpan{7, {20, 23}}};
    EXPECT_EQ(delete_records(t, 9), want) << reverse;
  }
  // Over a deleted span: only the visible parts are recorded.
  Tracker t;
  t.insert(IdFull{1, 0, 5}, 0, RichtextChunk::text(0, 3));
  t.insert(IdFull{3, 3, 0}, 3, RichtextChunk::text(3, 5));
  t.insert(IdFull{2, 5, 40}, 5, RichtextChunk::text(5, 8));
  t.remove(ID{4, 0}, ID{3, 0}, 3, 2, false);
  t.remove(ID{5, 0}, ID{1, 5}, 0, 5, false);
  EXPECT_EQ(delete_records(t, 5), (std::vector<IdSpan>{IdSpan{1, {5, 8}}, IdSpan{2, {40, 42}}}));
  EXPECT_EQ(t.applied_version().get(5), 5);
  EXPECT_EQ(visible_ids(t), (std::vector<ID>{ID{2, 42}}));
}

TEST(Tracker, DeletingThePlaceholderGivesRealIds) {
  Tracker t;
  // Five pre-existing elements, deleted from position 2 by an op that names
  // the element at 2 as (8, 100).
  t.remove(ID{1, 0}, ID{8, 100}, 2, 2, false);
  const FugueSpan& s = span_of(t, ID{kPlaceholderPeer, 2});
  EXPECT_EQ(s.real_id, CompactId::make(8, 100));
  EXPECT_EQ(s.rle_len(), 2u);
  EXPECT_FALSE(s.is_activated());
  EXPECT_EQ(t.rope().active_len(), kPlaceholderLen - 2);
  EXPECT_TRUE(index_matches_rope(t));
  // A diff from before the delete and back reports the placeholder pieces:
  // the insert carries the real id and no lamport.
  auto d = t.diff(VersionVector{{1, 2}}, VersionVector{});
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(std::get<RopeRetain>(d[0]).len, 2u);
  const RopeInsert& ins = std::get<RopeInsert>(d[1]);
  EXPECT_EQ(ins.id, (ID{8, 100}));
  EXPECT_FALSE(ins.lamport.has_value());
  EXPECT_EQ(ins.chunk, RichtextChunk::unknown(2));
}

TEST(Tracker, CheckoutRetreatsAndForwards) {
  Tracker t;
  t.insert(IdFull{1, 0, 0}, 0, RichtextChunk::text(0, 4));
  // Two concurrent deletes of the same element.
  VersionVector base{{1, 4}};
  t.checkout_to(base, false);
  t.remove(ID{2, 0}, ID{1, 1}, 1, 1, false);
  t.checkout_to(base, false);
  t.remove(ID{3, 0}, ID{1, 1}, 1, 1, false);
  VersionVector both{{1, 4}, {2, 1}, {3, 1}};
  t.checkout_to(both, false);
  EXPECT_EQ(span_of(t, ID{1, 1}).status.delete_times, 2);
  t.checkout_to(VersionVector{{1, 4}, {3, 1}}, false);
  EXPECT_EQ(span_of(t, ID{1, 1}).status.delete_times, 1);
  EXPECT_EQ(visible_ids(t), (std::vector<ID>{ID{1, 0}, ID{1, 2}, ID{1, 3}}));
  // Retreating the insert makes its elements future.
  t.checkout_to(VersionVector{}, false);
  EXPECT_TRUE(span_of(t, ID{1, 0}).status.future);
  EXPECT_TRUE(visible_ids(t).empty());
  EXPECT_EQ(t.rope().active_len(), kPlaceholderLen);
  // And forward again; checking out the current version changes nothing.
  t.checkout_to(both, false);
  std::vector<FugueSpan> before, after;
  for (const FugueSpan& s : t.rope().tree()) before.push_back(s);
  t.checkout_to(both, false);
  for (const FugueSpan& s : t.rope().tree()) after.push_back(s);
  EXPECT_EQ(before, after);
  EXPECT_EQ(visible_ids(t), (std::vector<ID>{ID{1, 0}, ID{1, 2}, ID{1, 3}}));
  EXPECT_TRUE(index_matches_rope(t));
}

TEST(Tracker, DiffOfAnInsertAndADelete) {
  Tracker t;
  t.insert(IdFull{1, 0, 0}, 0, RichtextChunk::text(0, 6));
  VersionVector a{{1, 6}};
  t.insert(IdFull{2, 6, 0}, 2, RichtextChunk::text(100, 102));
  t.remove(ID{2, 2}, ID{1, 4}, 6, 1, false);  // the element (1,4)
  VersionVector b{{1, 6}, {2, 3}};
  auto d = t.diff(a, b);
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(std::get<RopeRetain>(d[0]).len, 2u);
  EXPECT_EQ(std::get<RopeInsert>(d[1]), (RopeInsert{6, RichtextChunk::text(100, 102), ID{2, 0}}));
  EXPECT_EQ(std::get<RopeRetain>(d[2]).len, 2u);
  EXPECT_EQ(std::get<RopeDelete>(d[3]).len, 1u);
  // Marks are cleared at the next diff; an empty diff yields nothing.
  EXPECT_TRUE(t.diff(b, b).empty());
  EXPECT_EQ(t.rope().changed_count(), 0u);
}

// Applies a rope diff to the ids of the older version.
std::vector<ID> apply_diff(const std::vector<ID>& base, const std::vector<CrdtRopeDelta>& d) {
  std::vector<ID> out;
  size_t i = 0;
  for (const CrdtRopeDelta& x : d) {
    if (auto* r = std::get_if<RopeRetain>(&x)) {
      for (size_t k = 0; k < r->len; ++k) out.push_back(base.at(i++));
    } else if (auto* del = std::get_if<RopeDelete>(&x)) {
      i += del->len;
    } else {
      const RopeInsert& ins = std::get<RopeInsert>(x);
      for (uint32_t k = 0; k < ins.chunk.len(); ++k)
        out.push_back(ID{ins.id.peer, ins.id.counter + Counter(k)});
    }
  }
  while (i < base.size()) out.push_back(base[i++]);
  return out;
}

std::vector<ID> state_at(const Simulation& sim, const VersionVector& v) {
  Tracker t;
  for (const SimOp& op : sim.ops()) {
    if (op.id.counter >= v.get(op.id.peer)) continue;
    testing::apply_op(t, op);
  }
  t.checkout_to(v, false);
  return visible_ids(t);
}

struct ConvergenceCase {
  size_t peers;
  int steps;
  uint32_t seed;
};

class TrackerConvergence : public ::testing::TestWithParam<ConvergenceCase> {};

TEST_P(TrackerConvergence, EveryCausalOrderGivesTheSameSequence) {
  const ConvergenceCase& c = GetParam();
  std::vector<PeerID> peers;
  std::mt19937_64 pr(c.seed);
  for (size_t i = 0; i < c.peers; ++i) peers.push_back(i % 2 ? pr() : pr() % 1000);
  Simulation sim(peers, c.seed);
  sim.run(c.steps);
  sim.sync_all();
  VersionVector full = sim.full_version();
  sim.tracker(0).checkout_to(full, false);
  std::vector<ID> expect = visible_ids(sim.tracker(0));
  for (size_t p = 1; p < sim.peer_count(); ++p) {
    sim.tracker(p).checkout_to(full, false);
    EXPECT_EQ(visible_ids(sim.tracker(p)), expect) << "peer " << p;
  }
  std::mt19937 rng(c.seed * 31 + 1);
  for (int round = 0; round < 8; ++round) {
    Tracker t;
    for (size_t idx : sim.random_causal_order(rng)) testing::apply_op(t, sim.ops()[idx]);
    t.checkout_to(full, false);
    ASSERT_EQ(visible_ids(t), expect) << "order " << round;
    ASSERT_TRUE(index_matches_rope(t));
    // Status changes repair the rope's counts leaf by leaf or in one batch;
    // either way every cached count must match its subtree.
    ASSERT_EQ(t.rope().check_invariants(), "") << "order " << round;
  }
}

// diff(A -> B) applied to the state at A gives the state at B, for versions
// seen by the peers, in either direction and between concurrent versions.
TEST_P(TrackerConvergence, DiffBetweenVersionsTurnsOneStateIntoTheOther) {
  const ConvergenceCase& c = GetParam();
  std::vector<PeerID> peers;
  for (size_t i = 0; i < c.peers; ++i) peers.push_back(100 + i * 7);
  Simulation sim(peers, c.seed + 99);
  sim.run(c.steps);
  sim.sync_all();
  Tracker t;
  std::mt19937 rng(c.seed);
  for (size_t idx : sim.random_causal_order(rng)) testing::apply_op(t, sim.ops()[idx]);
  const auto& vs = sim.versions_seen();
  for (int k = 0; k < 12; ++k) {
    const VersionVector& a = vs[rng() % vs.size()];
    const VersionVector& b = vs[rng() % vs.size()];
    std::vector<ID> sa = state_at(sim, a), sb = state_at(sim, b);
    auto d = t.diff(a, b);
    ASSERT_EQ(visible_ids(t), sa);
    ASSERT_EQ(apply_diff(sa, d), sb) << "pair " << k;
    ASSERT_TRUE(index_matches_rope(t));
    ASSERT_EQ(t.rope().check_invariants(), "") << "pair " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Histories, TrackerConvergence,
                         ::testing::Values(ConvergenceCase{2, 60, 1}, ConvergenceCase{2, 150, 2},
                                           ConvergenceCase{3, 120, 3}, ConvergenceCase{3, 200, 4},
                                           ConvergenceCase{4, 200, 5}, ConvergenceCase{5, 250, 6},
                                           ConvergenceCase{5, 120, 7},
                                           // More peers than the short peer tables scan:
                                           // lookups go through their hash index.
                                           ConvergenceCase{20, 300, 8}));

}  // namespace
}  // namespace kesu
