#include <gtest/gtest.h>

#include <string>

#include "core_test_support.h"
#include "protocol/mesh/relay_role.h"

namespace brenvik {
namespace {

using testing::CoreFixture;
using testing::FakeTransport;

struct FloorCase {
  RelayPriority priority;
  bool charging;
  uint8_t configured;
  uint8_t floor;
};

TEST(RelayBatteryFloor, HighPriorityAndChargingUseTheMinimumAndLowFloorsActAsIt) {
  const FloorCase cases[] = {
      {RelayPriority::Normal, false, 30, 30}, {RelayPriority::Normal, false, 10, 15},
      {RelayPriority::Normal, false, 15, 15}, {RelayPriority::Normal, false, 16, 16},
      {RelayPriority::Low, false, 40, 40},    {RelayPriority::High, false, 80, 15},
      {RelayPriority::Normal, true, 80, 15},
  };
  for (const FloorCase& c : cases)
    EXPECT_EQ(relay_battery_floor(c.priority, c.charging, c.configured), c.floor)
        << int(c.priority) << " charging=" << c.charging << " configured=" << int(c.configured);
}

struct ScaleCase {
  BatteryReading battery;
  RelayPriority priority;
  uint8_t floor;
  float bias;
  float scale;
};

TEST(RelayBatteryScale, RisesFromTheBiasAtTheFloorToOneAtFullBattery) {
  const ScaleCase cases[] = {
      {{true, 65, false}, RelayPriority::Normal, 30, 0.25f, 0.625f},
      {{true, 30, false}, RelayPriority::Normal, 30, 0.25f, 0.25f},
      {{true, 10, false}, RelayPriority::Normal, 30, 0.25f, 0.25f},
      {{true, 100, false}, RelayPriority::Normal, 30, 0.25f, 1.0f},
      {{false, 0, false}, RelayPriority::Normal, 30, 0.25f, 1.0f},
      {{true, 40, true}, RelayPriority::Normal, 15, 0.25f, 1.0f},
      {{true, 40, false}, RelayPriority::High, 15, 0.25f, 1.0f},
      // The bias is clamped into 0..1.
      {{true, 20, false}, RelayPriority::Normal, 30, 1.5f, 1.0f},
      {{true, 20, false}, RelayPriority::Normal, 30, -2.0f, 0.0f},
  };
  for (const ScaleCase& c : cases)
    EXPECT_FLOAT_EQ(relay_battery_scale(c.battery, c.priority, c.floor, c.bias), c.scale)
        << "level=" << int(c.battery.level) << " floor=" << int(c.floor) << " bias=" << c.bias;
}

// A running core whose only transport can report a battery level.
class RelayGateTest : public CoreFixture {
 protected:
  void SetUp() override { make_relay_core(plaintext_config()); }
  void make_relay_core(ProtocolConfig config) {
    make_core(std::move(config));
    ble = add_transport(TransportType::Ble);
    start();
    events.clear();
  }
  static ProtocolConfig plaintext_config() { return testing::plaintext_config(); }

  void battery(std::optional<uint8_t> level, bool charging = false) {
    ble->metrics_.battery_level = level;
    ble->metrics_.is_charging = charging;
  }
  void forward(int n) {
    for (int i = 0; i < n; ++i) core->count_forward_for_others();
  }
  // Moves time by one activity window (60 s by default) and ticks.
  void close_window(int64_t ms = 60'000) {
    advance_ms(ms);
    ASSERT_TRUE(core->process_tick().ok());
  }
  void promote() {
    forward(3);
    close_window();
    ASSERT_TRUE(core->is_relay());
    events.clear();
  }

