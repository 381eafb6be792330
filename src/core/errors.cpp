#include "core/errors.h"

namespace brenvik {

std::string CoreError::message() const {
  switch (kind) {
    case Kind::InvalidMessage:
      return "Invalid message: " + text;
    case Kind::InvalidUserId:
      return "Invalid user ID: " + text;
    case Kind::InvalidAppId:
      return "Invalid app ID: " + text;
    case Kind::InvalidTtl:
      return "Invalid TTL: " + std::to_string(value);
    case Kind::InvalidHopCount:
      return "Invalid hop count: " + std::to_string(value);
    case Kind::Serialization:
      return "Serialization error: " + text;
    case Kind::Deserialization:
      return "Deserialization error: " + text;
    case Kind::InvalidServiceId:
      return "Invalid service ID: " + text;
    case Kind::Other:
      return text;
  }
  return text;
}

std::string TransportError::message() const {
  switch (kind) {
    case Kind::NotAvailable:
      return "Transport not available: " + text;
    case Kind::PeerNotReachable:
      return "Peer not reachable: " + text;
    case Kind::SendFailed:
      return "Send failed: " + text;
    case Kind::ReceiveFailed:
      return "Receive failed: " + text;
    case Kind::Configuration:
      return "Configuration error: " + text;
    case Kind::Serialization:
      return "Serialization error: " + text;
    case Kind::Core:
      return "Core error: " + core.message();
    case Kind::MessageTooLarge:
      return "Message too large: " + std::to_string(content_len) + " bytes exceeds limit of " +
             std::to_string(limit) + " bytes";
    case Kind::Crypto:
      return "Crypto error: " + text;
    case Kind::Other:
      return text;
  }
  return text;
}

}  // namespace brenvik
