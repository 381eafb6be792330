// The builder step the send paths use to attach one metadata entry (for
// example "ack_for", "ack_hop_count", "ack_transport" of a delivery
// acknowledgement) to a message before sending it.
#pragma once

#include <string>
#include <utility>

#include "core/message.h"

namespace brenvik {

// Inserts (key, value), replacing the value of a key already present, and
// returns the message.
inline Message with_metadata(Message message, std::string key, std::string value) {
  message.metadata.insert_or_assign(std::move(key), std::move(value));
  return message;
}

}  // namespace brenvik
