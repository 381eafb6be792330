// The Welcome of a new 1:1 session as peers exchange it (behind
// "__MLS_WELCOME__"): group id, the serialised MLS Welcome, the inviter, an
// optional group name and the creation time. Like EncryptedMessage, the
// reader refuses a group id that fails GroupId's check with the check's own
// text, in the object and in the array form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sealed/group_id.h"
#include "sealed/welcome_message.h"
#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"

namespace brenvik {

// Reads one WelcomeMessage (object or array of five values) at the reader's
// position.
Result<WelcomeMessage, JsonError> read_welcome_message(JsonReader& r);
// Whole-input forms: only whitespace may follow the record.
Result<WelcomeMessage, JsonError> welcome_message_from_json(std::string_view text);
Result<WelcomeMessage, JsonError> welcome_message_from_json(ByteView bytes);

// Object form, "group_id" first; the Welcome bytes as an array of numbers,
// an absent group name as null.
std::string welcome_message_to_json(const WelcomeMessage& m);

}  // namespace brenvik
