#include "core/message.h"

#include <chrono>
#include <limits>

namespace brenvik {

MediaMetadata MediaMetadata::without_key_material() const {
  MediaMetadata copy = *this;
  copy.encryption_key.reset();
  copy.iv.reset();
  return copy;
}

Result<void, CoreError> Message::increment_hop_count() {
  if (hop_count == 255) return Err(CoreError::invalid_hop_count(255));
  ++hop_count;
  return {};
}

ForwardInfo next_forward_info(const Message& m) {
  if (!m.forwarded_from) return ForwardInfo{m.sender, m.id, m.timestamp, 1};
  ForwardInfo f = *m.forwarded_from;
  if (f.forward_count != std::numeric_limits<uint32_t>::max()) ++f.forward_count;
  return f;
}

uint64_t advance_lamport_clock(uint64_t& clock, uint64_t observed) {
  uint64_t v = std::max(clock, clamp_lamport_value(observed));
  if (v != std::numeric_limits<uint64_t>::max()) ++v;
  clock = v;
  return v;
}

int64_t wall_clock_unix_ms(const Clock& clock) {
  int64_t ns = clock.wall_unix_ns();
  // Whole seconds * 1000 + sub-second millis, measured as a distance from the
  // epoch and negated before it (so -1.5 ms is -1, not -2).
  bool before = ns < 0;
  uint64_t dist = before ? uint64_t(0) - uint64_t(ns) : uint64_t(ns);
  int64_t ms = int64_t(dist / 1000000000ULL * 1000 + (dist % 1000000000ULL) / 1000000ULL);
  return before ? -ms : ms;
}

MessageBuilder::MessageBuilder(std::string sender, std::string recipient, std::string app_id) {
  m_.sender = std::move(sender);
  m_.recipient = std::move(recipient);
  m_.app_id = std::move(app_id);
}

Message MessageBuilder::build(const Clock& clock) && {
  Message m = std::move(m_);
  m.id = new_message_id();
  m.timestamp = wall_clock_unix_ms(clock);
  m.hop_count = 0;
  m.binary_content.reset();
  m.compact_wire = false;
  m.transport_peer_id.reset();
  return m;
}

}  // namespace brenvik
