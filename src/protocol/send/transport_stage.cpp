// The transport stage of a prepared message: direct link first, then the
// registry's choice with fallback; acceptance goes to the outbox with an
// acknowledgement wait, refusal to deferral with a retry.
#include "protocol/core/protocol_core.h"
#include "util/log.h"

namespace brenvik {

namespace {
event::MessageSent make_message_sent_event(const Message& m) {
  return event::MessageSent{display_message_id(m.id),
                            m.sender,
                            m.recipient,
                            m.content,
                            std::string(priority_name(m.priority)),
                            m.requires_ack,
                            m.timestamp,
                            m.lamport_clock,
                            m.forwarded_from};
}
}  // namespace

Result<void, ProtocolError> ProtocolCore::emit_transport_switch(
    std::optional<TransportType> previous, std::optional<TransportType> carrying) {
  if (!carrying || carrying == previous) return {};
  std::optional<std::string> from;
  if (previous) from = std::string(transport_type_name(*previous));
  return deliver_locked(
      event::TransportSwitched{std::move(from), std::string(transport_type_name(*carrying)),
                               "DORS selected better transport"},
      "Failed to lock shared state for transport switch event: ", kSendLogTarget);
}

Result<void, ProtocolError> ProtocolCore::emit_message_sent(const Message& message) {
  return deliver_locked(make_message_sent_event(message),
                        "Failed to lock shared state for message sent event: ", kSendLogTarget);
}

Result<MessageId, ProtocolError> ProtocolCore::send_prepared(Message message) {
  std::string id_text = display_message_id(message.id);
  if (deduplicator_.is_duplicate(id_text)) return Err(ProtocolError::internal("Duplicate message"));
  deduplicator_.mark_seen(id_text);
  std::optional<TransportType> previous = transport_manager_.current_transport();

  std::optional<TransportType> carrying;
  if (auto direct = transport_manager_.direct_link_transport(message.recipient)) {
    auto r = transport_manager_.send_via(message, *direct);
    if (r.ok()) {
      carrying = direct;
    } else {
      transport_manager_.router().record_failure(*direct);
      BRENVIK_LOG(
          LogLevel::Debug, kSendLogTarget,
          {"message", "Direct mesh link refused the frame; falling back to transport selection"},
          {"message_id", id_text}, {"transport", transport_type_display_name(*direct)},
          {"error", r.error().message()});
    }
  }
  std::optional<ProtocolError> send_error;
  if (!carrying) {
    auto r = transport_manager_.send(message);
    if (r.ok())
      carrying = transport_manager_.current_transport();
    else
      send_error = std::move(r).error();
  }
  if (carrying) {
    BRENVIK_TRY_VOID(on_transport_accepted(message, carrying));
    BRENVIK_TRY_VOID(emit_transport_switch(previous, carrying));
    BRENVIK_TRY_VOID(emit_message_sent(message));
    return message.id;
  }
  std::optional<TransportType> after = transport_manager_.current_transport();
  std::optional<int64_t> next = defer_message(message, after ? after : previous);
  BRENVIK_LOG(LogLevel::Warn, kSendLogTarget, {"message", "Send failed, message deferred"},
              {"message_id", id_text}, {"error", send_error->message()});
  std::optional<int64_t> next_ms;
  if (next) next_ms = *next / 1'000'000;
  emit_event(event::MessageDeferred{id_text, message.recipient, std::string(send_error->code()), 0,
                                    next_ms});
  return message.id;
}

Result<MessageId, ProtocolError> ProtocolCore::send_via_forced_transport(Message message,
                                                                         TransportType type) {
  std::string id_text = display_message_id(message.id);
  if (deduplicator_.is_duplicate(id_text)) return Err(ProtocolError::internal("Duplicate message"));
  deduplicator_.mark_seen(id_text);
  std::optional<TransportType> previous = transport_manager_.current_transport();
  auto r = transport_manager_.send_via(message, type);
  if (r.ok()) {
    BRENVIK_TRY_VOID(on_transport_accepted(message, type));
    BRENVIK_TRY_VOID(emit_transport_switch(previous, type));
    BRENVIK_TRY_VOID(emit_message_sent(message));
    return message.id;
  }
  std::optional<int64_t> next = defer_message(message, type);
  transport_manager_.router().record_failure(type);
  BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
              {"message", "Send via forced transport failed, message deferred"},
              {"message_id", id_text}, {"transport", transport_type_display_name(type)},
              {"error", r.error().message()});
  std::optional<int64_t> next_ms;
  if (next) next_ms = *next / 1'000'000;
  emit_event(event::MessageDeferred{id_text, message.recipient, std::string(r.error().code()), 0,
                                    next_ms});
  return message.id;
}

}  // namespace brenvik
