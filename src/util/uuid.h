// 16-byte identifiers: random version-4 generation and the text forms.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

enum class UuidError {
  InvalidLength,     // not 32, 36, 38 or 45 characters
  InvalidCharacter,  // a non-hex digit where a digit belongs
  InvalidGroups,     // hyphens or braces not where the form puts them
};

// "invalid length", "invalid character", "invalid group layout".
std::string_view uuid_error_message(UuidError e);

struct Uuid {
  std::array<uint8_t, 16> bytes{};

  // Version 4, variant RFC 4122, from the operating system's secure random source.
  static Uuid random_v4();
  // Requires exactly 16 bytes.
  static Uuid from_bytes(ByteView b);
  // Accepts the hyphenated form (8-4-4-4-12), the simple 32-digit form, the
  // braced form {…} and the "urn:uuid:" form; hex digits in either case.
  static Result<Uuid, UuidError> parse(std::string_view text);

  // Lowercase hyphenated: "67e55044-10b1-426f-9247-bb680e5fe0c8".
  std::string to_string() const;
  // Lowercase, 32 digits, no hyphens.
  std::string to_simple() const;
  uint8_t version() const { return bytes[6] >> 4; }
  bool is_nil() const;

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace brenvik
