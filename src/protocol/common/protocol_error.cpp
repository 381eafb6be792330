#include "protocol/common/protocol_error.h"

#include <array>

#include "util/error.h"

namespace brenvik {

namespace {
constexpr std::array<std::string_view, 4> kReadinessNames = {"NoKeyPackage", "HaveKeyPackage",
                                                             "SessionPending", "SessionConfirmed"};
constexpr std::array<std::string_view, ProtocolError::kKindCount> kKindNames = {
    "NotStarted",
    "AlreadyStarted",
    "InvalidConfig",
    "Core",
    "Transport",
    "Router",
    "Reliability",
    "Mls",
    "MlsNotInitialized",
    "KeyPackageUnavailable",
    "SessionNotReady",
    "EncryptionFailed",
    "Service",
    "Serialization",
    "RecipientBlocked",
    "MediaTransferLimit",
    "GroupNotFound",
    "PermissionDenied",
    "InvalidState",
    "InvalidInput",
    "DataLayerDisabled",
    "DataLayerNoStorage",
    "DataDocTooLarge",
    "DataCorrupt",
    "TelemetryConfigInvalid",
    "Internal"};

std::string_view transport_code(const TransportError& e) {
  switch (e.kind) {
    case TransportError::Kind::NotAvailable:
      return "transport_not_connected";
    case TransportError::Kind::PeerNotReachable:
      return "peer_not_reachable";
    case TransportError::Kind::Serialization:
      return "serialization_failed";
    case TransportError::Kind::MessageTooLarge:
      return "message_too_large";
    case TransportError::Kind::Crypto:
      return "crypto_failed";
    case TransportError::Kind::SendFailed:
    case TransportError::Kind::ReceiveFailed:
    case TransportError::Kind::Configuration:
    case TransportError::Kind::Core:
    case TransportError::Kind::Other:
      return "transport_send_failed";
  }
  return "transport_send_failed";
}
}  // namespace

std::string_view session_readiness_name(SessionReadiness r) {
  auto i = static_cast<size_t>(r);
  return i < kReadinessNames.size() ? kReadinessNames[i] : std::string_view("?");
}

ProtocolError ProtocolError::core(CoreError e) {
  ProtocolError p(Kind::Core);
  p.wrapped_ = std::move(e);
  return p;
}

ProtocolError ProtocolError::transport(TransportError e) {
  ProtocolError p(Kind::Transport);
  p.wrapped_ = std::move(e);
  return p;
}

ProtocolError ProtocolError::session_not_ready(SessionReadiness r) {
  ProtocolError p(Kind::SessionNotReady);
  p.readiness_ = r;
  return p;
}

ProtocolError ProtocolError::data_doc_too_large(uint64_t compacted_bytes, uint64_t cap_bytes) {
  ProtocolError p(Kind::DataDocTooLarge);
  p.compacted_bytes_ = compacted_bytes;
  p.cap_bytes_ = cap_bytes;
  return p;
}

std::string_view ProtocolError::kind_name() const {
  return kKindNames[static_cast<size_t>(kind_)];
}

std::string ProtocolError::message() const {
  switch (kind_) {
    case Kind::NotStarted:
      return std::string(kNotStartedText);
    case Kind::AlreadyStarted:
      return std::string(kAlreadyStartedText);
    case Kind::InvalidConfig:
      return kInvalidConfigPrefix(text_);
    case Kind::Core:
      return kCoreErrorPrefix(core_error() ? core_error()->message() : std::string());
    case Kind::Transport:
      return kTransportErrorPrefix(transport_error() ? transport_error()->message()
                                                     : std::string());
    case Kind::Router:
      return kRouterErrorPrefix(text_);
    case Kind::Reliability:
      return kReliabilityErrorPrefix(text_);
    case Kind::Mls:
      return kMlsErrorPrefix(text_);
    case Kind::MlsNotInitialized:
      return "MLS encryption not initialized";
    case Kind::KeyPackageUnavailable:
      return kNoKeyPackagePrefix(text_);
    case Kind::SessionNotReady:
      return kSessionNotReadyPrefix(session_readiness_name(readiness_));
    case Kind::EncryptionFailed:
      return kEncryptionFailedPrefix(text_);
    case Kind::Service:
      return kServiceErrorPrefix(text_);
    case Kind::Serialization:
      return kSerializationErrorPrefix(text_);
    case Kind::RecipientBlocked:
      return kUserBlockedPrefix(text_);
    case Kind::MediaTransferLimit:
      return media_transfer_limit_text(text_);
    case Kind::GroupNotFound:
      return kGroupNotFoundPrefix(text_);
    case Kind::PermissionDenied:
    case Kind::InvalidState:
    case Kind::InvalidInput:
    case Kind::Internal:
      return text_;
    case Kind::DataLayerDisabled:
      return std::string(kDataLayerDisabledText);
    case Kind::DataLayerNoStorage:
      return "Data layer has no storage; initialize_mls must run first";
    case Kind::DataDocTooLarge:
      return "Document is " + std::to_string(compacted_bytes_) + " bytes compacted, over the " +
             std::to_string(cap_bytes_) + " byte cap";
    case Kind::DataCorrupt:
      return kDataCorruptPrefix(text_);
    case Kind::TelemetryConfigInvalid:
      return kTelemetryConfigInvalidPrefix(text_);
  }
  return text_;
}

std::string_view ProtocolError::code() const {
  switch (kind_) {
    case Kind::NotStarted:
    case Kind::AlreadyStarted:
    case Kind::InvalidState:
      return "protocol_state_invalid";
    case Kind::InvalidConfig:
    case Kind::PermissionDenied:
    case Kind::InvalidInput:
    case Kind::TelemetryConfigInvalid:
      return "invalid_request";
    case Kind::Core:
    case Kind::Serialization:
      return "serialization_failed";
    case Kind::Transport:
      return transport_error() ? transport_code(*transport_error()) : "transport_send_failed";
    case Kind::Router:
    case Kind::Reliability:
    case Kind::Service:
    case Kind::Internal:
      return "transport_send_failed";
    case Kind::Mls:
    case Kind::EncryptionFailed:
      return "crypto_failed";
    case Kind::MlsNotInitialized:
    case Kind::KeyPackageUnavailable:
    case Kind::SessionNotReady:
      return "session_not_ready";
    case Kind::RecipientBlocked:
      return "recipient_blocked";
    case Kind::MediaTransferLimit:
      return "media_transfer_limit";
    case Kind::GroupNotFound:
      return "group_not_found";
    case Kind::DataLayerDisabled:
    case Kind::DataLayerNoStorage:
      return "data_unavailable";
    case Kind::DataDocTooLarge:
      return "data_doc_too_large";
    case Kind::DataCorrupt:
      return "data_corrupt";
  }
  return "transport_send_failed";
}

std::string media_transfer_limit_text(std::string_view peer) {
  std::string out = "Too many concurrent media transfers to ";
  out.append(peer).append("; retry after an active transfer completes");
  return out;
}

}  // namespace brenvik
