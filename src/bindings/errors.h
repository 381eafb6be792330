// InterfaceError: the one expected-error type of the exported interface.
//
// Each variant has a fixed display text; variants with a payload show it in
// place of {}. A host sees the variant number (1..25) and the whole text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bindings/buffer.h"
#include "bindings/ffi_types.h"

namespace brenvik::ffi {

class InterfaceError {
 public:
  enum class Kind : int32_t {
    NotStarted = 1,
    AlreadyStarted,
    InvalidConfig,
    SendFailed,
    NoKeyPackage,
    SessionNotReady,
    EncryptionFailed,
    InvalidState,
    MlsNotInitialized,
    Mls,
    UserBlocked,
    MediaTransferLimit,
    LockPoisoned,
    Other,
    Transport,
    Serialization,
    Service,
    GroupNotFound,
    PermissionDenied,
    InvalidArgument,
    DataLayerDisabled,
    DataLayerNoStorage,
    DocTooLarge,
    DataCorrupt,
    TelemetryConfig,
  };

  // Variants without payload.
  static InterfaceError not_started() { return InterfaceError(Kind::NotStarted); }
  static InterfaceError already_started() { return InterfaceError(Kind::AlreadyStarted); }
  static InterfaceError mls_not_initialized() { return InterfaceError(Kind::MlsNotInitialized); }
  static InterfaceError data_layer_disabled() { return InterfaceError(Kind::DataLayerDisabled); }
  static InterfaceError data_layer_no_storage() { return InterfaceError(Kind::DataLayerNoStorage); }
  // Variants carrying a message. Requires `k` to be one of them.
  static InterfaceError with_message(Kind k, std::string message);
  static InterfaceError session_not_ready(SessionEstablishmentState s);

  Kind kind() const { return kind_; }
  int32_t number() const { return static_cast<int32_t>(kind_); }
  // The payload message ("" for variants without one).
  const std::string& message() const { return message_; }
  // The full display text, e.g. "Invalid configuration: At least one ...".
  std::string display() const;

 private:
  explicit InterfaceError(Kind k) : kind_(k) {}
  Kind kind_;
  std::string message_;
  std::optional<SessionEstablishmentState> state_;
};

// The lowered form placed in a CallStatus with code 1: i32 variant number, then
// the display text as an i32 length and UTF-8 bytes.
Bytes lower_interface_error(const InterfaceError& e);

}  // namespace brenvik::ffi
