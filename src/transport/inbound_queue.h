// The inbound queue of one transport: decoded messages waiting for
// Transport::receive. Peers decide how much arrives, so the queue is bounded
// both in messages and in the received bytes they came from; what does not
// fit is dropped and counted instead of growing memory without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "core/message.h"
#include "util/sync.h"

namespace brenvik {

class InboundQueue {
 public:
  static constexpr size_t kDefaultMaxMessages = 1024;
  static constexpr size_t kDefaultMaxBytes = 64u << 20;  // sum of the frames' sizes

  explicit InboundQueue(size_t max_messages = kDefaultMaxMessages,
                        size_t max_bytes = kDefaultMaxBytes);
  InboundQueue(const InboundQueue&) = delete;
  InboundQueue& operator=(const InboundQueue&) = delete;

  // Appends at the back. When the queue already holds max_messages, or the
  // frame would take it past max_bytes, the new message is dropped (what is
  // queued stays), counted, and false is returned.
  bool push(Message message, size_t frame_bytes);
  // Takes the front message, if any.
  std::optional<Message> pop();
  // Takes everything, in arrival order.
  std::vector<Message> drain();

  size_t size() const;
  // Messages dropped because the queue was full.
  uint64_t dropped_full() const;
  // Frames dropped because they did not decode (counted by the receive step).
  uint64_t dropped_malformed() const;
  void count_malformed();

 private:
  struct Entry {
    Message message;
    size_t bytes;
  };
  struct State {
    std::deque<Entry> q;
    size_t bytes = 0;
    uint64_t dropped_full = 0;
    uint64_t dropped_malformed = 0;
  };
  // Taken with lock_or_recover: a holder that failed leaves the queue usable.
  mutable Mutex<State> state_;
  const size_t max_messages_;
  const size_t max_bytes_;
};

}  // namespace brenvik
