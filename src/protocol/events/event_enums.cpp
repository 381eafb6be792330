#include "protocol/events/event_enums.h"

#include <array>

namespace brenvik {
namespace {

template <size_t N, typename E>
std::string_view pick(const std::array<std::string_view, N>& table, E v) {
  auto i = static_cast<size_t>(v);
  return i < N ? table[i] : std::string_view("?");
}

constexpr std::array<std::string_view, 7> kDecryptNames = {
    "InvalidPayload",   "NotInitialized", "InvalidCiphertext",
    "IdentityMismatch", "CryptoFailure",  "PendingQueueDropped",
    "Unknown"};
constexpr std::array<std::string_view, 7> kDecryptJson = {"INVALID_PAYLOAD",
                                                          "NOT_INITIALIZED",
                                                          "INVALID_CIPHERTEXT",
                                                          "IDENTITY_MISMATCH",
                                                          "CRYPTO_FAILURE",
                                                          "PENDING_QUEUE_DROPPED",
                                                          "UNKNOWN"};
constexpr std::array<std::string_view, 3> kPresenceNames = {"Online", "Away", "Offline"};
constexpr std::array<std::string_view, 3> kPresenceJson = {"online", "away", "offline"};
constexpr std::array<std::string_view, 3> kSourceNames = {"Internet", "Reticulum", "Peer"};
constexpr std::array<std::string_view, 3> kSourceJson = {"internet", "reticulum", "peer"};
constexpr std::array<std::string_view, 6> kSelectionNames = {
    "InitialSelection", "PrimarySelected",   "PrimarySuccess",
    "FallbackSuccess",  "EscalationApplied", "CurrentUnavailable"};
constexpr std::array<std::string_view, 6> kSelectionJson = {
    "INITIAL_SELECTION", "PRIMARY_SELECTED",   "PRIMARY_SUCCESS",
    "FALLBACK_SUCCESS",  "ESCALATION_APPLIED", "CURRENT_UNAVAILABLE"};
constexpr std::array<std::string_view, 2> kPhaseNames = {"Triggered", "Applied"};
constexpr std::array<std::string_view, 2> kPhaseJson = {"TRIGGERED", "APPLIED"};
constexpr std::array<std::string_view, 6> kEscalationNames = {
    "FallbackSuccess", "RetryThreshold", "PoorSignal", "Congestion", "LowTtl", "LowSuccessRate"};
constexpr std::array<std::string_view, 6> kEscalationJson = {
    "FALLBACK_SUCCESS", "RETRY_THRESHOLD", "POOR_SIGNAL",
    "CONGESTION",       "LOW_TTL",         "LOW_SUCCESS_RATE"};
constexpr std::array<std::string_view, 18> kSecurityNames = {"SenderAddressMismatch",
                                                             "TransportIdentityMismatch",
                                                             "ControlSignatureInvalid",
                                                             "UnsignedControlRejected",
                                                             "MediaSenderGroupMismatch",
                                                             "PlaintextSend",
                                                             "PlaintextReceiveRejected",
                                                             "SessionSenderGroupMismatch",
                                                             "SessionRekeyTriggered",
                                                             "NostrKeyPackageSlotExhausted",
                                                             "PushKeyPackagePoolExhausted",
                                                             "RelayAddressBindingMismatch",
                                                             "RelayAddressDeclarationRefused",
                                                             "GroupLeafIdentityUnproven",
                                                             "StaleControlFrame",
                                                             "GatewayAddressBindingMismatch",
                                                             "GatewayAddressDeclarationRefused",
                                                             "KeyPackageOutsideValidityWindow"};
constexpr std::array<std::string_view, 18> kSecurityJson = {"SENDER_ADDRESS_MISMATCH",
                                                            "TRANSPORT_IDENTITY_MISMATCH",
                                                            "CONTROL_SIGNATURE_INVALID",
                                                            "UNSIGNED_CONTROL_REJECTED",
                                                            "MEDIA_SENDER_GROUP_MISMATCH",
                                                            "PLAINTEXT_SEND",
                                                            "PLAINTEXT_RECEIVE_REJECTED",
                                                            "SESSION_SENDER_GROUP_MISMATCH",
                                                            "SESSION_REKEY_TRIGGERED",
                                                            "NOSTR_KEY_PACKAGE_SLOT_EXHAUSTED",
                                                            "PUSH_KEY_PACKAGE_POOL_EXHAUSTED",
                                                            "RELAY_ADDRESS_BINDING_MISMATCH",
                                                            "RELAY_ADDRESS_DECLARATION_REFUSED",
                                                            "GROUP_LEAF_IDENTITY_UNPROVEN",
                                                            "STALE_CONTROL_FRAME",
                                                            "GATEWAY_ADDRESS_BINDING_MISMATCH",
                                                            "GATEWAY_ADDRESS_DECLARATION_REFUSED",
                                                            "KEY_PACKAGE_OUTSIDE_VALIDITY_WINDOW"};
constexpr std::array<std::string_view, 6> kWelcomeNames = {
    "TransportUnavailable", "PeerUnreachable", "PeerDisconnected", "Timeout",
    "InternalError",        "RetryExhausted"};
constexpr std::array<std::string_view, 6> kWelcomeJson = {
    "TRANSPORT_UNAVAILABLE", "PEER_UNREACHABLE", "PEER_DISCONNECTED", "TIMEOUT",
    "INTERNAL_ERROR",        "RETRY_EXHAUSTED"};
constexpr std::array<std::string_view, 2> kOriginNames = {"Local", "Peer"};
constexpr std::array<std::string_view, 2> kOriginJson = {"local", "peer"};

}  // namespace

std::string_view enum_name(DecryptionFailureCode v) {
  return pick(kDecryptNames, v);
}
std::string_view enum_name(PresenceStatus v) {
  return pick(kPresenceNames, v);
}
std::string_view enum_name(PresenceSource v) {
  return pick(kSourceNames, v);
}
std::string_view enum_name(TransportSelectionReason v) {
  return pick(kSelectionNames, v);
}
std::string_view enum_name(EscalationPhase v) {
  return pick(kPhaseNames, v);
}
std::string_view enum_name(EscalationReason v) {
  return pick(kEscalationNames, v);
}
std::string_view enum_name(SecurityWarningReason v) {
  return pick(kSecurityNames, v);
}
std::string_view enum_name(WelcomeFailureReason v) {
  return pick(kWelcomeNames, v);
}
std::string_view enum_name(DocRemovalOrigin v) {
  return pick(kOriginNames, v);
}

std::string_view enum_json_text(DecryptionFailureCode v) {
  return pick(kDecryptJson, v);
}
std::string_view enum_json_text(PresenceStatus v) {
  return pick(kPresenceJson, v);
}
std::string_view enum_json_text(PresenceSource v) {
  return pick(kSourceJson, v);
}
std::string_view enum_json_text(TransportSelectionReason v) {
  return pick(kSelectionJson, v);
}
std::string_view enum_json_text(EscalationPhase v) {
  return pick(kPhaseJson, v);
}
std::string_view enum_json_text(EscalationReason v) {
  return pick(kEscalationJson, v);
}
std::string_view enum_json_text(SecurityWarningReason v) {
  return pick(kSecurityJson, v);
}
std::string_view enum_json_text(WelcomeFailureReason v) {
  return pick(kWelcomeJson, v);
}
std::string_view enum_json_text(DocRemovalOrigin v) {
  return pick(kOriginJson, v);
}

}  // namespace brenvik
