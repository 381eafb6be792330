// Messages to be sent again later, each with the time its next attempt falls
// due: a binary heap (earliest due first; equal times by higher priority)
// beside a set of the queued ids, so the duplicate check never scans.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/message.h"
#include "reliability/deduplicator.h"
#include "util/clock.h"

namespace brenvik {

// The retry section of the core's configuration; the queue reads the first
// four fields.
struct RetryConfig {
  uint64_t initial_delay_ms = 1'000;
  uint64_t max_delay_ms = 300'000;
  float backoff_multiplier = 2.0f;
  uint64_t outbox_max_lifetime_ms = 604'800'000;
  uint64_t pending_message_max_lifetime_ms = 604'800'000;
  uint32_t max_retries = 10;
  bool park_retry_once = false;

  bool operator==(const RetryConfig&) const = default;
};

// min(multiplier^min(attempt, 2^31 - 1) * initial, max) in double precision,
// truncated to milliseconds (NaN gives max; negative gives 0).
uint64_t backoff_delay_ms(const RetryConfig& config, uint32_t attempt);

struct RetryEntry {
  Message message;
  int64_t created_at_ns = 0;    // wall clock, Unix nanoseconds
  int64_t next_attempt_ns = 0;  // wall clock, Unix nanoseconds
  uint32_t attempt = 0;
};

struct RetryQueueStats {
  uint64_t total = 0;
  uint64_t due = 0;
  uint64_t critical = 0;
  uint64_t high = 0;
  uint64_t medium = 0;
  uint64_t low = 0;

  bool operator==(const RetryQueueStats&) const = default;
};

class RetryQueue {
 public:
  explicit RetryQueue(RetryConfig config = {}, const Clock& clock = system_clock());

  // Queues the message to fall due `delay_ms` from now; returns the due
  // time, or nothing when its id is already queued (the queue is unchanged).
  std::optional<int64_t> schedule(Message message, uint32_t attempt, uint64_t delay_ms);
  // schedule with backoff_delay_ms(attempt).
  std::optional<int64_t> schedule_backoff(Message message, uint32_t attempt);
  // The earliest entry when it is due (removed), else nothing.
  std::optional<RetryEntry> pop_due();
  // Removes the id's entry; false when it is not queued.
  bool remove(std::string_view message_id);
  // Drops entries whose age reached outbox_max_lifetime_ms; returns how many.
  size_t expire();
  // Everything, earliest due first; the queue is left empty.
  std::vector<RetryEntry> drain();
  RetryQueueStats stats() const;
  // Applies a new retry configuration in place. Scheduled retries stay, with
  // their attempt and creation time, so a message in flight is still
  // retried; a due time further ahead than the new max_delay_ms from now is
  // brought forward to now + max_delay_ms, so that a lowered ceiling holds
  // for retries already waiting.
  void reconfigure(const RetryConfig& config);

  size_t size() const { return heap_.size(); }
  bool contains(std::string_view message_id) const {
    return queued_ids_.find(message_id) != queued_ids_.end();
  }
  const RetryConfig& config() const { return config_; }

 private:
  struct Later {
    bool operator()(const RetryEntry& a, const RetryEntry& b) const;
  };
  using IdSet = std::unordered_set<std::string, TextKeyHash, std::equal_to<>>;

  RetryConfig config_;
  const Clock& clock_;
  std::vector<RetryEntry> heap_;
  IdSet queued_ids_;
};

}  // namespace brenvik
