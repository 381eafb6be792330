// How errors of the layers below reach the host as InterfaceError.
//
// These are the rows of the core-error conversion whose source errors exist
// already: the message layer's CoreError and the transports' TransportError.
// The conversion of the protocol core's own error builds on them.
#pragma once

#include "bindings/errors.h"
#include "core/errors.h"
#include "protocol/common/protocol_error.h"

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

// Every core error as the host sees it. Variants that carry a text pass the
// text alone; the interface variant adds its own prefix when displayed.
InterfaceError to_interface_error(const ProtocolError& e);

// The mapping of every body whose core operation sends: a transport failure
// becomes SendFailed (the reason alone for a send failure, else the
// transport error's whole text); everything else as to_interface_error.
InterfaceError map_send_error(const ProtocolError& e);

}  // namespace brenvik::ffi
