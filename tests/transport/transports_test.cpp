#include <gtest/gtest.h>

#include <memory>

#include "transport/ble_transport.h"
#include "transport/confirming_transport.h"
#include "transport/message_codec.h"
#include "transport/message_json.h"
#include "transport/transport.h"
#include "transport/wifi_direct_transport.h"
#include "util/log.h"

namespace brenvik {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Message make_message(std::string recipient = "bob", size_t content = 10) {
  return MessageBuilder("alice", std::move(recipient), "app")
      .with_content(std::string(content, 'x'))
      .build();
}

BlePeer ble_peer(std::string id, int16_t rssi) {
  BlePeer p;
  p.peer_id = std::move(id);
  p.rssi_dbm = rssi;
  return p;
}

bool logged(const ScopedLogCapture& cap, LogLevel level, std::string_view text) {
  for (const auto& e : cap.entries()) {
    if (e.level == level && e.message.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(TransportDefaults, RefusalTexts) {
  ManualClock clock;
  InternetTransport internet(clock);
  WifiDirectTransport wifi(clock);
  BleTransport ble(clock);
  ReticulumTransport reticulum(clock);
  struct Case {
    const char* name;
    Result<void, TransportError> result;
    std::string text;
  };
  Case cases[] = {
      {"internet send_to_peer", internet.send_to_peer("abc", make_message()),
       "internet transport cannot address peer abc independently of the recipient"},
      {"reticulum send_to_peer", reticulum.send_to_peer("p", make_message()),
       "reticulum transport cannot address peer p independently of the recipient"},
      {"wifi fragment", wifi.on_fragment_received(Bytes{1}),
       "wifiDirect transport does not reassemble fragments; use on_data_received instead"},
      {"wifi fragment from", wifi.on_fragment_received_from("p", Bytes{1}),
       "wifiDirect transport does not reassemble fragments; use on_data_received_from instead"},
      {"ble data", ble.on_data_received(Bytes{1}),
       "ble transport does not accept whole-message data; use the transport's fragment/event "
       "ingress instead"},
      {"ble data from", ble.on_data_received_from("p", Bytes{1}),
       "ble transport does not accept whole-message data; use the transport's fragment/event "
       "ingress instead"},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(c.result.ok()) << c.name;
    EXPECT_EQ(c.result.error().kind, TransportError::Kind::Other) << c.name;
    EXPECT_EQ(c.result.error().message(), c.text) << c.name;
  }
}

TEST(TransportDefaults, LoggedIgnores) {
  ManualClock clock;
  InternetTransport internet(clock);
  WifiDirectTransport wifi(clock);
  ScopedLogCapture cap;
  bool called = false;
  internet.set_on_messages_available([&] { called = true; });
  ASSERT_TRUE(internet.send(make_message()).ok() == false);  // not available: nothing queued
  internet.set_status(TransportStatus::Available);
  ASSERT_TRUE(internet.send(make_message()).ok());
  EXPECT_FALSE(called);
  EXPECT_TRUE(logged(cap, LogLevel::Warn,
                     "set_on_messages_available: transport has no outbound-available callback; "
                     "callback dropped"));
  wifi.set_peer_mtu("p", 300);
  EXPECT_TRUE(logged(cap, LogLevel::Warn, "set_peer_mtu: transport is not MTU-aware; ignoring"));
  wifi.confirm_sent("id");
  EXPECT_TRUE(
      logged(cap, LogLevel::Debug, "confirm_sent: transport has no confirmation loop; ignoring"));
  EXPECT_TRUE(wifi.get_next_fragment().value() == std::nullopt);
}

TEST(TransportMetricsRates, DerivedRates) {
  struct Case {
    std::optional<float> explicit_failure;
    uint32_t delivered, failed;
    std::optional<float> success, failure;
  };
  const Case cases[] = {
      {std::nullopt, 3, 1, 0.75f, 0.25f},
      {std::nullopt, 0, 0, std::nullopt, std::nullopt},
      {1.7f, 0, 0, std::nullopt, 1.0f},
      {-0.2f, 5, 5, 0.5f, 0.0f},
  };
  for (const Case& c : cases) {
    TransportMetrics m;
    m.failure_rate = c.explicit_failure;
    m.messages_delivered = c.delivered;
    m.messages_failed = c.failed;
    EXPECT_EQ(m.effective_success_rate(), c.success);
    EXPECT_EQ(m.effective_failure_rate(), c.failure);
  }
  TransportMetrics m;
  m.messages_failed = 0xFFFFFFFE;
  m.record_failures(5);
  EXPECT_EQ(m.messages_failed, 0xFFFFFFFFu);
  EXPECT_EQ(m.failure_rate, 1.0f);
  EXPECT_EQ(m.success_rate, 0.0f);
}

TEST(TransportSignal, RssiToQuality) {
  const std::pair<int16_t, uint8_t> cases[] = {{-40, 100}, {-50, 100}, {-51, 98}, {-60, 85},
                                               {-70, 70},  {-71, 68},  {-85, 40}, {-86, 37},
                                               {-99, 2},   {-100, 0},  {-120, 0}, {-32768, 0}};
  for (auto [r, q] : cases) EXPECT_EQ(rssi_to_quality(r), q) << r;
}

class BleTransportTest : public ::testing::Test {
 protected:
  ManualClock clock;
  BleTransport ble{clock};

  void SetUp() override { (void)ble.start(); }
  std::vector<OutboundFrame> pull_all() {
    std::vector<OutboundFrame> out;
    while (true) {
      auto f = ble.get_next_fragment();
      EXPECT_TRUE(f.ok());
      if (!f.ok() || !f.value()) break;
      out.push_back(std::move(*f.value()));
    }
    return out;
  }
};

TEST_F(BleTransportTest, PeerSizesDecideFrameSizes) {
  ble.peer_discovered(ble_peer("bob", -60));
  ble.set_peer_mtu("bob", 512);
  Message m = make_message("bob", 3000);
  ASSERT_TRUE(ble.send(m).ok());
  auto frames = pull_all();
  ASSERT_GT(frames.size(), 1u);
  for (size_t i = 0; i + 1 < frames.size(); ++i) EXPECT_EQ(frames[i].bytes.size(), 512u);
  EXPECT_EQ(frames[0].target, "bob");
  EXPECT_EQ(ble.fragment_fallback_count(), 0u);

  ble.clear_peer_mtu("bob");
  ASSERT_TRUE(ble.send(m).ok());
  frames = pull_all();
  EXPECT_EQ(frames[0].bytes.size(), 185u);
  EXPECT_EQ(ble.fragment_fallback_count(), 1u);

  // The frames reassemble into the message on a second transport.
  BleTransport rx(clock);
  for (auto& f : frames) ASSERT_TRUE(rx.on_fragment_received_from("alice-link", f.bytes).ok());
  auto got = rx.receive();
  ASSERT_TRUE(got.ok() && got.value());
  EXPECT_EQ(got.value()->content, m.content);
  EXPECT_EQ(got.value()->transport_peer_id, "alice-link");
}

TEST_F(BleTransportTest, MtuReports) {
  struct Case {
    uint32_t reported;
    std::optional<size_t> frame_size;  // first frame size of the next message; none: 185 fallback
    uint64_t undersized;
  };
  ble.peer_discovered(ble_peer("bob", -60));
  ble.set_peer_mtu("bob", 300);
  const Case cases[] = {
      {184, std::nullopt, 1}, {185, 185, 1}, {1000, 512, 1}, {100, std::nullopt, 2}};
  for (const Case& c : cases) {
    ble.set_peer_mtu("bob", c.reported);
    ASSERT_TRUE(ble.send(make_message("bob", 3000)).ok());
    auto frames = pull_all();
    EXPECT_EQ(frames[0].bytes.size(), c.frame_size.value_or(185)) << c.reported;
    EXPECT_EQ(ble.undersized_mtu_reports(), c.undersized) << c.reported;
  }
}

TEST_F(BleTransportTest, TooLargeForBleIsRefusedWhenQueued) {
  ble.peer_discovered(ble_peer("bob", -60));
  // The JSON around the content takes some bytes: find the largest content
  // that still fits 512 frames of 185 bytes, then one byte more.
  const uint64_t limit = max_fragmentable_bytes(185);
  Message probe = make_message("bob", 0);
  const size_t overhead = encode_message_for_transport(probe).value().size();
  Message fits = probe;
  fits.content = std::string(limit - overhead, 'x');
  Message too_big = probe;
  too_big.content = std::string(limit - overhead + 1, 'x');

  auto refused = ble.send(too_big);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, TransportError::Kind::MessageTooLarge);
  EXPECT_EQ(refused.error().limit, limit);
  EXPECT_EQ(ble.queue_stats().outbound_queued, 0u);

  ASSERT_TRUE(ble.send(fits).ok());
  EXPECT_EQ(pull_all().size(), 512u);
  // A larger stored size raises the limit.
  ble.set_peer_mtu("bob", 512);
  EXPECT_TRUE(ble.send(too_big).ok());
}

TEST_F(BleTransportTest, RefusalsAndRecipientMismatchCounter) {
  auto none = ble.send(make_message("carol"));
  EXPECT_EQ(none.error().message(),
            "Peer not reachable: BLE: no connected peer for recipient carol");
  EXPECT_EQ(ble.recipient_not_among_peers_count(), 0u);
  ble.peer_discovered(ble_peer("dev-1", -60));
  ble.peer_discovered(ble_peer("dev-2", -70));
  ScopedLogCapture cap;
  EXPECT_FALSE(ble.send(make_message("carol")).ok());
  EXPECT_EQ(ble.recipient_not_among_peers_count(), 1u);
  EXPECT_TRUE(logged(cap, LogLevel::Warn, "keying mismatch"));
  auto peer = ble.send_to_peer("carol", make_message());
  EXPECT_EQ(peer.error().message(), "Peer not reachable: BLE: carol is not a connected peer");
  EXPECT_TRUE(ble.send_to_peer("dev-1", make_message("carol")).ok());
  ble.set_status(TransportStatus::Error);
  auto down = ble.send_to_peer("dev-1", make_message());
  EXPECT_EQ(down.error().kind, TransportError::Kind::NotAvailable);
  EXPECT_EQ(down.error().message(),
            "Transport not available: BLE transport is not available (status: Error)");
}

TEST_F(BleTransportTest, LeavingAvailableForgetsEverythingOtherTransitionsNothing) {
  ble.set_status(TransportStatus::Unavailable);
  ble.peer_discovered(ble_peer("bob", -60));
  ble.set_peer_mtu("bob", 400);
  ble.set_status(TransportStatus::Connecting);  // not from Available: kept
  EXPECT_TRUE(ble.connected_peers().empty());   // only Available lists peers
  ble.set_status(TransportStatus::Available);
  ASSERT_EQ(ble.connected_peers().size(), 1u);
  EXPECT_EQ(ble.connected_peers()[0], (ConnectedPeer{"bob", -60}));
  ASSERT_TRUE(ble.send(make_message("bob", 2000)).ok());
  ASSERT_TRUE(ble.get_next_fragment().value());  // split: frames wait
  auto frames = fragment_message(make_message("x", 1000), 185).value();
  ASSERT_TRUE(ble.on_fragment_received_from("x", frames[0]).ok());
  EXPECT_EQ(ble.assembly_count(), 1u);
  EXPECT_GT(ble.metrics().queue_depth, 0u);

  ble.set_status(TransportStatus::Connecting);
  ble.set_status(TransportStatus::Available);
  EXPECT_TRUE(ble.connected_peers().empty());
  EXPECT_EQ(ble.assembly_count(), 0u);
  EXPECT_EQ(ble.metrics().queue_depth, 0u);
  EXPECT_FALSE(ble.get_next_fragment().value());
}

TEST_F(BleTransportTest, MessagesArePulledWholeOneAfterAnother) {
  ble.peer_discovered(ble_peer("bob", -60));
  Message a = make_message("bob", 500), b = make_message("bob", 500);
  int notified = 0;
  ble.set_on_messages_available([&] { ++notified; });
  ASSERT_TRUE(ble.send(a).ok());
  ASSERT_TRUE(ble.send(b).ok());
  EXPECT_EQ(notified, 2);
  auto frames = pull_all();
  const std::string ida = display_message_id(a.id), idb = display_message_id(b.id);
  size_t switched = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    auto h = parse_fragment(frames[i].bytes).value();
    if (h.message_id == idb && switched == 0) switched = i;
    EXPECT_EQ(h.message_id, switched == 0 || i < switched ? ida : idb) << i;
  }
  EXPECT_GT(switched, 0u);
}

TEST_F(BleTransportTest, OutboundQueueIsBoundedAndDropsAreCounted) {
  BleTransport small(clock, 3);
  (void)small.start();
  small.peer_discovered(ble_peer("bob", -60));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(small.send(make_message("bob")).ok());
  auto full = small.send(make_message("bob"));
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error().kind, TransportError::Kind::SendFailed);
  auto st = small.queue_stats();
  EXPECT_EQ(st.outbound_dropped, 1u);
  EXPECT_EQ(st.outbound_queued, 3u);
  EXPECT_EQ(st.outbound_capacity, 3u);
  // Pulling makes room again.
  ASSERT_TRUE(small.get_next_fragment().value());
  while (small.get_next_fragment().value()) {
  }
  EXPECT_TRUE(small.send(make_message("bob")).ok());
}

TEST_F(BleTransportTest, EvictionReachesObserverAndCountsFailure) {
  std::vector<EvictedAssembly> seen;
  ble.set_eviction_observer([&](const EvictedAssembly& e) { seen.push_back(e); });
  for (int i = 0; i < 65; ++i) {
    auto frames = fragment_message(make_message("x", 600), 185).value();
    ASSERT_TRUE(ble.on_fragment_received_from("p" + std::to_string(i % 5), frames[0]).ok());
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(ble.metrics().messages_failed, 1u);
  EXPECT_EQ(ble.metrics().failure_rate, 1.0f);
  ble.set_eviction_observer(std::nullopt);
  auto frames = fragment_message(make_message("x", 600), 185).value();
  ASSERT_TRUE(ble.on_fragment_received_from("q", frames[0]).ok());
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(ble.metrics().messages_failed, 2u);
}

TEST_F(BleTransportTest, BadFragmentsAreDroppedNotReturned) {
  ScopedLogCapture cap;
  EXPECT_TRUE(ble.on_fragment_received(Bytes{1, 2, 3}).ok());
  EXPECT_TRUE(logged(cap, LogLevel::Warn, "Error processing fragment, dropping bad fragment"));
  // A complete frame set whose bytes are not a message is dropped too.
  auto frames = fragment_encoded("id", Bytes(400, 'z'), 185).value();
  for (auto& f : frames) EXPECT_TRUE(ble.on_fragment_received_from("p", f).ok());
  EXPECT_FALSE(ble.receive().value());
  EXPECT_EQ(ble.queue_stats().inbound_malformed, 1u);
}

TEST_F(BleTransportTest, LatencySampleSmoothing) {
  auto send_with_delay = [&](int ms) {
    auto frames = fragment_message(make_message("x", 400), 185).value();
    ASSERT_TRUE(ble.on_fragment_received_from("p", frames[0]).ok());
    clock.advance(milliseconds(ms));
    for (size_t i = 1; i < frames.size(); ++i) {
      ASSERT_TRUE(ble.on_fragment_received_from("p", frames[i]).ok());
    }
  };
  send_with_delay(100);
  EXPECT_EQ(ble.metrics().latency_ms, 100u);
  send_with_delay(200);
  EXPECT_EQ(ble.metrics().latency_ms, 130u);  // 0.3 * 200 + 0.7 * 100
}

TEST(WifiDirectTransportTest, StatusPeersAndQueueMetrics) {
  ManualClock clock;
  WifiDirectTransport wifi(clock);
  wifi.peer_connected("bob");  // while Unavailable: kept
  wifi.peer_connected("");
  wifi.set_status(TransportStatus::Available);
  EXPECT_EQ(wifi.status(), TransportStatus::Available);
  EXPECT_FALSE(wifi.peer_disconnected("nobody"));
  EXPECT_TRUE(wifi.peer_disconnected("bob"));
  EXPECT_EQ(wifi.status(), TransportStatus::Connecting);
  EXPECT_TRUE(wifi.connected_peers().empty());
  auto r = wifi.send_to_peer("bob", make_message());
  EXPECT_EQ(r.error().message(), "Peer not reachable: Wi-Fi Direct: bob is not a connected peer");
  EXPECT_EQ(wifi.send(make_message("bob")).error().message(),
            "Peer not reachable: peer stream: no stream has proved bob");

  wifi.peer_connected("bob");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(wifi.send(make_message("bob")).ok());
  EXPECT_EQ(wifi.metrics().queue_depth, 3u);
  EXPECT_FLOAT_EQ(wifi.metrics().queue_utilization, 0.15f);
  for (int i = 0; i < 3; ++i) {
    auto f = wifi.get_next_message();
    ASSERT_TRUE(f.ok() && f.value());
    EXPECT_EQ(f.value()->target, "bob");
    EXPECT_TRUE(decode_message(f.value()->bytes).ok());
  }
  EXPECT_EQ(wifi.metrics().queue_depth, 3u);  // a pull does not refresh it
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(wifi.send(make_message("bob")).ok());
  EXPECT_FLOAT_EQ(wifi.metrics().queue_utilization, 1.0f);

  wifi.set_status(TransportStatus::Error);
  EXPECT_EQ(wifi.metrics().queue_depth, 0u);
  EXPECT_FALSE(wifi.get_next_message().value());
  EXPECT_EQ(wifi.send(make_message("bob")).error().kind, TransportError::Kind::NotAvailable);
}

TEST(WifiDirectTransportTest, IngressLimits) {
  ManualClock clock;
  WifiDirectTransport wifi(clock);
  auto big = wifi.on_data_received(Bytes(1048577, 'x'));
  EXPECT_EQ(big.error().kind, TransportError::Kind::MessageTooLarge);
  EXPECT_TRUE(wifi.on_data_received(Bytes(1048576, 'x')).ok());
  EXPECT_FALSE(wifi.receive().value());
  Bytes good = encode_message_for_transport(make_message()).value();
  EXPECT_FALSE(wifi.on_data_received_from("", good).ok());
  EXPECT_TRUE(wifi.on_data_received_from("link-7", good).ok());
  auto m = wifi.receive().value();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->transport_peer_id, "link-7");
}

TEST(WifiDirectTransportTest, OutboundBound) {
  ManualClock clock;
  WifiDirectTransport wifi(clock, 2);
  wifi.set_status(TransportStatus::Available);
  wifi.peer_connected("bob");
  ASSERT_TRUE(wifi.send(make_message("bob")).ok());
  ASSERT_TRUE(wifi.send(make_message("bob")).ok());
  EXPECT_EQ(wifi.send(make_message("bob")).error().kind, TransportError::Kind::SendFailed);
  EXPECT_EQ(wifi.queue_stats().outbound_dropped, 1u);
}

struct ConfirmCase {
  const char* name;
  std::function<std::unique_ptr<ConfirmingTransport>(const Clock&)> make;
  milliseconds still_pending;
  milliseconds expired;
};

TEST(ConfirmingTransportTest, VerdictTimeouts) {
  const ConfirmCase cases[] = {
      {"internet", [](const Clock& c) { return std::make_unique<InternetTransport>(c); },
       milliseconds(14900), milliseconds(15000)},
      {"reticulum", [](const Clock& c) { return std::make_unique<ReticulumTransport>(c); },
       milliseconds(120000), milliseconds(120500)},
  };
  for (const ConfirmCase& c : cases) {
    for (bool expire : {false, true}) {
      ManualClock clock;
      auto t = c.make(clock);
      t->set_status(TransportStatus::Available);
      ASSERT_TRUE(t->send(make_message()).ok());
      ASSERT_TRUE(t->send(make_message()).ok());
      ASSERT_TRUE(t->get_next_message().value());
      clock.advance(expire ? c.expired : c.still_pending);
      ASSERT_TRUE(t->get_next_message().value());  // the pull runs the sweep
      EXPECT_EQ(t->metrics().messages_failed, expire ? 1u : 0u) << c.name << " " << expire;
      EXPECT_EQ(t->pending_confirmation_count(), expire ? 1u : 2u) << c.name;
    }
  }
}

TEST(ConfirmingTransportTest, VerdictsCountOnce) {
  ManualClock clock;
  InternetTransport t(clock);
  t.set_status(TransportStatus::Available);
  Message m = make_message();
  ASSERT_TRUE(t.send(m).ok());
  auto f = t.get_next_message().value();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->target, display_message_id(m.id));
  ScopedLogCapture cap;
  t.confirm_sent(f->target);
  t.confirm_sent(f->target);
  t.report_send_failure(f->target);
  EXPECT_EQ(t.metrics().messages_delivered, 1u);
  EXPECT_EQ(t.metrics().messages_failed, 0u);
  EXPECT_EQ(t.metrics().success_rate, 1.0f);
  EXPECT_TRUE(logged(cap, LogLevel::Debug, "confirm_sent: unknown or already-resolved message"));
}

