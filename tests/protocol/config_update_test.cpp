#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_test_support.h"
#include "core/message.h"
#include "protocol/config/config_updates.h"
#include "util/log.h"

namespace brenvik {
namespace {

using namespace std::chrono_literals;

// Records what a retry update asks of the session-pending queue.
class RecordingSessionPending final : public SessionPendingLifetime {
 public:
  void recompute_deadline(uint64_t max_lifetime_ms) override {
    calls.push_back("deadline " + std::to_string(max_lifetime_ms));
  }
  void expire(int64_t now_unix_ms) override {
    calls.push_back("expire " + std::to_string(now_unix_ms));
  }
  std::vector<std::string> calls;
};

Message message_to(const std::string& recipient,
                   MessagePriority priority = MessagePriority::Medium) {
  return MessageBuilder("alice", recipient, "com.example.chat").with_priority(priority).build();
}

class ConfigUpdateTest : public ::testing::Test {
 protected:
  ConfigUpdateTest()
      : config(testing::valid_protocol_config()),
        acks(config.ack.default_timeout_ms, config.ack.max_pending_acks, clock),
        retries(config.retry, clock),
        dedup(config.reliability.dedup, clock),
        updates(
            ConfigTargets{config, acks, retries, dedup, seen_set_dirty, session_pending, clock}) {}

