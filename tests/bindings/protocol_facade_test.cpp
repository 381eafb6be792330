// The facade object: construction, lifecycle mirror, event delivery, the
// `inner` lock and its diagnostics, BLE peer bookkeeping, the send bodies and
// their error mapping.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "facade_fixture.h"
#include "fake_host.h"

namespace brenvik::ffi {
namespace {

using testing::Device;
using testing::plain_config;

struct ConfigCase {
  const char* name;
  void (*edit)(BrenvikProtocolConfig&);
  const char* text;
};

TEST(FacadeConstruction, AnInvalidRecordIsRefusedWithTheFirstFailingRule) {
  const ConfigCase cases[] = {
      {"no transport", [](BrenvikProtocolConfig& c) { c.enable_ble = false; },
       "Invalid configuration: At least one transport must be enabled"},
      {"ttl 0", [](BrenvikProtocolConfig& c) { c.initial_ttl = 0; },
       "Invalid configuration: initial_ttl must be greater than 0"},
      {"encryption required but off", [](BrenvikProtocolConfig& c) { c.require_encryption = true; },
       "Invalid configuration: encryption.require_encryption requires encryption.enabled=true"},
      {"fanout 0",
       [](BrenvikProtocolConfig& c) {
         c.mesh_relay = MeshRelayTunables{};
         c.mesh_relay->fanout = 0;
       },
       "Invalid configuration: mesh_relay.fanout must be greater than 0"},
  };
  for (const auto& tc : cases) {
    auto c = plain_config("alice");
    tc.edit(c);
    auto r = body::brenvikprotocol_ctor_new(c);
    ASSERT_FALSE(r.ok()) << tc.name;
    EXPECT_EQ(r.error().kind(), InterfaceError::Kind::InvalidConfig) << tc.name;
    EXPECT_EQ(r.error().display(), tc.text) << tc.name;
  }
}

TEST(FacadeConstruction, OnlyNostrPassesAndRegistersNoTransport) {
  auto c = plain_config("alice");
  c.enable_ble = false;
  c.enable_nostr = true;
  auto r = body::brenvikprotocol_ctor_new(c);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(body::brenvikprotocol_get_active_transports(*r.value()).empty());
  EXPECT_FALSE(body::brenvikprotocol_ble_get_next_fragment(*r.value()));
}

TEST(FacadeLifecycle, TheMirrorFollowsEachSuccessfulTransitionOnly) {
  ManualClock clock;
  Device a("alice", clock);
  using S = LifecycleState;
  EXPECT_EQ(body::brenvikprotocol_get_state(*a), S::Stopped);
  // A stopped protocol ticks without doing anything.
  EXPECT_TRUE(body::brenvikprotocol_process(*a).ok());
  struct Step {
    Result<void, InterfaceError> (*op)(BrenvikProtocol&);
    const char* error;  // nullptr: succeeds
    S after;
  };
  const Step steps[] = {
      {body::brenvikprotocol_resume, "Invalid configuration: Protocol is not paused", S::Stopped},
      {body::brenvikprotocol_pause, "Protocol not started", S::Stopped},
      {body::brenvikprotocol_start, nullptr, S::Running},
      {body::brenvikprotocol_start, "Protocol already started", S::Running},
      {body::brenvikprotocol_resume, "Invalid configuration: Protocol is not paused", S::Running},
      {body::brenvikprotocol_pause, nullptr, S::Paused},
      {body::brenvikprotocol_resume, nullptr, S::Running},
      {body::brenvikprotocol_stop, nullptr, S::Stopped},
      {body::brenvikprotocol_stop, nullptr, S::Stopped},
  };
  int i = 0;
  for (const auto& s : steps) {
    auto r = s.op(*a);
    if (s.error) {
      ASSERT_FALSE(r.ok()) << "step " << i;
      EXPECT_EQ(r.error().display(), s.error) << "step " << i;
    } else {
      EXPECT_TRUE(r.ok()) << "step " << i << ": " << (r.ok() ? "" : r.error().display());
    }
    EXPECT_EQ(body::brenvikprotocol_get_state(*a), s.after) << "step " << i;
    ++i;
  }
}

TEST(FacadeEvents, StartRaisesOneZeroNetworkMetricsEventAndTheQueueKeepsTheLast1000) {
  ManualClock clock;
  Device a("alice", clock);
  ASSERT_TRUE(body::brenvikprotocol_start(*a).ok());
  auto events = a.drain_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("type"), "network_metrics");
  EXPECT_EQ(events[0].at("neighbor_count"), 0);
  EXPECT_FALSE(body::brenvikprotocol_poll_event(*a));

