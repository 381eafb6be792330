#include "protocol/outbox/outbox.h"

#include <algorithm>

#include "core/message_id.h"

namespace brenvik {

namespace {

uint32_t sat_add1(uint32_t v) {
  return v == UINT32_MAX ? v : v + 1;
}

std::optional<std::string_view> ack_for(const Message& m) {
  auto it = m.metadata.find("ack_for");
  if (it == m.metadata.end()) return std::nullopt;
  return std::string_view(it->second);
}

}  // namespace

const OutboxEntry* Outbox::find(const MessageId& id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

const OutboxEntry* Outbox::find_any(const MessageId& id) const {
  if (auto it = entries_.find(id); it != entries_.end()) return &it->second;
  if (auto it = chunks_.find(id); it != chunks_.end()) return &it->second;
  return nullptr;
}

std::optional<MessageId> Outbox::eviction_victim(const Message& message) const {
  const bool is_chunk = message.content_type == ContentType::FileChunk;
  const Table& table = is_chunk ? chunks_ : entries_;
  const size_t capacity = is_chunk ? kChunkCapacity : kCapacity;
  if (table.empty() || table.contains(message.id) || table.size() < capacity) return std::nullopt;
  auto victim = std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
    return a.second.last_sent_at_ns < b.second.last_sent_at_ns;
  });
  return victim->first;
}

std::optional<SentRecord> Outbox::take_sent_record(const Message& message, bool is_chunk) {
  auto it = sent_index_.find(message.id);
  if (it == sent_index_.end()) return std::nullopt;
  SentRecord rec = std::move(it->second);
  sent_index_.erase(it);
  if (is_chunk || entries_.contains(message.id)) return std::nullopt;
  return rec;
}

void Outbox::insert(const Message& message, int64_t now_ns) {
  const bool is_chunk = message.content_type == ContentType::FileChunk;
  std::optional<SentRecord> record = take_sent_record(message, is_chunk);
  Table& table = is_chunk ? chunks_ : entries_;
  if (table.contains(message.id)) return;
  table.emplace(message.id,
                OutboxEntry{message, std::move(record), now_ns, now_ns, 0, false, std::nullopt});
}

void Outbox::record_send(const Message& message, std::optional<TransportType> last_transport,
                         uint32_t attempt_count, int64_t now_ns) {
  const bool is_chunk = message.content_type == ContentType::FileChunk;
  Table& table = is_chunk ? chunks_ : entries_;
  std::optional<SentRecord> record = take_sent_record(message, is_chunk);
  auto it = table.find(message.id);
  if (it == table.end()) {
    it = table
             .emplace(message.id, OutboxEntry{message, std::move(record), now_ns, now_ns, 0, false,
                                              last_transport})
             .first;
  }
  OutboxEntry& e = it->second;
  e.message = message;
  if (e.attempt_count == 0) e.first_sent_at_ns = now_ns;
  e.attempt_count = attempt_count;
  e.last_sent_at_ns = now_ns;
  e.last_transport = last_transport;
}

std::optional<OutboxEntry> Outbox::remove(const MessageId& id) {
  sent_index_.erase(id);
  custody_holders_.erase(id);
  if (auto it = entries_.find(id); it != entries_.end()) {
    OutboxEntry e = std::move(it->second);
    entries_.erase(it);
    return e;
  }
  if (auto it = chunks_.find(id); it != chunks_.end()) {
    OutboxEntry e = std::move(it->second);
    chunks_.erase(it);
    return e;
  }
  return std::nullopt;
}

void Outbox::mark_relay_pushed(const MessageId& id) {
  if (auto it = entries_.find(id); it != entries_.end()) it->second.relay_pushed = true;
}

void Outbox::record_sent(const MessageId& id, SentRecord record) {
  sent_index_.insert_or_assign(id, std::move(record));
}

uint32_t Outbox::add_park(const std::string& recipient) {
  uint32_t& parks = parks_[recipient];
  parks = sat_add1(parks);
  return parks;
}

std::optional<uint32_t> Outbox::take_park(const std::string& recipient) {
  auto it = parks_.find(recipient);
  if (it == parks_.end()) return std::nullopt;
  uint32_t count = it->second;
  parks_.erase(it);
  return count;
}

Outbox::Parks Outbox::take_parks() {
  Parks taken;
  taken.swap(parks_);
  return taken;
}

void Outbox::record_connection_request(const MessageId& id, std::string recipient, MonoTime now) {
  connection_requests_.insert_or_assign(display_message_id(id),
                                        std::make_pair(std::move(recipient), now));
}

bool Outbox::has_connection_request(const MessageId& id) const {
  return connection_requests_.contains(display_message_id(id));
}

std::optional<std::string> Outbox::take_connection_request(const MessageId& id, MonoTime now) {
  auto it = connection_requests_.find(display_message_id(id));
  if (it == connection_requests_.end()) return std::nullopt;
  auto [recipient, sent_at] = std::move(it->second);
  connection_requests_.erase(it);
  Nanos age = now > sent_at ? now - sent_at : Nanos(0);
  if (age <= std::chrono::seconds(kConnectionRequestLifetimeSecs)) return recipient;
  return std::nullopt;
}

void Outbox::forget_connection_request(const std::string& id_text) {
  connection_requests_.erase(id_text);
}

bool Outbox::hold_unrouted_ack(UnroutedAck ack) {
  auto same_key = [&](const UnroutedAck& u) {
    return u.ack.recipient == ack.ack.recipient && ack_for(u.ack) == ack_for(ack.ack);
  };
  std::erase_if(unrouted_acks_, same_key);
  bool dropped = false;
  if (unrouted_acks_.size() >= kUnroutedAckCapacity) {
    unrouted_acks_.pop_front();
    dropped = true;
  }
  unrouted_acks_.push_back(std::move(ack));
  return dropped;
}

std::deque<UnroutedAck> Outbox::take_unrouted_acks() {
  std::deque<UnroutedAck> held = std::move(unrouted_acks_);
  unrouted_acks_.clear();
  return held;
}

}  // namespace brenvik
