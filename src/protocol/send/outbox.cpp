// The outbox family: messages that wait for their delivery acknowledgement,
// the deferral of messages nothing could carry, acknowledgement tracking,
// parking of direct messages to unreachable recipients, and the flushes
// that offer the outbox to the transports again.
#include <algorithm>

#include "protocol/core/protocol_core.h"
#include "protocol/reserved_markers.h"
#include "util/log.h"

namespace brenvik {

namespace {
uint32_t sat_add1(uint32_t v) {
  return v == UINT32_MAX ? v : v + 1;
}
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kRelayPushedWindowNs = int64_t(604800) * 1'000'000'000;
constexpr size_t kFlushBatch = 20;
}  // namespace

std::optional<SentRecord> ProtocolCore::take_sent_record(const Message& message, bool is_chunk) {
  auto it = sent_index_.find(message.id);
  if (it == sent_index_.end()) return std::nullopt;
  SentRecord rec = std::move(it->second);
  sent_index_.erase(it);
  if (is_chunk || outbox_.contains(message.id)) return std::nullopt;
  return rec;
}

void ProtocolCore::outbox_insert(const Message& message) {
  if (!message.requires_ack) return;
  bool is_chunk = message.content_type == ContentType::FileChunk;
  auto& table = is_chunk ? chunk_outbox_ : outbox_;
  size_t capacity = is_chunk ? kChunkOutboxCapacity : kOutboxCapacity;
  if (!table.empty() && !table.contains(message.id) && table.size() >= capacity) {
    auto victim = std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
      return a.second.last_sent_at_ns < b.second.last_sent_at_ns;
    });
    MessageId victim_id = victim->first;
    std::optional<OutboxEntry> removed = fail_outbox_entry(victim_id, "outbox eviction");
    uint32_t retry_count = removed ? removed->attempt_count : 0;
    if (!is_chunk) {
      std::string id_text = display_message_id(victim_id);
      emit_event(event::MessageFailed{id_text, "Outbox capacity exceeded", retry_count});
      if (auto recipient = take_pending_connection_request(victim_id)) {
        BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
                    {"message", "Connection request undeliverable: outbox capacity exceeded"},
                    {"recipient", *recipient}, {"message_id", id_text});
        emit_event(
            event::ConnectionRequestUndeliverable{*recipient, id_text, "outbox_capacity_exceeded"});
      }
    }
  }
  std::optional<SentRecord> record = take_sent_record(message, is_chunk);
  if (table.contains(message.id)) return;
  int64_t now = clock_.wall_unix_ns();
  table.emplace(message.id,
                OutboxEntry{message, std::move(record), now, now, 0, false, std::nullopt});
  // An entry of the outbox (not the chunk table) is written through to the
  // protocol-state storage once a provider is installed.
}

void ProtocolCore::persist_outbox_entry(const Message& message,
                                        std::optional<TransportType> last_transport,
                                        uint32_t attempt_count) {
  if (!message.requires_ack) return;
  int64_t now = clock_.wall_unix_ns();
  bool is_chunk = message.content_type == ContentType::FileChunk;
  auto& table = is_chunk ? chunk_outbox_ : outbox_;
  std::optional<SentRecord> record = take_sent_record(message, is_chunk);
  auto it = table.find(message.id);
  if (it == table.end()) {
    it = table
             .emplace(message.id,
                      OutboxEntry{message, std::move(record), now, now, 0, false, last_transport})
             .first;
  }
  OutboxEntry& e = it->second;
  e.message = message;
  if (e.attempt_count == 0) e.first_sent_at_ns = now;
  e.attempt_count = attempt_count;
  e.last_sent_at_ns = now;
  e.last_transport = last_transport;
}

std::optional<OutboxEntry> ProtocolCore::clear_outbox_entry(const MessageId& id) {
  sent_index_.erase(id);
  custody_holders_.erase(id);
  if (auto it = outbox_.find(id); it != outbox_.end()) {
    OutboxEntry e = std::move(it->second);
    outbox_.erase(it);
    // The stored record (never written for confirmation probes) is deleted
    // through the protocol-state storage once a provider is installed.
    return e;
  }
  if (auto it = chunk_outbox_.find(id); it != chunk_outbox_.end()) {
    OutboxEntry e = std::move(it->second);
    chunk_outbox_.erase(it);
    return e;
  }
  return std::nullopt;
}

std::optional<OutboxEntry> ProtocolCore::settle_outbox_entry(const MessageId& id) {
  retry_queue_.remove(display_message_id(id));
  (void)ack_manager_.acknowledge(id);
  return clear_outbox_entry(id);
}

