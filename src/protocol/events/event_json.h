// The host event JSON: one compact object per event, "type" (the kind's tag)
// first, then the kind's fields in declaration order. Absent optionals are
// left out, except the few fields whose kind writes them as null.
#pragma once

#include <string>

#include "protocol/events/protocol_event.h"
#include "util/json_writer.h"

namespace brenvik {

// The event's JSON text. Writing cannot fail.
std::string serialize_event_json(const ProtocolEvent& event);
// The same into an existing writer (the envelope object included).
void encode_event_json(JsonWriter& w, const ProtocolEvent& event);

}  // namespace brenvik
