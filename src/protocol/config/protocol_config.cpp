#include "protocol/config/protocol_config.h"

#include <cmath>
#include <string_view>

#include "core/identifier.h"

namespace brenvik {
namespace {

// Largest byte budget a custody tier needs to admit one replication frame.
constexpr uint64_t kReplicationFrameCeiling = 65'536;
// The forwarding queue abandons a forward that is overdue by this much, so
// the worst biased delay must stay under it.
constexpr uint64_t kForwardOverdueCutoffMs = 5'000;

constexpr uint64_t kI64Max = 9'223'372'036'854'775'807ULL;

bool finite_positive(float v) {
  return std::isfinite(v) && v > 0.0f;
}

std::string str(uint64_t v) {
  return std::to_string(v);
}

}  // namespace

std::optional<std::string> custody_config_violation(const ProtocolConfig& config) {
  const CustodyConfig& c = config.custody;
  if (c.hold_ms == 0) return "custody.hold_ms must be greater than 0";
  if (!c.enabled) return std::nullopt;
  if (c.hold_ms >= config.retry.outbox_max_lifetime_ms) {
    return "custody.hold_ms (" + str(c.hold_ms) +
           "ms) must be strictly shorter than retry.outbox_max_lifetime_ms (" +
           str(config.retry.outbox_max_lifetime_ms) +
           "ms): a hold that outlives the outbox delivers frames whose sender has already "
           "reported them failed";
  }
  if (c.max_entries_per_depositor == 0 || c.max_bytes_per_depositor == 0) {
    return "custody.max_entries_per_depositor and custody.max_bytes_per_depositor must both be "
           "greater than 0 while custody is enabled: zero is not a smaller quota, it is a store "
           "that refuses every deposit";
  }
  if (c.max_bytes_per_depositor < kReplicationFrameCeiling) {
    return "custody.max_bytes_per_depositor (" + str(c.max_bytes_per_depositor) +
           ") must admit one replication frame at its ceiling (" + str(kReplicationFrameCeiling) +
           " bytes), or every deposit is refused as depositor_full";
  }
  if (c.max_entries < c.max_entries_per_depositor || c.max_bytes < c.max_bytes_per_depositor) {
    return "custody.max_entries and custody.max_bytes must each be at least their per-depositor "
           "sibling, or the per-depositor dial can never be reached";
  }
  if ((c.stranger_max_entries == 0) != (c.stranger_max_bytes == 0)) {
    return "custody.stranger_max_entries and custody.stranger_max_bytes must be both zero (no "
           "stranger deposits) or both greater than 0";
  }
  const bool strangers = c.stranger_max_entries != 0;  // both set, by the rule above
  if (strangers && c.stranger_max_bytes < kReplicationFrameCeiling) {
    return "custody.stranger_max_bytes (" + str(c.stranger_max_bytes) +
           ") must admit one replication frame at its ceiling (" + str(kReplicationFrameCeiling) +
           " bytes), or every stranger deposit is refused as depositor_full";
  }
  if (c.max_entries < c.stranger_max_entries || c.max_bytes < c.stranger_max_bytes) {
    return "custody.max_entries and custody.max_bytes must each be at least the stranger tier's "
           "dial, or that tier can never be reached";
  }
  return std::nullopt;
}

std::optional<std::string> ProtocolConfig::first_violation() const {
  if (auto r = validate_identifier(app_id, kAppIdLabel); !r.ok()) {
    return "Invalid app ID: " + r.error().message();
  }
  if (auto r = validate_identifier(local_user_id, kUserIdLabel); !r.ok()) {
    return "Invalid user ID: " + r.error().message();
  }
  if (initial_ttl == 0) return "initial_ttl must be greater than 0";
  if (!transports.any()) return "At least one transport must be enabled";

  if (ack.default_timeout_ms == 0) return "ack.default_timeout_ms must be greater than 0";
  if (ack.max_pending_acks == 0) return "ack.max_pending_acks must be greater than 0";

  if (retry.initial_delay_ms == 0) return "retry.initial_delay_ms must be greater than 0";
  if (retry.max_delay_ms == 0) return "retry.max_delay_ms must be greater than 0";
  if (retry.initial_delay_ms > retry.max_delay_ms) {
    return "retry.initial_delay_ms must be <= retry.max_delay_ms";
  }
  // Read as a signed 64-bit value: zero and every value with the top bit set
  // are below 1.
  if (retry.outbox_max_lifetime_ms == 0 || retry.outbox_max_lifetime_ms > kI64Max) {
    return "retry.outbox_max_lifetime_ms must be in 1..=i64::MAX";
  }
  if (retry.pending_message_max_lifetime_ms == 0) {
    return "retry.pending_message_max_lifetime_ms must be greater than 0";
  }
  if (retry.pending_message_max_lifetime_ms > kI64Max) {
    return "retry.pending_message_max_lifetime_ms must be <= i64::MAX";
  }
  if (!(std::isfinite(retry.backoff_multiplier) && retry.backoff_multiplier >= 1.0f)) {
    return "retry.backoff_multiplier must be finite and >= 1.0";
  }

  const DedupConfig& d = reliability.dedup;
  if (d.max_tracked_messages == 0) {
    return "reliability.dedup.max_tracked_messages must be greater than 0";
  }
  if (d.retention_time_secs == 0) {
    return "reliability.dedup.retention_time_secs must be greater than 0";
  }
  if (d.use_bloom_filter) {
    if (d.bloom_filter_bits == 0)
      return "reliability.dedup.bloom_filter_bits must be greater than 0";
    if (d.bloom_hash_count == 0) return "reliability.dedup.bloom_hash_count must be greater than 0";
    if (d.bloom_filter_count == 0) {
      return "reliability.dedup.bloom_filter_count must be greater than 0";
    }
    if (d.bloom_rotation_secs == 0) {
      return "reliability.dedup.bloom_rotation_secs must be greater than 0";
    }
  }

  if (encryption.require_encryption && !encryption.enabled) {
    return "encryption.require_encryption requires encryption.enabled=true";
  }
  const PendingQueueConfig& q = encryption.pending_queue;
  if (q.max_pending_per_peer == 0) {
    return "encryption.pending_queue.max_pending_per_peer must be greater than 0";
  }
  if (q.max_pending_global == 0) {
    return "encryption.pending_queue.max_pending_global must be greater than 0";
  }
  if (q.max_pending_global < q.max_pending_per_peer) {
    return "encryption.pending_queue.max_pending_global must be >= max_pending_per_peer";
  }
  if (q.pending_ttl_ms == 0)
    return "encryption.pending_queue.pending_ttl_ms must be greater than 0";

  if (group.max_group_members == 0) return "group.max_group_members must be greater than 0";

  const MeshRelayConfig& m = mesh_relay;
  if (m.fanout == 0) return "mesh_relay.fanout must be greater than 0";
  if (m.max_ttl == 0) return "mesh_relay.max_ttl must be greater than 0";
  if (m.dense_max_ttl == 0) return "mesh_relay.dense_max_ttl must be greater than 0";
  if (m.queue_capacity == 0) return "mesh_relay.queue_capacity must be greater than 0";
  const struct {
    std::string_view name;
    float value;
  } rates[] = {{"rate_per_sec", m.rate_per_sec},
               {"burst", m.burst},
               {"peer_rate_per_sec", m.peer_rate_per_sec},
               {"peer_burst", m.peer_burst}};
  for (const auto& rate : rates) {
    if (!finite_positive(rate.value)) {
      return "mesh_relay." + std::string(rate.name) + " must be finite and greater than 0";
    }
  }
  if (!finite_positive(m.bias_min_scale) || m.bias_min_scale > 1.0f) {
    return "mesh_relay.bias_min_scale must be finite and in (0.0, 1.0]";
  }
  if (m.jitter_min > m.jitter_max) {
    return "mesh_relay.jitter_min (" + m.jitter_min.whole_millis_text() +
           "ms) must not exceed mesh_relay.jitter_max (" + m.jitter_max.whole_millis_text() + "ms)";
  }
  const ConfigDuration worst_delay = saturating_add(m.jitter_max, m.bias_max_handicap);
  if (!(worst_delay < ConfigDuration::from_millis(kForwardOverdueCutoffMs))) {
    return "mesh_relay.jitter_max + mesh_relay.bias_max_handicap (" +
           worst_delay.whole_millis_text() + "ms) must stay under the " +
           str(kForwardOverdueCutoffMs) +
           "ms overdue cut-off, or every biased forward is abandoned instead of sent";
  }
  if (m.activity_window.is_zero()) return "mesh_relay.activity_window must be greater than zero";
  if (m.activity_min_forwards == 0)
    return "mesh_relay.activity_min_forwards must be greater than 0";
  if (m.activity_idle_windows == 0)
    return "mesh_relay.activity_idle_windows must be greater than 0";

  return custody_config_violation(*this);
}

Result<void, ProtocolError> ProtocolConfig::validate() const {
  if (auto violation = first_violation()) {
    return Err(ProtocolError::invalid_config(std::move(*violation)));
  }
  return {};
}

}  // namespace brenvik
