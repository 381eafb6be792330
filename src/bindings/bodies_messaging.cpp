// Bodies that send one message to one peer, forward a message the host
// holds, send the small control messages, and hand the host the next
// received message.
#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "bindings/send_conversions.h"
#include "core/identifier.h"
#include "core/message_id.h"
#include "core/rich_payload.h"
#include "protocol/events/event_enums.h"
#include "protocol/reserved_markers.h"
#include "util/log.h"

namespace brenvik::ffi::body {

namespace {

brenvik::PresenceStatus core_presence(PresenceStatus s) {
  return static_cast<brenvik::PresenceStatus>(static_cast<int32_t>(s) - 1);
}

Result<std::string, InterfaceError> send_with_options(BrenvikProtocol& self,
                                                      const std::string& recipient,
                                                      const std::string& content,
                                                      SendOptions options) {
  BRENVIK_TRY(auto g, self.lock_inner());
  BRENVIK_TRY(options.forced_transport, self.read_forced_transport());
  auto r = (*g)->send_message(recipient, content, options);
  if (!r.ok()) return Err(map_send_error(r.error()));
  return display_message_id(r.value());
}

Result<std::string, InterfaceError> id_or_send_error(Result<MessageId, ProtocolError> r) {
  if (!r.ok()) return Err(map_send_error(r.error()));
  return display_message_id(r.value());
}

// The forward road of one message, driven stage by stage under `inner`.
Result<MessageId, ProtocolError> forward_stages(ProtocolCore& core, const Message& original,
                                                const std::string& recipient,
                                                brenvik::MessagePriority priority) {
  {
    BRENVIK_TRY(auto s, lock_shared_state(*core.shared()));
    if (s->lifecycle != brenvik::LifecycleState::Running) return Err(ProtocolError::not_started());
  }
  BRENVIK_TRY_VOID(validate_recipient_id(recipient));
  if (core.is_user_blocked(recipient)) return Err(ProtocolError::recipient_blocked(recipient));
  BRENVIK_TRY(brenvik::ForwardInfo fwd, check_forwardable(original));
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
  BRENVIK_TRY(OutgoingContent prepared, core.prepare_outgoing(req));
  if (prepared.kind == OutgoingContent::Kind::Queued) return prepared.queued_id;
  BRENVIK_TRY(Message m, core.build_message(recipient, std::move(prepared.content), priority,
                                            std::nullopt, std::nullopt));
  m.content_type = original.content_type;
  if (m.content.starts_with(kMlsEncMarker))
    core.record_sent_message(m.id, SentRecord{original.media_metadata, extras, original.content,
                                              fwd, std::nullopt, priority, original.content_type});
  return core.send_prepared(std::move(m));
}

}  // namespace

Result<std::string, InterfaceError> brenvikprotocol_send_message(
    BrenvikProtocol& self, std::string recipient, std::string content, MessagePriority priority,
    std::optional<std::string> reply_to_msg) {
  SendOptions o;
  o.priority = core_priority(priority);
  o.reply_to_msg = std::move(reply_to_msg);
  return send_with_options(self, recipient, content, std::move(o));
}

Result<std::string, InterfaceError> brenvikprotocol_send_message_rich(BrenvikProtocol& self,
                                                                      std::string recipient,
                                                                      std::string content,
                                                                      RichMessageOptions options) {
  BRENVIK_TRY(auto reply_context, convert_reply_context(options.reply_context));
  BRENVIK_TRY(auto forward_info, convert_forward_info(options.forward_info));
  SendOptions o;
  if (options.priority) o.priority = core_priority(*options.priority);
  o.reply_to_msg = std::move(options.reply_to_msg);
  if (options.content_type) o.content_type = core_content_type(*options.content_type);
  o.reply_context = std::move(reply_context);
  if (options.media_metadata) o.media_metadata = core_media(*options.media_metadata);
  o.forward_info = std::move(forward_info);
  o.app_id = std::move(options.app_id);
  return send_with_options(self, recipient, content, std::move(o));
}

Result<std::string, InterfaceError> brenvikprotocol_send_presence_update(BrenvikProtocol& self,
                                                                         std::string recipient,
                                                                         PresenceStatus status) {
  BRENVIK_TRY(auto g, self.lock_inner());
  return id_or_send_error((*g)->send_presence_update(recipient, core_presence(status)));
}

Result<std::string, InterfaceError> brenvikprotocol_send_read_receipt(
    BrenvikProtocol& self, std::string recipient, std::vector<std::string> message_ids) {
  BRENVIK_TRY(auto g, self.lock_inner());
  return id_or_send_error((*g)->send_read_receipt(recipient, std::move(message_ids)));
}

Result<std::string, InterfaceError> brenvikprotocol_send_typing_indicator(
    BrenvikProtocol& self, std::string recipient, std::string conversation_id, bool is_typing) {
  BRENVIK_TRY(auto g, self.lock_inner());
  return id_or_send_error((*g)->send_typing_indicator(recipient, conversation_id, is_typing));
}

Result<std::string, InterfaceError> brenvikprotocol_forward_message(
    BrenvikProtocol& self, std::string message_json, std::string recipient,
    std::optional<MessagePriority> priority) {
  // Read before `inner`, so a malformed text is refused even while another
  // call holds it.
  BRENVIK_TRY(auto original, parse_original_message(message_json));
  BRENVIK_TRY(auto g, self.lock_inner());
  return id_or_send_error(
      forward_stages(**g, original, recipient,
                     priority ? core_priority(*priority) : brenvik::MessagePriority::Medium));
}

}  // namespace brenvik::ffi::body
