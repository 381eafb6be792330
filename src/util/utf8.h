// UTF-8 validation with the conventional error description: how many bytes
// were valid before the fault and how long the bad sequence is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

struct Utf8Error {
  // Bytes before the fault that form valid UTF-8.
  size_t valid_up_to = 0;
  // Length (1..3) of the invalid sequence starting at valid_up_to, or 0 when
  // the input ends inside an otherwise well-formed sequence ("incomplete").
  uint8_t error_len = 0;

  bool incomplete() const { return error_len == 0; }
  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I".
  std::string message() const;
  bool operator==(const Utf8Error&) const = default;
};

// Checks that `data` is well-formed UTF-8 (no surrogates, no overlong forms,
// nothing above U+10FFFF). ASCII runs are checked eight bytes at a time.
Result<void, Utf8Error> validate_utf8(ByteView data);
inline Result<void, Utf8Error> validate_utf8(std::string_view text) {
  return validate_utf8(as_bytes(text));
}
inline bool is_valid_utf8(std::string_view text) {
  return validate_utf8(text).ok();
}

// Returns the bytes as text when they are valid UTF-8.
inline Result<std::string_view, Utf8Error> utf8_view(ByteView data) {
  auto r = validate_utf8(data);
  if (!r.ok()) return Err(r.error());
  return as_chars(data);
}

}  // namespace brenvik
