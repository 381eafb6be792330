// Which security warnings a receive path has already raised, so that a
// misbehaving peer cannot flood the host with identical warnings. Kept apart
// from the delivery helpers so that the protocol core can own one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/events/event_enums.h"

namespace brenvik {

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

}  // namespace brenvik
