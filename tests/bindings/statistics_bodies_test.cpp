// The relay-role query, the delivery statistics, the acknowledgement
// settings and the group forward, through the exported bodies.
#include <chrono>
#include <stdexcept>
#include <string>

#include "facade_fixture.h"

namespace brenvik::ffi {
namespace {

using namespace std::chrono_literals;
using testing::Device;

TEST(FacadeStatistics, ANewObjectAnswersZerosAndIsNoRelay) {
  ManualClock clock;
  Device a("alice", clock);
  EXPECT_FALSE(body::brenvikprotocol_is_relay(*a));
  EXPECT_EQ(body::brenvikprotocol_get_delivery_success_rate(*a), 0.0f);
  EXPECT_EQ(body::brenvikprotocol_get_median_hops(*a), 0);
  EXPECT_EQ(body::brenvikprotocol_get_median_latency(*a), 0u);
}

TEST(FacadeStatistics, TheStatisticsReadTheVisualizerWithoutInner) {
  ManualClock clock;
  Device a("alice", clock);
  {
    auto v = (*a).visualizer().lock();
    DeliveryRecord delivered;
    delivered.delivered_at_ms = 1'000;
    delivered.hop_count = 3;
    delivered.latency_ms = 120;
    DeliveryRecord pending;
    pending.hop_count = 9;
    pending.latency_ms = 400;
    v->delivery_records = {delivered, pending};
  }
  (*a).poison_inner_for_test();
  EXPECT_FLOAT_EQ(body::brenvikprotocol_get_delivery_success_rate(*a), 0.5f);
  EXPECT_EQ(body::brenvikprotocol_get_median_hops(*a), 3);
  EXPECT_EQ(body::brenvikprotocol_get_median_latency(*a), 400u);
  // The relay query answers "no" instead of failing on a poisoned `inner`.
  EXPECT_FALSE(body::brenvikprotocol_is_relay(*a));
}

// Marks the visualizer lock poisoned the way a fault inside it would.
void poison_visualizer(BrenvikProtocol& p) {
  try {
    auto g = p.visualizer().lock();
    throw std::runtime_error("fault while holding visualizer");
  } catch (const std::runtime_error&) {
  }
}

TEST(FacadeStatistics, MessageStatsAndTopologyCopyTheVisualizerState) {
  ManualClock clock;
  Device a("alice", clock);
  auto empty = body::brenvikprotocol_get_topology(*a);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value(), NetworkTopology{});
  EXPECT_TRUE(body::brenvikprotocol_get_message_stats(*a).empty());
  {
    auto v = (*a).visualizer().lock();
    v->local_node_id = "alice";  // never listed as a node
    v->nodes["zed"] = VisualizerNode{VisualizerNode::Kind::Relay, 40, (1ull << 32) + 7, 99};
    v->nodes["bob"] = VisualizerNode{};
    v->links.push_back(VisualizerLink{"alice", "bob", brenvik::TransportType::WifiDirect, 0.5f});
    DeliveryRecord r;
    r.message_id = "m1";
    r.sent_at_ms = 10;
    r.hop_count = 2;
    v->delivery_records = {r, r};
    v->delivery_records[1].delivered_at_ms = 20;
  }
  auto stats = body::brenvikprotocol_get_message_stats(*a);
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[0], (MessageStat{"m1", 10, std::nullopt, 2, "pending"}));
  EXPECT_EQ(stats[1], (MessageStat{"m1", 10, 20, 2, "delivered"}));

  auto t = body::brenvikprotocol_get_topology(*a);
  ASSERT_TRUE(t.ok());
  ASSERT_EQ(t.value().nodes.size(), 2u);
  EXPECT_EQ(t.value().nodes[0], (TopologyNode{"bob", "Normal", std::nullopt, std::nullopt, 0, 0}));
  EXPECT_EQ(t.value().nodes[1], (TopologyNode{"zed", "Relay", std::nullopt, 40, 7, 99}))
      << "the count keeps its low 32 bits";
  ASSERT_EQ(t.value().edges.size(), 1u);
  EXPECT_EQ(t.value().edges[0], (TopologyEdge{"alice", "bob", "WiFiDirect", 0.5f}));
  EXPECT_TRUE(t.value().messages.empty());

  // A poisoned state: the picture is refused, the listing still answers.
  poison_visualizer(*a);
  auto refused = body::brenvikprotocol_get_topology(*a);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().display(),
            "Internal lock poisoned: visualizer: poisoned lock: another task failed inside");
  EXPECT_EQ(body::brenvikprotocol_get_message_stats(*a).size(), 2u);
  EXPECT_FLOAT_EQ(body::brenvikprotocol_get_delivery_success_rate(*a), 0.5f);
}

TEST(FacadeStatistics, ProcessRunsTheRelayGateThatIsRelayReads) {
  ManualClock clock;
  Device a("alice", clock);
  ASSERT_TRUE(body::brenvikprotocol_start(*a).ok());
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "bob", -50).ok());
  {
    auto g = (*a).lock_inner();
    ASSERT_TRUE(g.ok());
    for (int i = 0; i < 3; ++i) (**g)->count_forward_for_others();
  }
  a.drain_events();
  clock.advance(60s);
  ASSERT_TRUE(body::brenvikprotocol_process(*a).ok());
  EXPECT_TRUE(body::brenvikprotocol_is_relay(*a));
  auto events = a.drain_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("type"), "relay_promoted");
  EXPECT_EQ(events[0].at("connection_count"), 1);
}