  for (int i = 0; i < 1001; ++i) body::brenvikprotocol_emit_test_event(*a);
  EXPECT_EQ((*a).queued_event_count(), 1000u);
}

// A host whose on_event fails (declared error, unexpected error, or no table
// at all) must neither turn a successful call into a failure nor lose the
// event for poll_event.
TEST(FacadeEvents, AFailingCallbackNeverFailsTheCallAndTheEventStaysQueued) {
  testing::FakeHost host;
  host.register_all();
  ManualClock clock;
  Device a("alice", clock);
  body::brenvikprotocol_set_event_callback(*a, make_proxy<EventCallbackProxy>(7));

  host.script.push_back(testing::Reply{2, to_bytes("host handler crashed"), std::nullopt});
  // Through the exported function, as a host calls it.
  BrenvikFfiCallStatus st = testing::fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_start(handle_clone(a.p.handle()), &st);
  EXPECT_EQ(st.code, 0);
  EXPECT_EQ(a.drain_types(), (std::vector<std::string>{"network_metrics"}));

  host.script.push_back(testing::Reply{1, {}, std::nullopt});
  st = testing::fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_emit_test_event(handle_clone(a.p.handle()), &st);
  EXPECT_EQ(st.code, 0);

  register_callback_table(CallbackInterface::EventCallback, nullptr);
  st = testing::fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_ble_peer_discovered(handle_clone(a.p.handle()),
                                                            testing::host_buffer("bob"), -40, &st);
  EXPECT_EQ(st.code, 0);
  host.register_all();
  EXPECT_EQ(a.drain_types(), (std::vector<std::string>{"network_metrics", "neighbor_discovered"}));
  body::brenvikprotocol_set_event_callback(*a, nullptr);
}

TEST(FacadeLocks, DiagnosticsFromAnotherThreadShowWhoHoldsInner) {
  ManualClock clock;
  Device a("alice", clock);
  LockDiagnostics idle = body::brenvikprotocol_protocol_lock_diagnostics(*a);
  EXPECT_EQ(idle, (LockDiagnostics{false, "", "", 0}));

  std::mutex mu;
  std::condition_variable cv;
  bool held = false, release = false;
  std::thread holder([&] {
    pthread_setname_np(pthread_self(), "inner-holder");
    auto g = (*a).lock_inner();
    ASSERT_TRUE(g.ok());
    {
      std::lock_guard l(mu);
      held = true;
    }
    cv.notify_all();
    std::unique_lock l(mu);
    cv.wait(l, [&] { return release; });
  });
  {
    std::unique_lock l(mu);
    cv.wait(l, [&] { return held; });
  }
  clock.advance(std::chrono::milliseconds(250));
  LockDiagnostics d;
  std::thread reader([&] { d = body::brenvikprotocol_protocol_lock_diagnostics(*a); });
  reader.join();
  // poll_event and get_state answer while `inner` is held, too.
  EXPECT_FALSE(body::brenvikprotocol_poll_event(*a));
  EXPECT_EQ(body::brenvikprotocol_get_state(*a), LifecycleState::Stopped);
  {
    std::lock_guard l(mu);
    release = true;
  }
  cv.notify_all();
  holder.join();

  EXPECT_TRUE(d.held);
  EXPECT_NE(d.location.find("protocol_facade_test.cpp:"), std::string::npos) << d.location;
  EXPECT_EQ(d.thread_name, "inner-holder");
  EXPECT_EQ(d.held_for_ms, 250u);
  EXPECT_FALSE(body::brenvikprotocol_protocol_lock_diagnostics(*a).held);
}

TEST(FacadeLocks, APoisonedInnerFailsStrictBodiesWhileRecoveringOnesAnswer) {
  ManualClock clock;
  Device a("alice", clock);
  (*a).poison_inner_for_test();
  auto r = body::brenvikprotocol_start(*a);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(),
            "Internal lock poisoned: inner: poisoned lock: another task failed inside");
  auto s = body::brenvikprotocol_send_message(*a, "bob", "hi", MessagePriority::Medium, {});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), InterfaceError::Kind::LockPoisoned);
  // The recovering bodies go on, and a failed body leaves `inner` free.
  EXPECT_EQ(body::brenvikprotocol_get_retry_queue_size(*a), 0u);
  EXPECT_FALSE(body::brenvikprotocol_receive_message(*a));
  EXPECT_FALSE(body::brenvikprotocol_protocol_lock_diagnostics(*a).held);
}

