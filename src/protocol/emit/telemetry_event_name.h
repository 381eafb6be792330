// The dotted name under which telemetry counts each event kind
// ("protocol.message.sent", ...), indexed by ProtocolEvent::kind().
#pragma once

#include <cstddef>
#include <string_view>

namespace brenvik {

// The name of kind 0..74; "" for any other number.
std::string_view telemetry_event_name(size_t kind);

}  // namespace brenvik
