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

}  // namespace brenvik::ffi
