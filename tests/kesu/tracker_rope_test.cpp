// The CRDT rope: range deletion, leaf order, batch status updates and the diff walk.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "kesu/arena/invariant.h"
#include "kesu/tracker/crdt_rope.h"

namespace kesu {
namespace {

// A span of `len` text elements of its own peer, so that neighbours never merge.
FugueSpan span(PeerID peer, uint32_t len, bool real_id = true) {
  FugueSpan s;
  s.id = IdFull{peer, 0, 0};
  if (real_id) s.real_id = CompactId::make(peer, 0);
  s.content = RichtextChunk::text(0, len);
  return s;
}

std::vector<FugueSpan> spans(const CrdtRope& r) {
  std::vector<FugueSpan> out;
  for (const FugueSpan& s : r.tree()) out.push_back(s);
  return out;
}

struct Notified {
  std::vector<IdFull> ids;
  std::vector<uint32_t> lens;
  CrdtRope::DeleteNotify fn() {
    return [this](const FugueSpan& s) {
      EXPECT_TRUE(s.is_activated());  // seen before it is marked
      ids.push_back(s.id);
      lens.push_back(s.rle_len());
    };
  }
};

TEST(TrackerRope, DeleteOfNothingTouchesNothing) {
  CrdtRope empty;
  Notified n;
  EXPECT_TRUE(empty.delete_range(ID{1, 0}, 0, 0, false, n.fn()).empty());
  EXPECT_TRUE(n.ids.empty());
  // A delete in an empty rope is a broken invariant.
  EXPECT_THROW(empty.delete_range(ID{1, 0}, 0, 1, false, n.fn()), InvariantViolation);
}

TEST(TrackerRope, DeleteInsideOneSpan) {
  CrdtRope r;
  r.push(span(1, 10, false));
  Notified n;
  auto out = r.delete_range(ID{9, 50}, 2, 3, false, n.fn());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 2u);
  auto s = spans(r);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].rle_len(), 2u);
  EXPECT_EQ(s[1].rle_len(), 3u);
  EXPECT_EQ(s[2].rle_len(), 5u);
  EXPECT_EQ(s[1].status.delete_times, 1);
  EXPECT_EQ(s[1].real_id, CompactId::make(9, 50));
  EXPECT_FALSE(s[0].real_id.has_value());
  EXPECT_FALSE(s[2].real_id.has_value());
  EXPECT_EQ(n.lens, std::vector<uint32_t>{3});
  EXPECT_EQ(r.active_len(), 7u);
  EXPECT_EQ(r.check_invariants(), "");
  // The new leaves hold the cut pieces.
  EXPECT_EQ(r.span(out[0][0]).rle_len(), 3u);
  EXPECT_EQ(r.span(out[0][1]).rle_len(), 5u);
  // A delete that starts at the span's first element keeps it in place.
  CrdtRope h;
  h.push(span(1, 4));
  auto o2 = h.delete_range(ID{9, 0}, 0, 4, false, n.fn());
  EXPECT_EQ(o2[0].size(), 0u);
  EXPECT_EQ(h.active_len(), 0u);
}