TEST(ConfirmingTransportTest, DisconnectFailsOutstandingAndKeepsQueue) {
  ManualClock clock;
  InternetTransport t(clock);
  t.set_status(TransportStatus::Available);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(t.send(make_message()).ok());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(t.get_next_message().value());
  ScopedLogCapture cap;
  t.set_status(TransportStatus::Disconnected);
  EXPECT_EQ(t.metrics().messages_failed, 3u);
  EXPECT_TRUE(logged(cap, LogLevel::Warn,
                     "Internet transport disconnected with 2 messages in queue (will retry)"));
  EXPECT_EQ(t.send(make_message()).error().message(),
            "Transport not available: Internet transport is not available");
  (void)t.stop();
  t.set_status(TransportStatus::Available);
  EXPECT_TRUE(
      logged(cap, LogLevel::Info, "Internet transport available, 2 messages pending in queue"));
  EXPECT_TRUE(t.get_next_message().value());
  EXPECT_TRUE(t.get_next_message().value());
  EXPECT_FALSE(t.get_next_message().value());
}

TEST(ConfirmingTransportTest, ReticulumStopDropsQueuesAndCompactFlagDiffers) {
  ManualClock clock;
  ReticulumTransport ret(clock);
  InternetTransport net(clock);
  int notified = 0;
  ret.set_on_messages_available([&] { ++notified; });
  ret.set_status(TransportStatus::Available);
  net.set_status(TransportStatus::Available);
  EXPECT_EQ(ret.send(make_message()).ok(), true);
  EXPECT_EQ(notified, 1);
  Message compact = make_message();
  compact.compact_wire = true;
  ASSERT_TRUE(ret.send(compact).ok());
  ASSERT_TRUE(net.send(compact).ok());
  ASSERT_TRUE(ret.get_next_message().value());
  auto rf = ret.get_next_message().value();
  auto nf = net.get_next_message().value();
  EXPECT_EQ(rf->bytes.at(0), 0xF5);
  EXPECT_EQ(nf->bytes.at(0), '{');
  ASSERT_TRUE(ret.send(make_message()).ok());
  ASSERT_TRUE(ret.on_data_received(encode_message_for_transport(make_message()).value()).ok());
  (void)ret.stop();
  EXPECT_FALSE(ret.get_next_message().value());
  EXPECT_FALSE(ret.receive().value());
  EXPECT_EQ(ret.metrics().messages_failed, 2u);  // both pulled frames were pending
  EXPECT_EQ(ret.send(make_message()).error().message(),
            "Transport not available: Reticulum transport is Disconnected");
}

TEST(ConfirmingTransportTest, PendingTableIsBounded) {
  ManualClock clock;
  ReticulumTransport t(clock, ConfirmingTransport::kMaxPendingConfirmations + 10);
  t.set_status(TransportStatus::Available);
  for (size_t i = 0; i < ConfirmingTransport::kMaxPendingConfirmations + 5; ++i) {
    ASSERT_TRUE(t.send(make_message()).ok());
    ASSERT_TRUE(t.get_next_message().value());
    clock.advance(milliseconds(1));
  }
  EXPECT_EQ(t.pending_confirmation_count(), ConfirmingTransport::kMaxPendingConfirmations);
  EXPECT_EQ(t.metrics().messages_failed, 5u);
}

}  // namespace
}  // namespace brenvik
