#include "router/dors_router.h"

#include <gtest/gtest.h>

#include <cmath>

namespace brenvik {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using T = TransportType;

Message msg(uint8_t ttl = 8, uint8_t hops = 0) {
  Message m = MessageBuilder("a", "b", "app").with_ttl(ttl).build();
  m.hop_count = hops;
  return m;
}

TEST(DorsSelection, KeepOrSwitchTable) {
  struct Case {
    const char* name;
    std::optional<T> current;  // set by a first decision before the case
    int seconds_since_switch;
    uint32_t current_failures;
    std::vector<std::pair<T, float>> history;  // recorded within the stability window
    std::vector<std::pair<T, float>> candidates;
    std::optional<T> expected;
  };
  const Case cases[] = {
      {"first choice always switches", std::nullopt, 0, 0, {}, {{T::Ble, 40}}, T::Ble},
      {"empty set", T::Ble, 100, 0, {}, {}, std::nullopt},
      {"current is best", T::Ble, 0, 0, {}, {{T::Ble, 60}, {T::WifiDirect, 50}}, T::Ble},
      {"hysteresis blocks 14 < 15",
       T::Ble,
       100,
       0,
       {},
       {{T::Ble, 60}, {T::WifiDirect, 74}},
       T::Ble},
      {"hysteresis passes at 15",
       T::Ble,
       100,
       0,
       {},
       {{T::Ble, 60}, {T::WifiDirect, 75}},
       T::WifiDirect},
      {"cooldown blocks 5 < 20", T::Ble, 5, 0, {}, {{T::Ble, 60}, {T::WifiDirect, 76}}, T::Ble},
      {"stability blocks 6 < 7.5",
       T::Ble,
       25,
       0,
       {{T::Ble, 60}, {T::WifiDirect, 66}},
       {{T::Ble, 60}, {T::WifiDirect, 76}},
       T::Ble},
      {"stability passes 8 >= 7.5",
       T::Ble,
       25,
       0,
       {{T::Ble, 60}, {T::WifiDirect, 68}},
       {{T::Ble, 60}, {T::WifiDirect, 76}},
       T::WifiDirect},
      {"degraded current replaced above 10",
       T::Ble,
       0,
       2,
       {},
       {{T::Ble, 5}, {T::WifiDirect, 11}},
       T::WifiDirect},
      {"degraded current kept at 10", T::Ble, 0, 2, {}, {{T::Ble, 5}, {T::WifiDirect, 10}}, T::Ble},
      {"demoted internet left at once",
       T::Internet,
       0,
       0,
       {},
       {{T::Internet, -9960}, {T::Ble, 40}},
       T::Ble},
      {"only the demoted internet", std::nullopt, 0, 0, {}, {{T::Internet, -9960}}, T::Internet},
      {"vanished current replaced", T::Ble, 0, 0, {}, {{T::Reticulum, 20}}, T::Reticulum},
      {"near tie: Wi-Fi Direct over BLE",
       std::nullopt,
       0,
       0,
       {},
       {{T::Ble, 50.005f}, {T::WifiDirect, 50}},
       T::WifiDirect},
      {"near tie: BLE over Reticulum",
       std::nullopt,
       0,
       0,
       {},
       {{T::Reticulum, 50.009f}, {T::Ble, 50}},
       T::Ble},
      {"near tie: Reticulum over Nostr",
       std::nullopt,
       0,
       0,
       {},
       {{T::Nostr, 50}, {T::Reticulum, 50}},
       T::Reticulum},
      {"near tie: internet wins",
       std::nullopt,
       0,
       0,
       {},
       {{T::WifiDirect, 50.01f}, {T::Internet, 50.001f}},
       T::Internet},
      {"beyond the tie margin",
       std::nullopt,
       0,
       0,
       {},
       {{T::Ble, 50.02f}, {T::WifiDirect, 50}},
       T::Ble},
      {"NaN never chosen over a finite score",
       std::nullopt,
       0,
       0,
       {},
       {{T::Internet, std::nanf("")}, {T::Nostr, 1}},
       T::Nostr},
  };
  for (const Case& c : cases) {
    ManualClock clock;
    DorsRouter r({}, clock);
    if (c.current) {
      ASSERT_EQ(r.decide({{*c.current, 0}}), c.current) << c.name;
      clock.advance(seconds(c.seconds_since_switch));
    }
    for (uint32_t i = 0; i < c.current_failures; ++i) r.record_failure(*c.current);
    for (auto [t, s] : c.history) r.record_score(t, clock.wall_unix_ns(), s);
    EXPECT_EQ(r.decide(c.candidates), c.expected) << c.name;
    EXPECT_EQ(r.current(), c.expected ? c.expected : c.current) << c.name;
  }
}

TEST(DorsSelection, SwitchSetsLastSwitchAndKeepingChangesNothing) {
  ManualClock clock;
  DorsRouter r({}, clock);
  EXPECT_EQ(r.decide({{T::Ble, 60}}), T::Ble);
  const int64_t first = *r.last_switch_at();
  clock.advance(seconds(30));
  EXPECT_EQ(r.decide({{T::Ble, 60}, {T::WifiDirect, 61}}), T::Ble);
  EXPECT_EQ(r.last_switch_at(), first);
  r.override_with_fallback(T::Reticulum);
  EXPECT_EQ(r.current(), T::Reticulum);
  EXPECT_EQ(r.last_switch_at(), clock.wall_unix_ns());
}

TEST(DorsScore, InternetDemotionAndPreference) {
  ManualClock clock;
  DorsRouter r({}, clock);
  AvailableTransports only_internet{{T::Internet, {}}};
  auto total = r.score_transport(msg(), T::Internet, {}).total;
  EXPECT_LT(total, -9900);
  EXPECT_EQ(r.select_transport(msg(), only_internet), T::Internet);

  Message pref = msg();
  pref.metadata["transport_preference"] = "internet";
  Message capital = msg();
  capital.metadata["transport_preference"] = "Internet";
  const float inet = r.score_transport(pref, T::Internet, {}).total;
  EXPECT_NEAR(inet - (total + 10000), 50, 0.01);
  EXPECT_EQ(r.score_transport(capital, T::Internet, {}).total, total);
  for (T t : {T::Ble, T::Reticulum}) {
    EXPECT_NEAR(r.score_transport(msg(), t, {}).total - r.score_transport(pref, t, {}).total, 40,
                0.01);
  }

  DorsConfig online;
  online.prefer_online = true;
  DorsRouter ro(online, clock);
  auto s = ro.score_transport(msg(), T::Internet, {});
  EXPECT_GT(s.total, 0);
  EXPECT_EQ(s.bandwidth, 70);
}

TEST(DorsScore, Terms) {
  ManualClock clock;
  DorsRouter r({}, clock);
  struct HopCase {
    uint8_t ttl, hops;
    float headroom;
  };
  for (HopCase c : {HopCase{0, 3, 100}, HopCase{8, 0, 100}, HopCase{8, 6, 25}, HopCase{8, 9, 0}}) {
    EXPECT_FLOAT_EQ(r.score_transport(msg(c.ttl, c.hops), T::Ble, {}).hop_headroom, c.headroom);
  }
  const std::pair<int16_t, float> signal[] = {{-50, 100}, {-60, 85}, {-70, 70},
                                              {-85, 40},  {-100, 0}, {-120, 0}};
  for (auto [rssi, expected] : signal) {
    TransportMetrics m;
    m.rssi_dbm = rssi;
    EXPECT_FLOAT_EQ(r.score_transport(msg(), T::Ble, m).signal, expected) << rssi;
  }
  EXPECT_EQ(r.score_transport(msg(), T::Ble, {}).signal, 50);  // no signal known
  EXPECT_EQ(r.score_transport(msg(), T::Nostr, {}).signal, 50);
  EXPECT_EQ(r.score_transport(msg(), T::Internet, {}).signal, 60);

  TransportMetrics low;
  low.battery_level = 10;
  EXPECT_FLOAT_EQ(r.score_transport(msg(), T::WifiDirect, low).power, 20);
  EXPECT_FLOAT_EQ(r.score_transport(msg(), T::Ble, low).power, 100);
  low.is_charging = true;
  EXPECT_FLOAT_EQ(r.score_transport(msg(), T::WifiDirect, low).power, 50);

  TransportMetrics counted;
  counted.messages_delivered = 3;
  counted.messages_failed = 1;
  auto s = r.score_transport(msg(), T::Ble, counted);
  EXPECT_FLOAT_EQ(s.delivery, 75);
  EXPECT_FLOAT_EQ(s.queue, 75);  // 100 less 25 for the failure rate
  EXPECT_FLOAT_EQ(r.score_transport(msg(), T::Ble, {}).delivery, 85);

  TransportMetrics full;
  full.queue_depth = 50;
  full.queue_utilization = 1.0f;
  auto f = r.score_transport(msg(), T::Ble, full);
  EXPECT_FLOAT_EQ(f.load, 0);
  EXPECT_FLOAT_EQ(f.queue, 0);
}

TEST(DorsScore, ScoreAllOrdersByTotalThenRank) {
  ManualClock clock;
  DorsRouter r({}, clock);
  AvailableTransports set{{T::Internet, {}}, {T::Ble, {}}, {T::WifiDirect, {}}, {T::Nostr, {}}};
  auto all = r.score_all(msg(), set);
  ASSERT_EQ(all.size(), 4u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i - 1].second, all[i].second);
  EXPECT_EQ(all.back().first, T::Internet);
  EXPECT_EQ(r.score_history_size(T::Ble), 0u);  // scoring alone records nothing
  EXPECT_EQ(r.select_transport(msg(), {}), std::nullopt);
  EXPECT_EQ(r.current(), std::nullopt);
}

