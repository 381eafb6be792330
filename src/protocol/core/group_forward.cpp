// Forwarding a message the host holds to a group. The checks on the message
// itself come first, so a refused forward never reaches the group layer;
// the group's roster and its MLS state decide everything after them.
#include "core/rich_payload.h"
#include "protocol/core/protocol_core.h"
#include "protocol/reserved_markers.h"

namespace brenvik {

namespace {

// Longest forward chain a copy may carry; a copy at exactly this count is
// still sent.
constexpr uint32_t kMaxForwardCount = 100;

}  // namespace

Result<std::vector<MessageId>, ProtocolError> ProtocolCore::forward_message_to_group(
    const Message& message, const std::string& group_id,
    std::optional<MessagePriority> /*priority*/) {
  if (is_reserved_content_marker(message.content))
    return Err(ProtocolError::invalid_input(
        "Cannot forward a message with reserved internal prefix content"));
  if (message.content_type == ContentType::FileChunk)
    return Err(ProtocolError::invalid_input(
        "FileChunk is an internal content type and cannot be forwarded"));
  const ForwardInfo forward = next_forward_info(message);
  if (forward.forward_count > kMaxForwardCount)
    return Err(
        ProtocolError::invalid_input("Forward count " + std::to_string(forward.forward_count) +
                                     " exceeds maximum of " + std::to_string(kMaxForwardCount)));
  {
    Message extras;
    extras.media_metadata = message.media_metadata;
    extras.forwarded_from = forward;
    auto checked = encode_rich_extras(extras);
    if (!checked.ok()) {
      if (checked.error().kind == RichExtrasError::Kind::TooLarge)
        return Err(ProtocolError::invalid_input(checked.error().text));
      return Err(ProtocolError::serialization(checked.error().text));
    }
  }
  // The roster comes from the group layer's proven rosters or, failing
  // that, from the MLS state of the group. This build keeps neither, so no
  // group can be reached yet: the answer is the MLS layer's own refusal,
  // never a pretended send.
  (void)group_id;
  return Err(ProtocolError::internal("MLS not initialized"));
}

}  // namespace brenvik
