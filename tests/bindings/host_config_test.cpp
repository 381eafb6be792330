// The construction record's defaults and positional mapping, checked through
// the core's own first-failing-rule check.
#include <gtest/gtest.h>

#include <functional>

#include "bindings/host_config.h"

namespace brenvik::ffi {
namespace {

BrenvikProtocolConfig valid_host_record() {
  BrenvikProtocolConfig h;
  h.app_id = "com.example.chat";
  h.user_id = "alice";
  h.enable_ble = true;
  h.initial_ttl = 8;
  h.max_pending_per_peer = 32;
  h.max_pending_global = 256;
  h.pending_ttl_ms = 60'000;
  h.pending_overflow_policy = OverflowPolicy::DropOldest;
  h.max_group_members = 64;
  return h;
}

TEST(HostConfig, AbsentSubRecordsTakeEveryDefault) {
  auto c = protocol_config_from_host(valid_host_record()).config;
  EXPECT_EQ(c.first_violation(), std::nullopt);
  const MeshRelayConfig& m = c.mesh_relay;
  EXPECT_EQ(m.fanout, 3u);
  EXPECT_EQ(m.max_ttl, 8);
  EXPECT_EQ(m.dense_max_ttl, 5);
  EXPECT_EQ(m.dense_neighbor_threshold, 6u);
  EXPECT_EQ(m.queue_capacity, 256u);
  EXPECT_FLOAT_EQ(m.rate_per_sec, 10.0f);
  EXPECT_FLOAT_EQ(m.burst, 30.0f);
  EXPECT_FLOAT_EQ(m.peer_rate_per_sec, 5.0f);
  EXPECT_FLOAT_EQ(m.peer_burst, 15.0f);
  EXPECT_FLOAT_EQ(m.bias_min_scale, 0.25f);
  EXPECT_EQ(m.jitter_min, ConfigDuration::from_millis(20));
  EXPECT_EQ(m.jitter_max, ConfigDuration::from_millis(200));
  EXPECT_EQ(m.bias_max_handicap, ConfigDuration::from_millis(400));
  EXPECT_EQ(m.activity_window, ConfigDuration::from_secs(60));
  EXPECT_EQ(m.activity_min_forwards, 3u);
  EXPECT_EQ(m.activity_idle_windows, 2u);
  EXPECT_FALSE(c.custody.enabled);
  EXPECT_EQ(c.custody.hold_ms, 21'600'000u);
  EXPECT_EQ(c.custody.max_bytes, 16'777'216u);
  EXPECT_EQ(c.ack.default_timeout_ms, 10'000u);
  EXPECT_EQ(c.retry.max_retries, 10u);
  EXPECT_EQ(c.reliability.dedup.max_tracked_messages, 5'000u);
  EXPECT_TRUE(c.relay.enabled);
  EXPECT_EQ(c.relay.min_battery_percent, 30);
  EXPECT_FLOAT_EQ(c.dors.hysteresis_margin, 15.0f);
  EXPECT_EQ(c.dors.poor_rssi_dbm, -85);
}

TEST(HostConfig, SetSubRecordFieldsOverrideOnlyThemselves) {
  auto h = valid_host_record();
  MeshRelayTunables t;
  t.fanout = 7;
  t.jitter_max = 1'500;
  h.mesh_relay = t;
  CustodyTunables k;
  k.hold_ms = 1'000;
  k.overflow_policy = OverflowPolicy::DropNewest;
  h.custody = k;
  auto c = protocol_config_from_host(h).config;
  EXPECT_EQ(c.mesh_relay.fanout, 7u);
  EXPECT_EQ(c.mesh_relay.jitter_max, ConfigDuration::from_millis(1'500));
  EXPECT_EQ(c.mesh_relay.max_ttl, 8);
  // A custody record with `enabled` unset leaves custody off but carries the rest.
  EXPECT_FALSE(c.custody.enabled);
  EXPECT_EQ(c.custody.hold_ms, 1'000u);
  EXPECT_EQ(c.custody.overflow_policy, brenvik::OverflowPolicy::DropNewest);
  EXPECT_EQ(c.custody.max_entries, 512u);
}

TEST(HostConfig, SwitchesLandInTheirOwnSections) {
  struct Case {
    const char* name;
    std::function<void(BrenvikProtocolConfig&)> set;
    std::function<bool(const FacadeConfig&)> reads;
  };
  const Case cases[] = {
      {"dors", [](auto& h) { h.prefer_internet = true; },
       [](const auto& f) { return f.config.dors.prefer_online; }},
      {"key exchange", [](auto& h) { h.offer_key_packages = true; },
       [](const auto& f) { return f.config.encryption.auto_key_exchange; }},
      {"sessions", [](auto& h) { h.create_session_from_stored_key_package = true; },
       [](const auto& f) { return f.config.encryption.auto_establish_sessions; }},
      {"pacing", [](auto& h) { h.retry_budgeted = true; },
       [](const auto& f) { return f.retry_pacing_enabled; }},
      {"group relay", [](auto& h) { h.group_flag_maintenance = true; },
       [](const auto& f) { return f.config.group.relay_enabled; }},
      {"group broadcast", [](auto& h) { h.group_flag_send = true; },
       [](const auto& f) { return f.config.group.relay_broadcast_enabled; }},
      {"group switch", [](auto& h) { h.group_flag_restore = true; },
       [](const auto& f) { return f.config.group.group_switch; }},
      {"compact wire", [](auto& h) { h.key_package_flag = true; },
       [](const auto& f) { return f.config.switches.compact_wire_enabled; }},
      {"nostr start", [](auto& h) { h.nostr_start_flag = true; },
       [](const auto& f) { return f.config.switches.nostr_start_option; }},
      {"sealed envelope", [](auto& h) { h.capability_flag = true; },
       [](const auto& f) { return f.config.switches.sealed_envelope_enabled; }},
      {"rich payloads", [](auto& h) { h.group_rich_flag = true; },
       [](const auto& f) { return f.config.switches.rich_payloads_enabled; }},
      {"decrypt failures", [](auto& h) { h.epoch_desync_rekey = true; },
       [](const auto& f) { return f.config.switches.report_decryption_failures; }},
      {"data layer", [](auto& h) { h.data_layer_enabled = true; },
       [](const auto& f) { return f.config.switches.data_layer_enabled; }},
      {"session switch", [](auto& h) { h.control_dispatch_flag = true; },
       [](const auto& f) { return f.config.switches.session_switch; }},
  };
  for (const auto& tc : cases) {
    auto h = valid_host_record();
    EXPECT_FALSE(tc.reads(protocol_config_from_host(h))) << tc.name;
    tc.set(h);
    EXPECT_TRUE(tc.reads(protocol_config_from_host(h))) << tc.name;
  }
}

TEST(HostConfig, InvalidRecordsFailWithTheFirstRule) {
  struct Case {
    std::function<void(BrenvikProtocolConfig&)> set;
    const char* message;
  };
  const Case cases[] = {
      {[](auto& h) { h.enable_ble = false; }, "At least one transport must be enabled"},
      {[](auto& h) { h.initial_ttl = 0; }, "initial_ttl must be greater than 0"},
      {[](auto& h) {
         MeshRelayTunables t;
         t.fanout = 0;
         h.mesh_relay = t;
       },
       "mesh_relay.fanout must be greater than 0"},
      {[](auto& h) {
         h.require_encryption = true;
         h.encryption_enabled = false;
       },
       "encryption.require_encryption requires encryption.enabled=true"},
  };
  for (const auto& tc : cases) {
    auto h = valid_host_record();
    tc.set(h);
    EXPECT_EQ(protocol_config_from_host(h).config.first_violation(),
              std::optional<std::string>(tc.message));
  }
  // Only Nostr on counts as a transport.
  auto h = valid_host_record();
  h.enable_ble = false;
  h.enable_nostr = true;
  EXPECT_EQ(protocol_config_from_host(h).config.first_violation(), std::nullopt);
}

}  // namespace
}  // namespace brenvik::ffi
