// Usernames: human-chosen names that can be claimed and looked up. They are
// lower-cased (full Unicode mapping), put in Normalization Form C, kept
// short, free of invisible characters and never mistakable for an address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/result.h"

namespace brenvik {

inline constexpr size_t kMaxUsernameBytes = 64;

struct UsernameError {
  enum class Kind : uint8_t {
    Empty,
    TooLong,
    AddressShaped,
    ControlOrFormat,
    // Input that is not UTF-8 at all (only reachable from byte input; a
    // host string is always UTF-8 once it has crossed the interface).
    InvalidUtf8,
  };
  Kind kind = Kind::Empty;
  uint64_t length = 0;   // TooLong
  uint64_t maximum = 0;  // TooLong

  std::string message() const;
  bool operator==(const UsernameError&) const = default;
};

// Full lowercase (final sigma and U+0130 included), then NFC; then the
// empty/whitespace, length, control-or-format and address-shape checks in
// that order.
Result<std::string, UsernameError> normalize_username(std::string_view input);

// True when any character is in the fixed Cc/Cf table.
bool contains_control_or_format_char(std::string_view text);

// The full Unicode lowercase of a UTF-8 text (invalid UTF-8 yields nothing).
Result<std::string, UsernameError> full_lowercase(std::string_view text);

}  // namespace brenvik
