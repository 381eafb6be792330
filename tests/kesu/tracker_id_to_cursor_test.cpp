// The id-to-cursor map: fragments, insert sets in both forms, lookups and iteration.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kesu/arena/invariant.h"
#include "kesu/tracker/id_to_cursor.h"

namespace kesu {
namespace {

LeafIndex L(uint32_t n) {
  return LeafIndex{ArenaSlotIndex{n, 1}};
}

std::vector<std::pair<Counter, uint32_t>> fragment_table(const IdToCursor& m, PeerID p) {
  std::vector<std::pair<Counter, uint32_t>> out;
  for (const IdFragment& f : *m.fragments(p)) out.emplace_back(f.counter, f.cursor.rle_len());
  return out;
}

std::vector<IdIterItem> collect(IdToCursorIter it) {
  std::vector<IdIterItem> out;
  while (auto x = it.next()) out.push_back(*x);
  return out;
}

IdSpan S(PeerID p, Counter a, Counter b) {
  return IdSpan{p, {a, b}};
}

// The fragment list's storage: elements stay where they were built while
// the list grows over several blocks, and each is destroyed exactly once,
// whether the list is cleared, moved from or dropped.
TEST(TrackerIdToCursor, BlockListKeepsElementsInPlace) {
  static int live = 0;
  struct Counted {
    explicit Counted(int v) : v(v) { ++live; }
    Counted(Counted&& o) noexcept : v(o.v) { ++live; }
    ~Counted() { --live; }
    int v;
  };
  {
    BlockList<Counted, 2> list;  // blocks of 4
    std::vector<const Counted*> where;
    for (int i = 0; i < 11; ++i) {
      if (i % 2 == 0) {
        list.push_back(Counted(i));
      } else {
        list.push_back_made([&] { return Counted(i); });
      }
      where.push_back(&list.back());
    }
    EXPECT_EQ(live, 11);
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].v, int(i));
      EXPECT_EQ(&list[i], where[i]);
    }
    int sum = 0;
    for (const Counted& c : list) sum += c.v;
    EXPECT_EQ(sum, 55);
    BlockList<Counted, 2> moved(std::move(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(moved.size(), 11u);
    EXPECT_EQ(&moved.front(), where[0]);
    EXPECT_EQ(live, 11);
    list = std::move(moved);
    EXPECT_EQ(list.back().v, 10);
    list.clear();
    EXPECT_EQ(live, 0);
    list.push_back(Counted(1));
    EXPECT_EQ(live, 1);
  }
  EXPECT_EQ(live, 0);
}

TEST(TrackerIdToCursor, FragmentTables) {
  // A long insert is cut into fragments of 256.
  IdToCursor m;
  m.push(ID{1, 10}, IdCursor::insert(L(1), 600));
  EXPECT_EQ(fragment_table(m, 1),
            (std::vector<std::pair<Counter, uint32_t>>{{10, 256}, {266, 256}, {522, 88}}));
  EXPECT_EQ(m.get_insert(ID{1, 609}), L(1));
  EXPECT_EQ(m.get_insert(ID{1, 610}), std::nullopt);

  // Single inserts into one leaf grow a fragment up to 255 ids.
  IdToCursor s;
  for (Counter c = 0; c < 300; ++c) s.push(ID{2, c}, IdCursor::insert(L(4), 1));
  EXPECT_EQ(fragment_table(s, 2), (std::vector<std::pair<Counter, uint32_t>>{{0, 255}, {255, 45}}));

  // Another leaf, or a gap in the counters, starts a new fragment.
  IdToCursor t;
  t.push(ID{3, 0}, IdCursor::insert(L(1), 1));
  t.push(ID{3, 1}, IdCursor::insert(L(1), 1));
  t.push(ID{3, 2}, IdCursor::insert(L(2), 1));
  t.push(ID{3, 4}, IdCursor::insert(L(2), 1));
  EXPECT_EQ(fragment_table(t, 3),
            (std::vector<std::pair<Counter, uint32_t>>{{0, 2}, {2, 1}, {4, 1}}));
}

// The insert shortcut keeps the records push keeps: runs typed into one leaf
// grow a record up to 255 ids, long runs are cut at 256, and a delete, a
// gap or another leaf starts a new record.
TEST(TrackerIdToCursor, PushInsertKeepsTheRecordsOfPush) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    IdToCursor general, shortcut;
    Counter c = 0;
    for (int k = 0; k < 400; ++k) {
      c = Counter(c + (rng() % 10 == 0 ? 1 + rng() % 3 : 0));
      if (rng() % 8 == 0) {
        IdCursor del = IdCursor::del(S(9, Counter(rng() % 50), Counter(rng() % 50 + 60)));
        uint32_t n = del.rle_len();
        general.push(ID{1, c}, IdCursor::del(del.as_delete()));
        shortcut.push(ID{1, c}, std::move(del));
        c = Counter(c + n);
        continue;
      }
      uint32_t len = rng() % 6 == 0 ? 1 + rng() % 600 : 1;
      LeafIndex leaf = L(1 + rng() % 3);
      general.push(ID{1, c}, IdCursor::insert(leaf, len));
      shortcut.push_insert(ID{1, c}, leaf, len);
      c = Counter(c + len);
    }
    ASSERT_EQ(fragment_table(shortcut, 1), fragment_table(general, 1)) << "seed " << seed;
    const FragmentList& a = *general.fragments(1);
    const FragmentList& b = *shortcut.fragments(1);
    for (size_t i = 0; i < a.size(); ++i) {
      ASSERT_EQ(a[i].cursor.is_insert(), b[i].cursor.is_insert()) << "seed " << seed;
      if (a[i].cursor.is_insert()) {
        EXPECT_EQ(a[i].cursor.as_insert().to_pieces(), b[i].cursor.as_insert().to_pieces())
            << "seed " << seed << " record " << i;
      } else {
        EXPECT_EQ(a[i].cursor.as_delete(), b[i].cursor.as_delete()) << "seed " << seed;
      }
    }
  }
}

