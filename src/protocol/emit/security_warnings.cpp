#include "protocol/emit/security_warnings.h"

#include "protocol/emit/event_delivery.h"

namespace brenvik {
namespace {

// Bit of a throttled reason in a peer's set; -1 for the others.
int throttle_bit(SecurityWarningReason reason) {
  using R = SecurityWarningReason;
  switch (reason) {
    case R::SenderAddressMismatch:
      return 0;
    case R::TransportIdentityMismatch:
      return 1;
    case R::ControlSignatureInvalid:
      return 2;
    case R::UnsignedControlRejected:
      return 3;
    case R::StaleControlFrame:
      return 4;
    case R::KeyPackageOutsideValidityWindow:
      return 5;
    case R::MediaSenderGroupMismatch:
    case R::PlaintextSend:
    case R::PlaintextReceiveRejected:
    case R::SessionSenderGroupMismatch:
    case R::SessionRekeyTriggered:
    case R::NostrKeyPackageSlotExhausted:
    case R::PushKeyPackagePoolExhausted:
    case R::RelayAddressBindingMismatch:
    case R::RelayAddressDeclarationRefused:
    case R::GroupLeafIdentityUnproven:
    case R::GatewayAddressBindingMismatch:
    case R::GatewayAddressDeclarationRefused:
      return -1;
  }
  return -1;
}

}  // namespace

void emit_security_warning(SharedStateMutex& shared, std::string_view peer_id,
                           SecurityWarningReason reason, std::string_view detail) {
  emit_event(shared, ProtocolEvent(event::SecurityWarning{std::string(peer_id), reason,
                                                          std::string(detail)}));
}

bool SecurityWarningThrottle::is_throttled(SecurityWarningReason reason) {
  return throttle_bit(reason) >= 0;
}

bool SecurityWarningThrottle::admit(std::string_view peer_id, SecurityWarningReason reason) {
  const int bit = throttle_bit(reason);
  if (bit < 0) return true;
  const uint8_t mask = uint8_t(1u << bit);
  auto it = reported_.find(std::string(peer_id));
  if (it != reported_.end() && (it->second & mask) != 0) return false;
  if (it == reported_.end()) {
    if (reported_.size() >= kMaxPeers) reported_.clear();
    it = reported_.emplace(std::string(peer_id), uint8_t{0}).first;
  }
  it->second |= mask;
  return true;
}

void emit_security_warning_throttled(SharedStateMutex& shared, SecurityWarningThrottle& throttle,
                                     std::string_view peer_id, SecurityWarningReason reason,
                                     std::string_view detail) {
  if (throttle.admit(peer_id, reason)) emit_security_warning(shared, peer_id, reason, detail);
}

}  // namespace brenvik
