// The table of delivery acknowledgements awaited: one wait per message id
// with the time of the last send, the time allowed, the number of sends, a
// priority and a timed-out mark. It reports; the core decides what a
// time-out means (retry, park or fail).
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/message_id.h"
#include "core/types.h"
#include "reliability/reliability_error.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

inline constexpr std::string_view kAckCapacityText =
    "Maximum pending ACKs limit reached (no lower priority ACKs to evict)";

struct PendingAck {
  MessageId message_id;
  uint64_t timeout_ms = 0;
  uint32_t attempts = 0;
  int64_t sent_at_ns = 0;  // wall clock, Unix nanoseconds, of the last (re)send
  MessagePriority priority = MessagePriority::Medium;
  bool timed_out = false;

  bool operator==(const PendingAck&) const = default;
};

// A wait given up to make room for a new one.
struct AckEviction {
  MessageId message_id;
  MessagePriority priority = MessagePriority::Medium;
  // True when the evicted wait had already timed out and been reported by
  // check_timeouts (its retry is the core's business already); false when a
  // live wait of lower priority gave way.
  bool was_timed_out = false;

  bool operator==(const AckEviction&) const = default;
};

class AckManager {
 public:
  static constexpr uint64_t kDefaultTimeoutMs = 10'000;
  static constexpr uint64_t kDefaultMaxPendingAcks = 1'000;

  // Both values must be greater than 0 (checked by the configuration).
  AckManager(uint64_t default_timeout_ms = kDefaultTimeoutMs,
             uint64_t max_pending_acks = kDefaultMaxPendingAcks,
             const Clock& clock = system_clock());

  // track_with_priority at Medium.
  Result<std::optional<AckEviction>, ReliabilityError> track(
      const MessageId& id, std::optional<uint64_t> timeout_ms = std::nullopt);
  // Starts (or restarts) the wait for `id`. When the table is full, room is
  // made first from waits that already timed out and were reported (oldest
  // send first), then from a live wait of lower priority than `priority`
  // (lowest priority, then oldest send). Waits whose time ran out but that
  // check_timeouts has not reported yet are never evicted, so their
  // time-out still reaches the core. With no room the track is refused with
  // Capacity (kAckCapacityText), logged and counted; nothing else changes,
  // so the caller can keep its outbox entry and go on.
  Result<std::optional<AckEviction>, ReliabilityError> track_with_priority(
      const MessageId& id, std::optional<uint64_t> timeout_ms, MessagePriority priority);

  // Removes and returns the wait, or nothing for an unknown id.
  std::optional<PendingAck> acknowledge(const MessageId& id);
  bool is_pending(const MessageId& id) const { return pending_.contains(id); }
  // Marks and returns (copies, timed_out set) every wait whose time ran out
  // since it was last armed; each time-out is reported once.
  std::vector<PendingAck> check_timeouts();
  // Sets `attempts` of an existing wait.
  void set_attempts(const MessageId& id, uint32_t attempts);
  // attempts + 1 (wrapping), sent_at = now, timed_out cleared.
  void record_resend(const MessageId& id);
  // Removes timed-out waits sent at least `age` ago; returns how many.
  size_t expire(Nanos age);

  // Applies a new default time-out and capacity in place. Waits in
  // progress keep their own time-out, attempts, send time and mark, so a
  // message in flight is still timed out and settled as before; the new
  // default applies to waits tracked from now on. When the new capacity is
  // below the number of waits, the ones eviction would give up first
  // (reported time-outs, oldest send first; then lowest priority, oldest
  // send) are dropped and returned, so that the caller can log them (their
  // messages stay in the outbox).
  std::vector<PendingAck> reconfigure(uint64_t default_timeout_ms, uint64_t max_pending_acks);

  size_t size() const { return pending_.size(); }
  std::optional<PendingAck> get(const MessageId& id) const;
  // Tracks refused because the table was full.
  uint64_t refused_tracks() const { return refused_; }
  uint64_t default_timeout_ms() const { return default_timeout_ms_; }
  uint64_t max_pending_acks() const { return max_pending_; }

 private:
  struct IdHash {
    size_t operator()(const MessageId& id) const noexcept;
  };
  static bool ran_out(const PendingAck& a, int64_t now_ns);

  uint64_t default_timeout_ms_;
  uint64_t max_pending_;
  const Clock& clock_;
  std::unordered_map<MessageId, PendingAck, IdHash> pending_;
  uint64_t refused_ = 0;
};

}  // namespace brenvik
