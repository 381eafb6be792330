// Small enumerations shared by several subsystems, with the text forms under
// which log lines record them (variant names; their JSON forms, where they
// have one, are other texts).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/config/protocol_config.h"  // OverflowPolicy

namespace brenvik {

// Kind of a group commit.
enum class CommitType : uint8_t { Add, Remove, KeyUpdate };
// Why a group leaf was refused.
enum class LeafRefusalKind : uint8_t { WelcomeDeclined, CommitRefused, RosterEntry };
enum class DecryptFailureKind : uint8_t {
  SessionNotFound,
  NotInitialized,
  InvalidCiphertext,
  IdentityMismatch,
  CryptoFailure,
  Unknown,
};
// Why a relay declined to forward a frame.
enum class RelayRefusal : uint8_t {
  AlreadySeen,
  NarrowedByDuplicate,
  HopLimitReached,
  PeerRateLimited,
  QueueFull,
};
// What applying a replicated data record did to the local copy.
enum class DataRecordOutcome : uint8_t { Deleted, Kept, Recorded, Unchanged };
// Why a custody receipt could not be read.
enum class CustodyReceiptFailure : uint8_t { Malformed, UnknownVersion, EmptyId };

// Result of one telemetry upload attempt.
struct UploadOutcome {
  struct Ok {
    std::optional<uint64_t> accepted;
    bool operator==(const Ok&) const = default;
  };
  struct Retry {
    std::optional<int64_t> after_ms;
    bool operator==(const Retry&) const = default;
  };
  struct Drop {
    bool operator==(const Drop&) const = default;
  };
  struct AuthHalt {
    bool operator==(const AuthHalt&) const = default;
  };
  struct Disabled {
    bool operator==(const Disabled&) const = default;
  };
  std::variant<Ok, Retry, Drop, AuthHalt, Disabled> v;
  bool operator==(const UploadOutcome&) const = default;
};

std::string_view log_name(CommitType v);
std::string_view log_name(LeafRefusalKind v);
std::string_view log_name(OverflowPolicy v);
std::string_view log_name(DecryptFailureKind v);
std::string_view log_name(RelayRefusal v);
std::string_view log_name(DataRecordOutcome v);
std::string_view log_name(CustodyReceiptFailure v);
// "Ok { accepted: Some(3) }", "Retry { after_ms: None }", "Drop", ...
std::string log_text(const UploadOutcome& v);

}  // namespace brenvik
