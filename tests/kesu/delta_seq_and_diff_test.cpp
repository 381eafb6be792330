// SeqDelta::push canonical form, and composing and emptiness of event diffs.
#include <gtest/gtest.h>

#include "delta_test_model.h"
#include "kesu/delta/event_diff.h"
#include "kesu/delta/seq_delta.h"

namespace kesu {
namespace {

using Seq = SeqDelta<int>;
using Item = Seq::Item;

Item retain(size_t n, int meta = 0) {
  return Item{Item::Retain{n, meta}};
}
Item del(size_t n) {
  return Item{Item::Delete{n, 0}};
}
Item range(uint32_t s, uint32_t e, PeerID peer, Counter c, Lamport l) {
  return Item{Item::Insert{ElemRange{s, e}, IdFull{peer, l, c}}};
}
Item single(int v) {
  return Item{Item::Insert{KesuValue(v), IdFull{1, 0, 0}}};
}

TEST(SeqDeltaPush, Table) {
  struct Case {
    const char* name;
    std::vector<Item> pushes;
    std::vector<Item> want;
  };
  std::vector<Case> cases = {
      {"deletes join", {del(2), del(3)}, {del(5)}},
      {"insert moves before a final delete",
       {retain(4), del(2), range(0, 3, 1, 0, 0)},
       {retain(4), range(0, 3, 1, 0, 0), del(2)}},
      {"insert joins the insert before the delete",
       {range(0, 3, 1, 0, 10), del(2), range(3, 5, 1, 3, 13)},
       {range(0, 5, 1, 0, 10), del(2)}},
      {"single value before a lone delete", {del(1), single(7)}, {single(7), del(1)}},
      {"different peers stay apart",
       {range(0, 2, 1, 0, 0), range(2, 4, 2, 2, 2)},
       {range(0, 2, 1, 0, 0), range(2, 4, 2, 2, 2)}},
      {"counter gap stays apart",
       {range(0, 2, 1, 0, 0), range(2, 4, 1, 3, 2)},
       {range(0, 2, 1, 0, 0), range(2, 4, 1, 3, 2)}},
      {"lamport gap stays apart",
       {range(0, 2, 1, 0, 0), range(2, 4, 1, 2, 3)},
       {range(0, 2, 1, 0, 0), range(2, 4, 1, 2, 3)}},
      {"range gap stays apart",
       {range(0, 2, 1, 0, 0), range(3, 5, 1, 2, 2)},
       {range(0, 2, 1, 0, 0), range(3, 5, 1, 2, 2)}},
      {"retains join keeping the first's fields", {retain(3, 1), retain(5, 2)}, {retain(8, 1)}},
      {"single values never join", {single(1), single(2)}, {single(1), single(2)}},
      {"retain after a delete is appended", {del(1), retain(2)}, {del(1), retain(2)}},
      {"delete after an insert is appended", {single(1), del(2), del(1)}, {single(1), del(3)}},
  };
  for (auto& c : cases) {
    Seq s;
    for (auto& p : c.pushes) s.push(p);
    EXPECT_TRUE(s.items() == c.want) << c.name;
  }
}

using Diff = EventDiff<int>;

TEST(EventDiffCompose, EachKindByItsRule) {
  auto r = Diff::compose(Diff::counter(2.5), Diff::counter(-1));
  ASSERT_TRUE(r.ok());
  EXPECT_DOUBLE_EQ(std::get<double>(r->get()), 1.5);

  MapDelta m1, m2;
  m1.updated[InternalString("k")] = MapValue{KesuValue(1), 5, 1};
  m2.updated[InternalString("k")] = MapValue{KesuValue(2), 5, 2};
  auto mr = Diff::compose(Diff(Diff::Variant(m1)), Diff(Diff::Variant(m2)));
  ASSERT_TRUE(mr.ok());
  EXPECT_EQ(std::get<MapDelta>(mr->get()).updated.at(InternalString("k")).peer, 2u);

  // The first diff comes back when the kinds differ.
  TextDelta t;
  t.push_insert(StringSlice::owned("x"));
  auto bad = Diff::compose(Diff(Diff::Variant(m1)), Diff(std::move(t)));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), Diff::Kind::Map);

  TextDelta a, b;
  a.push_insert(StringSlice::owned("ab"));
  b.push_retain(1).push_insert(StringSlice::owned("X"));
  auto tr = Diff::compose(Diff(std::move(a)), Diff(std::move(b)));
  ASSERT_TRUE(tr.ok());
  EXPECT_EQ(std::get<TextDelta>(tr->get()).len(), 3u);

  auto tree = Diff::compose(Diff(Diff::Variant(TreeDiff<int>{{1, 2}})),
                            Diff(Diff::Variant(TreeDiff<int>{{3}})));
  ASSERT_TRUE(tree.ok());
  EXPECT_EQ(std::get<TreeDiff<int>>(tree->get()).items, (std::vector<int>{1, 2, 3}));
}

TEST(MapDeltaCompose, LastWriterByLamportThenPeer) {
  struct Case {
    Lamport l;
    PeerID p;
    int want;
  } cases[] = {{5, 2, 2}, {5, 1, 1}, {4, 9, 1}, {6, 0, 2}};
  for (auto& c : cases) {
    MapDelta a, b;
    a.updated[InternalString("k")] = MapValue{KesuValue(1), 5, 1};
    b.updated[InternalString("k")] = MapValue{KesuValue(2), c.l, c.p};
    b.updated[InternalString("new")] = MapValue{std::nullopt, 0, 0};
    MapDelta r = MapDelta::compose(a, b);
    EXPECT_EQ(r.updated.at(InternalString("k")).value->as_i64(), c.want) << c.l << "@" << c.p;
    EXPECT_EQ(r.updated.size(), 2u);
  }
}

TEST(EventDiffEmpty, Table) {
  EXPECT_TRUE(Diff::counter(1e-17).is_empty());
  EXPECT_FALSE(Diff::counter(1e-15).is_empty());
  EXPECT_FALSE(Diff::counter(-1e-15).is_empty());
  EXPECT_TRUE(Diff(ListDelta()).is_empty());
  ListDelta l;
  l.push_retain(3);
  EXPECT_FALSE(Diff(std::move(l)).is_empty()) << "a rope with items is not empty";
  EXPECT_TRUE(Diff(Diff::Variant(MapDelta{})).is_empty());
  EXPECT_TRUE(Diff(Diff::Variant(TreeDiff<int>{})).is_empty());
  EXPECT_TRUE(Diff(Diff::Variant(UnknownDiff{})).is_empty());
}

}  // namespace
}  // namespace kesu
