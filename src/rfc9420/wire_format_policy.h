// Which wire formats a group sends its handshake messages in and accepts
// them in (application messages are always PrivateMessage, RFC 9420 §6.2).
#pragma once

#include <cstdint>

namespace brenvik::rfc9420 {

enum class OutgoingWireFormatPolicy : uint8_t { AlwaysPlaintext, AlwaysCiphertext };
enum class IncomingWireFormatPolicy : uint8_t { AlwaysPlaintext, AlwaysCiphertext, Mixed };
struct WireFormatPolicy {
  OutgoingWireFormatPolicy outgoing = OutgoingWireFormatPolicy::AlwaysCiphertext;
  IncomingWireFormatPolicy incoming = IncomingWireFormatPolicy::AlwaysCiphertext;
  bool operator==(const WireFormatPolicy&) const = default;
};

}  // namespace brenvik::rfc9420
