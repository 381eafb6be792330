// Identifier rules for user ids, app ids and group-id segments. These texts
// become parts of storage keys and group ids, so they must be safe as path
// components and key names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/result.h"

namespace brenvik {

inline constexpr size_t kMaxIdentifierLength = 256;

struct IdentifierError {
  enum class Kind : uint8_t { Empty, PathTraversal, ControlCharacters, InvalidCharacters, TooLong };
  Kind kind = Kind::Empty;
  std::string label;     // what was validated: "User ID", "App ID", "Group ID segment"
  uint64_t actual = 0;   // TooLong only
  uint64_t maximum = 0;  // TooLong only

  // The label followed by the rule's text; the value itself is never repeated.
  std::string message() const;
  bool operator==(const IdentifierError&) const = default;
};

// Length rule (at most 256 bytes), then check_identifier_chars.
Result<void, IdentifierError> validate_identifier(std::string_view value, std::string_view label);

// Character rules only, first failing rule deciding: empty; "." or "..";
// a byte below 0x20 or 0x7F; '/', '\\' or ':'. Non-ASCII bytes are allowed.
Result<void, IdentifierError> check_identifier_chars(std::string_view value,
                                                     std::string_view label);

inline constexpr std::string_view kUserIdLabel = "User ID";
inline constexpr std::string_view kAppIdLabel = "App ID";

}  // namespace brenvik
