// Control messages the protocol composes itself (presence, typing, read
// receipts, and the other kinds' senders): gated on the lifecycle, built,
// signed, recorded as seen before any transport sees them, and deferred to
// the outbox when no transport takes them.
#include "core/message.h"
#include "protocol/core/protocol_core.h"
#include "protocol/reserved_markers.h"
#include "util/json_writer.h"
#include "util/log.h"

namespace brenvik {

Result<MessageId, ProtocolError> ProtocolCore::send_internal(const std::string& recipient,
                                                             std::string content,
                                                             MessagePriority priority) {
  BRENVIK_TRY_VOID(require_running());
  BRENVIK_TRY(Message message,
              build_message(recipient, std::move(content), priority, std::nullopt, std::nullopt));
  // Control messages are signed with the MLS identity once the MLS layer is
  // installed; until then they leave unsigned.
  std::string id_text = display_message_id(message.id);
  if (deduplicator_.is_duplicate(id_text)) return Err(ProtocolError::internal("Duplicate message"));
  deduplicator_.mark_seen(id_text);
  std::optional<TransportType> before = transport_manager_.current_transport();
  auto sent = transport_manager_.send(message);
  std::optional<TransportType> after = transport_manager_.current_transport();
  if (sent.ok()) {
    BRENVIK_TRY_VOID(on_transport_accepted(message, after));
  } else {
    (void)defer_message(message, after ? after : before);
    BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
                {"message", "Internal message send failed, message deferred"},
                {"message_id", id_text}, {"recipient", recipient},
                {"error", sent.error().message()});
  }
  BRENVIK_TRY_VOID(emit_transport_switch(before, after));
  return message.id;
}

Result<MessageId, ProtocolError> ProtocolCore::send_relay_frame(std::string content) {
  BRENVIK_TRY_VOID(require_running());
  BRENVIK_TRY(Message message, build_message(local_user_id_, std::move(content),
                                             MessagePriority::Medium, std::nullopt, std::nullopt));
  std::string id_text = display_message_id(message.id);
  if (deduplicator_.is_duplicate(id_text)) return Err(ProtocolError::internal("Duplicate message"));
  deduplicator_.mark_seen(id_text);
  BRENVIK_TRY_VOID(transport_manager_.send_via(message, TransportType::Internet));
  return message.id;
}

namespace {
int64_t timestamp_ms(const Clock& clock) {
  return wall_clock_unix_ms(clock);
}
}  // namespace

Result<MessageId, ProtocolError> ProtocolCore::send_presence_update(const std::string& recipient,
                                                                    PresenceStatus status) {
  BRENVIK_TRY_VOID(validate_recipient_id(recipient));
  if (is_user_blocked(recipient)) return Err(ProtocolError::recipient_blocked(recipient));
  std::string_view name = status == PresenceStatus::Online ? "online"
                          : status == PresenceStatus::Away ? "away"
                                                           : "offline";
  JsonWriter w(64);
  w.begin_object()
      .key("status")
      .str(name)
      .key("timestamp_ms")
      .i64(timestamp_ms(clock_))
      .end_object();
  BRENVIK_TRY(MessageId id, send_internal(recipient, std::string(kPresenceMarker) + w.take(),
                                          MessagePriority::Low));
  BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Sent presence update"},
              {"recipient", recipient}, {"status", name});
  return id;
}

Result<MessageId, ProtocolError> ProtocolCore::send_typing_indicator(
    const std::string& recipient, const std::string& conversation_id, bool is_typing) {
  BRENVIK_TRY_VOID(validate_recipient_id(recipient));
  if (is_user_blocked(recipient)) return Err(ProtocolError::recipient_blocked(recipient));
  if (conversation_id.empty())
    return Err(ProtocolError::invalid_input("conversation_id must not be empty"));
  JsonWriter w(96);
  w.begin_object()
      .key("conversation_id")
      .str(conversation_id)
      .key("is_typing")
      .boolean(is_typing)
      .key("timestamp_ms")
      .i64(timestamp_ms(clock_))
      .end_object();
  BRENVIK_TRY(MessageId id, send_internal(recipient, std::string(kTypingMarker) + w.take(),
                                          MessagePriority::Low));
  BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Sent typing indicator"},
              {"recipient", recipient}, {"is_typing", is_typing});
  return id;
}

Result<MessageId, ProtocolError> ProtocolCore::send_read_receipt(
    const std::string& recipient, std::vector<std::string> message_ids) {
  BRENVIK_TRY_VOID(validate_recipient_id(recipient));
  if (is_user_blocked(recipient)) return Err(ProtocolError::recipient_blocked(recipient));
  if (message_ids.empty())
    return Err(ProtocolError::invalid_input("message_ids must not be empty"));
  if (message_ids.size() > kMaxReadReceiptIds)
    return Err(ProtocolError::invalid_input("message_ids exceeds maximum of " +
                                            std::to_string(kMaxReadReceiptIds)));
  JsonWriter w(64 + message_ids.size() * 40);
  w.begin_object().key("message_ids").begin_array();
  for (const auto& id : message_ids) w.str(id);
  w.end_array().key("timestamp_ms").i64(timestamp_ms(clock_)).end_object();
  BRENVIK_TRY(MessageId id, send_internal(recipient, std::string(kReadReceiptMarker) + w.take(),
                                          MessagePriority::Low));
  BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Sent read receipt"},
              {"recipient", recipient});
  return id;
}

}  // namespace brenvik
