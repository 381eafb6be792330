// The single JSON form of MediaMetadata, ForwardInfo and ReplyContext.
//
// Writers emit compact objects in declaration order and leave absent
// optional fields out (never null). Readers take the object form (any key
// order, unknown keys skipped, duplicates and missing required keys refused)
// and the array form (field values in declaration order; trailing optional
// values may be left off). User-id fields are checked on reading only.
#pragma once

#include <optional>
#include <string_view>

#include "core/message.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"

namespace brenvik {

void media_metadata_to_json(JsonWriter& w, const MediaMetadata& m);
void forward_info_to_json(JsonWriter& w, const ForwardInfo& f);
void reply_context_to_json(JsonWriter& w, const ReplyContext& c);

// The reader must be positioned before the value; null is refused.
Result<MediaMetadata, JsonError> media_metadata_from_json(JsonReader& r);
Result<ForwardInfo, JsonError> forward_info_from_json(JsonReader& r);
Result<ReplyContext, JsonError> reply_context_from_json(JsonReader& r);

// Member values that may be null (absent).
Result<std::optional<MediaMetadata>, JsonError> read_optional_media_metadata_json(JsonReader& r);
Result<std::optional<ForwardInfo>, JsonError> read_optional_forward_info_json(JsonReader& r);
Result<std::optional<ReplyContext>, JsonError> read_optional_reply_context_json(JsonReader& r);

// A whole text holding exactly one record (null refused), then only
// whitespace: the form the compact wire frame carries.
Result<MediaMetadata, JsonError> media_metadata_from_text(std::string_view text);
Result<ForwardInfo, JsonError> forward_info_from_text(std::string_view text);
Result<ReplyContext, JsonError> reply_context_from_text(std::string_view text);

// Writes a message id as its canonical lower-case hyphenated text.
void write_message_id_json(JsonWriter& w, const MessageId& id);
// Reads a message id from a JSON string in any of the four UUID text forms.
Result<MessageId, JsonError> read_message_id_json(JsonReader& r);
// Reads a string and applies the "User ID" identifier check; a failing check
// fails the read with the check's message.
Result<std::string, JsonError> read_user_id_json(JsonReader& r);

}  // namespace brenvik
