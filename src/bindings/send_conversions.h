// Conversions shared by the send bodies: the interface forms of the message
// sub-records into the model's records. The checking ones run before any
// lock, so a malformed call is refused even while another thread holds
// `inner`.
#pragma once

#include <optional>
#include <string>

#include "bindings/errors.h"
#include "bindings/ffi_types.h"
#include "core/message.h"
#include "core/types.h"
#include "util/result.h"

namespace brenvik::ffi::body {

// Interface enum numbers count from 1; the model's from 0.
brenvik::MessagePriority core_priority(MessagePriority p);
brenvik::ContentType core_content_type(ContentType t);
brenvik::MediaMetadata core_media(const MediaMetadata& m);
InterfaceError invalid_argument(std::string text);

// The quoted sender must be a valid user id ("Invalid reply_context.sender: ").
Result<std::optional<brenvik::ReplyContext>, InterfaceError> convert_reply_context(
    const std::optional<ReplyContext>& rc);
// The original sender must be a valid user id and the original id a UUID
// ("Invalid forward_info.original_sender: ", "...original_message_id: ").
Result<std::optional<brenvik::ForwardInfo>, InterfaceError> convert_forward_info(
    const std::optional<ForwardInfo>& fi);

// A message the host hands back to forward, read from its JSON form
// ("Failed to parse original message JSON: ").
Result<brenvik::Message, InterfaceError> parse_original_message(std::string_view json);

}  // namespace brenvik::ffi::body
