// Changes and ops: folding rules, op runs, slicing and trimming.
#include <gtest/gtest.h>

#include "change_test_util.h"
#include "kesu/change/change.h"

namespace kesu {
namespace {

using test::ChangeBuilder;

const ContainerID kText = ContainerID::root("t", ContainerType::Kind::Text);

TEST(Change, CanMergeRightChecksPeerCounterDepsTimeAndMessage) {
  SharedArena a;
  Change prev = ChangeBuilder(a, 1, 0, 0).timestamp(100).text(kText, 0, "ab").build();
  auto next = [&](PeerID peer, Counter ctr, Frontiers deps, int64_t ts, const char* msg) {
    ChangeBuilder b(a, peer, ctr, 2);
    b.deps(std::move(deps)).timestamp(ts).text(kText, 2, "c");
    if (msg) b.message(msg);
    return b.build();
  };
  Frontiers two(ID{1, 1});
  two.push(ID{2, 0});
  struct Case {
    const char* name;
    Change c;
    bool merge;
  } cases[] = {
      {"one second later", next(1, 2, Frontiers(ID{1, 1}), 101, nullptr), true},
      {"earlier timestamp", next(1, 2, Frontiers(ID{1, 1}), 50, nullptr), true},
      {"past the interval", next(1, 2, Frontiers(ID{1, 1}), 102, nullptr), false},
      {"other peer", next(2, 2, Frontiers(ID{1, 1}), 101, nullptr), false},
      {"counter gap", next(1, 3, Frontiers(ID{1, 1}), 101, nullptr), false},
      {"no deps", next(1, 2, Frontiers(), 101, nullptr), false},
      {"two deps", next(1, 2, two, 101, nullptr), false},
      {"dep on other peer", next(1, 2, Frontiers(ID{2, 1}), 101, nullptr), false},
      {"message differs", next(1, 2, Frontiers(ID{1, 1}), 101, "m"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(can_merge_right(prev, c.c, 1), c.merge) << c.name;
}

TEST(Change, TypedCharactersMergeAndADeleteStaysSeparate) {
  SharedArena a;
  ChangeBuilder b(a, 1, 0, 0);
  b.text(kText, 0, "a").text(kText, 1, "b").text(kText, 2, "c");
  b.op(kText, DeleteOp{ID{1, 2}, 2, 1});
  Change c = b.build();
  ASSERT_EQ(c.ops.size(), 2u);
  EXPECT_EQ(c.ops[0].atom_len(), 3u);
  // Backspace twice more: the deletes continue each other backwards.
  b.op(kText, DeleteOp{ID{1, 1}, 1, 1});
  c = b.build();
  ASSERT_EQ(c.ops.size(), 2u);
  const auto& d = std::get<DeleteOp>(c.ops[1].content);
  EXPECT_EQ(d.signed_len, -2);
  EXPECT_EQ(d.id_start, (ID{1, 1}));
}

TEST(Change, SlicesKeepCountersLamportsAndDeps) {
  SharedArena a;
  Change c =
      ChangeBuilder(a, 1, 10, 100).deps(Frontiers(ID{5, 5})).text(kText, 0, "h\xC3\xA9llo").build();
  Change s = c.slice(1, 3);
  EXPECT_EQ(s.id, (ID{1, 11}));
  EXPECT_EQ(s.lamport, 101u);
  EXPECT_EQ(s.deps, Frontiers(ID{1, 10}));
  EXPECT_EQ(brenvik::as_chars(std::get<TextInsertOp>(s.ops[0].content).slice.bytes()), "\xC3\xA9l");
  EXPECT_EQ(c.slice(0, 5).deps, Frontiers(ID{5, 5}));

  Change t = c;
  EXPECT_TRUE(trim_known_prefix(t, 14));
  EXPECT_EQ(t.atom_len(), 1u);
  Change u = c;
  EXPECT_FALSE(trim_known_prefix(u, 15));

  Change far = ChangeBuilder(a, 1, 2147483640, 0)
                   .list(ContainerID::root("l", ContainerType::Kind::List), 0,
                         std::vector<KesuValue>(7, KesuValue(true)))
                   .build();
  EXPECT_EQ(far.id_last(), (ID{1, 2147483646}));
  EXPECT_EQ(Change{}.id_last(), (ID{0, -1}));

  std::vector<Change> out;
  push_unknown_suffix(c, VersionVector{{1, 12}}, out);
  push_unknown_suffix(c, VersionVector{{1, 20}}, out);
  push_unknown_suffix(c, VersionVector{}, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].id.counter, 12);
  EXPECT_EQ(out[1].id.counter, 10);
}

TEST(Change, BackwardDeleteSlicesTakeTheirOwnIds) {
  OpContent d = DeleteOp{ID{1, 10}, 5, -4};  // deletes ids 10..13 at positions 5, 4, 3, 2
  auto first = std::get<DeleteOp>(content_slice(d, 0, 1));
  EXPECT_EQ(first.pos, 5);
  EXPECT_EQ(first.id_start, (ID{1, 13}));
  auto rest = std::get<DeleteOp>(content_slice(d, 1, 4));
  EXPECT_EQ(rest.pos, 4);
  EXPECT_EQ(rest.signed_len, -3);
  EXPECT_EQ(rest.id_start, (ID{1, 10}));
  EXPECT_THROW(content_slice(OpContent(StyleEndOp{}), 0, 2), InternalError);
}

}  // namespace
}  // namespace kesu

#include "kesu/change/rich_op.h"

namespace kesu {
namespace {

TEST(RichOp, WholeOpIsBorrowedAndAPartIsAnOwnedSlice) {
  SharedArena a;
  Change c = test::ChangeBuilder(a, 1, 20, 0)
                 .list(ContainerID::root("l", ContainerType::Kind::List), 0,
                       {KesuValue(int64_t(1)), KesuValue(int64_t(2)), KesuValue(int64_t(3))})
                 .build();
  const Op& op = c.ops[0];
  RichOp whole(op, 1, 5, 9, 0, 3);
  EXPECT_EQ(&whole.op(), &op);
  RichOp part(op, 1, 5, 9, 1, 2);
  EXPECT_EQ(part.op().counter, 21);
  EXPECT_EQ(part.op().atom_len(), 1u);
  EXPECT_NE(&part.op(), &op);
  RichOp past(op, 1, 5, 9, 1, 4);
  EXPECT_THROW(past.op(), InternalError);
}

}  // namespace
}  // namespace kesu
