#include "core/identifier.h"

namespace brenvik {

std::string IdentifierError::message() const {
  switch (kind) {
    case Kind::Empty:
      return label + " cannot be empty";
    case Kind::PathTraversal:
      return label + " cannot be '.' or '..' (path traversal)";
    case Kind::ControlCharacters:
      return label + " contains ASCII control characters";
    case Kind::InvalidCharacters:
      return label + " contains invalid characters ('/', '\\', or ':')";
    case Kind::TooLong:
      return label + " exceeds the maximum length of " + std::to_string(maximum) + " bytes (" +
             std::to_string(actual) + " bytes)";
  }
  return label;
}

Result<void, IdentifierError> validate_identifier(std::string_view value, std::string_view label) {
  if (value.size() > kMaxIdentifierLength) {
    return Err(IdentifierError{IdentifierError::Kind::TooLong, std::string(label), value.size(),
                               kMaxIdentifierLength});
  }
  return check_identifier_chars(value, label);
}

Result<void, IdentifierError> check_identifier_chars(std::string_view value,
                                                     std::string_view label) {
  auto fail = [&](IdentifierError::Kind k) {
    return Err(IdentifierError{k, std::string(label), 0, 0});
  };
  if (value.empty()) return fail(IdentifierError::Kind::Empty);
  if (value == "." || value == "..") return fail(IdentifierError::Kind::PathTraversal);
  bool invalid = false;
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return fail(IdentifierError::Kind::ControlCharacters);
    if (c == '/' || c == '\\' || c == ':') invalid = true;
  }
  if (invalid) return fail(IdentifierError::Kind::InvalidCharacters);
  return {};
}

}  // namespace brenvik
