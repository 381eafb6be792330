// The JSON string receive_message hands the host for one received message.
//
// Keys are written in ascending byte order at every level (the object is
// assembled as a sorted map), priority is capitalised ("Medium"), and the
// object leaves out binary content, metadata, requires_ack, reply_to_msg and
// the reply context. It still holds every key the forward reader needs, so a
// host can pass it back to forward_message.
#pragma once

#include <optional>
#include <string>

#include "core/message.h"

namespace brenvik::ffi {

// None only when the whole object cannot be written (the message is then
// lost for the host, with an ERROR log). Media metadata that cannot be
// written is left out with a WARN.
std::optional<std::string> received_message_json(const Message& m);

}  // namespace brenvik::ffi
