#include "transport/inbound_queue.h"

#include "util/log.h"

namespace brenvik {

namespace {

constexpr std::string_view kLogTarget = "brenvik_protocol_transport::common";

// A flooding peer must not flood the log as well.
LogRateLimiter& full_queue_limiter() {
  static LogRateLimiter limiter(system_clock(), std::chrono::seconds(10), 1);
  return limiter;
}

}  // namespace

InboundQueue::InboundQueue(size_t max_messages, size_t max_bytes)
    : max_messages_(max_messages), max_bytes_(max_bytes) {}

bool InboundQueue::push(Message message, size_t frame_bytes) {
  uint64_t dropped = 0;
  {
    auto s = lock_or_recover(state_);
    if (s->q.size() < max_messages_ && frame_bytes <= max_bytes_ - s->bytes) {
      s->bytes += frame_bytes;
      s->q.push_back(Entry{std::move(message), frame_bytes});
      return true;
    }
    dropped = ++s->dropped_full;
  }
  if (log_enabled(LogLevel::Warn) && full_queue_limiter().check("inbound-full").allowed) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget, {"message", "Inbound queue full, dropping message"},
                {"dropped_total", dropped});
  }
  return false;
}

std::optional<Message> InboundQueue::pop() {
  auto s = lock_or_recover(state_);
  if (s->q.empty()) return std::nullopt;
  Entry e = std::move(s->q.front());
  s->q.pop_front();
  s->bytes -= e.bytes;
  return std::move(e.message);
}

std::vector<Message> InboundQueue::drain() {
  auto s = lock_or_recover(state_);
  std::vector<Message> out;
  out.reserve(s->q.size());
  for (auto& e : s->q) out.push_back(std::move(e.message));
  s->q.clear();
  s->bytes = 0;
  return out;
}

size_t InboundQueue::size() const {
  return lock_or_recover(state_)->q.size();
}

uint64_t InboundQueue::dropped_full() const {
  return lock_or_recover(state_)->dropped_full;
}

uint64_t InboundQueue::dropped_malformed() const {
  return lock_or_recover(state_)->dropped_malformed;
}

void InboundQueue::count_malformed() {
  ++lock_or_recover(state_)->dropped_malformed;
}

}  // namespace brenvik