TEST(DorsRouterState, FailuresAndWindows) {
  ManualClock clock;
  DorsRouter r({}, clock);
  r.record_failure(T::Nostr);
  EXPECT_EQ(r.failures(T::Nostr), 1u);
  for (int i = 0; i < 5; ++i) r.record_failure(T::Ble);
  r.record_success(T::Ble);
  EXPECT_EQ(r.failures(T::Ble), 0u);

  DorsConfig zero;
  zero.metrics_window = 0;
  DorsRouter z(zero, clock);
  for (int i = 0; i < 15; ++i) (void)z.select_transport(msg(), {{T::Ble, {}}});
  EXPECT_EQ(z.queue_sample_count(T::Ble), 1u);
  EXPECT_EQ(z.score_history_size(T::Ble), 10u);
  DorsConfig wide;
  wide.metrics_window = 30;
  DorsRouter w(wide, clock);
  for (int i = 0; i < 40; ++i) (void)w.select_transport(msg(), {{T::Ble, {}}});
  EXPECT_EQ(w.score_history_size(T::Ble), 30u);

  DorsConfig odd;
  odd.hysteresis_margin = -3;
  r.update_config(odd);
  EXPECT_EQ(r.config(), odd);
}

TEST(DorsEscalation, MarksAndReasons) {
  ManualClock clock;
  DorsRouter r({}, clock);
  EXPECT_FALSE(r.should_escalate_to_wifi());
  EXPECT_EQ(r.escalation_reason(), std::nullopt);

  auto observe_ble = [&](TransportMetrics m, uint8_t ttl = 8) { r.observe(T::Ble, m, msg(ttl)); };
  TransportMetrics poor;
  poor.rssi_dbm = -90;
  observe_ble(poor);
  const auto since = r.poor_signal_since();
  ASSERT_TRUE(since);
  observe_ble({});  // no signal reading: the period goes on
  EXPECT_EQ(r.poor_signal_since(), since);
  clock.advance(seconds(10));
  EXPECT_EQ(r.escalation_reason(), EscalationReason::PoorSignal);
  clock.advance(seconds(2));
  r.record_failure(T::Ble);
  r.record_failure(T::Ble);
  EXPECT_EQ(r.escalation_reason(), EscalationReason::RetryThreshold);

  TransportMetrics battery = poor;
  battery.battery_level = 29;
  observe_ble(battery);
  EXPECT_FALSE(r.should_escalate_to_wifi());
  EXPECT_EQ(r.escalation_reason(), std::nullopt);
  EXPECT_TRUE(r.evaluate_escalation().second);
  battery.battery_level = 30;
  observe_ble(battery);
  EXPECT_TRUE(r.should_escalate_to_wifi());
  battery.battery_level = 5;
  battery.is_charging = true;
  observe_ble(battery);
  EXPECT_TRUE(r.should_escalate_to_wifi());
}

