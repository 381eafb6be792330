#include "bindings/error_mapping.h"

namespace brenvik::ffi {

InterfaceError core_error_to_interface_error(const CoreError& e) {
  using K = CoreError::Kind;
  switch (e.kind) {
    case K::InvalidMessage:
    case K::InvalidUserId:
    case K::InvalidAppId:
    case K::InvalidTtl:
    case K::InvalidHopCount:
    case K::InvalidServiceId:
      return InterfaceError::with_message(InterfaceError::Kind::InvalidArgument, e.message());
    case K::Serialization:
    case K::Deserialization:
      return InterfaceError::with_message(InterfaceError::Kind::Serialization, e.text);
    case K::Other:
      return InterfaceError::with_message(InterfaceError::Kind::Other, e.text);
  }
  return InterfaceError::with_message(InterfaceError::Kind::Other, e.message());
}

InterfaceError transport_error_to_interface_error(const TransportError& e) {
  return InterfaceError::with_message(InterfaceError::Kind::Transport, e.message());
}

InterfaceError send_transport_error_to_interface_error(const TransportError& e) {
  std::string text = e.kind == TransportError::Kind::SendFailed ? e.text : e.message();
  return InterfaceError::with_message(InterfaceError::Kind::SendFailed, std::move(text));
}

InterfaceError to_interface_error(const ProtocolError& e) {
  using K = ProtocolError::Kind;
  using I = InterfaceError::Kind;
  switch (e.kind()) {
    case K::NotStarted:
      return InterfaceError::not_started();
    case K::AlreadyStarted:
      return InterfaceError::already_started();
    case K::InvalidConfig:
      return InterfaceError::with_message(I::InvalidConfig, e.text());
    case K::Core:
      return e.core_error() ? core_error_to_interface_error(*e.core_error())
                            : InterfaceError::with_message(I::Other, e.message());
    case K::Transport:
      return e.transport_error() ? transport_error_to_interface_error(*e.transport_error())
                                 : InterfaceError::with_message(I::Transport, e.message());
    case K::Router:
    case K::Reliability:
      return InterfaceError::with_message(I::Other, e.message());
    case K::Mls:
      return InterfaceError::with_message(I::Mls, e.text());
    case K::MlsNotInitialized:
      return InterfaceError::mls_not_initialized();
    case K::KeyPackageUnavailable:
      return InterfaceError::with_message(I::NoKeyPackage, e.text());
    case K::SessionNotReady:
      return InterfaceError::session_not_ready(
          static_cast<SessionEstablishmentState>(static_cast<int32_t>(e.readiness()) + 1));
    case K::EncryptionFailed:
      return InterfaceError::with_message(I::EncryptionFailed, e.text());
    case K::Service:
      return InterfaceError::with_message(I::Service, e.text());
    case K::Serialization:
      return InterfaceError::with_message(I::Serialization, e.text());
    case K::RecipientBlocked:
      return InterfaceError::with_message(I::UserBlocked, e.text());
    case K::MediaTransferLimit:
      return InterfaceError::with_message(I::MediaTransferLimit, e.text());
    case K::GroupNotFound:
      return InterfaceError::with_message(I::GroupNotFound, e.text());
    case K::PermissionDenied:
      return InterfaceError::with_message(I::PermissionDenied, e.text());
    case K::InvalidState:
      return InterfaceError::with_message(I::InvalidState, e.text());
    case K::InvalidInput:
      return InterfaceError::with_message(I::InvalidArgument, e.text());
    case K::DataLayerDisabled:
      return InterfaceError::data_layer_disabled();
    case K::DataLayerNoStorage:
      return InterfaceError::data_layer_no_storage();
    case K::DataDocTooLarge:
      return InterfaceError::with_message(
          I::DocTooLarge, "document is " + std::to_string(e.compacted_bytes()) +
                              " bytes compacted, over the " + std::to_string(e.cap_bytes()) +
                              " byte cap");
    case K::DataCorrupt:
      return InterfaceError::with_message(I::DataCorrupt, e.text());
    case K::TelemetryConfigInvalid:
      return InterfaceError::with_message(I::TelemetryConfig, e.text());
    case K::Internal:
      return InterfaceError::with_message(I::Other, e.text());
  }
  return InterfaceError::with_message(I::Other, e.message());
}

InterfaceError map_send_error(const ProtocolError& e) {
  if (e.kind() == ProtocolError::Kind::Transport && e.transport_error())
    return send_transport_error_to_interface_error(*e.transport_error());
  return to_interface_error(e);
}

}  // namespace brenvik::ffi
