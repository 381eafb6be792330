// How errors of the layers below reach the host as InterfaceError.
//
// These are the rows of the core-error conversion whose source errors exist
// already: the message layer's CoreError and the transports' TransportError.
// The conversion of the protocol core's own error builds on them.
#pragma once

#include "bindings/errors.h"
#include "core/errors.h"

namespace brenvik::ffi {

// Identifier and message checks become InvalidArgument with the core error's
// whole text; (de)serialization failures become Serialization with the core
// error's own message only; Other keeps its message.
InterfaceError core_error_to_interface_error(const CoreError& e);

// A transport failure of any operation but a send: Transport with the
// transport error's whole text.
InterfaceError transport_error_to_interface_error(const TransportError& e);

// A transport failure of a send: SendFailed whose message is the carried text
// of a send failure (without its "Send failed: " prefix), or else the
// transport error's whole text.
InterfaceError send_transport_error_to_interface_error(const TransportError& e);

}  // namespace brenvik::ffi
