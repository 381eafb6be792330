#include "reliability/ack_manager.h"

#include <gtest/gtest.h>

#include "util/log.h"

namespace brenvik {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

MessageId id_n(uint8_t n) {
  MessageId id;
  id.bytes[15] = n;
  id.bytes[0] = 0x40;
  return id;
}

TEST(AckManagerTest, FullTableOfMediumWaits) {
  ManualClock clock;
  AckManager acks(10'000, 2, clock);
  ASSERT_TRUE(acks.track(id_n(1)).ok());
  clock.advance(milliseconds(5));
  ASSERT_TRUE(acks.track(id_n(2)).ok());

  ScopedLogCapture cap;
  auto refused = acks.track(id_n(3));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(),
            "Maximum pending ACKs limit reached (no lower priority ACKs to evict)");
  EXPECT_EQ(acks.refused_tracks(), 1u);
  bool warned = false;
  for (auto& e : cap.entries()) warned |= e.level == LogLevel::Warn;
  EXPECT_TRUE(warned);
  EXPECT_EQ(acks.size(), 2u);

  // A higher priority evicts the medium wait with the earlier send.
  auto high = acks.track_with_priority(id_n(4), std::nullopt, MessagePriority::High);
  ASSERT_TRUE(high.ok());
  ASSERT_TRUE(high.value());
  EXPECT_EQ(high.value()->message_id, id_n(1));
  EXPECT_EQ(high.value()->priority, MessagePriority::Medium);
  EXPECT_FALSE(high.value()->was_timed_out);
  EXPECT_FALSE(acks.is_pending(id_n(1)));
}

TEST(AckManagerTest, ReportedTimeoutsMakeRoomBeforeRefusing) {
  ManualClock clock;
  AckManager acks(1'000, 2, clock);
  ASSERT_TRUE(acks.track(id_n(1)).ok());
  clock.advance(milliseconds(10));
  ASSERT_TRUE(acks.track(id_n(2)).ok());
  clock.advance(milliseconds(1'000));
  // Both waits have run out but the tick has not looked yet: they must not
  // vanish before their time-out is reported, so the track is refused.
  EXPECT_FALSE(acks.track_with_priority(id_n(3), std::nullopt, MessagePriority::Critical).ok());
  auto reported = acks.check_timeouts();
  EXPECT_EQ(reported.size(), 2u);
  // Now the oldest reported wait gives way, even to a medium track.
  auto r = acks.track(id_n(3));
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r.value());
  EXPECT_EQ(r.value()->message_id, id_n(1));
  EXPECT_TRUE(r.value()->was_timed_out);
  EXPECT_EQ(acks.size(), 2u);
}

TEST(AckManagerTest, RetrackResetsTheEntry) {
  ManualClock clock;
  AckManager acks(1'000, 10, clock);
  ASSERT_TRUE(acks.track(id_n(1)).ok());
  acks.set_attempts(id_n(1), 4);
  clock.advance(seconds(2));
  ASSERT_EQ(acks.check_timeouts().size(), 1u);
  ASSERT_TRUE(acks.track(id_n(1), 5'000).ok());
  auto a = acks.get(id_n(1)).value();
  EXPECT_EQ(a.attempts, 0u);
  EXPECT_FALSE(a.timed_out);
  EXPECT_EQ(a.timeout_ms, 5'000u);
  EXPECT_EQ(a.sent_at_ns, clock.wall_unix_ns());
  EXPECT_EQ(acks.size(), 1u);
}

TEST(AckManagerTest, TimeoutBoundaryReportedOnceAndRearmedByResend) {
  ManualClock clock;
  AckManager acks(10'000, 10, clock);
  ASSERT_TRUE(acks.track(id_n(1)).ok());
  clock.advance(milliseconds(9'999));
  EXPECT_TRUE(acks.check_timeouts().empty());
  clock.advance(milliseconds(1));
  auto t = acks.check_timeouts();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(t[0].timed_out);
  EXPECT_TRUE(acks.check_timeouts().empty());
  acks.record_resend(id_n(1));
  EXPECT_EQ(acks.get(id_n(1))->attempts, 1u);
  clock.advance(milliseconds(9'999));
  EXPECT_TRUE(acks.check_timeouts().empty());
  clock.advance(milliseconds(1));
  EXPECT_EQ(acks.check_timeouts().size(), 1u);
}

TEST(AckManagerTest, ExpireRemovesOnlyOldTimedOutWaits) {
  ManualClock clock;
  AckManager acks(1'000, 10, clock);
  ASSERT_TRUE(acks.track(id_n(1)).ok());             // timed out, 300 s old at expiry
  ASSERT_TRUE(acks.track(id_n(2), 3'600'000).ok());  // waiting, never expired here
  clock.advance(seconds(1));
  ASSERT_TRUE(acks.track(id_n(3)).ok());  // timed out, 299 s old at expiry
  clock.advance(seconds(1));
  ASSERT_EQ(acks.check_timeouts().size(), 2u);
  clock.advance(seconds(298));
  EXPECT_EQ(acks.expire(seconds(300)), 1u);
  EXPECT_FALSE(acks.is_pending(id_n(1)));
  EXPECT_TRUE(acks.is_pending(id_n(2)));
  EXPECT_TRUE(acks.is_pending(id_n(3)));
  clock.advance(seconds(3600));
  EXPECT_EQ(acks.expire(seconds(300)), 1u);
  EXPECT_TRUE(acks.is_pending(id_n(2)));  // never marked: kept however old
  EXPECT_EQ(acks.acknowledge(id_n(2))->message_id, id_n(2));
  EXPECT_FALSE(acks.acknowledge(id_n(2)));
  EXPECT_EQ(acks.size(), 0u);
}

TEST(ReliabilityErrorTest, Texts) {
  EXPECT_EQ(ReliabilityError::ack_timeout("abc").message(), "ACK timeout for message abc");
  EXPECT_EQ(ReliabilityError::from_core(CoreError::invalid_ttl(0)).message(),
            "Core error: " + CoreError::invalid_ttl(0).message());
}

}  // namespace
}  // namespace brenvik
