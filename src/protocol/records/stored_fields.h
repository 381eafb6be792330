// Field writers and readers shared by the records kept in protocol-state
// storage: the embedded message (with its media key material, unlike the
// transport form), priority, content type, transport kind, group id, the
// welcome lifecycle state and optional RFC 3339 date-times.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/message.h"
#include "core/types.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"
#include "util/rfc3339.h"

namespace brenvik {

// Writes `key` and the stored message object (media key material kept).
void write_message_json_field(JsonWriter& w, std::string_view key, const Message& message);
// Reads one stored message at the reader's position; null is refused.
Result<Message, JsonError> read_message_json_field(JsonReader& r);

// "priority":"<name>".
void write_priority_field(JsonWriter& w, MessagePriority p);
// "low"/"Low", ... or the one-key object form.
Result<MessagePriority, JsonError> read_priority_field(JsonReader& r);

// The content-type name as a JSON string (the caller writes the key).
void write_content_type_field(JsonWriter& w, ContentType t);
// Any JSON string; an unknown name reads as File. null is refused.
Result<ContentType, JsonError> read_content_type_field(JsonReader& r);

// `key` and the transport name, or null for none.
void write_transport_type_field(JsonWriter& w, std::string_view key,
                                std::optional<TransportType> t);

// "group_id":"<id>".
void write_group_id_field(JsonWriter& w, std::string_view group_id);
// A JSON string passing the group-id check; the check's text on failure.
Result<std::string, JsonError> read_group_id_field(JsonReader& r);

enum class WelcomeLifecycleState : uint8_t { Created, SendAttempted, Sent, Failed, Expired };
std::string_view welcome_lifecycle_state_name(WelcomeLifecycleState s);
Result<WelcomeLifecycleState, JsonError> read_welcome_lifecycle_state(JsonReader& r);

// An RFC 3339 date-time in UTC with the shortest of no, 3, 6 or 9 fraction
// digits that holds the value exactly.
std::string format_datetime_utc(UnixTime t);
// A string holding an RFC 3339 date-time with any offset, converted to UTC.
Result<UnixTime, JsonError> read_datetime_field(JsonReader& r);
// The same, with null read as absent.
Result<std::optional<UnixTime>, JsonError> read_optional_datetime_field(JsonReader& r);

}  // namespace brenvik
