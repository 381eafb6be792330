// JSON form of an EncryptedMessage as peers send it: group id, message type,
// epoch, ciphertext (array of bytes), sender id and timestamp. The reader
// refuses a group id that fails GroupId's check with the check's own text
// and skips keys the record does not know.
#pragma once

#include <string>
#include <string_view>

#include "sealed/encrypted_message.h"
#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

// Reads one EncryptedMessage (object or array form) at the reader's position.
Result<EncryptedMessage, JsonError> read_encrypted_message(JsonReader& r);
// Whole-input forms: only whitespace may follow the record.
Result<EncryptedMessage, JsonError> encrypted_message_from_json(std::string_view text);
Result<EncryptedMessage, JsonError> encrypted_message_from_json(ByteView bytes);

// Object form with the keys in declared order.
std::string encrypted_message_to_json(const EncryptedMessage& m);

}  // namespace brenvik
