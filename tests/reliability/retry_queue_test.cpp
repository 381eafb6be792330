#include "reliability/retry_queue.h"

#include <gtest/gtest.h>

namespace brenvik {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Message msg(MessagePriority p = MessagePriority::Medium) {
  return MessageBuilder("a", "b", "app").with_priority(p).build();
}

TEST(RetryBackoff, DelaysPerAttempt) {
  RetryConfig c;
  const std::pair<uint32_t, uint64_t> cases[] = {{0, 1000},   {1, 2000},    {2, 4000},
                                                 {3, 8000},   {7, 128000},  {8, 256000},
                                                 {9, 300000}, {40, 300000}, {0xFFFFFFFFu, 300000}};
  for (auto [attempt, delay] : cases) EXPECT_EQ(backoff_delay_ms(c, attempt), delay) << attempt;
  c.backoff_multiplier = 1.0f;
  EXPECT_EQ(backoff_delay_ms(c, 25), 1000u);
  c.backoff_multiplier = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(backoff_delay_ms(c, 3), c.max_delay_ms);
  c.backoff_multiplier = 1e30f;
  c.max_delay_ms = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(backoff_delay_ms(c, 40), std::numeric_limits<uint64_t>::max());
}

TEST(RetryQueueTest, OrderByDueTimeThenPriority) {
  ManualClock clock;
  RetryQueue q({}, clock);
  Message low = msg(MessagePriority::Low), high = msg(MessagePriority::High);
  Message later = msg(MessagePriority::Critical);
  ASSERT_TRUE(q.schedule(later, 0, 5000));
  ASSERT_TRUE(q.schedule(low, 0, 0));
  ASSERT_TRUE(q.schedule(high, 0, 0));
  EXPECT_EQ(q.pop_due()->message.id, high.id);
  EXPECT_EQ(q.pop_due()->message.id, low.id);
  EXPECT_FALSE(q.pop_due());
  clock.advance(seconds(5));
  EXPECT_EQ(q.pop_due()->message.id, later.id);
  EXPECT_EQ(q.size(), 0u);
}

TEST(RetryQueueTest, OneEntryPerId) {
  ManualClock clock;
  RetryQueue q({}, clock);
  Message m = msg();
  auto first = q.schedule(m, 0, 1000);
  ASSERT_TRUE(first);
  EXPECT_FALSE(q.schedule(m, 1, 10));
  EXPECT_EQ(q.size(), 1u);
  clock.advance(milliseconds(999));
  EXPECT_FALSE(q.pop_due());  // the first due time stands
  clock.advance(milliseconds(1));
  auto e = q.pop_due();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->attempt, 0u);
  EXPECT_TRUE(q.schedule(m, 1, 10));
}

TEST(RetryQueueTest, BackoffScheduleAndHugeDelay) {
  ManualClock clock;
  RetryQueue q({}, clock);
  const int64_t now = clock.wall_unix_ns();
  EXPECT_EQ(q.schedule_backoff(msg(), 3), now + 8'000'000'000);
  EXPECT_EQ(q.schedule_backoff(msg(), 40), now + 300'000'000'000);
  EXPECT_EQ(q.schedule(msg(), 0, std::numeric_limits<uint64_t>::max()),
            std::numeric_limits<int64_t>::max());
}

TEST(RetryQueueTest, RemoveExpireDrainStats) {
  ManualClock clock;
  RetryConfig c;
  c.outbox_max_lifetime_ms = 7ull * 24 * 3600 * 1000;
  RetryQueue q(c, clock);
  Message old = msg(MessagePriority::High);
  ASSERT_TRUE(q.schedule(old, 0, 3000));
  clock.advance(milliseconds(1));
  Message young = msg(MessagePriority::Low);
  ASSERT_TRUE(q.schedule(young, 0, 1000));
  Message mid = msg(MessagePriority::Critical);
  ASSERT_TRUE(q.schedule(mid, 0, 2000));

  EXPECT_EQ(q.stats(), (RetryQueueStats{3, 0, 1, 1, 0, 1}));
  EXPECT_FALSE(q.remove("00000000-0000-4000-8000-000000000000"));
  EXPECT_EQ(q.size(), 3u);

  clock.advance(milliseconds(c.outbox_max_lifetime_ms - 1));
  EXPECT_EQ(q.expire(), 1u);  // created exactly the lifetime ago
  EXPECT_FALSE(q.contains(display_message_id(old.id)));
  EXPECT_EQ(q.stats().due, 2u);

  EXPECT_TRUE(q.remove(display_message_id(mid.id)));
  EXPECT_FALSE(q.remove(display_message_id(mid.id)));
  ASSERT_TRUE(q.schedule(mid, 2, 500));
  auto all = q.drain();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].message.id, young.id);  // due earlier
  EXPECT_EQ(all[1].message.id, mid.id);
  EXPECT_EQ(q.size(), 0u);
  EXPECT_TRUE(q.schedule(young, 0, 0));  // ids were released
}

TEST(RetryQueueTest, DrainOrder) {
  ManualClock clock;
  RetryQueue q({}, clock);
  Message a = msg(), b = msg(), c = msg();
  ASSERT_TRUE(q.schedule(a, 0, 3000));
  ASSERT_TRUE(q.schedule(b, 0, 1000));
  ASSERT_TRUE(q.schedule(c, 0, 2000));
  auto all = q.drain();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].message.id, b.id);
  EXPECT_EQ(all[1].message.id, c.id);
  EXPECT_EQ(all[2].message.id, a.id);
}

}  // namespace
}  // namespace brenvik
