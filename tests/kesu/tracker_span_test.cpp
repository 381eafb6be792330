// Fugue spans: slicing, content chunks and the merge rule.
#include <gtest/gtest.h>

#include "kesu/arena/invariant.h"
#include "kesu/tracker/fugue_span.h"

namespace kesu {
namespace {

FugueSpan text_span(PeerID peer, Counter counter, Lamport lamport, uint32_t start, uint32_t end) {
  FugueSpan s;
  s.id = IdFull{peer, lamport, counter};
  s.real_id = CompactId::make(peer, counter);
  s.content = RichtextChunk::text(start, end);
  return s;
}

TEST(TrackerSpan, ChunkLengthsAndSlices) {
  EXPECT_EQ(RichtextChunk::text(10, 20).len(), 10u);
  EXPECT_EQ(RichtextChunk::unknown(7).len(), 7u);
  EXPECT_EQ(RichtextChunk::style_anchor(3, true).len(), 1u);
  EXPECT_EQ(RichtextChunk::style_anchor(3, false).len(), 1u);
  EXPECT_EQ(RichtextChunk::move_anchor().len(), 1u);
  EXPECT_EQ(RichtextChunk::text(10, 20).slice_range(3, 8), RichtextChunk::text(13, 18));
  EXPECT_EQ(RichtextChunk::unknown(kPlaceholderLen).slice_range(5, 7), RichtextChunk::unknown(2));
  EXPECT_EQ(RichtextChunk::move_anchor().slice_range(0, 1), RichtextChunk::move_anchor());
  EXPECT_THROW(RichtextChunk::move_anchor().slice_range(0, 2), InvariantViolation);
  EXPECT_THROW(RichtextChunk::unknown(3).slice_range(0, 4), InvariantViolation);
  try {
    RichtextChunk::text(10, 20).slice_range(5, 12);
    FAIL();
  } catch (const InvariantViolation& e) {
    EXPECT_EQ(std::string(e.what()), "range: 5..12, self: RichtextChunk { value: Text(10..20) }");
  }
}

TEST(TrackerSpan, ChunkMergeRule) {
  struct Case {
    RichtextChunk a, b;
    bool merge;
  } cases[] = {
      {RichtextChunk::text(0, 5), RichtextChunk::text(5, 9), true},
      {RichtextChunk::text(0, 5), RichtextChunk::text(6, 9), false},
      {RichtextChunk::unknown(3), RichtextChunk::unknown(4), true},
      {RichtextChunk::unknown(3), RichtextChunk::text(3, 4), false},
      {RichtextChunk::text(0, 3), RichtextChunk::unknown(4), false},
      {RichtextChunk::move_anchor(), RichtextChunk::move_anchor(), false},
      {RichtextChunk::style_anchor(1, true), RichtextChunk::style_anchor(1, false), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.a.can_merge(c.b), c.merge) << c.a.debug() << c.b.debug();
}

TEST(TrackerSpan, SliceKeepsIdentityAndOrigins) {
  FugueSpan s = text_span(7, 100, 50, 10, 20);
  s.origin_left = CompactId::make(3, 4);
  s.origin_right = CompactId::make(5, 6);
  FugueSpan head = s.slice(0, 4);
  EXPECT_EQ(head.origin_left, s.origin_left);
  EXPECT_EQ(head.id, s.id);
  FugueSpan tail = s.slice(4, 10);
  EXPECT_EQ(tail.id, (IdFull{7, 54, 104}));
  EXPECT_EQ(tail.real_id, CompactId::make(7, 104));
  EXPECT_EQ(tail.origin_left, CompactId::make(7, 103));
  EXPECT_EQ(tail.origin_right, s.origin_right);
  EXPECT_EQ(head.origin_right, s.origin_right);
  EXPECT_EQ(tail.content, RichtextChunk::text(14, 20));
  // The right half can merge back onto the left half.
  EXPECT_TRUE(FugueSpan::can_merge(head, tail));
  FugueSpan joined = head;
  FugueSpan::merge_right(joined, FugueSpan(tail));
  EXPECT_EQ(joined, s);
  FugueSpan from_left = tail;
  FugueSpan::merge_left(from_left, FugueSpan(head));
  EXPECT_EQ(from_left, s);
  EXPECT_THROW(s.slice(3, 11), InvariantViolation);
  // A placeholder run has no real id; slices keep it absent.
  FugueSpan ph;
  ph.id = IdFull{kPlaceholderPeer, 0, 0};
  ph.content = RichtextChunk::unknown(kPlaceholderLen);
  EXPECT_FALSE(ph.slice(5, 7).real_id.has_value());
  EXPECT_EQ(ph.slice(5, 7).rle_len(), 2u);
}

TEST(TrackerSpan, MergeNeedsEveryFieldToContinue) {
  FugueSpan whole = text_span(7, 100, 50, 10, 20);
  whole.origin_right = CompactId::make(9, 9);
  FugueSpan a = whole.slice(0, 4), b = whole.slice(4, 10);
  ASSERT_TRUE(FugueSpan::can_merge(a, b));
  struct Case {
    const char* name;
    void (*change)(FugueSpan&);
  } cases[] = {
      {"peer", [](FugueSpan& s) { s.id.peer = 8; }},
      {"counter", [](FugueSpan& s) { s.id.counter += 1; }},
      {"lamport", [](FugueSpan& s) { s.id.lamport += 1; }},
      {"status deleted", [](FugueSpan& s) { s.status.delete_times = 1; }},
      {"status future", [](FugueSpan& s) { s.status.future = true; }},
      {"diff status", [](FugueSpan& s) { s.diff_status = Status{}; }},
      {"origin left", [](FugueSpan& s) { s.origin_left = CompactId::make(7, 1); }},
      {"no origin left", [](FugueSpan& s) { s.origin_left.reset(); }},
      {"origin right", [](FugueSpan& s) { s.origin_right.reset(); }},
      {"content", [](FugueSpan& s) { s.content = RichtextChunk::text(15, 21); }},
      {"real id", [](FugueSpan& s) { s.real_id = CompactId::make(7, 500); }},
      {"no real id", [](FugueSpan& s) { s.real_id.reset(); }},
  };
  for (const Case& c : cases) {
    FugueSpan x = b;
    c.change(x);
    EXPECT_FALSE(FugueSpan::can_merge(a, x)) << c.name;
  }
  // Two deleted halves merge again while their statuses agree.
  FugueSpan da = a, db = b;
  da.status.delete_times = db.status.delete_times = 1;
  EXPECT_TRUE(FugueSpan::can_merge(da, db));
  db.diff_status = Status{false, 0};
  EXPECT_FALSE(FugueSpan::can_merge(da, db));
}

TEST(TrackerSpan, StatusVisibilityAndWrapping) {
  EXPECT_TRUE(Status{}.is_activated());
  EXPECT_FALSE((Status{true, 0}).is_activated());
  EXPECT_FALSE((Status{false, 2}).is_activated());
  Status s{false, 32767};
  s.add_delete_times(1);
  EXPECT_EQ(s.delete_times, -32768);
  s.add_delete_times(-1);
  EXPECT_EQ(s.delete_times, 32767);
}

}  // namespace
}  // namespace kesu
