// Moves in the tracker: a move removes the element's place and inserts an
// anchor with the move's id; concurrent moves replayed in either order give
// the same sequence.
#include <gtest/gtest.h>

#include "tracker_test_util.h"

namespace kesu {
namespace {

// The element a visible entry stands for: an anchor leads through its move
// record to the id it replaced, until an inserted element is reached.
ID element_of(const Tracker& t, ID id) {
  for (int guard = 0; guard < 64; ++guard) {
    auto it = t.id_to_cursor().iter(IdSpan{id.peer, {id.counter, id.counter + 1}});
    auto item = it.next();
    if (!item) break;
    auto* m = std::get_if<IdMoveItem>(&*item);
    if (!m) return id;
    id = m->from;
  }
  return id;
}

// The list as a user reads it: inserted elements are letters by counter of
// peer 1; an element with several visible anchors stands at the one of the
// winning move (greatest Lamport, then peer).
std::string read(const Tracker& t) {
  struct Entry {
    ID elem;
    IdLp move;
  };
  std::vector<Entry> entries;
  for (const FugueSpan& s : t.rope().tree()) {
    if (!s.is_activated() || s.id.peer == kPlaceholderPeer) continue;
    for (uint32_t i = 0; i < s.rle_len(); ++i) {
      ID id{s.id.peer, s.id.counter + Counter(i)};
      entries.push_back({element_of(t, id), s.content.is_anchor() ? s.id.idlp() : IdLp{}});
    }
  }
  std::string out;
  for (const Entry& e : entries) {
    bool best = true;
    for (const Entry& o : entries)
      if (o.elem == e.elem && e.move < o.move) best = false;
    if (best) out += char('a' + e.elem.counter);
  }
  return out;
}

Tracker abcd() {
  Tracker t;
  t.insert(IdFull{1, 0, 0}, 0, RichtextChunk::text(0, 4));
  return t;
}

TEST(TrackerMove, MovingTheThirdElementToTheFront) {
  Tracker t = abcd();
  t.move_item(IdFull{1, 4, 4}, ID{1, 2}, 2, 0);
  EXPECT_EQ(read(t), "cabd");
  EXPECT_EQ(testing::visible_ids(t), (std::vector<ID>{{1, 4}, {1, 0}, {1, 1}, {1, 3}}));
  EXPECT_EQ(t.current_version(), (VersionVector{{1, 5}}));
  // Moving it again records the previous anchor as the moved-from id.
  t.move_item(IdFull{1, 5, 5}, ID{1, 4}, 0, 3);
  EXPECT_EQ(read(t), "abdc");
  auto it = t.id_to_cursor().iter(IdSpan{1, {5, 6}});
  auto item = it.next();
  ASSERT_TRUE(item && std::holds_alternative<IdMoveItem>(*item));
  EXPECT_EQ(std::get<IdMoveItem>(*item).from, (ID{1, 4}));
  // Going back before the moves shows the element at its old place.
  t.checkout_to(VersionVector{{1, 4}}, false);
  EXPECT_EQ(read(t), "abcd");
  // Replaying a move again only brings the version forward.
  t.move_item(IdFull{1, 4, 4}, ID{1, 2}, 2, 0);
  EXPECT_EQ(read(t), "cabd");
  EXPECT_EQ(t.current_version(), (VersionVector{{1, 5}}));
}

TEST(TrackerMove, ConcurrentMovesOfOneElementConvergeInEitherOrder) {
  const VersionVector base{{1, 4}};
  const VersionVector all{{1, 4}, {2, 1}, {3, 1}};
  struct Move {
    IdFull op;
    size_t to;
  } m2{{2, 4, 0}, 0}, m3{{3, 4, 0}, 3};
  auto replay = [&](std::vector<Move> order) {
    Tracker t = abcd();
    for (const Move& m : order) {
      t.checkout_to(base, false);
      t.move_item(m.op, ID{1, 2}, 2, m.to);
    }
    t.checkout_to(all, false);
    return t;
  };
  Tracker a = replay({m2, m3}), b = replay({m3, m2});
  EXPECT_EQ(testing::visible_ids(a), testing::visible_ids(b));
  EXPECT_EQ(read(a), read(b));
  EXPECT_EQ(read(a), "abdc");  // equal Lamports: the greater peer wins
  EXPECT_TRUE(testing::index_matches_rope(a));
}

}  // namespace
}  // namespace kesu