std::optional<OutboxEntry> ProtocolCore::fail_outbox_entry(const MessageId& id,
                                                           std::string_view reason) {
  // A chunk that failed for good leaves a hole in its file: the whole
  // transfer is aborted.
  if (auto b = media_bindings_.find(id); b != media_bindings_.end()) {
    std::string file_id = std::move(b->second.first);
    media_bindings_.erase(b);
    abort_outbound_media_transfer(file_id, reason);
  }
  std::optional<OutboxEntry> e = settle_outbox_entry(id);
  if (e && e->last_transport) transport_manager_.record_transport_failure(*e->last_transport);
  return e;
}

void ProtocolCore::mark_relay_pushed(const MessageId& id) {
  if (auto it = outbox_.find(id); it != outbox_.end()) it->second.relay_pushed = true;
}

void ProtocolCore::expire_outbox_entries() {
  const __int128 now = clock_.wall_unix_ns();
  const __int128 l_ns = __int128(config_.retry.outbox_max_lifetime_ms) * kNsPerMs;
  const __int128 last_cut = now - l_ns;
  const __int128 first_cut = now - 4 * l_ns;
  auto waiting = [&](const OutboxEntry& e) {
    return e.message.requires_ack && ack_manager_.is_pending(e.message.id);
  };
  struct Expiring {
    MessageId id;
    uint32_t attempts;
    bool relay_pushed;
  };
  std::vector<Expiring> expiring;
  for (const auto& [id, e] : outbox_) {
    if (e.relay_pushed && e.first_sent_at_ns <= now - kRelayPushedWindowNs) {
      expiring.push_back({id, e.attempt_count, true});
      continue;
    }
    bool candidate = e.last_sent_at_ns <= last_cut || e.first_sent_at_ns <= first_cut;
    if (candidate && !waiting(e)) expiring.push_back({id, e.attempt_count, e.relay_pushed});
  }
  for (const Expiring& x : expiring) {
    (void)fail_outbox_entry(x.id, "outbox lifetime exceeded");
    std::string id_text = display_message_id(x.id);
    if (x.relay_pushed) {
      BRENVIK_LOG(
          LogLevel::Debug, kSendLogTarget,
          {"message", "Relay-pushed DM reached its redelivery window; dropping it silently"},
          {"message_id", id_text});
      continue;
    }
    emit_event(event::MessageFailed{id_text, "Outbox lifetime exceeded", x.attempts});
    if (auto recipient = take_pending_connection_request(x.id)) {
      BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
                  {"message", "Connection request undeliverable: outbox lifetime exceeded"},
                  {"recipient", *recipient}, {"message_id", id_text});
      emit_event(
          event::ConnectionRequestUndeliverable{*recipient, id_text, "outbox_lifetime_exceeded"});
    }
  }
  std::vector<MessageId> chunks;
  for (const auto& [id, e] : chunk_outbox_)
    if (e.last_sent_at_ns <= last_cut && !waiting(e)) chunks.push_back(id);
  for (const MessageId& id : chunks) (void)fail_outbox_entry(id, "outbox lifetime exceeded");
}

bool ProtocolCore::is_parked_dm(const MessageId& id) const {
  if (pending_connection_requests_.contains(display_message_id(id))) return false;
  // Session Welcomes are excluded here too once the session layer keeps them.
  return outbox_.contains(id);
}

void ProtocolCore::record_pending_connection_request(const MessageId& id, std::string recipient) {
  pending_connection_requests_.insert_or_assign(
      display_message_id(id), std::make_pair(std::move(recipient), clock_.monotonic()));
}

std::optional<std::string> ProtocolCore::take_pending_connection_request(const MessageId& id) {
  auto it = pending_connection_requests_.find(display_message_id(id));
  if (it == pending_connection_requests_.end()) return std::nullopt;
  auto [recipient, sent_at] = std::move(it->second);
  pending_connection_requests_.erase(it);
  MonoTime now = clock_.monotonic();
  Nanos age = now > sent_at ? now - sent_at : Nanos(0);
  if (age <= std::chrono::seconds(1800)) return recipient;
  return std::nullopt;
}

std::optional<TransportType> ProtocolCore::media_transfer_transport(const MessageId& id) const {
  // Every chunk of a transfer stays on the transport the transfer chose.
  auto b = media_bindings_.find(id);
  if (b == media_bindings_.end()) return std::nullopt;
  auto t = outbound_media_transfers_.find(b->second.first);
  if (t == outbound_media_transfers_.end()) return std::nullopt;
  return t->second.transport;
}

// ------------------------------------------------------ deferral and acks

