// Forwarding a message the host holds to a group. The checks on the message
// itself come first, so a refused forward never reaches the group layer;
// the group's roster and its MLS state decide everything after them.
#include "protocol/core/protocol_core.h"

namespace brenvik {

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
