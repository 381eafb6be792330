// The gate every inbound control message passes before its handler runs:
// the claimed sender is bound to the link the frame came over, the frame
// must carry an Ed25519 signature by the key the sender's address derives
// from, a peer that has proved it signs the timestamp-binding payload may
// not fall back to the older one, and a signed timestamp must lie within
// the freshness window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/message.h"
#include "protocol/emit/security_throttle.h"
#include "protocol/events/protocol_event.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

struct ControlAdmission {
  bool admitted = false;
  // A signature was verified.
  bool is_signed = false;
  // The message timestamp, when the frame was signed under the
  // timestamp-binding payload and passed the freshness window with
  // freshness enforcement on.
  std::optional<uint64_t> fresh_timestamp_ms;

  static ControlAdmission rejected() { return {}; }
  static ControlAdmission admit(bool is_signed, std::optional<uint64_t> fresh = std::nullopt) {
    return {true, is_signed, fresh};
  }
};

// Largest amount a signed timestamp may lie ahead of this device's clock.
inline constexpr uint64_t kControlMaxFutureSkewMs = 172'800'000;  // 48 hours
// Largest age of a signed timestamp.
inline constexpr uint64_t kControlMaxAgeMs = 2'592'000'000;  // 30 days

// The gate itself and what it remembers of peers: who proved it signs the
// timestamp-binding payload, who is known to sign control traffic, which
// senders were already warned about plaintext, and which security warnings
// were already raised. It reads nothing but its arguments; the warnings it
// decides on go to the sink the caller hands in.
class ControlGate {
 public:
  static constexpr std::string_view kLogTarget = "brenvik_protocol::protocol::security";
  static constexpr size_t kPlaintextWarnedCapacity = 1000;
  static constexpr size_t kEncryptionCapableCapacity = 8192;

  // Receives each security warning the gate raises.
  using WarningSink = std::function<void(ProtocolEvent)>;
  // The configuration switches the gate reads.
  struct Policy {
    bool require_transport_identity = false;
    bool enforce_control_freshness = false;
  };

  ControlGate() = default;
  ControlGate(const ControlGate&) = delete;
  ControlGate& operator=(const ControlGate&) = delete;

  // Anything that is not a control message is admitted unsigned at once.
  // `now_ms` is the wall clock the freshness window is measured against.
  ControlAdmission authenticate(const Message& message, std::optional<TransportType> arrival,
                                const Policy& policy, int64_t now_ms, const WarningSink& sink);
  // The address derived from `public_key` must be `sender`; otherwise a
  // SENDER_ADDRESS_MISMATCH warning and an error text.
  Result<void, std::string> verify_sender(const std::string& sender, ByteView public_key,
                                          const WarningSink& sink);
  // Raises the warning unless the same peer and a throttled reason were
  // already reported.
  void warn_throttled(const std::string& peer, SecurityWarningReason reason,
                      std::string_view detail, const WarningSink& sink);

  bool has_proved_freshness(const std::string& peer) const {
    return freshness_proved_.contains(peer);
  }
  bool is_encryption_capable(const std::string& peer) const {
    return encryption_capable_.contains(peer);
  }
  // Records the peer; false (nothing recorded) when the set is full.
  bool mark_encryption_capable(const std::string& peer);
  // Whether a plaintext warning is to be raised for `sender`: once per
  // sender, the set emptied when it reaches its capacity.
  bool first_plaintext_warning(const std::string& sender);

 private:
  std::unordered_set<std::string> freshness_proved_;
  std::unordered_set<std::string> encryption_capable_;
  std::unordered_set<std::string> plaintext_warned_;
  SecurityWarningThrottle throttle_;
};

}  // namespace brenvik
