#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "config_test_support.h"
#include "protocol/config/protocol_config.h"

namespace brenvik {
namespace {

using testing::valid_protocol_config;
using Change = std::function<void(ProtocolConfig&)>;

constexpr uint64_t kI64Max = 9'223'372'036'854'775'807ULL;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

ConfigDuration ms(uint64_t v) {
  return ConfigDuration::from_millis(v);
}

void custody_on(ProtocolConfig& c) {
  c.custody.enabled = true;
}

// One row per rule, in the order the rules are checked. Each change breaks
// exactly its own rule when applied to a valid record.
struct Rule {
  const char* name;
  Change breaks;
  const char* message;
};

const std::vector<Rule>& ordered_rules() {
  static const std::vector<Rule> rules = {
      {"app_id", [](auto& c) { c.app_id = ""; }, "Invalid app ID: App ID cannot be empty"},
      {"local_user_id", [](auto& c) { c.local_user_id = "a/b"; },
       "Invalid user ID: User ID contains invalid characters ('/', '\\', or ':')"},
      {"initial_ttl", [](auto& c) { c.initial_ttl = 0; }, "initial_ttl must be greater than 0"},
      {"transports", [](auto& c) { c.transports = {}; }, "At least one transport must be enabled"},
      {"ack_timeout", [](auto& c) { c.ack.default_timeout_ms = 0; },
       "ack.default_timeout_ms must be greater than 0"},
      {"ack_capacity", [](auto& c) { c.ack.max_pending_acks = 0; },
       "ack.max_pending_acks must be greater than 0"},
      {"retry_initial", [](auto& c) { c.retry.initial_delay_ms = 0; },
       "retry.initial_delay_ms must be greater than 0"},
      {"retry_max", [](auto& c) { c.retry.max_delay_ms = 0; },
       "retry.max_delay_ms must be greater than 0"},
      {"retry_order",
       [](auto& c) {
         c.retry.initial_delay_ms = 2000;
         c.retry.max_delay_ms = 1000;
       },
       "retry.initial_delay_ms must be <= retry.max_delay_ms"},
      {"retry_outbox", [](auto& c) { c.retry.outbox_max_lifetime_ms = 0; },
       "retry.outbox_max_lifetime_ms must be in 1..=i64::MAX"},
      {"retry_pending_zero", [](auto& c) { c.retry.pending_message_max_lifetime_ms = 0; },
       "retry.pending_message_max_lifetime_ms must be greater than 0"},
      {"retry_pending_top_bit",
       [](auto& c) { c.retry.pending_message_max_lifetime_ms = kI64Max + 1; },
       "retry.pending_message_max_lifetime_ms must be <= i64::MAX"},
      {"retry_backoff", [](auto& c) { c.retry.backoff_multiplier = 0.5f; },
       "retry.backoff_multiplier must be finite and >= 1.0"},
      {"dedup_tracked", [](auto& c) { c.reliability.dedup.max_tracked_messages = 0; },
       "reliability.dedup.max_tracked_messages must be greater than 0"},
      {"dedup_retention", [](auto& c) { c.reliability.dedup.retention_time_secs = 0; },
       "reliability.dedup.retention_time_secs must be greater than 0"},
      {"bloom_bits",
       [](auto& c) {
         c.reliability.dedup.use_bloom_filter = true;
         c.reliability.dedup.bloom_filter_bits = 0;
       },
       "reliability.dedup.bloom_filter_bits must be greater than 0"},
      {"bloom_hashes",
       [](auto& c) {
         c.reliability.dedup.use_bloom_filter = true;
         c.reliability.dedup.bloom_hash_count = 0;
       },
       "reliability.dedup.bloom_hash_count must be greater than 0"},
      {"bloom_count",
       [](auto& c) {
         c.reliability.dedup.use_bloom_filter = true;
         c.reliability.dedup.bloom_filter_count = 0;
       },
       "reliability.dedup.bloom_filter_count must be greater than 0"},
      {"bloom_rotation",
       [](auto& c) {
         c.reliability.dedup.use_bloom_filter = true;
         c.reliability.dedup.bloom_rotation_secs = 0;
       },
       "reliability.dedup.bloom_rotation_secs must be greater than 0"},
      {"require_encryption",
       [](auto& c) {
         c.encryption.enabled = false;
         c.encryption.require_encryption = true;
       },
       "encryption.require_encryption requires encryption.enabled=true"},
      {"pending_per_peer", [](auto& c) { c.encryption.pending_queue.max_pending_per_peer = 0; },
       "encryption.pending_queue.max_pending_per_peer must be greater than 0"},
      {"pending_global", [](auto& c) { c.encryption.pending_queue.max_pending_global = 0; },
       "encryption.pending_queue.max_pending_global must be greater than 0"},
      {"pending_global_below_peer",
       [](auto& c) {
         c.encryption.pending_queue.max_pending_per_peer = 10;
         c.encryption.pending_queue.max_pending_global = 5;
       },
       "encryption.pending_queue.max_pending_global must be >= max_pending_per_peer"},
      {"pending_ttl", [](auto& c) { c.encryption.pending_queue.pending_ttl_ms = 0; },
       "encryption.pending_queue.pending_ttl_ms must be greater than 0"},
      {"group_members", [](auto& c) { c.group.max_group_members = 0; },
       "group.max_group_members must be greater than 0"},
      {"fanout", [](auto& c) { c.mesh_relay.fanout = 0; },
       "mesh_relay.fanout must be greater than 0"},
      {"max_ttl", [](auto& c) { c.mesh_relay.max_ttl = 0; },
       "mesh_relay.max_ttl must be greater than 0"},
      {"dense_max_ttl", [](auto& c) { c.mesh_relay.dense_max_ttl = 0; },
       "mesh_relay.dense_max_ttl must be greater than 0"},
      {"queue_capacity", [](auto& c) { c.mesh_relay.queue_capacity = 0; },
       "mesh_relay.queue_capacity must be greater than 0"},
      {"rate_per_sec", [](auto& c) { c.mesh_relay.rate_per_sec = 0.0f; },
       "mesh_relay.rate_per_sec must be finite and greater than 0"},
      {"burst", [](auto& c) { c.mesh_relay.burst = -1.0f; },
       "mesh_relay.burst must be finite and greater than 0"},
      {"peer_rate_per_sec", [](auto& c) { c.mesh_relay.peer_rate_per_sec = kInf; },
       "mesh_relay.peer_rate_per_sec must be finite and greater than 0"},
      {"peer_burst", [](auto& c) { c.mesh_relay.peer_burst = kNaN; },
       "mesh_relay.peer_burst must be finite and greater than 0"},
      {"bias_min_scale", [](auto& c) { c.mesh_relay.bias_min_scale = 1.5f; },
       "mesh_relay.bias_min_scale must be finite and in (0.0, 1.0]"},
      {"jitter_order",
       [](auto& c) {
         c.mesh_relay.jitter_min = ms(4500);
         c.mesh_relay.jitter_max = ms(4400);
       },
       "mesh_relay.jitter_min (4500ms) must not exceed mesh_relay.jitter_max (4400ms)"},
      {"jitter_budget",
       [](auto& c) {
         c.mesh_relay.jitter_max = ms(4000);
         c.mesh_relay.bias_max_handicap = ms(1000);
       },
       "mesh_relay.jitter_max + mesh_relay.bias_max_handicap (5000ms) must stay under the 5000ms "
       "overdue cut-off, or every biased forward is abandoned instead of sent"},
      {"activity_window", [](auto& c) { c.mesh_relay.activity_window = {}; },
       "mesh_relay.activity_window must be greater than zero"},
      {"activity_min_forwards", [](auto& c) { c.mesh_relay.activity_min_forwards = 0; },
       "mesh_relay.activity_min_forwards must be greater than 0"},
      {"activity_idle_windows", [](auto& c) { c.mesh_relay.activity_idle_windows = 0; },
       "mesh_relay.activity_idle_windows must be greater than 0"},
      {"custody_hold_zero", [](auto& c) { c.custody.hold_ms = 0; },
       "custody.hold_ms must be greater than 0"},
      {"custody_hold_outlives_outbox",
       [](auto& c) {
         custody_on(c);
         c.custody.hold_ms = c.retry.outbox_max_lifetime_ms;
       },
       "custody.hold_ms (604800000ms) must be strictly shorter than "
       "retry.outbox_max_lifetime_ms (604800000ms): a hold that outlives the outbox delivers "
       "frames whose sender has already reported them failed"},
      {"custody_zero_quota",
       [](auto& c) {
         custody_on(c);
         c.custody.max_entries_per_depositor = 0;
       },
       "custody.max_entries_per_depositor and custody.max_bytes_per_depositor must both be "
       "greater than 0 while custody is enabled: zero is not a smaller quota, it is a store that "
       "refuses every deposit"},
      {"custody_depositor_bytes",
       [](auto& c) {
         custody_on(c);
         c.custody.max_bytes_per_depositor = 65535;
       },
       "custody.max_bytes_per_depositor (65535) must admit one replication frame at its ceiling "
       "(65536 bytes), or every deposit is refused as depositor_full"},
      {"custody_totals_below_depositor",
       [](auto& c) {
         custody_on(c);
         c.custody.max_entries = 10;
       },
       "custody.max_entries and custody.max_bytes must each be at least their per-depositor "
       "sibling, or the per-depositor dial can never be reached"},
      {"custody_stranger_half_set",
       [](auto& c) {
         custody_on(c);
         c.custody.stranger_max_entries = 5;
         c.custody.stranger_max_bytes = 0;
       },
       "custody.stranger_max_entries and custody.stranger_max_bytes must be both zero (no "
       "stranger deposits) or both greater than 0"},
      {"custody_stranger_bytes",
       [](auto& c) {
         custody_on(c);
         c.custody.stranger_max_entries = 5;
         c.custody.stranger_max_bytes = 65535;
       },
       "custody.stranger_max_bytes (65535) must admit one replication frame at its ceiling "
       "(65536 bytes), or every stranger deposit is refused as depositor_full"},
      {"custody_stranger_above_totals",
       [](auto& c) {
         custody_on(c);
         c.custody.stranger_max_entries = 1000;
         c.custody.stranger_max_bytes = 65536;
       },
       "custody.max_entries and custody.max_bytes must each be at least the stranger tier's "
       "dial, or that tier can never be reached"},
  };
  return rules;
}

std::optional<std::string> violation_after(const Change& change) {
  ProtocolConfig c = valid_protocol_config();
  change(c);
  return c.first_violation();
}

TEST(ConfigValidationTest, BaseRecordIsValid) {
  EXPECT_EQ(valid_protocol_config().first_violation(), std::nullopt);
}

TEST(ConfigValidationTest, EachRuleReportsItsMessage) {
  for (const Rule& rule : ordered_rules()) {
    EXPECT_EQ(violation_after(rule.breaks), std::optional<std::string>(rule.message)) << rule.name;
  }
}

// Breaking rule i and every later rule at once reports rule i. The changes
// are applied last to first so that where two rows touch one field the
// earlier row's value stands.
TEST(ConfigValidationTest, FirstFailingRuleWinsInDeclaredOrder) {
  const auto& rules = ordered_rules();
  for (size_t i = 0; i < rules.size(); ++i) {
    ProtocolConfig c = valid_protocol_config();
    for (size_t j = rules.size(); j-- > i;) rules[j].breaks(c);
    EXPECT_EQ(c.first_violation(), std::optional<std::string>(rules[i].message))
        << "breaking rules from " << rules[i].name;
  }
}

TEST(ConfigValidationTest, ValidateWrapsTheRuleAsInvalidConfig) {
  EXPECT_TRUE(valid_protocol_config().validate().ok());
  ProtocolConfig c = valid_protocol_config();
  c.app_id = "";
  c.initial_ttl = 0;
  auto r = c.validate();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ProtocolError::Kind::InvalidConfig);
  EXPECT_EQ(r.error().message(), "Invalid configuration: Invalid app ID: App ID cannot be empty");
}

// Boundaries and special values: the change and the expected outcome
// (nullopt: the record stays valid).
struct Edge {
  const char* name;
  Change change;
  std::optional<std::string> message;
};

class ConfigEdgeTest : public ::testing::TestWithParam<Edge> {};

TEST_P(ConfigEdgeTest, Outcome) {
  EXPECT_EQ(violation_after(GetParam().change), GetParam().message);
}

const char* const kOutboxRange = "retry.outbox_max_lifetime_ms must be in 1..=i64::MAX";
const char* const kBackoff = "retry.backoff_multiplier must be finite and >= 1.0";
const char* const kBias = "mesh_relay.bias_min_scale must be finite and in (0.0, 1.0]";
const char* const kRate = "mesh_relay.rate_per_sec must be finite and greater than 0";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ConfigEdgeTest,
    ::testing::Values(
        Edge{"app_id_dot", [](auto& c) { c.app_id = "."; },
             "Invalid app ID: App ID cannot be '.' or '..' (path traversal)"},
        Edge{"app_id_control", [](auto& c) { c.app_id = "a\tb"; },
             "Invalid app ID: App ID contains ASCII control characters"},
        Edge{"user_id_257_bytes", [](auto& c) { c.local_user_id = std::string(257, 'u'); },
             "Invalid user ID: User ID exceeds the maximum length of 256 bytes (257 bytes)"},
        Edge{"user_id_256_bytes", [](auto& c) { c.local_user_id = std::string(256, 'u'); },
             std::nullopt},
        Edge{"user_id_dotdot", [](auto& c) { c.local_user_id = ".."; },
             "Invalid user ID: User ID cannot be '.' or '..' (path traversal)"},
        Edge{"only_nostr", [](auto& c) { c.transports = {.nostr = true}; }, std::nullopt},
        Edge{"initial_equals_max",
             [](auto& c) {
               c.retry.initial_delay_ms = 5000;
               c.retry.max_delay_ms = 5000;
             },
             std::nullopt},
        Edge{"initial_one_above_max",
             [](auto& c) {
               c.retry.initial_delay_ms = 5001;
               c.retry.max_delay_ms = 5000;
             },
             "retry.initial_delay_ms must be <= retry.max_delay_ms"},
        Edge{"outbox_i64_max", [](auto& c) { c.retry.outbox_max_lifetime_ms = kI64Max; },
             std::nullopt},
        Edge{"outbox_top_bit", [](auto& c) { c.retry.outbox_max_lifetime_ms = kI64Max + 1; },
             kOutboxRange},
        Edge{"outbox_u64_max", [](auto& c) { c.retry.outbox_max_lifetime_ms = UINT64_MAX; },
             kOutboxRange},
        Edge{"pending_i64_max",
             [](auto& c) { c.retry.pending_message_max_lifetime_ms = kI64Max; }, std::nullopt},
        Edge{"backoff_exactly_one", [](auto& c) { c.retry.backoff_multiplier = 1.0f; },
             std::nullopt},
        Edge{"backoff_just_below_one",
             [](auto& c) { c.retry.backoff_multiplier = std::nextafter(1.0f, 0.0f); }, kBackoff},
        Edge{"backoff_nan", [](auto& c) { c.retry.backoff_multiplier = kNaN; }, kBackoff},
        Edge{"backoff_infinite", [](auto& c) { c.retry.backoff_multiplier = kInf; }, kBackoff},
        Edge{"bloom_rules_off_without_bloom",
             [](auto& c) {
               c.reliability.dedup.bloom_filter_bits = 0;
               c.reliability.dedup.bloom_rotation_secs = 0;
             },
             std::nullopt},
        Edge{"require_encryption_with_encryption",
             [](auto& c) { c.encryption.require_encryption = true; }, std::nullopt},
        Edge{"global_equals_per_peer",
             [](auto& c) { c.encryption.pending_queue.max_pending_global = 32; }, std::nullopt},
        Edge{"rate_subnormal",
             [](auto& c) { c.mesh_relay.rate_per_sec = std::numeric_limits<float>::denorm_min(); },
             std::nullopt},
        Edge{"rate_negative_zero", [](auto& c) { c.mesh_relay.rate_per_sec = -0.0f; }, kRate},
        Edge{"rate_negative_infinity", [](auto& c) { c.mesh_relay.rate_per_sec = -kInf; }, kRate},
        Edge{"bias_exactly_one", [](auto& c) { c.mesh_relay.bias_min_scale = 1.0f; },
             std::nullopt},
        Edge{"bias_just_above_one", [](auto& c) { c.mesh_relay.bias_min_scale = 1.0000001f; },
             kBias},
        Edge{"bias_zero", [](auto& c) { c.mesh_relay.bias_min_scale = 0.0f; }, kBias},
        Edge{"bias_nan", [](auto& c) { c.mesh_relay.bias_min_scale = kNaN; }, kBias},
        Edge{"jitter_equal",
             [](auto& c) { c.mesh_relay.jitter_min = c.mesh_relay.jitter_max; }, std::nullopt},
        // 200 ms and one nanosecond is longer than 200 ms, though both print as 200ms.
        Edge{"jitter_min_longer_by_a_nanosecond",
             [](auto& c) { c.mesh_relay.jitter_min = ConfigDuration{0, 200'000'001}; },
             "mesh_relay.jitter_min (200ms) must not exceed mesh_relay.jitter_max (200ms)"},
        Edge{"jitter_budget_4999ms",
             [](auto& c) {
               c.mesh_relay.jitter_max = ms(4000);
               c.mesh_relay.bias_max_handicap = ms(999);
             },
             std::nullopt},
        Edge{"jitter_budget_a_nanosecond_short",
             [](auto& c) {
               c.mesh_relay.jitter_max = ConfigDuration{4, 999'999'999};
               c.mesh_relay.bias_max_handicap = {};
             },
             std::nullopt},
        Edge{"jitter_budget_carries_nanoseconds",
             [](auto& c) {
               c.mesh_relay.jitter_max = ConfigDuration{2, 600'000'000};
               c.mesh_relay.bias_max_handicap = ConfigDuration{2, 400'000'000};
             },
             "mesh_relay.jitter_max + mesh_relay.bias_max_handicap (5000ms) must stay under the "
             "5000ms overdue cut-off, or every biased forward is abandoned instead of sent"},
        Edge{"jitter_budget_saturates",
             [](auto& c) {
               c.mesh_relay.jitter_min = {};
               c.mesh_relay.jitter_max = ConfigDuration::max();
               c.mesh_relay.bias_max_handicap = ConfigDuration::from_secs(1);
             },
             "mesh_relay.jitter_max + mesh_relay.bias_max_handicap (18446744073709551615999ms) "
             "must stay under the 5000ms overdue cut-off, or every biased forward is abandoned "
             "instead of sent"},
        Edge{"activity_window_one_nanosecond",
             [](auto& c) { c.mesh_relay.activity_window = ConfigDuration{0, 1}; }, std::nullopt},
        Edge{"custody_off_ignores_inconsistent_values",
             [](auto& c) {
               c.custody.hold_ms = UINT64_MAX;
               c.custody.max_entries_per_depositor = 0;
               c.custody.max_bytes_per_depositor = 1;
               c.custody.stranger_max_entries = 5;
             },
             std::nullopt},
        Edge{"custody_defaults_valid_when_on", [](auto& c) { custody_on(c); }, std::nullopt},
        Edge{"custody_hold_just_below_outbox",
             [](auto& c) {
               custody_on(c);
               c.custody.hold_ms = c.retry.outbox_max_lifetime_ms - 1;
             },
             std::nullopt},
        Edge{"custody_byte_totals_below_depositor",
             [](auto& c) {
               custody_on(c);
               c.custody.max_bytes = c.custody.max_bytes_per_depositor - 1;
             },
             "custody.max_entries and custody.max_bytes must each be at least their "
             "per-depositor sibling, or the per-depositor dial can never be reached"},
        Edge{"custody_no_strangers_small_totals",
             [](auto& c) {
               custody_on(c);
               c.custody.max_entries = 64;
               c.custody.max_bytes = 2'097'152;
             },
             std::nullopt},
        Edge{"custody_strangers_at_the_frame_ceiling",
             [](auto& c) {
               custody_on(c);
               c.custody.stranger_max_entries = 512;
               c.custody.stranger_max_bytes = 65536;
             },
             std::nullopt},
        Edge{"custody_stranger_bytes_above_total",
             [](auto& c) {
               custody_on(c);
               c.custody.stranger_max_entries = 1;
               c.custody.stranger_max_bytes = c.custody.max_bytes + 1;
             },
             "custody.max_entries and custody.max_bytes must each be at least the stranger "
             "tier's dial, or that tier can never be reached"},
        Edge{"relay_and_dors_unchecked",
             [](auto& c) {
               c.relay = RelayConfig{0, false, RelayPriority::Low};
               c.dors.hysteresis_margin = kNaN;
               c.dors.metrics_window = 0;
             },
             std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brenvik
