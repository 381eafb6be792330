#include "core/message_id.h"

#include <openssl/rand.h>

#include <random>

namespace brenvik {

MessageId new_message_id() {
  MessageId id;
  if (RAND_bytes(id.bytes.data(), int(id.bytes.size())) != 1) {
    // The builder has no error path. The kernel source behind random_device
    // is the same one OpenSSL seeds from, so ids stay unpredictable.
    std::random_device rd;
    for (size_t i = 0; i < id.bytes.size(); i += 4) {
      uint32_t v = rd();
      for (size_t j = 0; j < 4; ++j) id.bytes[i + j] = uint8_t(v >> (8 * j));
    }
  }
  id.bytes[6] = uint8_t((id.bytes[6] & 0x0F) | 0x40);
  id.bytes[8] = uint8_t((id.bytes[8] & 0x3F) | 0x80);
  return id;
}

void append_message_id(std::string& out, const MessageId& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  char buf[36];
  size_t p = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) buf[p++] = '-';
    buf[p++] = kHex[id.bytes[i] >> 4];
    buf[p++] = kHex[id.bytes[i] & 0x0F];
  }
  out.append(buf, sizeof buf);
}

std::string display_message_id(const MessageId& id) {
  std::string s;
  s.reserve(36);
  append_message_id(s, id);
  return s;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 32 digits, with hyphens expected at the group boundaries when hyphenated.
Result<MessageId, std::string> parse_digits(std::string_view s, bool hyphenated, size_t offset) {
  MessageId id;
  size_t p = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (hyphenated && (i == 4 || i == 6 || i == 8 || i == 10)) {
      if (s[p] != '-') {
        return Err("invalid group separator at position " + std::to_string(offset + p + 1) +
                   ": expected '-'");
      }
      ++p;
    }
    int hi = hex_value(s[p]);
    int lo = hex_value(s[p + 1]);
    if (hi < 0 || lo < 0) {
      size_t bad = offset + p + (hi < 0 ? 0 : 1);
      return Err("invalid character at position " + std::to_string(bad + 1) +
                 ": expected a hexadecimal digit");
    }
    id.bytes[i] = uint8_t(hi << 4 | lo);
    p += 2;
  }
  return id;
}

}  // namespace

Result<MessageId, std::string> parse_uuid_text(std::string_view text) {
  switch (text.size()) {
    case 32:
      return parse_digits(text, false, 0);
    case 36:
      return parse_digits(text, true, 0);
    case 38:
      if (text.front() != '{' || text.back() != '}') {
        return Err(std::string("invalid braced form: expected '{' and '}' around the UUID"));
      }
      return parse_digits(text.substr(1, 36), true, 1);
    case 45:
      if (text.substr(0, 9) != "urn:uuid:") {
        return Err(std::string("invalid URN form: expected the prefix \"urn:uuid:\""));
      }
      return parse_digits(text.substr(9), true, 9);
    default:
      return Err("invalid length: expected 32, 36, 38 or 45 characters, found " +
                 std::to_string(text.size()));
  }
}

Result<MessageId, CoreError> parse_message_id(std::string_view text) {
  auto r = parse_uuid_text(text);
  if (!r.ok()) return Err(CoreError::invalid_message("Invalid message id: " + r.error()));
  return r.value();
}

}  // namespace brenvik