TEST(TrackerIdToCursor, DeleteRecordsMergeByIdSpanRule) {
  IdToCursor m;
  // A reversed delete collects one backward span per position.
  m.push(ID{1, 0}, IdCursor::del(S(9, 22, 21)));
  m.push(ID{1, 1}, IdCursor::del(S(9, 21, 20)));
  m.push(ID{1, 2}, IdCursor::del(S(9, 20, 19)));
  ASSERT_EQ(m.fragments(1)->size(), 1u);
  EXPECT_EQ(m.fragments(1)->front().cursor.as_delete(), S(9, 22, 19));
  // A forward span does not continue a backward one; moves never merge.
  m.push(ID{1, 3}, IdCursor::del(S(9, 19, 21)));
  m.push(ID{1, 5}, IdCursor::move(ID{9, 3}, L(2)));
  m.push(ID{1, 6}, IdCursor::move(ID{9, 4}, L(2)));
  EXPECT_EQ(fragment_table(m, 1),
            (std::vector<std::pair<Counter, uint32_t>>{{0, 3}, {3, 2}, {5, 1}, {6, 1}}));
  EXPECT_EQ(m.get_insert(ID{1, 5}), L(2));
  EXPECT_THROW(m.get_insert(ID{1, 0}), InvariantViolation);
}

TEST(TrackerIdToCursor, LookupsOutsideTheRecords) {
  IdToCursor m;
  EXPECT_EQ(m.get_insert(ID{5, 0}), std::nullopt);  // unknown peer
  m.push(ID{5, 10}, IdCursor::insert(L(1), 5));
  m.push(ID{5, 20}, IdCursor::insert(L(2), 5));
  EXPECT_EQ(m.get_insert(ID{5, 14}), L(1));
  EXPECT_EQ(m.get_insert(ID{5, 15}), std::nullopt);  // gap between fragments
  EXPECT_EQ(m.get_insert(ID{5, 20}), L(2));
  EXPECT_EQ(m.get_insert(ID{5, 25}), std::nullopt);  // past the last fragment
  EXPECT_EQ(m.get_insert(ID{5, 3}), std::nullopt);   // before the first fragment
}

