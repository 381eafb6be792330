// The compact wire frame: a Message as 0xF5 followed by its fields in
// declaration order, numbers as LEB128 varints (the timestamp zigzag), the id
// as 16 raw bytes, sub-records as their compact JSON texts, and a long
// base64 tail of the content carried as its decoded bytes (extension 1).
// The frame has no length, checksum or trailer: it ends where the input ends.
#pragma once

#include <cstdint>

#include "core/errors.h"
#include "core/message.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

inline constexpr uint8_t kWireV1LeadingByte = 0xF5;
inline constexpr uint16_t kWireExtBase64Tail = 1;
inline constexpr uint16_t kWireExtReplyContext = 2;
// A content shorter than this, or a base64 tail shorter than this, is
// carried as text.
inline constexpr size_t kWireMinBase64Tail = 64;

// Writes the sub-records as they stand (callers strip media key material).
// Fails only with CoreError::Serialization, which well-formed records never
// produce.
Result<Bytes, CoreError> encode_wire_v1(const Message& message);

// Every length and count is checked against the remaining input before any
// allocation. Failures are CoreError::Deserialization ("not a wire v1
// frame: ...", "wire v1 decode: ...", or a sub-record name and the JSON
// reader's message), or InvalidUserId / InvalidAppId from the identifier
// checks.
Result<Message, CoreError> decode_wire_v1(ByteView data);

// Where the base64 tail of `content` starts, or content.size() when there is
// none to carry (see the frame's extension 1).
size_t wire_base64_tail_start(std::string_view content);

}  // namespace brenvik
