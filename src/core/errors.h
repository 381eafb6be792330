// Errors of the message layer (CoreError) and of the transports
// (TransportError). Each variant has a fixed display text; a variant that
// carries a value shows it after the fixed part.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace brenvik {

struct CoreError {
  enum class Kind : uint8_t {
    InvalidMessage,
    InvalidUserId,
    InvalidAppId,
    InvalidTtl,
    InvalidHopCount,
    Serialization,
    Deserialization,
    InvalidServiceId,
    Other,
  };

  Kind kind = Kind::Other;
  std::string text;   // carried text of the string variants
  uint8_t value = 0;  // carried value of InvalidTtl and InvalidHopCount

  static CoreError invalid_message(std::string t) { return {Kind::InvalidMessage, std::move(t)}; }
  static CoreError invalid_user_id(std::string t) { return {Kind::InvalidUserId, std::move(t)}; }
  static CoreError invalid_app_id(std::string t) { return {Kind::InvalidAppId, std::move(t)}; }
  static CoreError invalid_ttl(uint8_t v) { return {Kind::InvalidTtl, {}, v}; }
  static CoreError invalid_hop_count(uint8_t v) { return {Kind::InvalidHopCount, {}, v}; }
  static CoreError serialization(std::string t) { return {Kind::Serialization, std::move(t)}; }
  static CoreError deserialization(std::string t) { return {Kind::Deserialization, std::move(t)}; }
  static CoreError invalid_service_id(std::string t) {
    return {Kind::InvalidServiceId, std::move(t)};
  }
  static CoreError other(std::string t) { return {Kind::Other, std::move(t)}; }

  // The display text, e.g. "Invalid hop count: 255".
  std::string message() const;

  bool operator==(const CoreError&) const = default;
};

struct TransportError {
  enum class Kind : uint8_t {
    NotAvailable,
    PeerNotReachable,
    SendFailed,
    ReceiveFailed,
    Configuration,
    Serialization,
    Core,
    MessageTooLarge,
    Crypto,
    Other,
  };

  Kind kind = Kind::Other;
  std::string text;          // carried text of the string variants
  CoreError core;            // the wrapped error of Kind::Core
  uint64_t content_len = 0;  // MessageTooLarge
  uint64_t limit = 0;        // MessageTooLarge

  static TransportError not_available(std::string t) { return make(Kind::NotAvailable, t); }
  static TransportError peer_not_reachable(std::string t) {
    return make(Kind::PeerNotReachable, t);
  }
  static TransportError send_failed(std::string t) { return make(Kind::SendFailed, t); }
  static TransportError receive_failed(std::string t) { return make(Kind::ReceiveFailed, t); }
  static TransportError configuration(std::string t) { return make(Kind::Configuration, t); }
  static TransportError serialization(std::string t) { return make(Kind::Serialization, t); }
  static TransportError crypto(std::string t) { return make(Kind::Crypto, t); }
  static TransportError other(std::string t) { return make(Kind::Other, t); }
  static TransportError message_too_large(uint64_t len, uint64_t lim) {
    TransportError e;
    e.kind = Kind::MessageTooLarge;
    e.content_len = len;
    e.limit = lim;
    return e;
  }
  // A core error passing through a transport operation.
  TransportError(CoreError c)
      : kind(Kind::Core), core(std::move(c)) {}  // NOLINT: implicit by design
  TransportError() = default;

  std::string message() const;

  bool operator==(const TransportError&) const = default;

 private:
  static TransportError make(Kind k, std::string& t) {
    TransportError e;
    e.kind = k;
    e.text = std::move(t);
    return e;
  }
};

}  // namespace brenvik
