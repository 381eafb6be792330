// Run-time replacement of four slices of the running configuration (ack,
// reliability.dedup, relay, retry), the deduplicator's statistics and the
// battery report.
//
// Every update builds a candidate that is a full copy of the running record
// with one slice replaced and checks the whole candidate. On failure it
// returns the first failing rule and changes nothing. On success it applies
// the slice to the structures built from it, then writes the slice into the
// running record.
//
// The acknowledgement table and the retry queue are reconfigured in place:
// waits and scheduled retries in flight carry over, so a message sent
// before an update is still timed out, retried and settled after it.
// (Rebuilding them empty would silently drop those messages' retries until
// some later flush happened to pick them up.)
//
// These operations run on the caller's thread with the core held
// exclusively; they take no lock and do not look at the lifecycle state.
#pragma once

#include <cstdint>

#include "protocol/config/protocol_config.h"
#include "protocol/helpers/core_helpers.h"
#include "reliability/ack_manager.h"
#include "reliability/deduplicator.h"
#include "reliability/retry_queue.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

// The queue of outgoing messages waiting for a secure session, as far as a
// change of its lifetime concerns it.
class SessionPendingLifetime {
 public:
  virtual ~SessionPendingLifetime() = default;
  // Recomputes the queue's earliest expiry deadline under a new lifetime.
  virtual void recompute_deadline(uint64_t max_lifetime_ms) = 0;
  // Drops, with the queue's own reporting, every message queued longer than
  // the lifetime as of `now_unix_ms`.
  virtual void expire(int64_t now_unix_ms) = 0;
};

// What the updates read and change. Nothing is owned; every reference must
// outlive the ConfigUpdates object.
struct ConfigTargets {
  ProtocolConfig& config;
  AckManager& acks;
  RetryQueue& retries;
  Deduplicator& dedup;
  // Seen-set changes not yet persisted; the process tick persists the seen
  // set while it is not zero.
  uint32_t& seen_set_dirty;
  SessionPendingLifetime& session_pending;
  const Clock& clock;
};

class ConfigUpdates {
 public:
  // Error: InvalidConfig with the message of the first failing rule.
  using UpdateResult = Result<void, ProtocolError>;

  explicit ConfigUpdates(ConfigTargets targets) : t_(targets) {}

  // Replaces ack.default_timeout_ms and ack.max_pending_acks. Waits in
  // progress keep their own time-out; a capacity below the number of waits
  // drops the ones eviction would give up first (logged; the messages stay
  // in the outbox).
  UpdateResult update_ack_config(uint64_t default_timeout_ms, uint64_t max_pending_acks);

  // Replaces the seven reliability.dedup fields, rebuilds the deduplicator
  // under them (it decides which seen ids carry over) and raises the
  // seen-set change counter by one, saturating, so that the next tick
  // persists the seen set.
  UpdateResult update_dedup_config(const DedupConfig& dedup);

  // Replaces the three relay fields. Nothing is rebuilt: the relay gate and
  // the forwarding path read them at their next use.
  UpdateResult update_relay_config(const RelayConfig& relay);
  // update_relay_config with the running min_battery_percent and enabled
  // and the new priority.
  UpdateResult set_relay_priority(RelayPriority priority);

  // Replaces the seven retry fields. Scheduled retries carry over (see the
  // retry queue's reconfigure); then messages waiting for a secure session
  // longer than the new pending_message_max_lifetime_ms are dropped within
  // this call.
  UpdateResult update_retry_config(const RetryConfig& retry);

  // The deduplicator's statistics, unchanged. Never fails.
  DedupStats get_dedup_stats() const { return t_.dedup.stats(); }

 private:
  ConfigTargets t_;
};

// The battery report of the host: known from now on, the level capped at
// 100, the charging flag as given.
inline void set_battery_status(BatteryReading& reading, uint8_t level, bool charging) {
  reading = BatteryReading{true, level > 100 ? uint8_t{100} : level, charging};
}

}  // namespace brenvik
