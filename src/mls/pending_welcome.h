// The "pending_welcome" record: the Welcome of a session this device created
// while encrypting, kept under the peer's user id until the host fetches and
// clears it, or the peer's own Welcome for the session is accepted.
#pragma once

#include <string>
#include <string_view>

#include "sealed/welcome_message.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

inline constexpr std::string_view kPendingWelcomeType = "pending_welcome";

// One JSON object, keys "group_id", "welcome_data" (numbers 0-255),
// "inviter_id", "group_name" (text or null), "timestamp_ms"; no white space.
std::string write_pending_welcome(const WelcomeMessage& m);
// Keys in any order, unknown ones skipped, "group_name" optional, the array
// form of the five values accepted; group_id must be a valid GroupId. The
// error is the reader's message.
Result<WelcomeMessage, std::string> read_pending_welcome(ByteView bytes);

}  // namespace brenvik::mls
