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

void ProtocolCore::outbox_insert(const Message& message) {
  if (!message.requires_ack) return;
  bool is_chunk = message.content_type == ContentType::FileChunk;
  if (std::optional<MessageId> victim = outbox_.eviction_victim(message)) {
    MessageId victim_id = *victim;
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
  outbox_.insert(message, clock_.wall_unix_ns());
  // An entry of the outbox (not the chunk table) is written through to the
  // protocol-state storage once a provider is installed.
}

void ProtocolCore::persist_outbox_entry(const Message& message,
                                        std::optional<TransportType> last_transport,
                                        uint32_t attempt_count) {
  if (!message.requires_ack) return;
  outbox_.record_send(message, last_transport, attempt_count, clock_.wall_unix_ns());
}

std::optional<OutboxEntry> ProtocolCore::clear_outbox_entry(const MessageId& id) {
  // The stored record (never written for confirmation probes) is deleted
  // through the protocol-state storage once a provider is installed.
  return outbox_.remove(id);
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
  outbox_.mark_relay_pushed(id);
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
  for (const auto& [id, e] : outbox_.entries()) {
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
  for (const auto& [id, e] : outbox_.chunks())
    if (e.last_sent_at_ns <= last_cut && !waiting(e)) chunks.push_back(id);
  for (const MessageId& id : chunks) (void)fail_outbox_entry(id, "outbox lifetime exceeded");
}

bool ProtocolCore::is_parked_dm(const MessageId& id) const {
  if (outbox_.has_connection_request(id)) return false;
  // Session Welcomes are excluded here too once the session layer keeps them.
  return outbox_.contains(id);
}

void ProtocolCore::record_pending_connection_request(const MessageId& id, std::string recipient) {
  outbox_.record_connection_request(id, std::move(recipient), clock_.monotonic());
}

std::optional<std::string> ProtocolCore::take_pending_connection_request(const MessageId& id) {
  return outbox_.take_connection_request(id, clock_.monotonic());
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
  const uint32_t parks = outbox_.add_park(recipient);
  uint32_t shift = std::min<uint32_t>(parks - 1, 6);
  uint64_t retry_in_secs = std::min<uint64_t>(uint64_t(15) << shift, 600);
  uint64_t handed = 0;
  if (const OutboxEntry* e = outbox_.find(id)) {
    Message copy = e->message;
    handed = hand_to_neighbors(copy);
    if (!stored && !(parks >= 2 && config_.retry.park_retry_once))
      (void)retry_queue_.schedule(std::move(copy), attempt_count, retry_in_secs * 1000);
  }
  BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Parked unreachable DM"},
              {"message_id", id_text}, {"recipient", recipient}, {"retry_in_secs", retry_in_secs},
              {"parks", parks}, {"handed_to_mesh", handed}, {"stored", stored});
}

void ProtocolCore::release_parked_dms(const std::string& recipient) {
  if (!outbox_.has_park(recipient)) return;
  std::vector<MessageId> ids;
  for (const auto& [id, e] : outbox_.entries())
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
  std::deque<UnroutedAck> held = outbox_.take_unrouted_acks();
  MonoTime now = clock_.monotonic();
  for (UnroutedAck& a : held) {
    Nanos age = now > a.held_at ? now - a.held_at : Nanos(0);
    if (age > std::chrono::seconds(600) || is_user_blocked(a.ack.recipient)) continue;
    if (!send_ack_via_route(a.ack, a.transport))
      hold_unrouted_ack(std::move(a.ack), a.transport, a.held_at);
  }
  // Parked direct messages go out with the rest.
  for (const auto& [recipient, _] : outbox_.parks()) release_parked_dms(recipient);
  Outbox::Parks parks = outbox_.take_parks();

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
  for (const auto* table : {&outbox_.entries(), &outbox_.chunks()})
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
    if (o.first && !o.second) outbox_.set_park(recipient, parks[recipient]);
  }
}

void ProtocolCore::flush_outbox_for_peer(const std::string& peer_id,
                                         std::optional<TransportType> transport) {
  BRENVIK_LOG(LogLevel::Info, kSendLogTarget, {"message", "Flushing outbox for discovered peer"});
  release_parked_dms(peer_id);
  std::optional<uint32_t> park_count = outbox_.take_park(peer_id);
  struct Item {
    Message message;
    uint32_t attempt;
    bool parked;
  };
  std::vector<Item> items;
  for (const auto* table : {&outbox_.entries(), &outbox_.chunks()})
    for (const auto& [id, e] : *table)
      if (e.message.recipient == peer_id && !ack_manager_.is_pending(id))
        items.push_back(
            {e.message, e.attempt_count, table == &outbox_.entries() && is_parked_dm(id)});
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
  if (park_count && parked_flushed && !parked_sent) outbox_.set_park(peer_id, *park_count);
}

}  // namespace brenvik