TEST(FacadeBle, PeerTableCountsDistinctPeersAndReportsLossesOnce) {
  ManualClock clock;
  Device a("alice", clock);
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "bob", -60).ok());
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "bob", -55).ok());
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "carol", -70).ok());
  // The empty id is a member but is never announced.
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "", -70).ok());
  EXPECT_EQ(body::brenvikprotocol_ble_get_peer_count(*a), 3u);
  auto ev = a.drain_events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[1].at("peer_id"), "bob");
  EXPECT_EQ(ev[1].at("transport"), "BLE");
  EXPECT_EQ(ev[1].at("rssi"), -55);

  // A peer never discovered: nothing to report.
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_lost(*a, "dave").ok());
  EXPECT_TRUE(a.drain_types().empty());
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_lost(*a, "bob").ok());
  EXPECT_EQ(a.drain_types(), (std::vector<std::string>{"neighbor_lost"}));
  EXPECT_EQ(body::brenvikprotocol_ble_get_peer_count(*a), 2u);

  // BLE coming back raises nothing; going away loses every remaining peer.
  ASSERT_TRUE(body::brenvikprotocol_ble_status_changed(*a, true).ok());
  EXPECT_TRUE(a.drain_types().empty());
  ASSERT_TRUE(body::brenvikprotocol_ble_status_changed(*a, false).ok());
  EXPECT_EQ(a.drain_types(), (std::vector<std::string>{"neighbor_lost", "neighbor_lost"}));
  EXPECT_EQ(body::brenvikprotocol_ble_get_peer_count(*a), 0u);
}

TEST(FacadeBle, PullingSetsTheLinkAvailableAndAnUnderSizedMtuIsCounted) {
  ManualClock clock;
  Device a("alice", clock);
  ASSERT_TRUE(body::brenvikprotocol_ble_status_changed(*a, false).ok());
  EXPECT_FALSE(body::brenvikprotocol_ble_get_next_fragment(*a));
  ASSERT_TRUE(body::brenvikprotocol_ble_set_peer_mtu(*a, "bob", 100).ok());
  EXPECT_EQ(body::brenvikprotocol_ble_undersized_mtu_reports(*a), 1u);
  ASSERT_TRUE(body::brenvikprotocol_start(*a).ok());
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "bob", -50).ok());
  // The pull above made the link Available again, so this send is queued.
  auto id = body::brenvikprotocol_send_message(*a, "bob", "hi", MessagePriority::High, {});
  ASSERT_TRUE(id.ok()) << id.error().display();
  auto f = body::brenvikprotocol_ble_get_next_fragment(*a);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->peer_id, "bob");
  EXPECT_FALSE(f->data.empty());
}