Result<void, ProtocolError> ProtocolCore::on_transport_accepted(
    const Message& message, std::optional<TransportType> transport) {
  persist_outbox_entry(message, transport, 1);
  BRENVIK_TRY(bool started, track_ack(message));
  (void)started;
  if (!recipient_reachable(message.recipient)) {
    uint64_t handed = hand_to_neighbors(message);
    if (handed > 0) {
      BRENVIK_LOG(
          LogLevel::Debug, kSendLogTarget,
          {"message", "Transport accepted a recipient it cannot reach; also handed to neighbors"},
          {"message_id", display_message_id(message.id)}, {"recipient", message.recipient},
          {"handed_to_mesh", handed});
    }
  }
  return {};
}

std::optional<int64_t> ProtocolCore::defer_message(const Message& message,
                                                   std::optional<TransportType> transport) {
  outbox_insert(message);
  uint64_t handed = hand_to_neighbors(message);
  std::optional<int64_t> next = retry_queue_.schedule_backoff(message, 0);
  BRENVIK_LOG(LogLevel::Warn, kSendLogTarget, {"message", "Deferred message due to send error"},
              {"message_id", display_message_id(message.id)},
              {"transport", transport_byte(transport)}, {"handed_to_mesh", handed});
  return next;
}

Result<bool, ProtocolError> ProtocolCore::track_ack(const Message& message) {
  if (!message.requires_ack) return false;
  if (ack_manager_.is_pending(message.id)) return false;
  auto r = ack_manager_.track_with_priority(message.id, std::nullopt, MessagePriority::Medium);
  if (!r.ok()) return Err(ProtocolError::reliability(r.error().message()));
  if (const auto& ev = r.value()) {
    std::string pname(priority_name(ev->priority));
    if (!pname.empty()) pname[0] = char(std::toupper(static_cast<unsigned char>(pname[0])));
    emit_event(event::AckEvicted{display_message_id(ev->message_id), pname, "capacity"});
  }
  return true;
}

void ProtocolCore::park_unreachable_dm(const MessageId& id, const std::string& recipient,
                                       uint32_t attempt_count, bool stored) {
  (void)ack_manager_.acknowledge(id);
  std::string id_text = display_message_id(id);
  retry_queue_.remove(id_text);
  uint32_t& parks = dm_parks_[recipient];
  parks = sat_add1(parks);
  uint32_t shift = std::min<uint32_t>(parks - 1, 6);
  uint64_t retry_in_secs = std::min<uint64_t>(uint64_t(15) << shift, 600);
  uint64_t handed = 0;
  if (auto it = outbox_.find(id); it != outbox_.end()) {
    Message copy = it->second.message;
    handed = hand_to_neighbors(copy);
    if (!stored && !(parks >= 2 && config_.retry.park_retry_once))
      (void)retry_queue_.schedule(std::move(copy), attempt_count, retry_in_secs * 1000);
  }
  BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Parked unreachable DM"},
              {"message_id", id_text}, {"recipient", recipient}, {"retry_in_secs", retry_in_secs},
              {"parks", parks}, {"handed_to_mesh", handed}, {"stored", stored});
}

void ProtocolCore::release_parked_dms(const std::string& recipient) {
  if (!dm_parks_.contains(recipient)) return;
  std::vector<MessageId> ids;
  for (const auto& [id, e] : outbox_)
    if (e.message.recipient == recipient) ids.push_back(id);
  for (const MessageId& id : ids) {
    if (!is_parked_dm(id)) continue;
    (void)ack_manager_.acknowledge(id);
    retry_queue_.remove(display_message_id(id));
  }
}

void ProtocolCore::resend_reseal(Message& message) {
  // Only sealed content to a peer with a confirmed 1:1 session is sealed
  // again; no session can be confirmed before the MLS layer is installed,
  // so every message is resent as it is.
  (void)message;
}

// ----------------------------------------------------------------- flushes

std::optional<TransportType> ProtocolCore::flush_send(Message message, uint32_t attempt_count,
                                                      std::optional<TransportType> transport) {
  outbox_insert(message);
  resend_reseal(message);
  std::optional<TransportType> via = media_transfer_transport(message.id);
  if (!via) via = transport;
  Result<void, ProtocolError> r =
      via ? transport_manager_.send_via(message, *via) : transport_manager_.send(message);
  std::string id_text = display_message_id(message.id);
  if (r.ok()) {
    std::optional<TransportType> carrying = via ? via : transport_manager_.current_transport();
    auto t = track_ack(message);
    if (!t.ok()) {
      BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
                  {"message", "ACK registration failed during flush"}, {"message_id", id_text},
                  {"error", t.error().message()});
    }
    persist_outbox_entry(message, carrying, sat_add1(attempt_count));
    BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Flush send succeeded"},
                {"message_id", id_text}, {"transport", transport_byte(carrying)});
    return carrying;
  }
  (void)retry_queue_.schedule_backoff(message, attempt_count);
  BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Flush send failed, re-enqueued"},
              {"message_id", id_text}, {"error", r.error().message()});
  return std::nullopt;
}

