#include <gtest/gtest.h>

#include "core_test_support.h"
#include "protocol/transport_manager.h"

namespace brenvik::testing {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeTransport> add(TransportType t,
                                     TransportStatus s = TransportStatus::Available) {
    auto f = std::make_shared<FakeTransport>(t, s);
    tm.register_transport(t, f);
    return f;
  }
  ManualClock clock;
  TransportManager tm{DorsConfig{}, clock};
  std::vector<ProtocolEvent> events;
};

TEST_F(RegistryTest, AvailableSetMergesLinkStatisticsAndBattery) {
  add(TransportType::Ble, TransportStatus::Connecting);
  add(TransportType::Internet);
  for (int i = 0; i < 9; ++i) tm.record_ack_latency(TransportType::Internet, 100, 1);
  tm.record_transport_failure(TransportType::Internet);
  tm.set_battery_status(150, true);
  auto a = tm.available_transports();
  ASSERT_EQ(a.size(), 1u);
  const TransportMetrics& m = a.at(TransportType::Internet);
  EXPECT_EQ(m.messages_delivered, 9u);
  EXPECT_EQ(m.messages_failed, 1u);
  EXPECT_NEAR(*m.success_rate, 0.9f, 1e-6);
  EXPECT_NEAR(*m.failure_rate, 0.1f, 1e-6);
  EXPECT_EQ(m.battery_level, 100);
  EXPECT_TRUE(m.is_charging);
}

TEST_F(RegistryTest, LinkStatisticsAverageAndHalve) {
  tm.record_ack_latency(TransportType::Ble, 100, 1);
  tm.record_ack_latency(TransportType::Ble, 200, 3);
  auto s = tm.link_stats(TransportType::Ble);
  EXPECT_NEAR(*s->rtt_ewma_ms, 130.0f, 1e-3);
  EXPECT_NEAR(*s->hop_ewma, 1.4f, 1e-5);
  for (int i = 0; i < 9999; ++i) tm.record_ack_latency(TransportType::Ble, 10, 0);
  EXPECT_EQ(tm.link_stats(TransportType::Ble)->successes, 5000u);
}

TEST_F(RegistryTest, SendRaisesRouterEventsAndFallsBack) {
  tm.set_event_sink([this](ProtocolEvent e) { events.push_back(std::move(e)); });
  auto net = add(TransportType::Internet);
  ASSERT_TRUE(tm.send(MessageBuilder("a", "b", "x").build(clock)).ok());
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(events[0].get_if<event::DorsScoreUpdated>());
  EXPECT_EQ(events[1].get_if<event::DorsTransportSelected>()->reason_code,
            TransportSelectionReason::InitialSelection);
  EXPECT_EQ(events[2].get_if<event::DorsTransportSwitched>()->reason_code,
            TransportSelectionReason::PrimarySuccess);
  EXPECT_EQ(tm.current_transport(), TransportType::Internet);
  events.clear();
  ASSERT_TRUE(tm.send(MessageBuilder("a", "b", "x").build(clock)).ok());
  EXPECT_EQ(events.size(), 2u);
  // The only candidate fails: the error lists what was tried.
  net->refuse = TransportError::send_failed("boom");
  auto r = tm.send(MessageBuilder("a", "b", "x").build(clock));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().transport_error()->text, "All transports failed (tried [Internet])");
  EXPECT_EQ(tm.router().failures(TransportType::Internet), 1u);
  net->refuse = TransportError::peer_not_reachable("nope");
  r = tm.send(MessageBuilder("a", "b", "x").build(clock));
  EXPECT_EQ(r.error().code(), "peer_not_reachable");
  EXPECT_EQ(tm.router().failures(TransportType::Internet), 1u);  // unreachable is not a failure
}

TEST_F(RegistryTest, NoAvailableTransport) {
  add(TransportType::Ble, TransportStatus::Disconnected);
  auto r = tm.send(MessageBuilder("a", "b", "x").build(clock));
  EXPECT_EQ(
      r.error().message(),
      "Transport error: " + TransportError::not_available("No available transport").message());
  auto v = tm.send_via(MessageBuilder("a", "b", "x").build(clock), TransportType::Ble);
  EXPECT_EQ(v.error().message(), "Transport BLE is not available");
  EXPECT_FALSE(tm.current_transport().has_value());
  v = tm.send_via(MessageBuilder("a", "b", "x").build(clock), TransportType::Reticulum);
  EXPECT_EQ(v.error().message(), "Transport Reticulum not found");
}