TEST(DorsEscalation, CongestionAndLowTtlMarks) {
  ManualClock clock;
  DorsRouter r({}, clock);
  TransportMetrics m;
  m.queue_depth = 50;
  r.observe(T::Ble, m, msg());
  ASSERT_TRUE(r.congested_since());
  m.queue_depth = 30;
  r.observe(T::Ble, m, msg());
  EXPECT_TRUE(r.congested_since());  // between the clear level and the limit: unchanged
  m.queue_depth = 25;
  for (int i = 0; i < 10; ++i) r.observe(T::Ble, m, msg());  // window mean reaches 25
  EXPECT_FALSE(r.congested_since());

  r.observe(T::Ble, {}, msg(2));
  const auto low = r.low_ttl_since();
  ASSERT_TRUE(low);
  clock.advance(seconds(1));
  r.observe(T::Ble, {}, msg(3));
  EXPECT_EQ(r.low_ttl_since(), low);
  EXPECT_EQ(r.escalation_reason(), EscalationReason::LowTtl);
  clock.advance(seconds(20));
  EXPECT_EQ(r.escalation_reason(), std::nullopt);  // 21 s > 20 s window
  r.observe(T::Ble, {}, msg(4));
  EXPECT_FALSE(r.low_ttl_since());
  // Other transports never move the BLE marks.
  r.observe(T::WifiDirect, {}, msg(1));
  EXPECT_FALSE(r.low_ttl_since());
}

TEST(DorsEscalation, LowSuccessNeedsEnoughSamples) {
  ManualClock clock;
  DorsRouter r({}, clock);
  TransportMetrics m;
  m.messages_delivered = 1;
  m.messages_failed = 9;
  for (int i = 0; i < 4; ++i) r.observe(T::Ble, m, msg());
  EXPECT_EQ(r.escalation_reason(), std::nullopt);
  r.observe(T::Ble, m, msg());
  EXPECT_EQ(r.escalation_reason(), EscalationReason::LowSuccessRate);
}

TEST(DorsErrorTest, Texts) {
  EXPECT_EQ(DorsError::no_transport_available().message(), "No transport available");
  EXPECT_EQ(DorsError::no_relay_available().message(), "No relay available");
  EXPECT_EQ(DorsError::from_transport(TransportError::send_failed("x")).message(),
            "Transport error: Send failed: x");
  EXPECT_EQ(DorsError::other("plain").message(), "plain");
}

}  // namespace
}  // namespace brenvik
