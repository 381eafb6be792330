// How every transport turns a Message into bytes and bytes back into a
// Message, and the shared receive step that checks the size, decodes and
// queues what the host hands to a transport.
#pragma once

#include <cstddef>
#include <string>

#include "core/errors.h"
#include "core/message.h"
#include "transport/inbound_queue.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

// Largest received frame accepted: exactly 1 MiB passes, one byte more fails.
inline constexpr size_t kMaxReceivedFrameBytes = 1048576;

// JSON unless the message is marked compact_wire, then the compact frame.
// Neither form ever carries the media encryption key or IV; the message
// itself keeps them.
Result<Bytes, TransportError> encode_message_for_transport(const Message& message);

// A non-empty input starting 0xF5 is the compact frame (its errors wrapped as
// TransportError::Core); anything else, empty input included, is JSON
// (TransportError::Serialization "Failed to deserialize message: ...").
Result<Message, TransportError> decode_message(ByteView data);

// Size check (MessageTooLarge, nothing logged), then decode: a frame that
// does not decode is logged as a warning, counted on the queue and dropped,
// and the call still succeeds. A decoded message is appended; when the queue
// is full it is dropped and counted (also a success: the peer caused it).
Result<void, TransportError> enqueue_received_bytes(InboundQueue& queue, Bytes data);

// As above, then the peer id is set on the message (an empty one fails with
// TransportError::Core holding "transport_peer_id must not be empty" and the
// message is dropped). An undecodable frame is dropped before the peer id is
// looked at.
Result<void, TransportError> enqueue_received_bytes_from_peer(InboundQueue& queue, Bytes data,
                                                              std::string peer_id);

// Empty: CoreError::InvalidMessage("transport_peer_id must not be empty");
// otherwise sets message.transport_peer_id.
Result<void, CoreError> validate_transport_peer_id(Message& message, std::string peer_id);

}  // namespace brenvik
