#include "transport/inbound_queue.h"

namespace brenvik {

InboundQueue::InboundQueue(size_t max_messages, size_t max_bytes)
    : max_messages_(max_messages), max_bytes_(max_bytes) {}

bool InboundQueue::push(Message message, size_t frame_bytes) {
  std::lock_guard lock(mu_);
  if (q_.size() >= max_messages_ || frame_bytes > max_bytes_ - bytes_) {
    ++dropped_full_;
    return false;
  }
  bytes_ += frame_bytes;
  q_.push_back(Entry{std::move(message), frame_bytes});
  return true;
}

std::optional<Message> InboundQueue::pop() {
  std::lock_guard lock(mu_);
  if (q_.empty()) return std::nullopt;
  Entry e = std::move(q_.front());
  q_.pop_front();
  bytes_ -= e.bytes;
  return std::move(e.message);
}

std::vector<Message> InboundQueue::drain() {
  std::lock_guard lock(mu_);
  std::vector<Message> out;
  out.reserve(q_.size());
  for (auto& e : q_) out.push_back(std::move(e.message));
  q_.clear();
  bytes_ = 0;
  return out;
}

size_t InboundQueue::size() const {
  std::lock_guard lock(mu_);
  return q_.size();
}

uint64_t InboundQueue::dropped_full() const {
  std::lock_guard lock(mu_);
  return dropped_full_;
}

uint64_t InboundQueue::dropped_malformed() const {
  std::lock_guard lock(mu_);
  return dropped_malformed_;
}

void InboundQueue::count_malformed() {
  std::lock_guard lock(mu_);
  ++dropped_malformed_;
}

}  // namespace brenvik
