// The receive pipeline: the single road by which a frame a peer sent
// becomes this device's business. Each call hands the host at most one
// message and consumes, on the way, every queued frame that is not for the
// host. The order of the steps is fixed: addressing, block check and
// Lamport merge, acknowledgements, duplicates, blocked senders, dispatch,
// the plaintext policy, rich payloads and chunks, then delivery.
#include <string>

#include "core/message.h"
#include "core/rich_payload.h"
#include "protocol/core/protocol_core.h"
#include "protocol/receive/ack_fields.h"
#include "protocol/receive/internal_kinds.h"
#include "util/log.h"

namespace brenvik {

namespace {

event::MessageReceived make_message_received(const Message& m, TransportType arrival,
                                             bool encrypted) {
  event::MessageReceived e;
  e.message_id = display_message_id(m.id);
  e.sender = m.sender;
  e.recipient = m.recipient;
  e.content = m.content;
  e.hop_count = m.hop_count;
  e.transport = std::string(transport_type_name(arrival));
  e.timestamp = m.timestamp;
  e.lamport_clock = m.lamport_clock;
  if (m.reply_to_msg) e.reply_to_msg = display_message_id(*m.reply_to_msg);
  e.reply_context = m.reply_context;
  e.content_type = std::string(content_type_name(m.content_type));
  e.media_metadata = m.media_metadata;
  e.forward_info = m.forwarded_from;
  e.encrypted = encrypted;
  e.app_id = m.app_id;
  return e;
}

}  // namespace

void parse_rich_content(Message& message, std::string_view text) {
  message.reply_context.reset();
  std::optional<RichPayloadV1> rich;
  if (text.size() >= kRichMarker.size() && text.starts_with(kRichMarker))
    rich = RichPayloadV1::parse(text, message.sender);
  if (rich) {
    message.content = std::move(rich->text);
    message.reply_context = std::move(rich->reply_context);
    message.media_metadata = std::move(rich->media_metadata);
    message.forwarded_from = std::move(rich->forward_info);
    if (rich->content_type) message.content_type = *rich->content_type;
  } else {
    message.content = std::string(text);
  }
  message.metadata["encrypted"] = "true";
}

std::optional<Message> ProtocolCore::receive_message() {
  bool running = false;
  {
    auto g = lock_shared_state(events_.state());
    if (!g.ok()) {
      BRENVIK_LOG(LogLevel::Error, kReceiveLogTarget,
                  {"message", "Failed to lock shared state in receive_message"});
      return std::nullopt;
    }
    if (!(*g)->ready_messages.empty()) {
      Message m = std::move((*g)->ready_messages.front());
      (*g)->ready_messages.pop_front();
      return m;
    }
    running = (*g)->lifecycle == LifecycleState::Running;
  }
  // Pending session confirmations are re-driven here while running once
  // the session layer exists; without it there is nothing to re-drive.
  (void)running;
  return receive_from_transports();
}

size_t ProtocolCore::drain_received() {
  size_t delivered = 0;
  while (receive_message()) ++delivered;
  return delivered;
}

void ProtocolCore::forget_received_id(const Message& m) {
  if (deduplicator_.forget(display_message_id(m.id)) && seen_set_dirty_ != UINT32_MAX)
    ++seen_set_dirty_;
}

void ProtocolCore::acknowledge_received(const Message& m, TransportType arrival,
                                        std::string_view failure_log) {
  if (!m.requires_ack) return;
  auto r = send_delivery_ack(m, arrival);
  if (!r.ok()) {
    BRENVIK_LOG(LogLevel::Error, kSendLogTarget, {"message", failure_log},
                {"message_id", display_message_id(m.id)}, {"error", r.error().message()});
  }
}

void ProtocolCore::settle_incoming_ack(const Message& m, bool blocked) {
  // A blocked peer cannot settle anything, and an unreadable id names
  // nothing; settle_delivery_ack drops the latter itself.
  if (blocked) return;
  settle_delivery_ack(m);
}

std::optional<Message> ProtocolCore::receive_from_transports() {
  for (;;) {
    std::optional<std::pair<TransportType, Message>> item = transport_manager_.receive();
    if (!item) return std::nullopt;
    const TransportType arrival = item->first;
    Message m = std::move(item->second);

    // Addressing. A frame both for us and from us is ours.
    const bool for_us = m.recipient == local_user_id_;
    if (!for_us) {
      if (m.sender == local_user_id_) {
        BRENVIK_LOG(LogLevel::Debug, kReceiveLogTarget,
                    {"message", "Dropping inbound frame forging our own origin"},
                    {"message_id", display_message_id(m.id)}, {"recipient", m.recipient});
        continue;
      }
      // Relaying frames addressed to other devices belongs to the mesh
      // forwarding layer; until it is present such frames end here.
      BRENVIK_LOG(LogLevel::Debug, kReceiveLogTarget,
                  {"message", "Dropping a frame for another device: this node does not relay"},
                  {"message_id", display_message_id(m.id)}, {"recipient", m.recipient});
      continue;
    }

    // Block check and Lamport merge (acknowledgements and duplicates too).
    const bool blocked = !blocked_users_.empty() && blocked_users_.contains(m.sender);
    if (!blocked && m.lamport_clock != 0) {
      advance_lamport_clock(lamport_clock_, m.lamport_clock);
      // Writing the clock needs the protocol-state storage; the marker of
      // the last written value moves only when a write happens.
    }

    if (m.metadata.contains("ack_for")) {
      settle_incoming_ack(m, blocked);
      continue;
    }

    const std::string id_text = display_message_id(m.id);
    if (deduplicator_.touch(id_text)) {
      // The sender did not get our acknowledgement: send it again.
      if (!blocked)
        acknowledge_received(m, arrival, "Failed to send delivery ACK for duplicate message");
      continue;
    }

    if (blocked) {
      BRENVIK_LOG(LogLevel::Debug, kReceiveLogTarget,
                  {"message", "Dropping message from blocked user"}, {"sender", m.sender},
                  {"message_id", id_text});
      continue;
    }

    if (deduplicator_.check_seen(id_text) && seen_set_dirty_ != UINT32_MAX) ++seen_set_dirty_;

    DispatchOutcome outcome = dispatch_message(m, arrival);
    bool encrypted = false;
    switch (outcome.kind) {
      case DispatchOutcome::Kind::NotInternal:
        break;
      case DispatchOutcome::Kind::Consumed:
        acknowledge_received(m, arrival, "Failed to send delivery ACK for internal message");
        continue;
      case DispatchOutcome::Kind::Rejected:
      case DispatchOutcome::Kind::Deferred:
        forget_received_id(m);
        continue;
      case DispatchOutcome::Kind::Decrypted:
        parse_rich_content(m, outcome.text);
        encrypted = true;
        break;
    }

    if (!encrypted && m.content_type != ContentType::FileChunk &&
        !plaintext_acceptable_from(m.sender)) {
      BRENVIK_LOG(LogLevel::Warn, kReceiveLogTarget,
                  {"message", "Rejecting unencrypted inbound message (encryption policy)"},
                  {"message_id", id_text}, {"sender", m.sender});
      check_inbound_encryption_policy(m.sender,
                                      "Inbound plaintext message rejected by encryption policy");
      forget_received_id(m);
      continue;
    }

    if (m.content_type == ContentType::FileChunk) {
      // Chunks never reach the host as messages: the media road raises its
      // own events. Only a chunk it took is acknowledged, so the sender
      // resends the others.
      switch (receive_media_chunk(m, arrival)) {
        case MediaChunkOutcome::Consumed:
          acknowledge_received(m, arrival, "Failed to send delivery ACK for media chunk");
          continue;
        case MediaChunkOutcome::Deferred:
        case MediaChunkOutcome::Rejected:
          forget_received_id(m);
          continue;
      }
      continue;
    }

    return deliver_received(std::move(m), arrival, encrypted);
  }
}

std::optional<Message> ProtocolCore::deliver_received(Message m, TransportType arrival,
                                                      bool encrypted) {
  acknowledge_received(m, arrival, "Failed to send delivery ACK");
  event::MessageReceived e = make_message_received(m, arrival, encrypted);
  auto g = lock_shared_state(events_.state());
  if (!g.ok()) {
    BRENVIK_LOG(LogLevel::Error, kReceiveLogTarget,
                {"message", "Failed to lock shared state for message received event"});
    return std::nullopt;
  }
  deliver_event(**g, ProtocolEvent(std::move(e)));
  return m;
}

bool ProtocolCore::plaintext_acceptable_from(const std::string& sender) {
  if (config_.encryption.require_encryption) return false;
  if (!config_.encryption.enabled || !mls_initialized()) return true;
  if (control_gate_.is_encryption_capable(sender)) return false;
  // With an MLS layer the session layer is asked whether the sender has
  // (or must have) a secure session; a failed query counts as yes. No
  // layer, no session: unreachable while mls_initialized() is false.
  return true;
}

void ProtocolCore::check_inbound_encryption_policy(const std::string& sender,
                                                   std::string_view detail) {
  if (!control_gate_.first_plaintext_warning(sender)) return;
  emit_event(event::SecurityWarning{sender, SecurityWarningReason::PlaintextReceiveRejected,
                                    std::string(detail)});
}

void ProtocolCore::mark_encryption_capable(const std::string& peer) {
  if (!control_gate_.mark_encryption_capable(peer)) {
    BRENVIK_LOG(LogLevel::Warn, kSecurityLogTarget,
                {"message",
                 "Encryption-capability set reached capacity; further peers fall back to the "
                 "session-state check. Expected only under a forged-sender flood."});
  }
}

ControlAdmission ProtocolCore::authenticate_control_message(const Message& message,
                                                            std::optional<TransportType> arrival) {
  // Most traffic is not control traffic: it passes without building the
  // gate's policy and sink.
  if (!is_control_content(message.content)) return ControlAdmission::admit(false);
  const ControlGate::Policy policy{config_.switches.require_transport_identity,
                                   enforce_control_freshness()};
  return control_gate_.authenticate(message, arrival, policy, clock_.wall_unix_ms(),
                                    [this](ProtocolEvent e) { emit_event(std::move(e)); });
}

}  // namespace brenvik