TEST(FacadeBle, WithoutABleTransportTheEntriesStillAnswer) {
  auto c = plain_config("alice");
  c.enable_ble = false;
  c.enable_wifi_direct = true;
  auto p = body::brenvikprotocol_ctor_new(c);
  ASSERT_TRUE(p.ok());
  BrenvikProtocol& a = *p.value();
  EXPECT_EQ(body::brenvikprotocol_get_active_transports(a),
            (std::vector<std::string>{"WiFiDirect"}));
  EXPECT_TRUE(body::brenvikprotocol_ble_fragment_received(a, "bob", Bytes{1, 2, 3}).ok());
  EXPECT_TRUE(body::brenvikprotocol_ble_set_peer_mtu(a, "bob", 200).ok());
  EXPECT_EQ(body::brenvikprotocol_ble_fragment_fallback_count(a), 0u);
  EXPECT_FALSE(body::brenvikprotocol_ble_get_next_fragment(a));
  ASSERT_TRUE(body::brenvikprotocol_remove_transport(a, TransportType::WiFiDirect).ok());
  EXPECT_TRUE(body::brenvikprotocol_get_active_transports(a).empty());
  EXPECT_FALSE(body::brenvikprotocol_get_transport_metrics(a, TransportType::WiFiDirect));
}

TEST(FacadeTransport, MetricsOfARegisteredTransportAlwaysCarryTheFixedFields) {
  ManualClock clock;
  Device a("alice", clock);
  auto m = body::brenvikprotocol_get_transport_metrics(*a, TransportType::BLE);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->reserved_1 + m->reserved_2 + m->reserved_3 + m->reserved_4, 0u);
  EXPECT_TRUE(m->opt_f32_9 && m->opt_u32_10 && m->opt_u8_13);
  EXPECT_FALSE(body::brenvikprotocol_get_transport_metrics(*a, TransportType::Nostr));
}

TEST(FacadeSend, RefusalsReachTheHostWithTheirTexts) {
  ManualClock clock;
  Device a("alice", clock);
  auto not_started = body::brenvikprotocol_send_message(*a, "bob", "hi", MessagePriority::Low, {});
  ASSERT_FALSE(not_started.ok());
  EXPECT_EQ(not_started.error().display(), "Protocol not started");
  ASSERT_TRUE(body::brenvikprotocol_start(*a).ok());

  RichMessageOptions bad_both;
  bad_both.reply_context = ReplyContext{"", "quoted", {}, {}, {}};
  bad_both.forward_info = ForwardInfo{"", "not-a-uuid", 0, 1};
  auto r = body::brenvikprotocol_send_message_rich(*a, "bob", "hi", bad_both);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), InterfaceError::Kind::InvalidArgument);
  EXPECT_EQ(r.error().message().rfind("Invalid reply_context.sender: ", 0), 0u)
      << r.error().message();

  RichMessageOptions bad_id;
  bad_id.forward_info = ForwardInfo{"carol", "not-a-uuid", 0, 1};
  r = body::brenvikprotocol_send_message_rich(*a, "bob", "hi", bad_id);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message().rfind("Invalid forward_info.original_message_id: ", 0), 0u)
      << r.error().message();

  auto fwd = body::brenvikprotocol_forward_message(*a, "{not json", "bob", {});
  ASSERT_FALSE(fwd.ok());
  EXPECT_EQ(fwd.error().display().rfind(
                "Invalid configuration: Failed to parse original message JSON: ", 0),
            0u)
      << fwd.error().display();

  // The pin reaches the core: a send pinned to a transport that is not
  // registered is deferred although BLE reaches the peer; once the pin is
  // released the next send goes out over BLE.
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, "bob", -50).ok());
  a.drain_events();
  ASSERT_TRUE(body::brenvikprotocol_force_transport(*a, TransportType::Reticulum).ok());
  ASSERT_TRUE(
      body::brenvikprotocol_send_message(*a, "bob", "pinned", MessagePriority::Low, {}).ok());
  EXPECT_EQ(a.drain_types(), (std::vector<std::string>{"message_deferred"}));
  body::brenvikprotocol_release_transport_lock(*a);
  ASSERT_TRUE(body::brenvikprotocol_send_message(*a, "bob", "free", MessagePriority::Low, {}).ok());
  EXPECT_EQ(a.drain_types(), (std::vector<std::string>{"transport_switched", "message_sent"}));

  auto receipt = body::brenvikprotocol_send_read_receipt(*a, "bob", {});
  ASSERT_FALSE(receipt.ok());
  EXPECT_NE(receipt.error().display().find("message_ids must not be empty"), std::string::npos);
}

}  // namespace
}  // namespace brenvik::ffi
