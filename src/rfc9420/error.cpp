#include "rfc9420/error.h"

namespace brenvik::rfc9420 {

std::string_view error_text(ErrorCode c) {
  switch (c) {
    case ErrorCode::Codec:
      return "Malformed message";
    case ErrorCode::Crypto:
      return "Cryptographic operation failed";
    case ErrorCode::WrongEpoch:
      return "Message epoch differs from the group's epoch.";
    case ErrorCode::EpochTooOld:
      return "The message is from an epoch too far in the past.";
    case ErrorCode::WrongGroup:
      return "Message group id differs from the group's id.";
    case ErrorCode::InvalidSender:
      return "Invalid sender";
    case ErrorCode::GenerationTooOld:
      return "Generation is too old to be processed.";
    case ErrorCode::GenerationTooFar:
      return "Generation is too far in the future to be processed.";
    case ErrorCode::SecretReused:
      return "The key of this generation was already used.";
    case ErrorCode::InvalidSignature:
      return "Invalid signature";
    case ErrorCode::InvalidMembershipTag:
      return "Invalid membership tag";
    case ErrorCode::InvalidConfirmationTag:
      return "Invalid confirmation tag";
    case ErrorCode::InvalidPadding:
      return "Padding is not all zero";
    case ErrorCode::InvalidContent:
      return "Invalid content for this message";
    case ErrorCode::DecryptionFailed:
      return "Decryption failed";
    case ErrorCode::KeyPackageLifetime:
      return "Key package lifetime does not cover the current time";
    case ErrorCode::InvalidKeyPackage:
      return "Invalid key package";
    case ErrorCode::InvalidWelcome:
      return "Invalid Welcome";
    case ErrorCode::InvalidCommit:
      return "Invalid commit";
    case ErrorCode::UnsupportedProposal:
      return "Unsupported proposal";
    case ErrorCode::GroupInactive:
      return "This member is no longer in the group";
    case ErrorCode::InvalidArgument:
      return "Invalid argument";
    case ErrorCode::InvalidState:
      return "Invalid stored group state";
    case ErrorCode::Storage:
      return "Storage error";
  }
  return "Unknown error";
}

std::string Error::message() const {
  std::string m(error_text(code_));
  // The epoch texts are complete sentences that callers match exactly.
  if (!detail_.empty() && code_ != ErrorCode::WrongEpoch && code_ != ErrorCode::EpochTooOld)
    m.append(": ").append(detail_);
  return m;
}

}  // namespace brenvik::rfc9420