// Locating a counter agrees with a linear scan for lists of every length,
// with gaps between fragments, for counters before, inside, between and after
// them (the search starts from the end of the list).
TEST(TrackerIdToCursor, LocateAgreesWithALinearScan) {
  std::mt19937 rng(11);
  for (size_t n = 0; n < 70; ++n) {
    FragmentList frags;
    Counter c = Counter(rng() % 5);
    for (size_t i = 0; i < n; ++i) {
      uint32_t len = 1 + rng() % 3;
      frags.push_back(IdFragment{c, IdCursor::insert(L(1), len)});
      c = Counter(c + len + rng() % 3);
    }
    for (Counter q = -1; q <= c + 1; ++q) {
      std::optional<size_t> want;
      for (size_t i = 0; i < frags.size(); ++i)
        if (frags[i].counter <= q) want = i;
      ASSERT_EQ(IdToCursor::locate(frags, q), want) << "n " << n << " counter " << q;
    }
  }
}

TEST(TrackerIdToCursor, SmallSetUpdates) {
  struct Case {
    uint32_t from, to;
    std::vector<InsertPiece> before, after;
  } cases[] = {
      {2, 4, {{L(1), 5}}, {{L(1), 2}, {L(2), 2}, {L(1), 1}}},
      {0, 5, {{L(1), 5}}, {{L(2), 5}}},
      {3, 3, {{L(1), 5}}, {{L(1), 5}}},
      {0, 2, {{L(1), 5}}, {{L(2), 2}, {L(1), 3}}},
      {3, 5, {{L(1), 5}}, {{L(1), 3}, {L(2), 2}}},
      // Crossing pieces: the head of the first, the tail of the last survive.
      {1, 6, {{L(1), 2}, {L(3), 2}, {L(4), 3}}, {{L(1), 1}, {L(2), 5}, {L(4), 1}}},
      // Neighbours naming the same leaf are not joined.
      {2, 4, {{L(2), 2}, {L(1), 2}, {L(3), 1}}, {{L(2), 2}, {L(2), 2}, {L(3), 1}}},
  };
  for (const Case& c : cases) {
    InsertSet s(c.before);
    uint32_t len = s.len();
    s.update(c.from, c.to, L(2));
    EXPECT_EQ(s.to_pieces(), c.after) << c.from << ".." << c.to;
    EXPECT_EQ(s.len(), len);
    EXPECT_TRUE(s.is_small());
  }
  InsertSet s(InsertPiece{L(1), 5});
  EXPECT_THROW(s.update(3, 2, L(2)), InvariantViolation);
  EXPECT_THROW(s.update(3, 6, L(2)), InvariantViolation);
}

// A set switches to the tree form when updated while holding 32 pieces and
// answers every lookup as before.
TEST(TrackerIdToCursor, LargeFormAgreesWithAPlainModel) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<LeafIndex> model;
    std::vector<InsertPiece> pieces;
    for (uint32_t i = 0; i < 32; ++i) {
      uint32_t n = 1 + rng() % 5;
      pieces.push_back({L(100 + i), n});
      for (uint32_t k = 0; k < n; ++k) model.push_back(L(100 + i));
    }
    InsertSet s(pieces);
    uint32_t len = s.len();
    for (int step = 0; step < 60; ++step) {
      uint32_t a = rng() % (len + 1), b = rng() % (len + 1);
      if (a > b) std::swap(a, b);
      LeafIndex nl = L(rng() % 8);
      bool small_before = s.is_small();
      size_t pieces_before = s.to_pieces().size();
      s.update(a, b, nl);
      if (small_before) {
        EXPECT_EQ(s.is_small(), pieces_before < 32);
      }
      for (uint32_t k = a; k < b; ++k) model[k] = nl;
      ASSERT_EQ(s.len(), len);
      for (uint32_t k = 0; k < len; ++k) ASSERT_EQ(s.leaf_at(k), model[k]) << round << " " << k;
      // Iteration over a sub-range yields exactly the model's runs.
      uint32_t lo = rng() % (len + 1), hi = rng() % (len + 1);
      if (lo > hi) std::swap(lo, hi);
      auto it = s.iter_range(9, 1000, Counter(1000 + lo), Counter(1000 + hi));
      uint32_t next = lo;
      while (auto item = it.next()) {
        ASSERT_EQ(item->ids.peer, 9u);
        ASSERT_EQ(item->ids.counter.start, Counter(1000 + next));
        for (Counter c = item->ids.counter.start; c < item->ids.counter.end; ++c)
          ASSERT_EQ(model[size_t(c - 1000)], item->leaf);
        next = uint32_t(item->ids.counter.end - 1000);
      }
      ASSERT_EQ(next, hi);
    }
    EXPECT_FALSE(s.is_small());
  }
  // 31 pieces stay small; 32 switch even on an empty update.
  for (uint32_t n : {31u, 32u}) {
    std::vector<InsertPiece> pieces;
    for (uint32_t i = 0; i < n; ++i) pieces.push_back({L(i), 2});
    InsertSet s(pieces);
    s.update(4, 4, L(99));
    EXPECT_EQ(s.is_small(), n == 31);
    EXPECT_EQ(s.leaf_at(2 * n - 1), L(n - 1));
  }
}