void ProtocolCore::flush_outbox() {
  BRENVIK_LOG(LogLevel::Info, kSendLogTarget, {"message", "Flushing all outbox messages"});
  // Acknowledgements that waited for a carrier.
  std::deque<UnroutedAck> held = std::move(unrouted_acks_);
  unrouted_acks_.clear();
  MonoTime now = clock_.monotonic();
  for (UnroutedAck& a : held) {
    Nanos age = now > a.held_at ? now - a.held_at : Nanos(0);
    if (age > std::chrono::seconds(600) || is_user_blocked(a.ack.recipient)) continue;
    if (!send_ack_via_route(a.ack, a.transport))
      hold_unrouted_ack(std::move(a.ack), a.transport, a.held_at);
  }
  // Parked direct messages go out with the rest.
  std::unordered_map<std::string, uint32_t> parks;
  for (const auto& [recipient, _] : dm_parks_) release_parked_dms(recipient);
  parks.swap(dm_parks_);

  struct Item {
    Message message;
    uint32_t attempt;
  };
  std::vector<Item> items;
  std::unordered_set<MessageId, MessageIdHash> queued;
  for (RetryEntry& e : retry_queue_.drain()) {
    queued.insert(e.message.id);
    items.push_back({std::move(e.message), e.attempt});
  }
  for (const auto* table : {&outbox_, &chunk_outbox_})
    for (const auto& [id, e] : *table)
      if (!queued.contains(id)) items.push_back({e.message, e.attempt_count});

  std::unordered_map<std::string, std::pair<bool, bool>> park_outcome;  // (parked left, got out)
  for (size_t i = 0; i < items.size(); ++i) {
    Item& it = items[i];
    bool parked = parks.contains(it.message.recipient) && is_parked_dm(it.message.id);
    if (i < kFlushBatch) {
      std::string recipient = it.message.recipient;
      std::optional<TransportType> carried =
          flush_send(std::move(it.message), it.attempt, std::nullopt);
      if (parked) {
        bool got_out = carried && (*carried == TransportType::Internet ||
                                   *carried == TransportType::Reticulum);
        auto& o = park_outcome[recipient];
        if (got_out)
          o.second = true;
        else
          o.first = true;
      }
    } else {
      if (parked) park_outcome[it.message.recipient].first = true;
      (void)retry_queue_.schedule_backoff(std::move(it.message), it.attempt);
    }
  }
  for (const auto& [recipient, o] : park_outcome) {
    if (o.first && !o.second) dm_parks_[recipient] = parks[recipient];
  }
}

void ProtocolCore::flush_outbox_for_peer(const std::string& peer_id,
                                         std::optional<TransportType> transport) {
  BRENVIK_LOG(LogLevel::Info, kSendLogTarget, {"message", "Flushing outbox for discovered peer"});
  release_parked_dms(peer_id);
  std::optional<uint32_t> park_count;
  if (auto it = dm_parks_.find(peer_id); it != dm_parks_.end()) {
    park_count = it->second;
    dm_parks_.erase(it);
  }
  struct Item {
    Message message;
    uint32_t attempt;
    bool parked;
  };
  std::vector<Item> items;
  for (const auto* table : {&outbox_, &chunk_outbox_})
    for (const auto& [id, e] : *table)
      if (e.message.recipient == peer_id && !ack_manager_.is_pending(id))
        items.push_back({e.message, e.attempt_count, table == &outbox_ && is_parked_dm(id)});
  bool parked_flushed = false, parked_sent = false;
  for (size_t i = 0; i < items.size(); ++i) {
    Item& it = items[i];
    if (i < kFlushBatch) {
      retry_queue_.remove(display_message_id(it.message.id));
      bool sent = flush_send(std::move(it.message), it.attempt, transport).has_value();
      if (it.parked) {
        parked_flushed = true;
        parked_sent = parked_sent || sent;
      }
    } else {
      (void)retry_queue_.schedule_backoff(std::move(it.message), it.attempt);
    }
  }
  if (park_count && parked_flushed && !parked_sent) dm_parks_[peer_id] = *park_count;
}

}  // namespace brenvik
