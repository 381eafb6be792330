// Forwarding a message the host holds, to one peer or to a group. The
// checks on the message itself come first, so a refused forward never
// reaches the send road or the group layer.
#include "protocol/core/protocol_core.h"
#include "protocol/reserved_markers.h"

namespace brenvik {

Result<MessageId, ProtocolError> ProtocolCore::forward_message(const Message& original,
                                                               const std::string& recipient,
                                                               MessagePriority priority) {
  BRENVIK_TRY_VOID(require_running());
  BRENVIK_TRY_VOID(validate_recipient_id(recipient));
  if (is_user_blocked(recipient)) return Err(ProtocolError::recipient_blocked(recipient));
  BRENVIK_TRY(ForwardInfo fwd, check_forwardable(original));
  RichSendExtras extras{std::nullopt, original.media_metadata, fwd};
  BRENVIK_TRY_VOID(check_content_size(original.content));
  BRENVIK_TRY_VOID(check_rich_extras(extras));
  PrepareRequest req;
  req.recipient = recipient;
  req.content = original.content;
  req.priority = priority;
  req.forwarded_from = fwd;
  req.content_type = original.content_type;
  req.media_metadata = original.media_metadata;
  req.rich = extras;
  req.source_event = "forward_message_session_pending";
  BRENVIK_TRY(OutgoingContent prepared, prepare_outgoing(req));
  if (prepared.kind == OutgoingContent::Kind::Queued) return prepared.queued_id;
  BRENVIK_TRY(Message m, build_message(recipient, std::move(prepared.content), priority,
                                       std::nullopt, std::nullopt));
  m.content_type = original.content_type;
  if (m.content.starts_with(kMlsEncMarker))
    record_sent_message(m.id, SentRecord{original.media_metadata, extras, original.content, fwd,
                                         std::nullopt, priority, original.content_type});
  return send_prepared(std::move(m));
}

Result<std::vector<MessageId>, ProtocolError> ProtocolCore::forward_message_to_group(
    const Message& message, const std::string& group_id,
    std::optional<MessagePriority> /*priority*/) {
  BRENVIK_TRY(ForwardInfo forward, check_forwardable(message));
  BRENVIK_TRY_VOID(
      check_rich_extras(RichSendExtras{std::nullopt, message.media_metadata, forward}));
  // The roster comes from the group layer's proven rosters or, failing
  // that, from the MLS state of the group. This build keeps neither, so no
  // group can be reached yet: the answer is the MLS layer's own refusal,
  // never a pretended send.
  (void)group_id;
  return Err(ProtocolError::internal("MLS not initialized"));
}

}  // namespace brenvik