TEST_F(RegistryTest, PeersLinksAndRemoval) {
  auto wifi = add(TransportType::WifiDirect);
  auto ble = add(TransportType::Ble);
  wifi->peers = {{"p1", std::nullopt}};
  ble->peers = {{"p1", -50}, {"p2", -60}};
  auto n = tm.connected_neighbors();
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(n[0].transport, TransportType::WifiDirect);
  EXPECT_FALSE(n[0].peer.rssi_dbm.has_value());
  EXPECT_EQ(tm.direct_link_transport("p1"), TransportType::WifiDirect);
  EXPECT_EQ(tm.direct_link_transport("p2"), TransportType::Ble);
  wifi->set_status(TransportStatus::Connecting);
  EXPECT_EQ(tm.direct_link_transport("p1"), TransportType::Ble);
  EXPECT_FALSE(tm.has_direct_mesh_link(TransportType::Reticulum, "p1"));
  wifi->set_status(TransportStatus::Available);
  wifi->refuse_peer = TransportError::send_failed("busy");
  ble->refuse_peer = TransportError::send_failed("gone");
  auto r = tm.send_to_peer("p9", MessageBuilder("a", "b", "x").build(clock));
  EXPECT_EQ(r.error().transport_error()->text, "no mesh transport holds a link to p9 (" +
                                                   TransportError::send_failed("gone").message() +
                                                   ")");
  ASSERT_TRUE(tm.send_via(MessageBuilder("a", "b", "x").build(clock), TransportType::Ble).ok());
  tm.remove(TransportType::Ble);
  EXPECT_FALSE(tm.current_transport().has_value());
  EXPECT_EQ(tm.active_transports(), std::vector<TransportType>{TransportType::WifiDirect});
}

TEST_F(RegistryTest, PeerFailureLifetimes) {
  MonoTime t0 = clock.monotonic();
  tm.record_peer_failure("a", TransportType::Internet, false, false, t0);
  tm.record_peer_failure("b", TransportType::Internet, false, true, t0);
  tm.record_peer_failure("a", TransportType::Reticulum, false, false, t0);
  EXPECT_EQ(tm.peer_failure_entry("a")->records.size(), 2u);
  tm.evict_peer_failures(t0 + std::chrono::seconds(300));
  EXPECT_EQ(tm.peer_failure_entry("b"), nullptr);
  tm.evict_peer_failures(t0 + std::chrono::seconds(599));
  EXPECT_NE(tm.peer_failure_entry("a"), nullptr);
  tm.evict_peer_failures(t0 + std::chrono::seconds(600));
  EXPECT_EQ(tm.peer_failure_entry("a"), nullptr);
}

TEST_F(RegistryTest, WireV1SetIsBounded) {
  for (int i = 0; i < 4096; ++i) tm.set_peer_wire_v1("p" + std::to_string(i), true);
  tm.set_peer_wire_v1("p5", true);
  EXPECT_EQ(tm.wire_v1_peer_count(), 4096u);
  tm.set_peer_wire_v1("new", true);
  EXPECT_EQ(tm.wire_v1_peer_count(), 1u);
  auto m = MessageBuilder("a", "new", "x").build(clock);
  EXPECT_TRUE(tm.apply_wire_format(m)->compact_wire);
}

TEST_F(RegistryTest, StartAllStopsAtTheFirstFailure) {
  auto net = add(TransportType::Internet);
  auto ble = add(TransportType::Ble);
  auto wifi = add(TransportType::WifiDirect);
  ble->fail_start = true;
  auto r = tm.start_all();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().message().starts_with("Failed to start transport BLE: "));
  EXPECT_EQ(r.error().code(), "transport_send_failed");
  EXPECT_EQ(net->start_calls, 1);
  EXPECT_EQ(wifi->start_calls, 0);
}

TEST_F(RegistryTest, ReceiveDrainsEachTransport) {
  auto net = add(TransportType::Internet);
  auto ble = add(TransportType::Ble);
  net->inbound.push_back(MessageBuilder("a", "b", "x").build(clock));
  ble->inbound.push_back(MessageBuilder("c", "b", "x").build(clock));
  EXPECT_TRUE(tm.receive().has_value());
  EXPECT_TRUE(tm.receive().has_value());
  EXPECT_FALSE(tm.receive().has_value());
}

}  // namespace
}  // namespace brenvik::testing
