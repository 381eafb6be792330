// The JSON form of a Message: one compact object, keys in declaration order,
// absent binary content and sub-records left out, an absent reply id written
// as null. The reader accepts the object form (any order, unknown keys
// skipped) and the array form, applies defaults, and checks identifiers as
// soon as they are read.
#pragma once

#include <string>

#include "core/errors.h"
#include "core/message.h"
#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"

namespace brenvik {

// Never writes media key material: a description holding a key or an IV is
// written from its copy without them. Fails only with
// TransportError::Serialization ("Failed to serialize message: ..."), which
// well-formed messages never produce.
Result<Bytes, TransportError> encode_message_json(const Message& message);
// The same text as a string (for callers that embed it).
std::string message_json_text(const Message& message);

// The message object into an open writer. With `keep_key_material` the
// media description is written as held (the stored form of the protocol
// state); without, exactly as encode_message_json writes it.
void write_message_json(JsonWriter& w, const Message& message, bool keep_key_material);
// Reads one message value at the reader's position (object or array form).
Result<Message, JsonError> read_message_json_value(JsonReader& r);

// Reads a whole input (then only whitespace). The error is the JSON reader's,
// with its position; decode_message wraps it.
Result<Message, JsonError> read_message_json(ByteView input);

// read_message_json wrapped as TransportError::Serialization
// ("Failed to deserialize message: " + message with position).
Result<Message, TransportError> decode_message_json(ByteView input);

}  // namespace brenvik