  ManualClock clock;
  ProtocolConfig config;
  AckManager acks;
  RetryQueue retries;
  Deduplicator dedup;
  uint32_t seen_set_dirty = 0;
  RecordingSessionPending session_pending;
  ConfigUpdates updates;
};

TEST_F(ConfigUpdateTest, RefusedAckUpdateChangesNothing) {
  const Message m = message_to("bob");
  ASSERT_TRUE(acks.track(m.id).ok());
  const AckConfig before = config.ack;

  auto r = updates.update_ack_config(0, 10);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(),
            ProtocolError::invalid_config("ack.default_timeout_ms must be greater than 0"));
  EXPECT_EQ(config.ack, before);
  EXPECT_TRUE(acks.is_pending(m.id));
  EXPECT_EQ(acks.default_timeout_ms(), before.default_timeout_ms);
  EXPECT_EQ(acks.max_pending_acks(), before.max_pending_acks);
}

TEST_F(ConfigUpdateTest, AckWaitInFlightIsStillTimedOutAndSettledAfterAnUpdate) {
  const Message m = message_to("bob");
  ASSERT_TRUE(acks.track(m.id).ok());  // waits 10 s under the running default
  clock.advance(1s);

  ASSERT_TRUE(updates.update_ack_config(2'000, 500).ok());
  EXPECT_EQ(config.ack, (AckConfig{2'000, 500}));
  ASSERT_TRUE(acks.is_pending(m.id));

  // The wait keeps the time-out it was started with.
  clock.advance(8'999ms);
  EXPECT_TRUE(acks.check_timeouts().empty());
  clock.advance(1ms);
  auto timed_out = acks.check_timeouts();
  ASSERT_EQ(timed_out.size(), 1u);
  EXPECT_EQ(timed_out[0].message_id, m.id);

  // The resend is awaited again and the acknowledgement settles it.
  acks.record_resend(m.id);
  auto settled = acks.acknowledge(m.id);
  ASSERT_TRUE(settled.has_value());
  EXPECT_EQ(settled->attempts, 1u);

  // Waits started after the update get the new default.
  const Message later = message_to("carol");
  ASSERT_TRUE(acks.track(later.id).ok());
  EXPECT_EQ(acks.get(later.id)->timeout_ms, 2'000u);
}

TEST_F(ConfigUpdateTest, UnchangedAckValuesKeepEveryWait) {
  std::vector<MessageId> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(message_to("bob").id);
    ASSERT_TRUE(acks.track(ids.back()).ok());
  }
  ASSERT_TRUE(
      updates.update_ack_config(config.ack.default_timeout_ms, config.ack.max_pending_acks).ok());
  for (const MessageId& id : ids) EXPECT_TRUE(acks.is_pending(id));
}

TEST_F(ConfigUpdateTest, LowerAckCapacityDropsTheWaitsEvictionWouldGiveUpFirst) {
  const MessageId reported = message_to("a").id;
  ASSERT_TRUE(acks.track_with_priority(reported, 1'000, MessagePriority::Critical).ok());
  clock.advance(1s);
  ASSERT_EQ(acks.check_timeouts().size(), 1u);  // reported: first to go despite its priority

  const MessageId low = message_to("b").id;
  const MessageId high_old = message_to("c").id;
  const MessageId high_new = message_to("d").id;
  ASSERT_TRUE(acks.track_with_priority(low, std::nullopt, MessagePriority::Low).ok());
  clock.advance(1ms);
  ASSERT_TRUE(acks.track_with_priority(high_old, std::nullopt, MessagePriority::High).ok());
  clock.advance(1ms);
  ASSERT_TRUE(acks.track_with_priority(high_new, std::nullopt, MessagePriority::High).ok());

  ScopedLogCapture logs(LogLevel::Warn);
  ASSERT_TRUE(updates.update_ack_config(10'000, 1).ok());
  EXPECT_EQ(acks.size(), 1u);
  EXPECT_TRUE(acks.is_pending(high_new));

  const auto entries = logs.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].message.find("dropped=3"), std::string::npos) << entries[0].message;
}

TEST_F(ConfigUpdateTest, RefusedRetryUpdateKeepsEveryScheduledRetry) {
  ASSERT_TRUE(retries.schedule_backoff(message_to("bob"), 0).has_value());
  ASSERT_TRUE(retries.schedule_backoff(message_to("carol"), 2).has_value());
  const RetryConfig before = config.retry;

  RetryConfig bad = config.retry;
  bad.initial_delay_ms = 2'000;
  bad.max_delay_ms = 1'000;
  auto r = updates.update_retry_config(bad);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(),
            ProtocolError::invalid_config("retry.initial_delay_ms must be <= retry.max_delay_ms"));
  EXPECT_EQ(retries.size(), 2u);
  EXPECT_EQ(config.retry, before);
  EXPECT_EQ(retries.config(), before);
  EXPECT_TRUE(session_pending.calls.empty());
}

TEST_F(ConfigUpdateTest, MessageInFlightIsRetriedAndSettledAcrossBothUpdates) {
  const Message m = message_to("bob", MessagePriority::High);
  ASSERT_TRUE(acks.track(m.id).ok());
  clock.advance(10s);
  ASSERT_EQ(acks.check_timeouts().size(), 1u);
  ASSERT_TRUE(retries.schedule_backoff(m, 3).has_value());  // due in 8 s

  RetryConfig faster = config.retry;
  faster.initial_delay_ms = 500;
  faster.max_retries = 3;
  ASSERT_TRUE(updates.update_retry_config(faster).ok());
  ASSERT_TRUE(updates.update_ack_config(5'000, 100).ok());
  EXPECT_EQ(retries.size(), 1u);
  EXPECT_EQ(retries.config(), faster);
  EXPECT_EQ(config.retry, faster);

  clock.advance(7'999ms);
  EXPECT_FALSE(retries.pop_due().has_value());
  clock.advance(1ms);
  auto due = retries.pop_due();
  ASSERT_TRUE(due.has_value());
  EXPECT_EQ(due->message.id, m.id);
  EXPECT_EQ(due->attempt, 3u);

  acks.record_resend(m.id);
  ASSERT_TRUE(acks.acknowledge(m.id).has_value());
  EXPECT_EQ(acks.size(), 0u);
  EXPECT_EQ(retries.size(), 0u);
}

TEST_F(ConfigUpdateTest, LoweredRetryCeilingBringsLaterRetriesForward) {
  const Message far = message_to("bob");
  const Message near = message_to("carol");
  ASSERT_TRUE(retries.schedule_backoff(far, 8).has_value());  // 256 s
  ASSERT_TRUE(retries.schedule(near, 1, 2'000).has_value());  // 2 s

  RetryConfig capped = config.retry;
  capped.max_delay_ms = 10'000;
  ASSERT_TRUE(updates.update_retry_config(capped).ok());

  clock.advance(2s);
  auto first = retries.pop_due();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->message.id, near.id);
  clock.advance(7'999ms);
  EXPECT_FALSE(retries.pop_due().has_value());
  clock.advance(1ms);
  auto second = retries.pop_due();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->message.id, far.id);
  EXPECT_EQ(second->attempt, 8u);
}

TEST_F(ConfigUpdateTest, RetryUpdateExpiresSessionPendingUnderTheNewLifetime) {
  RetryConfig shorter = config.retry;
  shorter.pending_message_max_lifetime_ms = 60'000;
  ASSERT_TRUE(updates.update_retry_config(shorter).ok());
  EXPECT_EQ(session_pending.calls,
            (std::vector<std::string>{"deadline 60000",
                                      "expire " + std::to_string(clock.wall_unix_ms())}));
}

TEST_F(ConfigUpdateTest, DedupUpdateRebuildsAndMarksTheSeenSetForPersistence) {
  ASSERT_TRUE(dedup.check_seen("11111111-1111-4111-8111-111111111111"));
  DedupConfig smaller = config.reliability.dedup;
  smaller.max_tracked_messages = 100;
  ASSERT_TRUE(updates.update_dedup_config(smaller).ok());
  EXPECT_EQ(dedup.config(), smaller);
  EXPECT_EQ(config.reliability.dedup, smaller);
  EXPECT_EQ(seen_set_dirty, 1u);
  EXPECT_TRUE(dedup.is_duplicate("11111111-1111-4111-8111-111111111111"));

  seen_set_dirty = UINT32_MAX;
  ASSERT_TRUE(updates.update_dedup_config(smaller).ok());
  EXPECT_EQ(seen_set_dirty, UINT32_MAX);
}

TEST_F(ConfigUpdateTest, RefusedDedupUpdateChangesNothing) {
  const DedupConfig before = config.reliability.dedup;
  DedupConfig bad = before;
  bad.use_bloom_filter = true;
  bad.bloom_hash_count = 0;
  auto r = updates.update_dedup_config(bad);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), ProtocolError::invalid_config(
                           "reliability.dedup.bloom_hash_count must be greater than 0"));
  EXPECT_EQ(dedup.config(), before);
  EXPECT_EQ(config.reliability.dedup, before);
  EXPECT_EQ(seen_set_dirty, 0u);
}

TEST_F(ConfigUpdateTest, RelayPriorityKeepsTheOtherRelayFields) {
  ASSERT_TRUE(updates.update_relay_config(RelayConfig{45, false, RelayPriority::Normal}).ok());
  ASSERT_TRUE(updates.set_relay_priority(RelayPriority::High).ok());
  EXPECT_EQ(config.relay, (RelayConfig{45, false, RelayPriority::High}));
}

TEST_F(ConfigUpdateTest, RelayUpdateFailsOnlyWhenTheRestOfTheRecordIsInvalid) {
  config.initial_ttl = 0;  // the running record went bad elsewhere
  const RelayConfig before = config.relay;
  auto r = updates.update_relay_config(RelayConfig{0, false, RelayPriority::Low});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), ProtocolError::invalid_config("initial_ttl must be greater than 0"));
  EXPECT_EQ(config.relay, before);
}

TEST(BatteryStatusTest, LevelCappedAtOneHundred) {
  struct Case {
    uint8_t level;
    bool charging;
    BatteryReading expected;
  };
  const Case cases[] = {
      {250, false, {true, 100, false}},
      {100, true, {true, 100, true}},
      {40, true, {true, 40, true}},
      {0, false, {true, 0, false}},
  };
  for (const Case& c : cases) {
    BatteryReading r;
    set_battery_status(r, c.level, c.charging);
    EXPECT_EQ(r, c.expected) << int(c.level);
  }
}

}  // namespace
}  // namespace brenvik
