#include <gtest/gtest.h>

#include "core_test_support.h"

namespace brenvik::testing {
namespace {

class CoreLifecycleTest : public CoreFixture {
 protected:
  void SetUp() override { make_core(); }
};

TEST(CoreConstruction, InvalidConfigurationGivesTheValidatorsMessage) {
  ProtocolConfig c = plaintext_config();
  c.initial_ttl = 0;
  std::string expected = *c.first_violation();
  auto r = ProtocolCore::create(c, system_clock());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Invalid configuration: " + expected);
}

TEST(CoreConstruction, TwoCoresHaveDifferentScrubSecrets) {
  auto a = ProtocolCore::create(plaintext_config());
  auto b = ProtocolCore::create(plaintext_config());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value()->scrub_secret(), b.value()->scrub_secret());
}

TEST_F(CoreLifecycleTest, TransitionsAndTheirRefusals) {
  EXPECT_EQ(core->lifecycle().value(), LifecycleState::Stopped);
  EXPECT_EQ(core->pause().error().message(), "Protocol not started");
  EXPECT_EQ(core->resume().error().message(), "Invalid configuration: Protocol is not paused");
  EXPECT_TRUE(core->stop().ok());  // stopped: nothing to do
  ASSERT_TRUE(core->start().ok());
  EXPECT_EQ(core->start().error().message(), "Protocol already started");
  EXPECT_EQ(core->resume().error().message(), "Invalid configuration: Protocol is not paused");
  ASSERT_TRUE(core->pause().ok());
  EXPECT_EQ(core->start().error().message(), "Protocol already started");
  EXPECT_EQ(core->pause().error().message(), "Protocol not started");
  ASSERT_TRUE(core->resume().ok());
  ASSERT_TRUE(core->pause().ok());
  ASSERT_TRUE(core->stop().ok());
  EXPECT_EQ(core->lifecycle().value(), LifecycleState::Stopped);
}

TEST_F(CoreLifecycleTest, FailedTransportStartLeavesTheCoreStoppedAndStartableAgain) {
  auto ble = add_transport(TransportType::Ble);
  ble->fail_start = true;
  auto r = core->start();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Failed to start transport BLE: " +
                                     TransportError::configuration("radio off").message());
  EXPECT_EQ(core->lifecycle().value(), LifecycleState::Stopped);
  EXPECT_FALSE(core->transports().has_event_sink());
  ble->fail_start = false;
  EXPECT_TRUE(core->start().ok());
  EXPECT_TRUE(core->transports().has_event_sink());
  EXPECT_TRUE(core->stop().ok());
  EXPECT_FALSE(core->transports().has_event_sink());
}

TEST_F(CoreLifecycleTest, DeferredEventsAreCappedAndDeliveredInOrderAtStart) {
  for (uint32_t i = 0; i < 8200; ++i) core->emit_or_defer_event(event::MessageFailed{"m", "r", i});
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(core->TEST_deferred_event_count(), 8192u);
  EXPECT_EQ(core->TEST_deferred_events_dropped(), 8u);
  start();
  auto failed = events_of<event::MessageFailed>();
  ASSERT_EQ(failed.size(), 8192u);
  for (uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(failed[i].retry_count, i);
  EXPECT_EQ(core->TEST_deferred_events_dropped(), 0u);
  // While running, events go out at once.
  core->emit_or_defer_event(event::MessageFailed{"x", "r", 1});
  EXPECT_EQ(events.size(), 8193u);
}

TEST_F(CoreLifecycleTest, TickWhileStoppedOrPausedChangesNothing) {
  auto ble = add_transport(TransportType::Ble);
  Message m = MessageBuilder("alice", "bob", "com.example.chat").build(clock);
  (void)core->retry_queue().schedule(m, 0, 0);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(core->retry_queue().size(), 1u);
  EXPECT_EQ(ble->send_calls, 0);
  // Start flushes what waited while stopped.
  start();
  EXPECT_EQ(ble->send_calls, 1);
  EXPECT_EQ(core->retry_queue().size(), 0u);
  ASSERT_TRUE(core->pause().ok());
  Message m2 = MessageBuilder("alice", "bob", "com.example.chat").build(clock);
  (void)core->retry_queue().schedule(m2, 0, 0);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(core->retry_queue().size(), 1u);
  EXPECT_EQ(ble->send_calls, 1);
  ASSERT_TRUE(core->resume().ok());
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(core->retry_queue().size(), 0u);
  EXPECT_EQ(ble->send_calls, 2);
}

TEST_F(CoreLifecycleTest, PoisonedSharedStateFailsTheTick) {
  start();
  try {
    auto g = core->TEST_shared()->lock();
    throw 1;
  } catch (int) {
  }
  auto r = core->process_tick();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Shared state mutex poisoned");
}

}  // namespace
}  // namespace brenvik::testing
