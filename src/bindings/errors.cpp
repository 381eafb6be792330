#include "bindings/errors.h"

#include <stdexcept>

#include "bindings/codec.h"
#include "protocol/common/protocol_error.h"
#include "util/error.h"

namespace brenvik::ffi {

InterfaceError InterfaceError::with_message(Kind k, std::string message) {
  switch (k) {
    case Kind::NotStarted:
    case Kind::AlreadyStarted:
    case Kind::MlsNotInitialized:
    case Kind::DataLayerDisabled:
    case Kind::DataLayerNoStorage:
    case Kind::SessionNotReady:
      throw std::logic_error("InterfaceError variant takes no message");
    case Kind::InvalidConfig:
    case Kind::SendFailed:
    case Kind::NoKeyPackage:
    case Kind::EncryptionFailed:
    case Kind::InvalidState:
    case Kind::Mls:
    case Kind::UserBlocked:
    case Kind::MediaTransferLimit:
    case Kind::LockPoisoned:
    case Kind::Other:
    case Kind::Transport:
    case Kind::Serialization:
    case Kind::Service:
    case Kind::GroupNotFound:
    case Kind::PermissionDenied:
    case Kind::InvalidArgument:
    case Kind::DocTooLarge:
    case Kind::DataCorrupt:
    case Kind::TelemetryConfig:
      break;
  }
  InterfaceError e(k);
  e.message_ = std::move(message);
  return e;
}

InterfaceError InterfaceError::session_not_ready(SessionEstablishmentState s) {
  InterfaceError e(Kind::SessionNotReady);
  e.state_ = s;
  e.message_ = std::string(variant_name(s));
  return e;
}

std::string InterfaceError::display() const {
  const std::string& m = message_;
  switch (kind_) {
    case Kind::NotStarted:
      return std::string(kNotStartedText);
    case Kind::AlreadyStarted:
      return std::string(kAlreadyStartedText);
    case Kind::InvalidConfig:
      return kInvalidConfigPrefix(m);
    case Kind::SendFailed:
      return "Failed to send message: " + m;
    case Kind::NoKeyPackage:
      return kNoKeyPackagePrefix(m);
    case Kind::SessionNotReady:
      return kSessionNotReadyPrefix(m);
    case Kind::EncryptionFailed:
      return kEncryptionFailedPrefix(m);
    case Kind::InvalidState:
      return "Invalid state: " + m;
    case Kind::MlsNotInitialized:
      return "MLS not initialized";
    case Kind::Mls:
      return kMlsErrorPrefix(m);
    case Kind::UserBlocked:
      return kUserBlockedPrefix(m);
    case Kind::MediaTransferLimit:
      return media_transfer_limit_text(m);
    case Kind::LockPoisoned:
      return "Internal lock poisoned: " + m;
    case Kind::Other:
      return m;
    case Kind::Transport:
      return kTransportErrorPrefix(m);
    case Kind::Serialization:
      return kSerializationErrorPrefix(m);
    case Kind::Service:
      return kServiceErrorPrefix(m);
    case Kind::GroupNotFound:
      return kGroupNotFoundPrefix(m);
    case Kind::PermissionDenied:
      return "Permission denied: " + m;
    case Kind::InvalidArgument:
      return "Invalid argument: " + m;
    case Kind::DataLayerDisabled:
      return std::string(kDataLayerDisabledText);
    case Kind::DataLayerNoStorage:
      return "Data layer has no storage; initializeMls must run first";
    case Kind::DocTooLarge:
      return "Document is over the size cap: " + m;
    case Kind::DataCorrupt:
      return kDataCorruptPrefix(m);
    case Kind::TelemetryConfig:
      return kTelemetryConfigInvalidPrefix(m);
  }
  throw std::logic_error("InterfaceError with an unknown variant");
}

Bytes lower_interface_error(const InterfaceError& e) {
  // Text first, so that a failing format leaves nothing half written.
  std::string text = e.display();
  Writer w;
  Codec<int32_t>::write(w, e.number());
  Codec<std::string>::write(w, text);
  return w.copy();
}

}  // namespace brenvik::ffi
