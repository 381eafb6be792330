#include "transport/message_codec.h"

#include "core/wire_v1.h"
#include "transport/message_json.h"
#include "util/log.h"

namespace brenvik {

Result<Bytes, TransportError> encode_message_for_transport(const Message& m) {
  if (!m.compact_wire) return encode_message_json(m);
  Result<Bytes, CoreError> frame = [&] {
    if (m.media_metadata && m.media_metadata->has_key_material()) {
      Message copy = m;
      copy.media_metadata = m.media_metadata->without_key_material();
      return encode_wire_v1(copy);
    }
    return encode_wire_v1(m);
  }();
  if (!frame.ok()) return Err(TransportError(std::move(frame).error()));
  return std::move(frame).value();
}

Result<Message, TransportError> decode_message(ByteView data) {
  if (!data.empty() && data[0] == kWireV1LeadingByte) {
    auto r = decode_wire_v1(data);
    if (!r.ok()) return Err(TransportError(std::move(r).error()));
    return std::move(r).value();
  }
  return decode_message_json(data);
}

Result<void, CoreError> validate_transport_peer_id(Message& m, std::string peer_id) {
  if (peer_id.empty()) {
    return Err(CoreError::invalid_message("transport_peer_id must not be empty"));
  }
  m.transport_peer_id = std::move(peer_id);
  return {};
}

namespace {

void log_dropped_frame(const TransportError& e) {
  BRENVIK_LOG(LogLevel::Warn, "brenvik_protocol_transport::common",
              {"message", "Error deserializing message, dropping bad data"},
              {"error", e.message()});
}

// Size check and decode shared by both receive steps; nothing when the frame
// was dropped as undecodable.
Result<std::optional<Message>, TransportError> check_and_decode(InboundQueue& queue,
                                                                const Bytes& data) {
  if (data.size() > kMaxReceivedFrameBytes) {
    return Err(TransportError::message_too_large(data.size(), kMaxReceivedFrameBytes));
  }
  auto m = decode_message(data);
  if (!m.ok()) {
    log_dropped_frame(m.error());
    queue.count_malformed();
    return std::optional<Message>();
  }
  return std::optional<Message>(std::move(m).value());
}

}  // namespace

Result<void, TransportError> enqueue_received_bytes(InboundQueue& queue, Bytes data) {
  BRENVIK_TRY(std::optional<Message> m, check_and_decode(queue, data));
  if (m) queue.push(std::move(*m), data.size());
  return {};
}

Result<void, TransportError> enqueue_received_bytes_from_peer(InboundQueue& queue, Bytes data,
                                                              std::string peer_id) {
  BRENVIK_TRY(std::optional<Message> m, check_and_decode(queue, data));
  if (!m) return {};
  if (auto v = validate_transport_peer_id(*m, std::move(peer_id)); !v.ok()) {
    return Err(TransportError(std::move(v).error()));
  }
  queue.push(std::move(*m), data.size());
  return {};
}

}  // namespace brenvik
