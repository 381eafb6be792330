// Bodies of the three conversation signals a peer sends: presence, typing
// indicator and read receipt. Each is one JSON value, an object (unknown
// keys skipped) or an array of the values in field order, followed only by
// whitespace. A missing or repeated field, a wrong type, a presence status
// outside "online", "away", "offline", or trailing text is refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/events/event_enums.h"
#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

struct PresencePayload {
  PresenceStatus status = PresenceStatus::Online;
  int64_t timestamp_ms = 0;
};

struct TypingIndicatorPayload {
  std::string conversation_id;
  bool is_typing = false;
  int64_t timestamp_ms = 0;
};

struct ReadReceiptPayload {
  std::vector<std::string> message_ids;
  int64_t timestamp_ms = 0;
};

Result<PresencePayload, JsonError> parse_presence_payload(std::string_view body);
Result<TypingIndicatorPayload, JsonError> parse_typing_payload(std::string_view body);
// The id list is read in full before the handler applies its limit of 256;
// the reader's input is bounded by the frame size.
Result<ReadReceiptPayload, JsonError> parse_read_receipt_payload(std::string_view body);

}  // namespace brenvik