TEST(TrackerIdToCursor, UpdateInsertAcrossFragments) {
  IdToCursor m;
  m.push(ID{1, 0}, IdCursor::insert(L(1), 300));  // fragments [0,256) and [256,300)
  m.update_insert(S(1, 250, 260), L(2));
  for (Counter c : {0, 249, 260, 299}) EXPECT_EQ(m.get_insert(ID{1, c}), L(1)) << c;
  for (Counter c : {250, 255, 256, 259}) EXPECT_EQ(m.get_insert(ID{1, c}), L(2)) << c;
  // Spans not wholly covered by insert records are broken invariants.
  EXPECT_THROW(m.update_insert(S(1, 290, 310), L(3)), InvariantViolation);
  EXPECT_THROW(m.update_insert(S(7, 0, 1), L(3)), InvariantViolation);
  IdToCursor d;
  d.push(ID{1, 0}, IdCursor::del(S(2, 0, 3)));
  EXPECT_THROW(d.update_insert(S(1, 0, 1), L(3)), InvariantViolation);
  IdToCursor mv;
  mv.push(ID{1, 0}, IdCursor::move(ID{2, 0}, L(1)));
  try {
    mv.update_insert(S(1, 0, 1), L(3));
    FAIL();
  } catch (const InvariantViolation& e) {
    EXPECT_EQ(std::string(e.what()),
              "internal error: entered unreachable code: update_insert on Move");
  }
}

TEST(TrackerIdToCursor, IterationOverMixedRecords) {
  IdToCursor m;
  m.push(ID{1, 0}, IdCursor::insert(L(1), 3));
  m.push(ID{1, 3}, IdCursor::del(S(2, 14, 9)));  // backward: 14 down to 10
  m.push(ID{1, 8}, IdCursor::move(ID{2, 30}, L(5)));
  m.push(ID{1, 9}, IdCursor::insert(L(6), 4));
  // A backward span 10 -> 7 covers 8, 9 and 10.
  auto items = collect(m.iter(S(1, 10, 7)));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(std::get<IdMoveItem>(items[0]), (IdMoveItem{ID{1, 8}, ID{2, 30}, L(5)}));
  EXPECT_EQ(std::get<IdInsertItem>(items[1]), (IdInsertItem{S(1, 9, 11), L(6)}));
  // A window inside the delete record slices its targets in their own direction.
  items = collect(m.iter(S(1, 2, 6)));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(std::get<IdInsertItem>(items[0]), (IdInsertItem{S(1, 2, 3), L(1)}));
  EXPECT_EQ(std::get<IdDeleteItem>(items[1]).targets, S(2, 14, 11));
  items = collect(m.iter(S(1, 0, 20)));
  EXPECT_EQ(items.size(), 4u);
  EXPECT_TRUE(collect(m.iter(S(8, 0, 20))).empty());
  EXPECT_TRUE(collect(m.iter(S(1, 13, 20))).empty());
}

}  // namespace
}  // namespace kesu
