// The gate every inbound control message passes before its handler runs:
// the claimed sender is bound to the link the frame came over, the frame
// must carry an Ed25519 signature by the key the sender's address derives
// from, a peer that has proved it signs the timestamp-binding payload may
// not fall back to the older one, and a signed timestamp must lie within
// the freshness window.
#pragma once

#include <cstdint>
#include <optional>

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

}  // namespace brenvik
