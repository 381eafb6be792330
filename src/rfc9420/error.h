// Errors of the MLS protocol engine. Each code has a fixed text; a detail
// (the codec's or crypto layer's reason, a field name) may follow it.
#pragma once

#include <string>
#include <string_view>

#include "crypto/crypto_error.h"
#include "rfc9420/tls_codec.h"

namespace brenvik::rfc9420 {

enum class ErrorCode {
  Codec,                   // malformed bytes
  Crypto,                  // a primitive failed (see detail)
  WrongEpoch,              // the message names another epoch than the group's
  EpochTooOld,             // the message's epoch is older than the group's; no past secrets kept
  WrongGroup,              // the message names another group
  InvalidSender,           // a sender type or leaf index the operation cannot accept
  GenerationTooOld,        // below the out-of-order window of the sender ratchet
  GenerationTooFar,        // beyond the maximum forward distance of the sender ratchet
  SecretReused,            // the generation's key was already used and deleted
  InvalidSignature,        // a signature that does not verify
  InvalidMembershipTag,    // a PublicMessage whose membership tag does not match
  InvalidConfirmationTag,  // a commit whose confirmation tag does not match
  InvalidPadding,          // non-zero padding in a PrivateMessage
  InvalidContent,          // a content the message kind cannot carry
  DecryptionFailed,        // an AEAD that does not open
  KeyPackageLifetime,      // a key package whose lifetime does not cover the current time
  InvalidKeyPackage,       // a key package that fails validation for another reason
  InvalidWelcome,          // a Welcome that cannot be joined
  InvalidCommit,           // a commit whose proposals or path break the rules
  UnsupportedProposal,     // a proposal kind (or proposals by reference) this engine refuses
  GroupInactive,           // this member was removed; the group takes no more operations
  InvalidArgument,         // a caller-supplied value the operation cannot use
  InvalidState,            // stored group state that is missing, malformed or inconsistent
  Storage,                 // the storage provider failed
};

class Error {
 public:
  Error() = default;  // for Result<void, Error>; never reported
  Error(ErrorCode code, std::string detail = {}) : code_(code), detail_(std::move(detail)) {}
  static Error codec(TlsError e) { return {ErrorCode::Codec, std::string(tls_error_message(e))}; }
  static Error crypto(crypto::CryptoError e) {
    return {ErrorCode::Crypto, std::string(crypto::crypto_error_message(e))};
  }

  ErrorCode code() const { return code_; }
  const std::string& detail() const { return detail_; }
  // The fixed text of the code, then ": " and the detail when there is one.
  std::string message() const;

 private:
  ErrorCode code_ = ErrorCode::Crypto;
  std::string detail_;
};

std::string_view error_text(ErrorCode c);

}  // namespace brenvik::rfc9420
