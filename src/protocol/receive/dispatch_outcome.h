// What the dispatcher made of a message addressed to this device, and so
// what the receive pipeline does next with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brenvik {

struct DispatchOutcome {
  enum class Kind : uint8_t {
    // Not a kind the dispatcher consumes: deliver the content as it is.
    NotInternal,
    // A handler took it: acknowledge when the sender asked, then stop.
    Consumed,
    // Refused as a security matter: forget the id, no acknowledgement.
    Rejected,
    // Not processable now: forget the id, no acknowledgement, so that the
    // sender's resend (or a later copy) is processed afresh.
    Deferred,
    // Decrypted content: deliver `text` in place of the content.
    Decrypted,
  };
  Kind kind = Kind::NotInternal;
  std::string text;  // Decrypted only

  static DispatchOutcome not_internal() { return {Kind::NotInternal, {}}; }
  static DispatchOutcome consumed() { return {Kind::Consumed, {}}; }
  static DispatchOutcome rejected() { return {Kind::Rejected, {}}; }
  static DispatchOutcome deferred() { return {Kind::Deferred, {}}; }
  static DispatchOutcome decrypted(std::string text) { return {Kind::Decrypted, std::move(text)}; }

  bool operator==(const DispatchOutcome&) const = default;
};

// "NotInternal", "Consumed", "Rejected", "Deferred", "Decrypted".
std::string_view dispatch_outcome_name(DispatchOutcome::Kind kind);

}  // namespace brenvik
