#include <gtest/gtest.h>

#include <string>

#include "core_test_support.h"
#include "util/log.h"

namespace brenvik {
namespace {

using namespace std::chrono_literals;
using testing::CoreFixture;

class NeighborsTest : public CoreFixture {
 protected:
  void SetUp() override {
    make_core();
    ble = add_transport(TransportType::Ble);
    start();
  }
  // A message to `peer` that the radio refused, now waiting in the outbox.
  MessageId waiting_message_to(const std::string& peer) {
    ble->refuse = TransportError::send_failed("out of range");
    auto id = core->send_message(peer, "hi", SendOptions{});
    ble->refuse.reset();
    EXPECT_TRUE(core->TEST_outbox().entries().contains(id.ok() ? id.value() : MessageId{}))
        << (id.ok() ? "" : id.error().message());
    ble->sent.clear();
    return id.ok() ? id.value() : MessageId{};
  }
  size_t sent_to(const std::string& peer) const {
    size_t n = 0;
    for (const Message& m : ble->sent) n += m.recipient == peer ? 1 : 0;
    return n;
  }

  std::shared_ptr<testing::FakeTransport> ble;
};

TEST_F(NeighborsTest, ARediscoveredPeerGetsWhatWaitedForIt) {
  const MessageId waiting = waiting_message_to("bob");
  core->on_neighbor_discovered("bob", std::nullopt);
  ASSERT_EQ(sent_to("bob"), 1u);
  EXPECT_EQ(ble->sent[0].id, waiting);
  EXPECT_TRUE(core->TEST_mesh().known_peers().contains("bob"));
  EXPECT_TRUE(core->ack_manager().is_pending(waiting));
}

TEST_F(NeighborsTest, OwnIdAndBlockedPeersChangeNothing) {
  (void)waiting_message_to("mallory");
  core->set_user_blocked("mallory", true);
  ScopedLogCapture logs(LogLevel::Debug);
  core->on_neighbor_discovered("mallory", std::nullopt);
  core->on_neighbor_discovered(core->local_user_id(), std::nullopt);
  EXPECT_EQ(core->TEST_mesh().known_peers().size(), 0u);
  EXPECT_TRUE(ble->sent.empty());
  size_t ignored = 0;
  for (const auto& e : logs.entries())
    ignored += e.message.find("Ignoring neighbor discovery for blocked user") != std::string::npos;
  EXPECT_EQ(ignored, 1u);
}

TEST_F(NeighborsTest, AFullTableEvictsExactlyTheLeastRecentlySeenPeer) {
  for (size_t i = 0; i < KnownPeers::kCapacity; ++i) {
    core->on_neighbor_discovered("peer" + std::to_string(i), std::nullopt);
    advance_ms(1);
  }
  // peer0 is the oldest until it is seen again; then peer1 is.
  core->on_neighbor_discovered("peer0", std::nullopt);
  EXPECT_EQ(core->TEST_mesh().known_peers().size(), KnownPeers::kCapacity);
  EXPECT_TRUE(core->TEST_mesh().known_peers().contains("peer0"));

  ASSERT_TRUE(core->TEST_mesh().budget().neighbor_is_eligible("peer1", clock.monotonic()));
  core->on_neighbor_discovered("newcomer", std::nullopt);
  EXPECT_EQ(core->TEST_mesh().known_peers().size(), KnownPeers::kCapacity);
  EXPECT_TRUE(core->TEST_mesh().known_peers().contains("newcomer"));
  EXPECT_FALSE(core->TEST_mesh().known_peers().contains("peer1"));
  EXPECT_TRUE(core->TEST_mesh().known_peers().contains("peer0"));
  EXPECT_TRUE(core->TEST_mesh().known_peers().contains("peer2"));
  EXPECT_FALSE(core->TEST_mesh().budget().has_neighbor_bucket("peer1"))
      << "evicted through peer_lost";
}

TEST_F(NeighborsTest, ALostPeerLeavesTheKnownTableAndItsRelayBucket) {
  core->on_neighbor_discovered("bob", std::nullopt);
  ASSERT_TRUE(core->TEST_mesh().budget().neighbor_is_eligible("bob", clock.monotonic()));
  const MessageId waiting = waiting_message_to("bob");
  core->on_peer_lost("bob");
  EXPECT_FALSE(core->TEST_mesh().known_peers().contains("bob"));
  EXPECT_FALSE(core->TEST_mesh().budget().has_neighbor_bucket("bob"));
  EXPECT_TRUE(core->TEST_outbox().entries().contains(waiting))
      << "the outbox is not the peer's state";
  core->on_peer_lost("nobody");  // unknown: nothing happens
  EXPECT_EQ(core->TEST_mesh().known_peers().size(), 0u);
}

TEST_F(NeighborsTest, TheTickForgetsPeersNotSeenForMoreThanHalfAnHour) {
  core->on_neighbor_discovered("old", std::nullopt);
  clock.advance(1s);
  core->on_neighbor_discovered("fresh", std::nullopt);
  clock.advance(1799s);  // "old" exactly 1800 s ago: still known
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_TRUE(core->TEST_mesh().known_peers().contains("old"));
  clock.advance(1ns);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_FALSE(core->TEST_mesh().known_peers().contains("old"));
  EXPECT_TRUE(core->TEST_mesh().known_peers().contains("fresh"));
}

}  // namespace
}  // namespace brenvik
