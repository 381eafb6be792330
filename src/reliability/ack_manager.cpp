#include "reliability/ack_manager.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "util/log.h"

namespace brenvik {

namespace {

constexpr std::string_view kLogTarget = "brenvik_protocol::reliability::ack";

int64_t elapsed_ms(int64_t from_ns, int64_t to_ns) {
  // Signed difference without overflow for any two readings.
  __int128 d = __int128(to_ns) - __int128(from_ns);
  return int64_t(d / 1'000'000);
}

}  // namespace

size_t AckManager::IdHash::operator()(const MessageId& id) const noexcept {
  uint64_t a, b;
  std::memcpy(&a, id.bytes.data(), 8);
  std::memcpy(&b, id.bytes.data() + 8, 8);
  return size_t(a ^ (b * 0x9E3779B97F4A7C15ull));
}

AckManager::AckManager(uint64_t default_timeout_ms, uint64_t max_pending_acks, const Clock& clock)
    : default_timeout_ms_(default_timeout_ms), max_pending_(max_pending_acks), clock_(clock) {}

bool AckManager::ran_out(const PendingAck& a, int64_t now_ns) {
  const uint64_t limit = std::min<uint64_t>(a.timeout_ms, std::numeric_limits<int64_t>::max());
  return elapsed_ms(a.sent_at_ns, now_ns) >= int64_t(limit);
}

Result<std::optional<AckEviction>, ReliabilityError> AckManager::track(
    const MessageId& id, std::optional<uint64_t> timeout_ms) {
  return track_with_priority(id, timeout_ms, MessagePriority::Medium);
}

Result<std::optional<AckEviction>, ReliabilityError> AckManager::track_with_priority(
    const MessageId& id, std::optional<uint64_t> timeout_ms, MessagePriority priority) {
  const int64_t now = clock_.wall_unix_ns();
  std::optional<AckEviction> evicted;
  if (pending_.size() >= max_pending_ && !pending_.contains(id)) {
    // 1. A wait that already timed out and was reported: the core has its
    //    retry in hand, the entry only waits for expire().
    auto stale = pending_.end();
    // 2. Otherwise a live wait of lower priority.
    auto live = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      const PendingAck& a = it->second;
      if (a.timed_out) {
        if (stale == pending_.end() || a.sent_at_ns < stale->second.sent_at_ns) stale = it;
      } else if (!ran_out(a, now)) {
        if (live == pending_.end() || a.priority < live->second.priority ||
            (a.priority == live->second.priority && a.sent_at_ns < live->second.sent_at_ns)) {
          live = it;
        }
      }
    }
    auto victim = stale != pending_.end()                                        ? stale
                  : (live != pending_.end() && live->second.priority < priority) ? live
                                                                                 : pending_.end();
    if (victim == pending_.end()) {
      ++refused_;
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message", "Acknowledgement table full; wait not tracked"},
                  {"message_id", display_message_id(id)}, {"pending", uint64_t(pending_.size())},
                  {"refused_total", refused_});
      return Err(ReliabilityError::capacity(std::string(kAckCapacityText)));
    }
    evicted =
        AckEviction{victim->second.message_id, victim->second.priority, victim->second.timed_out};
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Acknowledgement wait evicted to make room"},
                {"message_id", display_message_id(evicted->message_id)},
                {"timed_out", evicted->was_timed_out});
    pending_.erase(victim);
  }
  pending_[id] = PendingAck{id, timeout_ms.value_or(default_timeout_ms_), 0, now, priority, false};
  return evicted;
}

std::optional<PendingAck> AckManager::acknowledge(const MessageId& id) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return std::nullopt;
  PendingAck a = it->second;
  pending_.erase(it);
  return a;
}

std::optional<PendingAck> AckManager::get(const MessageId& id) const {
  auto it = pending_.find(id);
  if (it == pending_.end()) return std::nullopt;
  return it->second;
}

std::vector<PendingAck> AckManager::check_timeouts() {
  const int64_t now = clock_.wall_unix_ns();
  std::vector<PendingAck> out;
  for (auto& [id, a] : pending_) {
    if (a.timed_out || !ran_out(a, now)) continue;
    a.timed_out = true;
    out.push_back(a);
  }
  return out;
}

void AckManager::set_attempts(const MessageId& id, uint32_t attempts) {
  if (auto it = pending_.find(id); it != pending_.end()) it->second.attempts = attempts;
}

void AckManager::record_resend(const MessageId& id) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  it->second.attempts += 1;
  it->second.sent_at_ns = clock_.wall_unix_ns();
  it->second.timed_out = false;
}

size_t AckManager::expire(Nanos age) {
  const int64_t now = clock_.wall_unix_ns();
  // A negative age counts as 0; the subtraction saturates at the earliest time.
  const int64_t d = std::max<int64_t>(age.count(), 0);
  const int64_t cutoff =
      now < std::numeric_limits<int64_t>::min() + d ? std::numeric_limits<int64_t>::min() : now - d;
  size_t removed = 0;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.timed_out && it->second.sent_at_ns <= cutoff) {
      it = pending_.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  return removed;
}

std::vector<PendingAck> AckManager::reconfigure(uint64_t default_timeout_ms,
                                                uint64_t max_pending_acks) {
  default_timeout_ms_ = default_timeout_ms;
  max_pending_ = max_pending_acks;
  std::vector<PendingAck> dropped;
  if (pending_.size() <= max_pending_) return dropped;

  std::vector<PendingAck> order;
  order.reserve(pending_.size());
  for (const auto& [id, a] : pending_) order.push_back(a);
  // The eviction preference of track_with_priority, as one order: reported
  // time-outs before live waits, then lower priority, then older send.
  std::sort(order.begin(), order.end(), [](const PendingAck& a, const PendingAck& b) {
    if (a.timed_out != b.timed_out) return a.timed_out;
    if (!a.timed_out && a.priority != b.priority) return a.priority < b.priority;
    if (a.sent_at_ns != b.sent_at_ns) return a.sent_at_ns < b.sent_at_ns;
    return a.message_id.bytes < b.message_id.bytes;
  });
  const size_t excess = pending_.size() - max_pending_;
  for (size_t i = 0; i < excess; ++i) {
    pending_.erase(order[i].message_id);
    dropped.push_back(order[i]);
  }
  return dropped;
}

}  // namespace brenvik
