// Errors of the sealed envelope, the canonical signing payloads and address
// derivation. It lives in core/ because address derivation (core) returns it and
// sealed/ sits above core: the lower layer owns the type both use.
#pragma once

#include <cstdint>
#include <string>

namespace brenvik {

struct SealedError {
  enum class Kind : uint8_t {
    Serialization,
    Deserialization,
    InvalidGroupId,
    InvalidPublicKey,
    FieldTooLarge,
  };
  Kind kind = Kind::Serialization;
  std::string text;        // carried text of the string variants
  uint64_t field_len = 0;  // FieldTooLarge

  static SealedError serialization(std::string t) { return {Kind::Serialization, std::move(t)}; }
  static SealedError deserialization(std::string t) {
    return {Kind::Deserialization, std::move(t)};
  }
  static SealedError invalid_group_id(std::string t) {
    return {Kind::InvalidGroupId, std::move(t)};
  }
  static SealedError invalid_public_key(std::string t) {
    return {Kind::InvalidPublicKey, std::move(t)};
  }
  static SealedError field_too_large(uint64_t len) { return {Kind::FieldTooLarge, {}, len}; }

  std::string message() const;
  bool operator==(const SealedError&) const = default;
};

}  // namespace brenvik
