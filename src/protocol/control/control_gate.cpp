#include "protocol/control/control_gate.h"

#include <array>

#include "core/address.h"
#include "crypto/ed25519.h"
#include "protocol/helpers/core_helpers.h"
#include "protocol/receive/internal_kinds.h"
#include "sealed/canonical_payload.h"
#include "util/log.h"

namespace brenvik {

namespace {

// The relay server's own notices (marked in the marker table): no peer
// signs these, so they are the only control kinds accepted unsigned, and
// only straight from the relay.
bool is_relay_server_kind(std::string_view content) {
  const InternalKindRow* row = find_internal_kind(content);
  return row != nullptr && row->relay_notice;
}

const std::string* metadata_entry(const Message& m, const char* key) {
  auto it = m.metadata.find(key);
  return it == m.metadata.end() ? nullptr : &it->second;
}

constexpr std::string_view kMismatchDetail =
    "Control message sender does not match transport peer identity";
constexpr std::string_view kUnsignedDetail =
    "Unsigned control message rejected: control traffic must carry a signature from the key its "
    "sender address derives from";
constexpr std::string_view kSignatureDetail =
    "Control message rejected: its signature, signing metadata, or sender/key derivation failed "
    "verification";
constexpr std::string_view kDowngradeDetail =
    "Control message refused as a downgrade: this peer has proved it signs the payload that "
    "states freshness, so one that does not is either a recording or a stripped signature";
constexpr std::string_view kSkewDetail =
    "Control message refused for clock skew: its signed timestamp is further ahead of this "
    "device's clock than is allowed. If this device's own clock is wrong, every peer looks like "
    "this";
constexpr std::string_view kStaleDetail =
    "Control message refused as stale: its signed timestamp is older than this node accepts, "
    "which is what a replayed capture looks like";

}  // namespace

void ControlGate::warn_throttled(const std::string& peer, SecurityWarningReason reason,
                                 std::string_view detail, const WarningSink& sink) {
  if (!throttle_.admit(peer, reason)) return;
  sink(event::SecurityWarning{peer, reason, std::string(detail)});
}

bool ControlGate::mark_encryption_capable(const std::string& peer) {
  if (encryption_capable_.contains(peer)) return true;
  if (encryption_capable_.size() >= kEncryptionCapableCapacity) return false;
  encryption_capable_.insert(peer);
  return true;
}

bool ControlGate::first_plaintext_warning(const std::string& sender) {
  if (plaintext_warned_.contains(sender)) return false;
  if (plaintext_warned_.size() >= kPlaintextWarnedCapacity) plaintext_warned_.clear();
  plaintext_warned_.insert(sender);
  return true;
}

Result<void, std::string> ControlGate::verify_sender(const std::string& sender, ByteView public_key,
                                                     const WarningSink& sink) {
  auto derived = derive_address(public_key);
  if (!derived.ok()) {
    warn_throttled(sender, SecurityWarningReason::SenderAddressMismatch,
                   "Control signing key is not a valid identity key", sink);
    return Err("Control signing key is not a valid identity key: " + derived.error().message());
  }
  if (!parse_address(sender).ok() || *derived != sender) {
    warn_throttled(sender, SecurityWarningReason::SenderAddressMismatch,
                   "Control message signing key derives to a different address than its sender",
                   sink);
    return Err("Control signing key derives to '" + *derived + "', not the sender '" + sender +
               "'");
  }
  return {};
}

ControlAdmission ControlGate::authenticate(const Message& m, std::optional<TransportType> arrival,
                                           const Policy& policy, int64_t now_ms,
                                           const WarningSink& sink) {
  if (!is_control_content(m.content)) return ControlAdmission::admit(false);
  const std::string id_text = display_message_id(m.id);
  const std::string& sender = m.sender;

  auto reject_identity = [&] {
    BRENVIK_LOG(
        LogLevel::Warn, kLogTarget,
        {"message", "Dropping control message: sender/transport identity mismatch or missing"},
        {"sender", sender}, {"message_id", id_text});
    warn_throttled(sender, SecurityWarningReason::TransportIdentityMismatch, kMismatchDetail, sink);
    return ControlAdmission::rejected();
  };
  auto reject_signature = [&](std::string_view error) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Dropping control message: signature verification failed"},
                {"sender", sender}, {"message_id", id_text}, {"error", error});
    warn_throttled(sender, SecurityWarningReason::ControlSignatureInvalid, kSignatureDetail, sink);
    return ControlAdmission::rejected();
  };
  auto reject_stale = [&](std::string_view detail) {
    warn_throttled(sender, SecurityWarningReason::StaleControlFrame, detail, sink);
    return ControlAdmission::rejected();
  };

  // 1. Transport binding.
  const std::optional<std::string>& peer = m.transport_peer_id;
  if (!peer) {
    if (policy.require_transport_identity) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message",
                   "Rejecting control message without transport peer identity "
                   "(require_transport_identity=true)"},
                  {"claimed_sender", sender}, {"message_id", id_text});
      return reject_identity();
    }
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Control message passed without transport peer identity (best-effort)"},
                {"sender", sender}, {"message_id", id_text}, {"require_identity", false});
  } else if (m.hop_count == 0) {
    if (*peer != sender) {
      BRENVIK_LOG(
          LogLevel::Warn, kLogTarget,
          {"message", "Sender identity mismatch: claimed sender does not match transport peer"},
          {"claimed_sender", sender}, {"transport_peer", *peer}, {"message_id", id_text});
      return reject_identity();
    }
  } else {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message",
                 "Relayed control message: transport peer is the carrier, not the origin; skipping "
                 "strict match"},
                {"claimed_sender", sender}, {"transport_peer", *peer}, {"hop_count", m.hop_count},
                {"message_id", id_text});
  }

  // 2. Signature presence.
  const std::string* sig_text = metadata_entry(m, "__ctrl_sig");
  const std::string* pk_text = metadata_entry(m, "__ctrl_pk");
  if (sig_text && !pk_text)
    return reject_signature("Control message has signature but missing public key");
  if (pk_text && !sig_text)
    return reject_signature("Control message has public key but missing signature (malformed)");
  if (!sig_text) {
    if (!peer && arrival == TransportType::Internet && is_relay_server_kind(m.content)) {
      BRENVIK_LOG(
          LogLevel::Debug, kLogTarget,
          {"message", "Accepting unsigned relay-originated control frame (no peer signs these)"},
          {"sender", sender}, {"message_id", id_text});
      return ControlAdmission::admit(false);
    }
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Dropping unsigned control message: control traffic must be signed"},
                {"sender", sender}, {"message_id", id_text});
    warn_throttled(sender, SecurityWarningReason::UnsignedControlRejected, kUnsignedDetail, sink);
    return ControlAdmission::rejected();
  }

  // 3. Decode, signature first.
  auto sig = decode_base64_payload(*sig_text);
  if (!sig.ok()) return reject_signature("Invalid control signature encoding: " + sig.error());
  auto pk = decode_base64_payload(*pk_text);
  if (!pk.ok()) return reject_signature("Invalid control public key encoding: " + pk.error());

  // 4. Verify under the timestamp-binding payload, then the older one.
  bool v2 = false;
  {
    auto payload = control_payload_v2(m);
    if (!payload.ok()) return reject_signature(payload.error().message());
    auto ok = crypto::ed25519_verify(*pk, *payload, *sig, crypto::Ed25519Verification::Strict);
    if (!ok.ok())
      return reject_signature("Signature verification error: " +
                              std::string(crypto::crypto_error_message(ok.error())));
    v2 = *ok;
  }
  if (!v2) {
    auto payload = control_payload_v1(m);
    if (!payload.ok()) return reject_signature(payload.error().message());
    auto ok = crypto::ed25519_verify(*pk, *payload, *sig, crypto::Ed25519Verification::Strict);
    if (!ok.ok())
      return reject_signature("Signature verification error: " +
                              std::string(crypto::crypto_error_message(ok.error())));
    if (!*ok) return reject_signature("Control message signature verification failed");
  }

  // 5. The key must be the sender's own.
  if (auto bound = verify_sender(sender, *pk, sink); !bound.ok())
    return reject_signature(bound.error());

  // 6. Record what the frame proved. Persisting the capability record needs
  //    the MLS storage; the freshness ratchet is kept in memory.
  if (v2) freshness_proved_.insert(sender);

  // 7. Downgrade and freshness.
  if (!policy.enforce_control_freshness) return ControlAdmission::admit(true);
  if (!v2) {
    if (!freshness_proved_.contains(sender)) return ControlAdmission::admit(true);
    if (const InternalKindRow* row = find_internal_kind(m.content);
        row != nullptr && row->kind == InternalKind::KeyPackage) {
      BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                  {"message",
                   "Admitting a key package under the older payload from a peer held to the newer "
                   "one; its session reset will be ignored"},
                  {"sender", sender}, {"message_id", id_text});
      // The record of peers already sent this node's key package belongs to
      // the key-package sender; it forgets the peer there once it exists.
      return ControlAdmission::admit(true);
    }
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message",
                 "Dropping control message: peer has proved it signs the freshness-bound payload "
                 "and this frame does not carry one"},
                {"sender", sender}, {"message_id", id_text});
    return reject_stale(kDowngradeDetail);
  }
  const int64_t t = m.timestamp;
  const int64_t n = now_ms;
  if (t > n) {
    uint64_t skew = uint64_t(t) - uint64_t(n);  // exact in unsigned arithmetic
    if (skew > kControlMaxFutureSkewMs) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message",
                   "Dropping control message: stamped ahead of this device's clock by more than "
                   "the freshness window allows"},
                  {"sender", sender}, {"message_id", id_text}, {"skew_ms", skew});
      return reject_stale(kSkewDetail);
    }
  } else {
    uint64_t age = uint64_t(n) - uint64_t(t);
    if (age > kControlMaxAgeMs) {
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message",
                   "Dropping control message: stamped further in the past than the freshness "
                   "window allows"},
                  {"sender", sender}, {"message_id", id_text}, {"age_ms", age});
      return reject_stale(kStaleDetail);
    }
  }
  return ControlAdmission::admit(true, uint64_t(t));
}

}  // namespace brenvik
