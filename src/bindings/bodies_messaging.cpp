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
  return id_or_send_error((*g)->forward_message(
      original, recipient, priority ? core_priority(*priority) : brenvik::MessagePriority::Medium));
}

}  // namespace brenvik::ffi::body
