// The neighbour component alone: the bounded known-peer table, what
// forgetting a peer clears, the stale cut, and the relay gate driven by
// readings handed in rather than by transports.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "protocol/mesh/mesh_neighbors.h"
#include "util/clock.h"

namespace brenvik {
namespace {

using namespace std::chrono_literals;

class MeshNeighborsTest : public ::testing::Test {
 protected:
  ManualClock clock;
  MeshRelayConfig mesh_config = MeshRelayConfig{};
  MeshNeighbors mesh{mesh_config, clock.monotonic(), clock};
};

TEST_F(MeshNeighborsTest, AFullTableForgetsTheLeastRecentlySeenPeerEverywhere) {
  for (size_t i = 0; i < KnownPeers::kCapacity; ++i) {
    EXPECT_FALSE(mesh.record_sighting("peer" + std::to_string(i), clock.monotonic()));
    clock.advance(1ms);
  }
  ASSERT_TRUE(mesh.budget().neighbor_is_eligible("peer0", clock.monotonic()));
  // A known peer refreshes without evicting.
  EXPECT_FALSE(mesh.record_sighting("peer5", clock.monotonic()));
  std::optional<std::string> evicted = mesh.record_sighting("newcomer", clock.monotonic());
  ASSERT_TRUE(evicted);
  EXPECT_EQ(*evicted, "peer0");
  EXPECT_EQ(mesh.known_peers().size(), KnownPeers::kCapacity);
  EXPECT_FALSE(mesh.known_peers().contains("peer0"));
  EXPECT_FALSE(mesh.budget().has_neighbor_bucket("peer0")) << "its intake bucket goes too";
}

TEST_F(MeshNeighborsTest, StalePeersAreThoseSeenLongerAgoThanTheLifetime) {
  mesh.record_sighting("old", clock.monotonic());
  clock.advance(10s);
  mesh.record_sighting("edge", clock.monotonic());
  clock.advance(20s);
  std::vector<std::string> stale = mesh.stale_peers(clock.monotonic(), 20s);
  EXPECT_EQ(stale, std::vector<std::string>{"old"}) << "exactly the lifetime is still fresh";
  mesh.forget("old");
  mesh.forget("never-seen");
  EXPECT_FALSE(mesh.known_peers().contains("old"));
  EXPECT_TRUE(mesh.known_peers().contains("edge"));
}

TEST_F(MeshNeighborsTest, TheGateReturnsTheEventOfEachChangeAndNothingOtherwise) {
  RelayConfig relay;
  relay.enabled = true;
  relay.priority = RelayPriority::Normal;
  BatteryReading full{true, 90, false};
  mesh.record_sighting("bob", clock.monotonic());
  for (uint64_t i = 0; i < std::max<uint64_t>(mesh_config.activity_min_forwards, 1); ++i)
    mesh.count_forward_for_others();
  EXPECT_FALSE(mesh.run_relay_gate(clock.monotonic(), relay, mesh_config, full))
      << "the window has not closed";
  clock.advance(std::chrono::seconds(mesh_config.activity_window.secs + 1));
  std::optional<ProtocolEvent> promoted =
      mesh.run_relay_gate(clock.monotonic(), relay, mesh_config, full);
  ASSERT_TRUE(promoted);
  const auto* p = promoted->get_if<event::RelayPromoted>();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->connection_count, 1u);
  EXPECT_TRUE(mesh.is_relay());

  BatteryReading low{true, 3, false};
  std::optional<ProtocolEvent> demoted =
      mesh.run_relay_gate(clock.monotonic(), relay, mesh_config, low);
  ASSERT_TRUE(demoted);
  EXPECT_NE(demoted->get_if<event::RelayDemotedBattery>(), nullptr);
  EXPECT_FALSE(mesh.is_relay());
  EXPECT_FALSE(mesh.run_relay_gate(clock.monotonic(), relay, mesh_config, low));
}

}  // namespace
}  // namespace brenvik
