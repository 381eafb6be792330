#include "protocol/common/log_names.h"

namespace brenvik {

namespace {
template <typename T>
void append_optional(std::string& out, const std::optional<T>& v) {
  if (v) {
    out += "Some(" + std::to_string(*v) + ")";
  } else {
    out += "None";
  }
}
}  // namespace

std::string_view log_name(CommitType v) {
  switch (v) {
    case CommitType::Add:
      return "Add";
    case CommitType::Remove:
      return "Remove";
    case CommitType::KeyUpdate:
      return "KeyUpdate";
  }
  return "?";
}

std::string_view log_name(LeafRefusalKind v) {
  switch (v) {
    case LeafRefusalKind::WelcomeDeclined:
      return "WelcomeDeclined";
    case LeafRefusalKind::CommitRefused:
      return "CommitRefused";
    case LeafRefusalKind::RosterEntry:
      return "RosterEntry";
  }
  return "?";
}

std::string_view log_name(OverflowPolicy v) {
  switch (v) {
    case OverflowPolicy::DropOldest:
      return "DropOldest";
    case OverflowPolicy::DropNewest:
      return "DropNewest";
  }
  return "?";
}

std::string_view log_name(DecryptFailureKind v) {
  switch (v) {
    case DecryptFailureKind::SessionNotFound:
      return "SessionNotFound";
    case DecryptFailureKind::NotInitialized:
      return "NotInitialized";
    case DecryptFailureKind::InvalidCiphertext:
      return "InvalidCiphertext";
    case DecryptFailureKind::IdentityMismatch:
      return "IdentityMismatch";
    case DecryptFailureKind::CryptoFailure:
      return "CryptoFailure";
    case DecryptFailureKind::Unknown:
      return "Unknown";
  }
  return "?";
}

std::string_view log_name(RelayRefusal v) {
  switch (v) {
    case RelayRefusal::AlreadySeen:
      return "AlreadySeen";
    case RelayRefusal::NarrowedByDuplicate:
      return "NarrowedByDuplicate";
    case RelayRefusal::HopLimitReached:
      return "HopLimitReached";
    case RelayRefusal::PeerRateLimited:
      return "PeerRateLimited";
    case RelayRefusal::QueueFull:
      return "QueueFull";
  }
  return "?";
}

std::string_view log_name(DataRecordOutcome v) {
  switch (v) {
    case DataRecordOutcome::Deleted:
      return "Deleted";
    case DataRecordOutcome::Kept:
      return "Kept";
    case DataRecordOutcome::Recorded:
      return "Recorded";
    case DataRecordOutcome::Unchanged:
      return "Unchanged";
  }
  return "?";
}

std::string_view log_name(CustodyReceiptFailure v) {
  switch (v) {
    case CustodyReceiptFailure::Malformed:
      return "Malformed";
    case CustodyReceiptFailure::UnknownVersion:
      return "UnknownVersion";
    case CustodyReceiptFailure::EmptyId:
      return "EmptyId";
  }
  return "?";
}

std::string log_text(const UploadOutcome& v) {
  struct Visitor {
    std::string operator()(const UploadOutcome::Ok& o) const {
      std::string out = "Ok { accepted: ";
      append_optional(out, o.accepted);
      return out + " }";
    }
    std::string operator()(const UploadOutcome::Retry& r) const {
      std::string out = "Retry { after_ms: ";
      append_optional(out, r.after_ms);
      return out + " }";
    }
    std::string operator()(const UploadOutcome::Drop&) const { return "Drop"; }
    std::string operator()(const UploadOutcome::AuthHalt&) const { return "AuthHalt"; }
    std::string operator()(const UploadOutcome::Disabled&) const { return "Disabled"; }
  };
  return std::visit(Visitor{}, v.v);
}

}  // namespace brenvik
