#include "core/sealed_error.h"

namespace brenvik {

std::string SealedError::message() const {
  switch (kind) {
    case Kind::Serialization:
      return "Serialization failed: " + text;
    case Kind::Deserialization:
      return "Deserialization failed: " + text;
    case Kind::InvalidGroupId:
      return "Invalid group id: " + text;
    case Kind::InvalidPublicKey:
      return "Invalid public key: " + text;
    case Kind::FieldTooLarge:
      return "Field too large for canonical payload length prefix: " + std::to_string(field_len) +
             " bytes";
  }
  return text;
}

}  // namespace brenvik