  std::shared_ptr<FakeTransport> ble;
};

TEST_F(RelayGateTest, ABusyWindowPromotesWhenItClosesAndReportsTheKnownPeers) {
  core->on_neighbor_discovered("bob", std::nullopt);
  core->on_neighbor_discovered("carol", std::nullopt);
  forward(3);
  close_window(59'999);
  EXPECT_FALSE(core->is_relay()) << "the window has not closed yet";
  close_window(1);
  EXPECT_TRUE(core->is_relay());
  auto promoted = events_of<event::RelayPromoted>();
  ASSERT_EQ(promoted.size(), 1u);
  EXPECT_EQ(promoted[0].connection_count, 2u);
  EXPECT_EQ(promoted[0].battery_level, std::nullopt);

  // Staying busy raises nothing more.
  forward(5);
  close_window();
  EXPECT_EQ(events_of<event::RelayPromoted>().size(), 1u);
}

TEST_F(RelayGateTest, TooLittleTrafficNeverPromotes) {
  forward(2);
  close_window();
  EXPECT_FALSE(core->is_relay());
  EXPECT_TRUE(events.empty());
}

TEST_F(RelayGateTest, PromotionCarriesAKnownBatteryLevel) {
  battery(80);
  forward(3);
  close_window();
  auto promoted = events_of<event::RelayPromoted>();
  ASSERT_EQ(promoted.size(), 1u);
  EXPECT_EQ(promoted[0].battery_level, std::optional<uint8_t>(80));
}

TEST_F(RelayGateTest, TwoQuietWindowsInARowDemoteAndABusyOneResetsTheCount) {
  promote();
  close_window();  // quiet 1
  forward(3);
  close_window();  // busy: count back to 0
  close_window();  // quiet 1
  EXPECT_TRUE(core->is_relay());
  EXPECT_TRUE(events_of<event::RelayDemoted>().empty());
  close_window();  // quiet 2
  EXPECT_FALSE(core->is_relay());
  auto demoted = events_of<event::RelayDemoted>();
  ASSERT_EQ(demoted.size(), 1u);
  EXPECT_EQ(demoted[0].reason, "no traffic carried for other devices recently");
}

TEST_F(RelayGateTest, SwitchingRelayingOffDemotesAtTheNextTickOnce) {
  promote();
  RelayConfig off = core->config().relay;
  off.enabled = false;
  ASSERT_TRUE(core->update_relay_config(off).ok());
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_FALSE(core->is_relay());
  ASSERT_TRUE(core->process_tick().ok());
  auto demoted = events_of<event::RelayDemoted>();
  ASSERT_EQ(demoted.size(), 1u);
  EXPECT_EQ(demoted[0].reason, "relaying disabled by configuration");

  // Traffic while switched off does not count towards a later promotion.
  forward(10);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(core->TEST_mesh().relay_role().forwards_in_window, 0u);
}

TEST_F(RelayGateTest, LowPriorityActsAsSwitchedOffAndANonRelayRaisesNothing) {
  RelayConfig low = core->config().relay;
  low.priority = RelayPriority::Low;
  ASSERT_TRUE(core->update_relay_config(low).ok());
  forward(3);
  close_window();
  EXPECT_FALSE(core->is_relay());
  EXPECT_TRUE(events.empty());
}

TEST_F(RelayGateTest, ABatteryBelowTheFloorDemotesWithTheLevelAndTheFloor) {
  RelayConfig relay = core->config().relay;
  relay.min_battery_percent = 10;  // acts as 15
  ASSERT_TRUE(core->update_relay_config(relay).ok());
  battery(50);
  promote();
  battery(14);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_FALSE(core->is_relay());
  auto demoted = events_of<event::RelayDemotedBattery>();
  ASSERT_EQ(demoted.size(), 1u);
  EXPECT_EQ(demoted[0], (event::RelayDemotedBattery{14, 15}));
  EXPECT_TRUE(events_of<event::RelayDemoted>().empty());
}

TEST_F(RelayGateTest, ChargingKeepsRelayingAboveTheMinimumWithTheFullBudget) {
  battery(20, /*charging=*/true);  // under the configured 30, over 15
  forward(3);
  close_window();
  EXPECT_TRUE(core->is_relay());
  EXPECT_EQ(core->TEST_mesh().relay_role().battery.floor, 15);
  EXPECT_FLOAT_EQ(core->TEST_mesh().budget().relay_bucket().capacity,
                  core->config().mesh_relay.burst);
}

TEST_F(RelayGateTest, NoBatteryReportSkipsTheFloorTest) {
  battery(std::nullopt);
  forward(3);
  close_window();
  EXPECT_TRUE(core->is_relay());
  EXPECT_FALSE(core->TEST_mesh().relay_role().battery.known);
}

TEST_F(RelayGateTest, TheRelayBudgetShrinksWithTheBatteryAndRefillsAtTheOldRate) {
  battery(65);  // floor 30, bias 0.25: scale 0.625
  ASSERT_TRUE(core->process_tick().ok());
  TokenBucket& bucket = core->TEST_mesh().budget().relay_bucket();
  EXPECT_FLOAT_EQ(bucket.capacity, 18.75f);
  EXPECT_FLOAT_EQ(bucket.rate, 6.25f);
  EXPECT_FLOAT_EQ(bucket.tokens, 18.75f) << "a full bucket is capped at the new size";

  bucket.tokens = 0;
  battery(100);  // scale back to 1.0
  advance_ms(1'000);
  ASSERT_TRUE(core->process_tick().ok());
  // One second at the 6.25/s in force before this run, then the new size.
  EXPECT_FLOAT_EQ(bucket.tokens, 6.25f);
  EXPECT_FLOAT_EQ(bucket.capacity, 30.0f);
}

TEST_F(RelayGateTest, APausedCoreRunsNoGate) {
  ASSERT_TRUE(core->pause().ok());
  forward(3);
  close_window();
  EXPECT_FALSE(core->is_relay());
}

}  // namespace
}  // namespace brenvik
