// Message ids: 16-byte UUIDs. The text form is 36 lowercase characters
// (8-4-4-4-12 hexadecimal digits); four text forms are accepted on input.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "util/result.h"
#include "util/uuid.h"

namespace brenvik {

using MessageId = Uuid;

// A fresh random version-4 UUID from the operating system's random source.
MessageId new_message_id();

// The 36-character lowercase hyphenated form.
std::string display_message_id(const MessageId& id);
// Appends the 36-character form to out without a temporary string (the
// writers' hot path).
void append_message_id(std::string& out, const MessageId& id);

// Uuid::parse with its reason as text ("invalid length", ...).
Result<MessageId, std::string> parse_uuid_text(std::string_view text);

// parse_uuid_text wrapped as CoreError::InvalidMessage("Invalid message id: " + reason).
Result<MessageId, CoreError> parse_message_id(std::string_view text);

}  // namespace brenvik