TEST(TrackerRope, DeleteAcrossSpansSkipsInvisibleOnes) {
  CrdtRope r;
  r.push(span(1, 4, false));
  FugueSpan gone = span(2, 3, false);
  gone.status.delete_times = 1;
  r.push(gone);
  FugueSpan fut = span(3, 2, false);
  fut.status.future = true;
  r.push(fut);
  r.push(span(4, 5, false));
  Notified n;
  // Positions 2..5: two of span 1, two of span 4.
  auto out = r.delete_range(ID{9, 10}, 2, 4, false, n.fn());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 2u);
  EXPECT_EQ(n.lens, (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(n.ids[0].peer, 1u);
  EXPECT_EQ(n.ids[1].peer, 4u);
  auto s = spans(r);
  ASSERT_EQ(s.size(), 6u);
  // start_id advanced only over visible pieces.
  EXPECT_EQ(s[1].real_id, CompactId::make(9, 10));
  EXPECT_FALSE(s[2].real_id.has_value());
  EXPECT_FALSE(s[3].real_id.has_value());
  EXPECT_EQ(s[4].real_id, CompactId::make(9, 12));
  EXPECT_EQ(s[2].status.delete_times, 1);  // untouched, still 1
  EXPECT_TRUE(s[3].status.future);
  EXPECT_EQ(r.active_len(), 5u);
  EXPECT_EQ(r.check_invariants(), "");
}

TEST(TrackerRope, ReversedDeleteGoesFromTheBack) {
  CrdtRope r;
  r.push(span(1, 10, false));
  Notified n;
  auto out = r.delete_range(ID{9, 10}, 4, 3, true, n.fn());
  EXPECT_EQ(out.size(), 3u);
  EXPECT_EQ(n.lens, (std::vector<uint32_t>{1, 1, 1}));
  EXPECT_EQ(n.ids[0].counter, 6);
  EXPECT_EQ(n.ids[1].counter, 5);
  EXPECT_EQ(n.ids[2].counter, 4);
  // The element at pos + i received counter start + i, so the three deleted
  // pieces continue each other and join again.
  size_t deleted = 0;
  for (const FugueSpan& s : spans(r)) {
    if (s.status.delete_times == 0) continue;
    deleted += s.rle_len();
    EXPECT_EQ(s.real_id->counter(), 10 + (s.id.counter - 4));
  }
  EXPECT_EQ(deleted, 3u);
  EXPECT_EQ(r.active_len(), 7u);
}

TEST(TrackerRope, CompareLeafOrder) {
  CrdtRope r;
  std::vector<LeafIndex> leaves;
  for (PeerID p = 1; p <= 200; ++p) leaves.push_back(r.push(span(p, 1)));
  ASSERT_GT(r.tree().depth(), 3u);  // leaves under different parents
  EXPECT_EQ(r.compare_leaf_order(std::nullopt, std::nullopt), std::strong_ordering::equal);
  EXPECT_EQ(r.compare_leaf_order(std::nullopt, leaves[0]), std::strong_ordering::greater);
  EXPECT_EQ(r.compare_leaf_order(leaves[0], std::nullopt), std::strong_ordering::less);
  for (size_t a : {0, 5, 11, 12, 100, 199})
    for (size_t b : {0, 6, 13, 150, 199}) {
      EXPECT_EQ(r.compare_leaf_order(leaves[a], leaves[b]), a <=> b) << a << " " << b;
    }
}

TEST(TrackerRope, DiffWalk) {
  CrdtRope r;
  r.push(span(1, 5));
  FugueSpan del = span(2, 3);
  del.diff_status = Status{false, 1};
  r.push(del);
  r.push(span(3, 4));
  FugueSpan ins = span(4, 2);
  ins.id.lamport = 77;
  ins.status.future = true;
  ins.diff_status = Status{false, 0};
  r.push(ins);
  FugueSpan both = span(5, 6);
  both.status.delete_times = 1;
  both.diff_status = Status{false, 2};
  r.push(both);
  std::vector<CrdtRopeDelta> got;
  auto it = r.get_diff();
  while (auto d = it.next()) got.push_back(*d);
  std::vector<CrdtRopeDelta> want{RopeRetain{5}, RopeDelete{3}, RopeRetain{4},
                                  RopeInsert{77, RichtextChunk::text(0, 2), ID{4, 0}}};
  EXPECT_EQ(got, want);
  // No marks: nothing.
  CrdtRope plain;
  plain.push(span(1, 5));
  EXPECT_FALSE(plain.get_diff().next().has_value());
  // An inserted span without a real id is a broken invariant.
  CrdtRope bad;
  FugueSpan x = span(1, 2, false);
  x.status.future = true;
  x.diff_status = Status{};
  bad.push(x);
  auto bit = bad.get_diff();
  EXPECT_THROW(bit.next(), InvariantViolation);
}

SpanStatusUpdate upd(LeafIndex l, PeerID p, Counter a, Counter b, std::optional<bool> fut,
                     int16_t delta) {
  return SpanStatusUpdate{l, IdSpan{p, {a, b}}, fut, delta};
}

TEST(TrackerRope, StatusUpdatesCutSpansWherePartlyCovered) {
  struct Case {
    const char* name;
    std::vector<std::pair<Counter, Counter>> ranges;  // counter spans of the updates
    std::vector<uint32_t> pieces;                     // resulting span lengths
    std::vector<int16_t> deletes;                     // delete_times per piece
  } cases[] = {
      {"middle", {{3, 5}}, {3, 2, 5}, {0, 1, 0}},
      {"overlap", {{0, 4}, {2, 6}}, {2, 2, 2, 4}, {1, 2, 1, 0}},
      {"backward span 7..3 covers 4..7", {{7, 3}}, {4, 4, 2}, {0, 1, 0}},
      {"whole", {{0, 10}}, {10}, {1}},
      {"outside", {{20, 30}}, {10}, {0}},
  };
  for (const Case& c : cases) {
    CrdtRope r;
    LeafIndex l = r.push(span(1, 10));
    std::vector<SpanStatusUpdate> u;
    for (auto [a, b] : c.ranges) u.push_back(upd(l, 1, a, b, std::nullopt, 1));
    std::vector<LeafIndex> created = r.apply_status_updates(u, false);
    auto s = spans(r);
    ASSERT_EQ(s.size(), c.pieces.size()) << c.name;
    for (size_t i = 0; i < s.size(); ++i) {
      EXPECT_EQ(s[i].rle_len(), c.pieces[i]) << c.name << " " << i;
      EXPECT_EQ(s[i].status.delete_times, c.deletes[i]) << c.name << " " << i;
    }
    EXPECT_EQ(created.size(), c.pieces.size() - 1) << c.name;
    EXPECT_EQ(r.check_invariants(), "") << c.name;
  }
}

TEST(TrackerRope, DiffStatusUpdatesAndClearing) {
  CrdtRope r;
  std::vector<LeafIndex> leaves;
  for (PeerID p = 1; p <= 60; ++p) leaves.push_back(r.push(span(p, 3)));
  std::vector<SpanStatusUpdate> u;
  // Cancelling updates leave diff_status equal to status: no change reported.
  u.push_back(upd(leaves[2], 3, 0, 3, std::nullopt, 1));
  u.push_back(upd(leaves[2], 3, 0, 3, std::nullopt, -1));
  u.push_back(upd(leaves[40], 41, 1, 2, std::nullopt, 1));
  r.apply_status_updates(u, true);
  EXPECT_EQ(r.active_len(), 180u);  // status untouched
  EXPECT_EQ(r.changed_count(), 2u);
  std::vector<CrdtRopeDelta> got;
  auto it = r.get_diff();
  while (auto d = it.next()) got.push_back(*d);
  EXPECT_EQ(got, (std::vector<CrdtRopeDelta>{RopeRetain{121}, RopeDelete{1}}));
  r.clear_diff_status();
  EXPECT_EQ(r.changed_count(), 0u);
  for (const FugueSpan& s : r.tree()) EXPECT_FALSE(s.diff_status.has_value());
  EXPECT_EQ(r.check_invariants(), "");
  // Two cut pieces that end with equal marks join again and count once.
  CrdtRope j;
  LeafIndex jl = j.push(span(1, 6));
  j.apply_status_updates({upd(jl, 1, 0, 3, std::nullopt, 1), upd(jl, 1, 3, 6, std::nullopt, 1)},
                         true);
  EXPECT_EQ(j.tree().size(), 1u);
  EXPECT_EQ(j.changed_count(), 1u);
  EXPECT_EQ(j.check_invariants(), "");
  // Edits after a diff drop its marks instead of cutting marked spans.
  j.delete_range(ID{5, 0}, 2, 2, false, [](const FugueSpan&) {});
  EXPECT_EQ(j.changed_count(), 0u);
  EXPECT_EQ(j.check_invariants(), "");
  // Future flags and deletions move the real status and the visible length.
  r.apply_status_updates({upd(leaves[0], 1, 0, 3, true, 0), upd(leaves[5], 6, 0, 2, false, 1)},
                         false);
  EXPECT_EQ(r.active_len(), 180u - 3 - 2);
  EXPECT_EQ(r.check_invariants(), "");
}

// Status changes of whole spans are applied in place, one by one; those that
// cut a span go through the batch. Random batches of both kinds, handed over
// either way, must give every element the status a per-element model gives it.
TEST(TrackerRope, WholeSpanUpdatesInPlaceMatchTheBatchAndAModel) {
  struct Elem {
    PeerID peer;
    Counter counter;
    Status status;
    std::optional<Status> diff;
    bool operator==(const Elem&) const = default;
  };
  auto flatten = [](const CrdtRope& r) {
    std::vector<Elem> out;
    for (const FugueSpan& s : r.tree())
      for (uint32_t i = 0; i < s.rle_len(); ++i)
        out.push_back(Elem{s.id.peer, s.id.counter + Counter(i), s.status, s.diff_status});
    return out;
  };
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const bool on_diff = seed % 2 == 0;
    const size_t n = 20 + rng() % 60;
    std::vector<uint32_t> lens;
    for (size_t i = 0; i < n; ++i) lens.push_back(1 + rng() % 4);
    CrdtRope batch, in_place;
    std::vector<LeafIndex> leaves;
    for (size_t i = 0; i < n; ++i) {
      leaves.push_back(batch.push(span(PeerID(i + 1), lens[i])));
      ASSERT_EQ(in_place.push(span(PeerID(i + 1), lens[i])), leaves.back());
    }
    std::vector<Elem> model = flatten(batch);
    // Each element's future flag changes at most once per batch (as in a
    // move between versions); delete counts change freely.
    std::vector<bool> future_set(n, false);
    std::vector<SpanStatusUpdate> updates;
    for (size_t k = 0, m = 1 + rng() % 12; k < m; ++k) {
      size_t i = rng() % n;
      int64_t len = lens[i];
      int64_t a = rng() % 3 == 0 ? int64_t(rng() % len) : 0;
      int64_t b = rng() % 3 == 0 ? a + 1 + int64_t(rng() % (len - a)) : len;
      if (rng() % 8 == 0) a = b = len + 2;  // names nothing of the span
      std::optional<bool> fut;
      if (!future_set[i] && rng() % 2 == 0) {
        fut = rng() % 2 == 0;
        future_set[i] = true;
      }
      int16_t delta = int16_t(int(rng() % 4) - 1);
      IdSpan ids{PeerID(i + 1), {Counter(a), Counter(b)}};
      if (rng() % 4 == 0 && b > a) ids.counter = {Counter(b - 1), Counter(a - 1)};  // backwards
      updates.push_back(SpanStatusUpdate{leaves[i], ids, fut, delta});
      for (Elem& e : model) {
        if (e.peer != PeerID(i + 1) || e.counter < a || e.counter >= b) continue;
        if (on_diff && !e.diff) e.diff = e.status;
        Status& st = on_diff ? *e.diff : e.status;
        if (fut) st.future = *fut;
        st.add_delete_times(delta);
      }
    }
    std::vector<SpanStatusUpdate> copy = updates;
    batch.apply_status_updates(copy, on_diff);
    std::vector<SpanStatusUpdate> rest;
    for (const SpanStatusUpdate& u : updates)
      if (!in_place.apply_whole_span_update(u, on_diff)) rest.push_back(u);
    in_place.apply_status_updates(rest, on_diff);

    size_t visible = 0;
    for (const Elem& e : model) visible += e.status.is_activated() ? 1 : 0;
    for (const CrdtRope* r : {&batch, &in_place}) {
      const char* name = r == &batch ? "batch" : "in place";
      EXPECT_EQ(flatten(*r), model) << "seed " << seed << " " << name;
      EXPECT_EQ(r->active_len(), visible) << "seed " << seed << " " << name;
      size_t marked = 0;
      for (const FugueSpan& s : r->tree()) marked += s.diff_status ? 1 : 0;
      EXPECT_EQ(r->changed_count(), marked) << "seed " << seed << " " << name;
      EXPECT_EQ(r->check_invariants(), "") << "seed " << seed << " " << name;
    }
  }
}

}  // namespace
}  // namespace kesu
