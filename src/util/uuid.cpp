#include "util/uuid.h"

#include <openssl/rand.h>

#include <cassert>
#include <cstdlib>

#include "util/hex.h"

namespace brenvik {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 32 hex digits, skipping hyphens exactly at the hyphenated positions
// when `hyphens` is set.
Result<Uuid, UuidError> parse_digits(std::string_view s, bool hyphens) {
  Uuid u;
  size_t pos = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10)) {
      if (s[pos] != '-') return Err(UuidError::InvalidGroups);
      ++pos;
    }
    const int hi = hex_digit(s[pos]), lo = hex_digit(s[pos + 1]);
    if (hi < 0 || lo < 0) {
      if (s[pos] == '-' || s[pos + 1] == '-') return Err(UuidError::InvalidGroups);
      return Err(UuidError::InvalidCharacter);
    }
    u.bytes[i] = uint8_t(hi << 4 | lo);
    pos += 2;
  }
  return u;
}

}  // namespace

std::string_view uuid_error_message(UuidError e) {
  switch (e) {
    case UuidError::InvalidLength:
      return "invalid length";
    case UuidError::InvalidCharacter:
      return "invalid character";
    case UuidError::InvalidGroups:
      return "invalid group layout";
  }
  return "invalid uuid";
}

Uuid Uuid::random_v4() {
  Uuid u;
  if (RAND_bytes(u.bytes.data(), int(u.bytes.size())) != 1) {
    // Without a working random source no identifier would be unique.
    std::abort();
  }
  u.bytes[6] = uint8_t((u.bytes[6] & 0x0F) | 0x40);
  u.bytes[8] = uint8_t((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

Uuid Uuid::from_bytes(ByteView b) {
  assert(b.size() == 16);
  Uuid u;
  std::copy(b.begin(), b.begin() + 16, u.bytes.begin());
  return u;
}

Result<Uuid, UuidError> Uuid::parse(std::string_view text) {
  switch (text.size()) {
    case 32:
      return parse_digits(text, false);
    case 36:
      return parse_digits(text, true);
    case 38:
      if (text.front() != '{' || text.back() != '}') return Err(UuidError::InvalidGroups);
      return parse_digits(text.substr(1, 36), true);
    case 45:
      if (text.substr(0, 9) != "urn:uuid:") return Err(UuidError::InvalidGroups);
      return parse_digits(text.substr(9), true);
    default:
      return Err(UuidError::InvalidLength);
  }
}

std::string Uuid::to_simple() const {
  return hex_encode(bytes);
}

std::string Uuid::to_string() const {
  const std::string h = to_simple();
  std::string out;
  out.reserve(36);
  out.append(h, 0, 8).append("-").append(h, 8, 4).append("-").append(h, 12, 4).append("-");
  out.append(h, 16, 4).append("-").append(h, 20, 12);
  return out;
}

bool Uuid::is_nil() const {
  for (uint8_t b : bytes)
    if (b) return false;
  return true;
}

}  // namespace brenvik
