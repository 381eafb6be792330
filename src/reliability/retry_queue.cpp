#include "reliability/retry_queue.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brenvik {

namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

}  // namespace

uint64_t backoff_delay_ms(const RetryConfig& c, uint32_t attempt) {
  const uint32_t n = std::min<uint32_t>(attempt, 2'147'483'647u);
  const double product =
      std::pow(double(c.backoff_multiplier), double(n)) * double(c.initial_delay_ms);
  if (std::isnan(product)) return c.max_delay_ms;
  const double d = std::min(product, double(c.max_delay_ms));
  if (!(d > 0)) return 0;
  if (d >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
  return uint64_t(d);
}

bool RetryQueue::Later::operator()(const RetryEntry& a, const RetryEntry& b) const {
  // std heap functions keep the "largest" on top: the earliest due time, and
  // among equal times the higher priority, must compare largest.
  if (a.next_attempt_ns != b.next_attempt_ns) return a.next_attempt_ns > b.next_attempt_ns;
  return a.message.priority < b.message.priority;
}

RetryQueue::RetryQueue(RetryConfig config, const Clock& clock) : config_(config), clock_(clock) {}

std::optional<int64_t> RetryQueue::schedule(Message message, uint32_t attempt, uint64_t delay_ms) {
  std::string id = display_message_id(message.id);
  if (queued_ids_.contains(id)) return std::nullopt;
  const int64_t now = clock_.wall_unix_ns();
  const uint64_t d = std::min<uint64_t>(delay_ms, uint64_t(kI64Max));
  // Saturates at the latest representable time instead of overflowing.
  const __int128 due = __int128(now) + __int128(d) * kNsPerMs;
  const int64_t next = due > kI64Max ? kI64Max : int64_t(due);
  heap_.push_back(RetryEntry{std::move(message), clock_.wall_unix_ns(), next, attempt});
  std::push_heap(heap_.begin(), heap_.end(), Later{});
  queued_ids_.insert(std::move(id));
  return next;
}

std::optional<int64_t> RetryQueue::schedule_backoff(Message message, uint32_t attempt) {
  const uint64_t delay = backoff_delay_ms(config_, attempt);
  return schedule(std::move(message), attempt, delay);
}

std::optional<RetryEntry> RetryQueue::pop_due() {
  if (heap_.empty() || heap_.front().next_attempt_ns > clock_.wall_unix_ns()) return std::nullopt;
  std::pop_heap(heap_.begin(), heap_.end(), Later{});
  RetryEntry e = std::move(heap_.back());
  heap_.pop_back();
  if (auto it = queued_ids_.find(display_message_id(e.message.id)); it != queued_ids_.end()) {
    queued_ids_.erase(it);
  }
  return e;
}

bool RetryQueue::remove(std::string_view message_id) {
  auto it = queued_ids_.find(message_id);
  if (it == queued_ids_.end()) return false;
  queued_ids_.erase(it);
  std::erase_if(
      heap_, [&](const RetryEntry& e) { return display_message_id(e.message.id) == message_id; });
  std::make_heap(heap_.begin(), heap_.end(), Later{});
  return true;
}

size_t RetryQueue::expire() {
  const size_t before = heap_.size();
  const int64_t lifetime =
      int64_t(std::min<uint64_t>(config_.outbox_max_lifetime_ms, uint64_t(kI64Max)));
  std::erase_if(heap_, [&](const RetryEntry& e) {
    const __int128 age_ms = (__int128(clock_.wall_unix_ns()) - e.created_at_ns) / kNsPerMs;
    return age_ms >= lifetime;
  });
  if (heap_.size() == before) return 0;
  std::make_heap(heap_.begin(), heap_.end(), Later{});
  queued_ids_.clear();
  for (const RetryEntry& e : heap_) queued_ids_.insert(display_message_id(e.message.id));
  return before - heap_.size();
}

std::vector<RetryEntry> RetryQueue::drain() {
  std::vector<RetryEntry> out;
  out.reserve(heap_.size());
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    out.push_back(std::move(heap_.back()));
    heap_.pop_back();
  }
  queued_ids_.clear();
  return out;
}

RetryQueueStats RetryQueue::stats() const {
  RetryQueueStats s;
  s.total = heap_.size();
  for (const RetryEntry& e : heap_) {
    if (e.next_attempt_ns <= clock_.wall_unix_ns()) ++s.due;
    switch (e.message.priority) {
      case MessagePriority::Critical:
        ++s.critical;
        break;
      case MessagePriority::High:
        ++s.high;
        break;
      case MessagePriority::Medium:
        ++s.medium;
        break;
      case MessagePriority::Low:
        ++s.low;
        break;
    }
  }
  return s;
}

void RetryQueue::reconfigure(const RetryConfig& config) {
  config_ = config;
  const int64_t now = clock_.wall_unix_ns();
  const uint64_t ceiling_ms = std::min<uint64_t>(config_.max_delay_ms, uint64_t(kI64Max));
  const __int128 latest_wide = __int128(now) + __int128(ceiling_ms) * kNsPerMs;
  const int64_t latest = latest_wide > kI64Max ? kI64Max : int64_t(latest_wide);
  bool moved = false;
  for (RetryEntry& e : heap_) {
    if (e.next_attempt_ns > latest) {
      e.next_attempt_ns = latest;
      moved = true;
    }
  }
  if (moved) std::make_heap(heap_.begin(), heap_.end(), Later{});
}

}  // namespace brenvik
