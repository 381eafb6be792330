#include "core/message_id.h"

namespace brenvik {

MessageId new_message_id() {
  return Uuid::random_v4();
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

Result<MessageId, std::string> parse_uuid_text(std::string_view text) {
  auto r = Uuid::parse(text);
  if (!r.ok()) return Err(std::string(uuid_error_message(r.error())));
  return r.value();
}

Result<MessageId, CoreError> parse_message_id(std::string_view text) {
  auto r = parse_uuid_text(text);
  if (!r.ok()) return Err(CoreError::invalid_message("Invalid message id: " + r.error()));
  return r.value();
}

}  // namespace brenvik
