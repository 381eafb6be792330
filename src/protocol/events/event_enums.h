// Enumerations carried by protocol events, with their two text forms: the
// variant name used by log lines and the diagnostic form, and the text the
// host event JSON writes (upper-case codes or lower-case spellings).
#pragma once

#include <cstdint>
#include <string_view>

namespace brenvik {

enum class DecryptionFailureCode : uint8_t {
  InvalidPayload,
  NotInitialized,
  InvalidCiphertext,
  IdentityMismatch,
  CryptoFailure,
  PendingQueueDropped,
  Unknown,
};

enum class PresenceStatus : uint8_t { Online, Away, Offline };

enum class PresenceSource : uint8_t { Internet, Reticulum, Peer };

enum class TransportSelectionReason : uint8_t {
  InitialSelection,
  PrimarySelected,
  PrimarySuccess,
  FallbackSuccess,
  EscalationApplied,
  CurrentUnavailable,
};

enum class EscalationPhase : uint8_t { Triggered, Applied };

enum class EscalationReason : uint8_t {
  FallbackSuccess,
  RetryThreshold,
  PoorSignal,
  Congestion,
  LowTtl,
  LowSuccessRate,
};

enum class SecurityWarningReason : uint8_t {
  SenderAddressMismatch,
  TransportIdentityMismatch,
  ControlSignatureInvalid,
  UnsignedControlRejected,
  MediaSenderGroupMismatch,
  PlaintextSend,
  PlaintextReceiveRejected,
  SessionSenderGroupMismatch,
  SessionRekeyTriggered,
  NostrKeyPackageSlotExhausted,
  PushKeyPackagePoolExhausted,
  RelayAddressBindingMismatch,
  RelayAddressDeclarationRefused,
  GroupLeafIdentityUnproven,
  StaleControlFrame,
  GatewayAddressBindingMismatch,
  GatewayAddressDeclarationRefused,
  KeyPackageOutsideValidityWindow,
};

enum class WelcomeFailureReason : uint8_t {
  TransportUnavailable,
  PeerUnreachable,
  PeerDisconnected,
  Timeout,
  InternalError,
  RetryExhausted,
};

enum class DocRemovalOrigin : uint8_t { Local, Peer };

// Variant names ("InvalidPayload", "Away", ...).
std::string_view enum_name(DecryptionFailureCode v);
std::string_view enum_name(PresenceStatus v);
std::string_view enum_name(PresenceSource v);
std::string_view enum_name(TransportSelectionReason v);
std::string_view enum_name(EscalationPhase v);
std::string_view enum_name(EscalationReason v);
std::string_view enum_name(SecurityWarningReason v);
std::string_view enum_name(WelcomeFailureReason v);
std::string_view enum_name(DocRemovalOrigin v);

// Host event JSON texts ("INVALID_PAYLOAD", "away", "peer", ...).
std::string_view enum_json_text(DecryptionFailureCode v);
std::string_view enum_json_text(PresenceStatus v);
std::string_view enum_json_text(PresenceSource v);
std::string_view enum_json_text(TransportSelectionReason v);
std::string_view enum_json_text(EscalationPhase v);
std::string_view enum_json_text(EscalationReason v);
std::string_view enum_json_text(SecurityWarningReason v);
std::string_view enum_json_text(WelcomeFailureReason v);
std::string_view enum_json_text(DocRemovalOrigin v);

}  // namespace brenvik