TEST(FacadeBattery, TheHostsReportIsReadBackAndDemotesARelayBelowTheFloor) {
  ManualClock clock;
  Device a("alice", clock);
  EXPECT_EQ(body::brenvikprotocol_get_battery_level(*a), std::nullopt);
  ASSERT_TRUE(body::brenvikprotocol_set_battery_state(*a, 250, true).ok());
  EXPECT_EQ(body::brenvikprotocol_get_battery_level(*a), std::optional<uint8_t>(100));
  EXPECT_TRUE(body::brenvikprotocol_get_is_charging(*a));

  ASSERT_TRUE(body::brenvikprotocol_start(*a).ok());
  ASSERT_TRUE(body::brenvikprotocol_set_battery_level(*a, 80).ok());
  EXPECT_FALSE(body::brenvikprotocol_get_is_charging(*a));
  {
    auto g = (*a).lock_inner();
    ASSERT_TRUE(g.ok());
    for (int i = 0; i < 3; ++i) (**g)->count_forward_for_others();
  }
  clock.advance(60s);
  ASSERT_TRUE(body::brenvikprotocol_process(*a).ok());
  ASSERT_TRUE(body::brenvikprotocol_is_relay(*a));
  a.drain_events();

  // Under the default floor of 30 %.
  ASSERT_TRUE(body::brenvikprotocol_set_battery_level(*a, 20).ok());
  ASSERT_TRUE(body::brenvikprotocol_process(*a).ok());
  EXPECT_FALSE(body::brenvikprotocol_is_relay(*a));
  auto events = a.drain_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("type"), "relay_demoted_battery");
  EXPECT_EQ(events[0].at("battery_level"), 20);
  EXPECT_EQ(events[0].at("min_required"), 30);

  (*a).poison_inner_for_test();
  EXPECT_EQ(body::brenvikprotocol_get_battery_level(*a), std::nullopt);
  EXPECT_FALSE(body::brenvikprotocol_set_battery_level(*a, 50).ok());
}

TEST(FacadeAckConfig, ARefusedUpdateChangesNothingAndAGoodOneIsStored) {
  ManualClock clock;
  Device a("alice", clock);
  auto refused = body::brenvikprotocol_update_ack_config(*a, AckConfig{0, 10});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), InterfaceError::Kind::InvalidConfig);
  EXPECT_EQ(refused.error().display(),
            "Invalid configuration: ack.default_timeout_ms must be greater than 0");
  {
    auto g = (*a).lock_inner();
    ASSERT_TRUE(g.ok());
    EXPECT_EQ((**g)->config().ack.default_timeout_ms, 10'000u);
  }
  // The recovering form: a poisoned `inner` does not stop the update.
  (*a).poison_inner_for_test();
  ASSERT_TRUE(body::brenvikprotocol_update_ack_config(*a, AckConfig{2'500, 64}).ok());
  auto g = (*a).lock_inner_or_recover();
  EXPECT_EQ((*g)->config().ack.default_timeout_ms, 2'500u);
  EXPECT_EQ((*g)->config().ack.max_pending_acks, 64u);
  EXPECT_EQ((*g)->ack_manager().default_timeout_ms(), 2'500u);
}

// A received message as the host holds it.
std::string held_message(std::string content, std::string content_type = "text",
                         std::optional<uint32_t> forward_count = std::nullopt) {
  nlohmann::json j = {{"app_id", "demo.chat"},
                      {"content", content},
                      {"content_type", content_type},
                      {"hop_count", 0},
                      {"id", "6f1c2b8e-3d4a-4b5c-8d9e-0a1b2c3d4e5f"},
                      {"lamport_clock", 1},
                      {"priority", "Medium"},
                      {"recipient", "alice"},
                      {"sender", "bob"},
                      {"timestamp", 1'700'000'000'000},
                      {"ttl", 8}};
  if (forward_count)
    j["forwarded_from"] = {{"forward_count", *forward_count},
                           {"original_message_id", "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"},
                           {"original_sender", "carol"},
                           {"original_timestamp", 1}};
  return j.dump();
}

struct GroupForwardCase {
  const char* name;
  std::string json;
  InterfaceError::Kind kind;
  std::string display;
};

TEST(FacadeGroupForward, RefusalsComeFirstAndNoGroupIsReachableWithoutMls) {
  ManualClock clock;
  Device a("alice", clock);
  ASSERT_TRUE(body::brenvikprotocol_start(*a).ok());
  const GroupForwardCase cases[] = {
      {"unreadable", "{", InterfaceError::Kind::InvalidConfig,
       "Invalid configuration: Failed to parse original message JSON: "},
      // The marker check runs before the content-type check.
      {"reserved marker", held_message("__DATA_V1__x", "file_chunk"),
       InterfaceError::Kind::InvalidArgument,
       "Invalid argument: Cannot forward a message with reserved internal prefix content"},
      {"file chunk", held_message("data", "file_chunk"), InterfaceError::Kind::InvalidArgument,
       "Invalid argument: FileChunk is an internal content type and cannot be forwarded"},
      {"chain too long", held_message("hi", "text", 100), InterfaceError::Kind::InvalidArgument,
       "Invalid argument: Forward count 101 exceeds maximum of 100"},
      // Past the checks the group's roster is needed, which only the MLS
      // layer can give: never a pretended send.
      {"count 99 passes the checks", held_message("hi", "text", 99), InterfaceError::Kind::Other,
       "MLS not initialized"},
      {"plain", held_message("hi"), InterfaceError::Kind::Other, "MLS not initialized"},
  };
  for (const GroupForwardCase& c : cases) {
    auto r =
        body::brenvikprotocol_forward_message_to_group(*a, c.json, "team", MessagePriority::Medium);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name;
    EXPECT_TRUE(r.error().display().starts_with(c.display))
        << c.name << ": " << r.error().display();
  }
  EXPECT_FALSE(body::brenvikprotocol_ble_get_next_fragment(*a)) << "nothing was sent";
}

}  // namespace
}  // namespace brenvik::ffi
