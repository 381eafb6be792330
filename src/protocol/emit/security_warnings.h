// SecurityWarning events: the plain entry point, used where each occurrence
// matters, and the throttled one, used on receive paths where a misbehaving
// peer could otherwise flood the host with identical warnings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/emit/security_throttle.h"
#include "protocol/emit/shared_state.h"
#include "protocol/events/event_enums.h"

namespace brenvik {

// Raises SecurityWarning{peer_id, reason, detail} through emit_event: at
// once whatever the lifecycle, never deferred.
void emit_security_warning(SharedStateMutex& shared, std::string_view peer_id,
                           SecurityWarningReason reason, std::string_view detail);

// Raises the warning at most once per (peer, reason) for the throttled
// reasons; every other reason is raised each time.
void emit_security_warning_throttled(SharedStateMutex& shared, SecurityWarningThrottle& throttle,
                                     std::string_view peer_id, SecurityWarningReason reason,
                                     std::string_view detail);

}  // namespace brenvik
