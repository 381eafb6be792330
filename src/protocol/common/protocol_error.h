// ProtocolError: the error of every core operation. Each variant has a fixed
// display text (message()) for people and logs and a stable lower-snake code
// (code()) for programs: the send path puts the code into the reason of a
// deferred-message event, the Welcome transmitter records it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/errors.h"

namespace brenvik {

// Readiness of a 1:1 secure session towards a peer.
enum class SessionReadiness : uint8_t {
  NoKeyPackage,
  HaveKeyPackage,
  SessionPending,
  SessionConfirmed
};
// "NoKeyPackage", "HaveKeyPackage", "SessionPending", "SessionConfirmed".
std::string_view session_readiness_name(SessionReadiness r);

class ProtocolError {
 public:
  enum class Kind : uint8_t {
    NotStarted,
    AlreadyStarted,
    InvalidConfig,
    Core,
    Transport,
    Router,
    Reliability,
    Mls,
    MlsNotInitialized,
    KeyPackageUnavailable,
    SessionNotReady,
    EncryptionFailed,
    Service,
    Serialization,
    RecipientBlocked,
    MediaTransferLimit,
    GroupNotFound,
    PermissionDenied,
    InvalidState,
    InvalidInput,
    DataLayerDisabled,
    DataLayerNoStorage,
    DataDocTooLarge,
    DataCorrupt,
    TelemetryConfigInvalid,
    Internal,
  };
  static constexpr size_t kKindCount = 26;

  static ProtocolError not_started() { return ProtocolError(Kind::NotStarted); }
  static ProtocolError already_started() { return ProtocolError(Kind::AlreadyStarted); }
  static ProtocolError invalid_config(std::string rule) {
    return text(Kind::InvalidConfig, std::move(rule));
  }
  static ProtocolError core(CoreError e);
  static ProtocolError transport(TransportError e);
  // The router, reliability, MLS and service layers' errors are carried by
  // their display text: message() and code() need nothing else of them.
  static ProtocolError router(std::string error_text) {
    return text(Kind::Router, std::move(error_text));
  }
  static ProtocolError reliability(std::string error_text) {
    return text(Kind::Reliability, std::move(error_text));
  }
  static ProtocolError mls(std::string error_text) {
    return text(Kind::Mls, std::move(error_text));
  }
  static ProtocolError mls_not_initialized() { return ProtocolError(Kind::MlsNotInitialized); }
  static ProtocolError key_package_unavailable(std::string recipient) {
    return text(Kind::KeyPackageUnavailable, std::move(recipient));
  }
  static ProtocolError session_not_ready(SessionReadiness r);
  static ProtocolError encryption_failed(std::string cause) {
    return text(Kind::EncryptionFailed, std::move(cause));
  }
  static ProtocolError service(std::string error_text) {
    return text(Kind::Service, std::move(error_text));
  }
  static ProtocolError serialization(std::string cause) {
    return text(Kind::Serialization, std::move(cause));
  }
  static ProtocolError recipient_blocked(std::string user) {
    return text(Kind::RecipientBlocked, std::move(user));
  }
  static ProtocolError media_transfer_limit(std::string recipient) {
    return text(Kind::MediaTransferLimit, std::move(recipient));
  }
  static ProtocolError group_not_found(std::string group_id) {
    return text(Kind::GroupNotFound, std::move(group_id));
  }
  static ProtocolError permission_denied(std::string msg) {
    return text(Kind::PermissionDenied, std::move(msg));
  }
  static ProtocolError invalid_state(std::string msg) {
    return text(Kind::InvalidState, std::move(msg));
  }
  static ProtocolError invalid_input(std::string msg) {
    return text(Kind::InvalidInput, std::move(msg));
  }
  static ProtocolError data_layer_disabled() { return ProtocolError(Kind::DataLayerDisabled); }
  static ProtocolError data_layer_no_storage() { return ProtocolError(Kind::DataLayerNoStorage); }
  static ProtocolError data_doc_too_large(uint64_t compacted_bytes, uint64_t cap_bytes);
  static ProtocolError data_corrupt(std::string cause) {
    return text(Kind::DataCorrupt, std::move(cause));
  }
  static ProtocolError telemetry_config_invalid(std::string field) {
    return text(Kind::TelemetryConfigInvalid, std::move(field));
  }
  static ProtocolError internal(std::string msg) { return text(Kind::Internal, std::move(msg)); }

  Kind kind() const { return kind_; }
  // Variant name, e.g. "SessionNotReady".
  std::string_view kind_name() const;

  // The display text, e.g. "Session not ready: HaveKeyPackage".
  std::string message() const;
  // One of the 15 constant code texts, e.g. "session_not_ready".
  std::string_view code() const;

  // Payload accessors; meaningful only for the variants that carry them.
  const std::string& text() const { return text_; }
  const CoreError* core_error() const { return std::get_if<CoreError>(&wrapped_); }
  const TransportError* transport_error() const { return std::get_if<TransportError>(&wrapped_); }
  SessionReadiness readiness() const { return readiness_; }
  uint64_t compacted_bytes() const { return compacted_bytes_; }
  uint64_t cap_bytes() const { return cap_bytes_; }

  bool operator==(const ProtocolError&) const = default;

 private:
  explicit ProtocolError(Kind k) : kind_(k) {}
  static ProtocolError text(Kind k, std::string t) {
    ProtocolError e(k);
    e.text_ = std::move(t);
    return e;
  }

  Kind kind_;
  std::string text_;
  std::variant<std::monostate, CoreError, TransportError> wrapped_;
  SessionReadiness readiness_ = SessionReadiness::NoKeyPackage;
  uint64_t compacted_bytes_ = 0;
  uint64_t cap_bytes_ = 0;
};

// "Too many concurrent media transfers to <peer>; retry after an active
// transfer completes" — shared by the protocol error and the interface error.
std::string media_transfer_limit_text(std::string_view peer);

}  // namespace brenvik
