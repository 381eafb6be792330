// The dispatcher: recognises each internal kind by its leading marker and
// hands it to the kind's handler, and the small handlers that live here (the
// three conversation signals and the encrypted-message entry).
#include "core/message.h"
#include "protocol/core/protocol_core.h"
#include "protocol/helpers/core_helpers.h"
#include "protocol/receive/internal_kinds.h"
#include "protocol/receive/signal_payloads.h"
#include "protocol/records/encrypted_message_json.h"
#include "sealed/encrypted_message.h"
#include "util/log.h"

namespace brenvik {

std::string_view dispatch_outcome_name(DispatchOutcome::Kind kind) {
  switch (kind) {
    case DispatchOutcome::Kind::NotInternal:
      return "NotInternal";
    case DispatchOutcome::Kind::Consumed:
      return "Consumed";
    case DispatchOutcome::Kind::Rejected:
      return "Rejected";
    case DispatchOutcome::Kind::Deferred:
      return "Deferred";
    case DispatchOutcome::Kind::Decrypted:
      return "Decrypted";
  }
  return "NotInternal";
}

DispatchOutcome ProtocolCore::dispatch_message(Message& message,
                                               std::optional<TransportType> arrival) {
  ControlAdmission admission = authenticate_control_message(message, arrival);
  if (!admission.admitted) return DispatchOutcome::rejected();
  const InternalKindRow* row = find_internal_kind(message.content);
  if (row == nullptr) return DispatchOutcome::not_internal();
  const std::string& sender = message.sender;
  std::string_view body = std::string_view(message.content).substr(row->marker.size());
  switch (row->route) {
    case KindRoute::NotRouted:
      return DispatchOutcome::not_internal();
    case KindRoute::Encrypted:
      return handle_encrypted_message(sender, body, message);
    case KindRoute::Signal:
      switch (row->kind) {
        case InternalKind::Presence:
          handle_presence(sender, body);
          break;
        case InternalKind::Typing:
          handle_typing(sender, body);
          break;
        default:
          handle_read_receipt(sender, body);
          break;
      }
      return DispatchOutcome::consumed();
    case KindRoute::AwaitingHandler:
      BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                  {"message",
                   "Internal message kind has no handler on this node; left "
                   "unacknowledged so the sender can retry"},
                  {"kind", row->marker}, {"reason", row->reason}, {"sender", sender},
                  {"message_id", display_message_id(message.id)});
      return DispatchOutcome::deferred();
  }
  return DispatchOutcome::not_internal();
}

// ------------------------------------------------------------------ signals

void ProtocolCore::handle_presence(const std::string& sender, std::string_view body) {
  auto p = parse_presence_payload(body);
  if (!p.ok()) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget, {"message", "Failed to parse Presence payload"},
                {"sender", sender}, {"error", p.error().to_string()});
    return;
  }
  if (p->timestamp_ms < 0) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Dropping presence update with negative timestamp"},
                {"sender", sender});
    return;
  }
  BRENVIK_LOG(LogLevel::Debug, kDispatchLogTarget, {"message", "Received presence update"},
              {"sender", sender}, {"status", enum_name(p->status)});
  emit_event(event::PresenceUpdated{sender, p->status, p->timestamp_ms, std::nullopt,
                                    PresenceSource::Peer});
}

void ProtocolCore::handle_typing(const std::string& sender, std::string_view body) {
  auto p = parse_typing_payload(body);
  if (!p.ok()) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Failed to parse TypingIndicator payload"}, {"sender", sender},
                {"error", p.error().to_string()});
    return;
  }
  if (p->timestamp_ms < 0) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Dropping typing indicator with negative timestamp"},
                {"sender", sender});
    return;
  }
  if (p->conversation_id.empty()) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Dropping typing indicator with empty conversation_id"},
                {"sender", sender});
    return;
  }
  BRENVIK_LOG(LogLevel::Debug, kDispatchLogTarget, {"message", "Received typing indicator"},
              {"sender", sender}, {"is_typing", p->is_typing});
  // The sender's timestamp is not passed on: the host sees the indicator now.
  emit_event(
      event::TypingIndicatorReceived{sender, std::move(p->conversation_id), p->is_typing, 0});
}

void ProtocolCore::handle_read_receipt(const std::string& sender, std::string_view body) {
  auto p = parse_read_receipt_payload(body);
  if (!p.ok()) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Failed to parse ReadReceipt payload"}, {"sender", sender},
                {"error", p.error().to_string()});
    return;
  }
  if (p->timestamp_ms < 0) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Dropping read receipt with negative timestamp"}, {"sender", sender});
    return;
  }
  if (p->message_ids.empty()) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Dropping read receipt with empty message_ids"}, {"sender", sender});
    return;
  }
  if (p->message_ids.size() > kMaxReadReceiptIds) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget,
                {"message", "Dropping read receipt exceeding max message_ids"},
                {"count", uint64_t(p->message_ids.size())}, {"sender", sender});
    return;
  }
  BRENVIK_LOG(LogLevel::Debug, kDispatchLogTarget, {"message", "Received read receipt"},
              {"sender", sender}, {"count", uint64_t(p->message_ids.size())});
  emit_event(event::ReadReceiptReceived{sender, std::move(p->message_ids), p->timestamp_ms});
}

// -------------------------------------------------------- encrypted messages

namespace {

// The payload after "__MLS_ENC__": the JSON record when it starts with
// "{", otherwise the base64 text of a sealed envelope.
bool encrypted_payload_decodes(std::string_view payload) {
  if (!payload.empty() && payload.front() == '{') return encrypted_message_from_json(payload).ok();
  auto bytes = decode_base64_payload(payload);
  if (!bytes.ok()) return false;
  return decode_sealed_envelope(*bytes).ok();
}

}  // namespace

DispatchOutcome ProtocolCore::handle_encrypted_message(const std::string& sender,
                                                       std::string_view payload,
                                                       const Message& message) {
  const bool withhold = withhold_ack_on_decrypt_failure();
  const std::string id_text = display_message_id(message.id);
  if (!encrypted_payload_decodes(payload)) {
    BRENVIK_LOG(LogLevel::Warn, kDispatchLogTarget, {"message", "Invalid encrypted payload"},
                {"sender", sender});
    emit_event(event::MessageDecryptionFailed{
        id_text, sender, DecryptionFailureCode::InvalidPayload,
        withhold ? "Invalid encrypted payload; not acknowledged, so the sender's resend can "
                   "still deliver it"
                 : "Invalid encrypted payload"});
    return withhold ? DispatchOutcome::deferred() : DispatchOutcome::consumed();
  }
  // No MLS manager is installed on this node, so nothing can be decrypted:
  // the message is reported and, like any message received before MLS is
  // set up, acknowledged and lost.
  emit_event(event::MessageDecryptionFailed{id_text, sender, DecryptionFailureCode::NotInitialized,
                                            "Failed to decrypt MLS message (not initialized)"});
  return DispatchOutcome::consumed();
}

}  // namespace brenvik
