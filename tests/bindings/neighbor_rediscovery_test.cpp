// A peer that goes out of BLE reach and comes back: the core forgets it on
// loss and, on rediscovery, sends what waited for it at once instead of at
// the next back-off step.
#include "facade_fixture.h"

namespace brenvik::ffi {
namespace {

using testing::Device;
using testing::link;
using testing::settle;

bool knows(Device& d, const std::string& peer) {
  auto g = (*d).lock_inner_or_recover();
  return (*g)->TEST_mesh().known_peers().contains(peer);
}

size_t received_count(Device& d, std::string_view content) {
  size_t n = 0;
  for (const auto& e : d.drain_events())
    if (e.at("type") == "message_received" && e.at("content") == content) ++n;
  return n;
}

TEST(NeighborRediscovery, WhatWaitedForAPeerLeavesAsSoonAsItIsSeenAgain) {
  ManualClock clock;
  Device a("alice", clock), b("bob", clock);
  link(a, b);
  EXPECT_TRUE(knows(a, "bob"));
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_lost(*a, "bob").ok());
  EXPECT_FALSE(knows(a, "bob"));
  b.drain_events();

  auto id =
      body::brenvikprotocol_send_message(*a, "bob", "while away", MessagePriority::Medium, {});
  ASSERT_TRUE(id.ok()) << id.error().display();
  settle(a, b);
  EXPECT_EQ(received_count(b, "while away"), 0u);

  // No tick and no time passes: the discovery alone sends it.
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "bob", -40).ok());
  EXPECT_TRUE(knows(a, "bob"));
  settle(a, b);
  EXPECT_EQ(received_count(b, "while away"), 1u);
  EXPECT_EQ(body::brenvikprotocol_get_pending_ack_count(*a), 0u);
}

}  // namespace
}  // namespace brenvik::ffi
