// SecurityWarning events: the plain entry point, used where each occurrence
// matters, and the throttled one, used on receive paths where a misbehaving
// peer could otherwise flood the host with identical warnings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/emit/shared_state.h"
#include "protocol/events/event_enums.h"

namespace brenvik {

// Raises SecurityWarning{peer_id, reason, detail} through emit_event: at
// once whatever the lifecycle, never deferred.
void emit_security_warning(SharedStateMutex& shared, std::string_view peer_id,
                           SecurityWarningReason reason, std::string_view detail);

// Which (peer, reason) pairs of the throttled reasons were already
// reported. At most 1000 peers: a warning for a new peer when the map is
// full empties it. Peer ids compare as exact bytes. Not persisted.
class SecurityWarningThrottle {
 public:
  static constexpr size_t kMaxPeers = 1000;

  // SENDER_ADDRESS_MISMATCH, TRANSPORT_IDENTITY_MISMATCH,
  // CONTROL_SIGNATURE_INVALID, UNSIGNED_CONTROL_REJECTED,
  // STALE_CONTROL_FRAME and KEY_PACKAGE_OUTSIDE_VALIDITY_WINDOW.
  static bool is_throttled(SecurityWarningReason reason);

  // Whether the warning is to be raised; records the pair when it is.
  bool admit(std::string_view peer_id, SecurityWarningReason reason);
  size_t peer_count() const { return reported_.size(); }

 private:
  std::unordered_map<std::string, uint8_t> reported_;  // peer -> set of throttled reasons
};

// Raises the warning at most once per (peer, reason) for the throttled
// reasons; every other reason is raised each time.
void emit_security_warning_throttled(SharedStateMutex& shared, SecurityWarningThrottle& throttle,
                                     std::string_view peer_id, SecurityWarningReason reason,
                                     std::string_view detail);

}  // namespace brenvik
