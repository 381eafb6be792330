#include "core/wire_v1.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "core/identifier.h"
#include "core/sub_records_json.h"
#include "util/base64.h"
#include "util/leb128.h"
#include "util/utf8.h"

namespace brenvik {

namespace {

bool is_base64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

void put_str(Bytes& out, std::string_view s) {
  leb128_put_u64(out, s.size());
  append(out, as_bytes(s));
}

void put_bytes(Bytes& out, ByteView b) {
  leb128_put_u64(out, b.size());
  append(out, b);
}

std::string hex2(uint8_t b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {kHex[b >> 4], kHex[b & 0xF]};
}

// Reasons after "wire v1 decode: ".
constexpr const char* kEarlyEnd = "unexpected end of input";
constexpr const char* kVarintRunaway = "varint does not terminate within its maximum length";

CoreError decode_error(std::string reason) {
  return CoreError::deserialization("wire v1 decode: " + std::move(reason));
}

class FrameReader {
 public:
  explicit FrameReader(ByteView d) : d_(d) {}

  size_t left() const { return d_.size() - pos_; }

  Result<uint8_t, CoreError> byte() {
    if (pos_ >= d_.size()) return Err(decode_error(kEarlyEnd));
    return d_[pos_++];
  }

  Result<uint64_t, CoreError> varint() {
    auto r = leb128_read_u64(d_, pos_);
    if (!r.ok()) {
      return Err(decode_error(r.error() == CodecError::Truncated ? kEarlyEnd : kVarintRunaway));
    }
    return r.value();
  }

  // A 16-bit value takes at most 3 bytes, and the third may be at most 3.
  Result<uint16_t, CoreError> varint16() {
    uint32_t v = 0;
    for (unsigned i = 0; i < 3; ++i) {
      BRENVIK_TRY(uint8_t b, byte());
      if (i == 2 && b > 3) return Err(decode_error(kVarintRunaway));
      v |= uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return uint16_t(v);
    }
    return Err(decode_error(kVarintRunaway));
  }

  Result<ByteView, CoreError> bytes() {
    BRENVIK_TRY(uint64_t n, varint());
    if (n > left()) return Err(decode_error(kEarlyEnd));
    ByteView v = d_.subspan(pos_, size_t(n));
    pos_ += size_t(n);
    return v;
  }

  Result<std::string_view, CoreError> str() {
    BRENVIK_TRY(ByteView b, bytes());
    if (auto u = validate_utf8(b); !u.ok()) {
      return Err(decode_error("string is not valid UTF-8: " + u.error().message()));
    }
    return as_chars(b);
  }

  Result<bool, CoreError> option() {
    BRENVIK_TRY(uint8_t b, byte());
    if (b > 1) {
      return Err(decode_error("option byte 0x" + hex2(b) + " is neither 0 nor 1"));
    }
    return b == 1;
  }

  Result<bool, CoreError> boolean() {
    BRENVIK_TRY(uint8_t b, byte());
    if (b > 1) return Err(decode_error("boolean byte 0x" + hex2(b) + " is neither 0 nor 1"));
    return b == 1;
  }

  Result<MessageId, CoreError> uuid() {
    if (left() < 16) return Err(decode_error(kEarlyEnd));
    MessageId id;
    std::copy_n(d_.begin() + pos_, 16, id.bytes.begin());
    pos_ += 16;
    return id;
  }

 private:
  ByteView d_;
  size_t pos_ = 0;
};

template <typename T>
Result<T, CoreError> sub_record(std::string_view name, std::string_view text,
                                Result<T, JsonError> (*read)(std::string_view)) {
  auto r = read(text);
  if (!r.ok()) return Err(CoreError::deserialization(std::string(name) + r.error().to_string()));
  return std::move(r).value();
}

}  // namespace

size_t wire_base64_tail_start(std::string_view c) {
  const size_t len = c.size();
  if (len < kWireMinBase64Tail) return len;
  size_t end = len;
  for (int i = 0; i < 2 && end > 0 && c[end - 1] == '='; ++i) --end;
  size_t start = end;
  while (start > 0 && is_base64_char(c[start - 1])) --start;
  start += (len - start) % 4;
  if (len - start < kWireMinBase64Tail) return len;
  return start;
}

Result<Bytes, CoreError> encode_wire_v1(const Message& m) {
  std::string media_json, forward_json, reply_json;
  if (m.media_metadata) {
    JsonWriter w(128);
    media_metadata_to_json(w, *m.media_metadata);
    media_json = w.take();
  }
  if (m.forwarded_from) {
    JsonWriter w(128);
    forward_info_to_json(w, *m.forwarded_from);
    forward_json = w.take();
  }

  std::string_view content = m.content;
  Bytes tail;
  bool has_tail = false;
  if (size_t s = wire_base64_tail_start(content); s < content.size()) {
    // The strict decoder refuses padding faults and non-zero spare bits, so a
    // successful decode re-encodes to exactly the tail.
    auto decoded = base64_decode(content.substr(s));
    if (decoded.ok()) {
      tail = std::move(decoded).value();
      has_tail = true;
      content = content.substr(0, s);
    }
  }
  if (m.reply_context) {
    JsonWriter w(128);
    reply_context_to_json(w, *m.reply_context);
    reply_json = w.take();
  }

  Bytes out;
  out.reserve(64 + m.sender.size() + m.recipient.size() + m.app_id.size() + content.size() +
              tail.size() + media_json.size() + forward_json.size() + reply_json.size() +
              (m.binary_content ? m.binary_content->size() + 10 : 0) + m.metadata.size() * 16);
  out.push_back(kWireV1LeadingByte);
  append(out, m.id.bytes);
  put_str(out, m.sender);
  put_str(out, m.recipient);
  put_str(out, m.app_id);
  out.push_back(static_cast<uint8_t>(m.priority));
  out.push_back(m.ttl);
  out.push_back(m.hop_count);
  leb128_put_u64(out, zigzag_encode(m.timestamp));
  leb128_put_u64(out, m.lamport_clock);
  out.push_back(static_cast<uint8_t>(m.content_type));
  put_str(out, content);
  out.push_back(m.binary_content ? 1 : 0);
  if (m.binary_content) put_bytes(out, *m.binary_content);
  out.push_back(m.media_metadata ? 1 : 0);
  if (m.media_metadata) put_str(out, media_json);
  // std::map iterates keys in ascending byte order already.
  leb128_put_u64(out, m.metadata.size());
  for (const auto& [k, v] : m.metadata) {
    put_str(out, k);
    put_str(out, v);
  }
  out.push_back(m.requires_ack ? 1 : 0);
  out.push_back(m.reply_to_msg ? 1 : 0);
  if (m.reply_to_msg) append(out, m.reply_to_msg->bytes);
  out.push_back(m.forwarded_from ? 1 : 0);
  if (m.forwarded_from) put_str(out, forward_json);
  leb128_put_u64(out, (has_tail ? 1 : 0) + (m.reply_context ? 1 : 0));
  if (has_tail) {
    leb128_put_u64(out, kWireExtBase64Tail);
    put_bytes(out, tail);
  }
  if (m.reply_context) {
    leb128_put_u64(out, kWireExtReplyContext);
    put_str(out, reply_json);
  }
  return out;
}

Result<Message, CoreError> decode_wire_v1(ByteView data) {
  if (data.empty()) return Err(CoreError::deserialization("not a wire v1 frame: empty input"));
  if (data[0] != kWireV1LeadingByte) {
    return Err(CoreError::deserialization("not a wire v1 frame: unexpected leading byte 0x" +
                                          hex2(data[0])));
  }
  FrameReader r(data.subspan(1));
  Message m;
  BRENVIK_TRY(m.id, r.uuid());
  BRENVIK_TRY(std::string_view sender, r.str());
  BRENVIK_TRY(std::string_view recipient, r.str());
  BRENVIK_TRY(std::string_view app_id, r.str());
  BRENVIK_TRY(uint8_t priority, r.byte());
  BRENVIK_TRY(m.ttl, r.byte());
  BRENVIK_TRY(m.hop_count, r.byte());
  BRENVIK_TRY(uint64_t ts, r.varint());
  BRENVIK_TRY(uint64_t lamport, r.varint());
  BRENVIK_TRY(uint8_t content_type, r.byte());
  BRENVIK_TRY(std::string_view content, r.str());
  BRENVIK_TRY(bool has_binary, r.option());
  if (has_binary) {
    BRENVIK_TRY(ByteView b, r.bytes());
    m.binary_content.emplace(b.begin(), b.end());
  }
  BRENVIK_TRY(bool has_media, r.option());
  std::string_view media_text;
  if (has_media) {
    BRENVIK_TRY(media_text, r.str());
  }
  BRENVIK_TRY(uint64_t meta_count, r.varint());
  // Every entry takes at least two bytes; a larger count cannot be real.
  if (meta_count > r.left() / 2) return Err(decode_error(kEarlyEnd));
  std::vector<std::pair<std::string_view, std::string_view>> meta;
  meta.reserve(size_t(meta_count));
  for (uint64_t i = 0; i < meta_count; ++i) {
    BRENVIK_TRY(std::string_view k, r.str());
    BRENVIK_TRY(std::string_view v, r.str());
    meta.emplace_back(k, v);
  }
  BRENVIK_TRY(m.requires_ack, r.boolean());
  BRENVIK_TRY(bool has_reply_to, r.option());
  if (has_reply_to) {
    BRENVIK_TRY(MessageId reply_to, r.uuid());
    m.reply_to_msg = reply_to;
  }
  BRENVIK_TRY(bool has_forward, r.option());
  std::string_view forward_text;
  if (has_forward) {
    BRENVIK_TRY(forward_text, r.str());
  }
  BRENVIK_TRY(uint64_t ext_count, r.varint());
  if (ext_count > r.left() / 2) return Err(decode_error(kEarlyEnd));
  std::optional<ByteView> tail;
  std::optional<std::string_view> reply_text;
  for (uint64_t i = 0; i < ext_count; ++i) {
    BRENVIK_TRY(uint16_t tag, r.varint16());
    BRENVIK_TRY(ByteView ext, r.bytes());
    if (tag == kWireExtBase64Tail && !tail) tail = ext;
    if (tag == kWireExtReplyContext && !reply_text) reply_text = as_chars(ext);
  }
  // Bytes after the extension list are not read.

  m.content.reserve(content.size() + (tail ? (tail->size() + 2) / 3 * 4 : 0));
  m.content.assign(content);
  if (tail) m.content += base64_encode(*tail);
  if (has_media) {
    BRENVIK_TRY(m.media_metadata, sub_record<MediaMetadata>("media_metadata: ", media_text,
                                                            media_metadata_from_text));
  }
  if (has_forward) {
    BRENVIK_TRY(m.forwarded_from,
                sub_record<ForwardInfo>("forwarded_from: ", forward_text, forward_info_from_text));
  }
  if (reply_text) {
    BRENVIK_TRY(m.reply_context,
                sub_record<ReplyContext>("reply_context: ", *reply_text, reply_context_from_text));
  }
  if (auto c = validate_identifier(sender, kUserIdLabel); !c.ok()) {
    return Err(CoreError::invalid_user_id(c.error().message()));
  }
  if (auto c = validate_identifier(recipient, kUserIdLabel); !c.ok()) {
    return Err(CoreError::invalid_user_id(c.error().message()));
  }
  if (auto c = validate_identifier(app_id, kAppIdLabel); !c.ok()) {
    return Err(CoreError::invalid_app_id(c.error().message()));
  }
  m.sender.assign(sender);
  m.recipient.assign(recipient);
  m.app_id.assign(app_id);
  for (auto& [k, v] : meta) m.metadata.insert_or_assign(std::string(k), std::string(v));
  m.priority = priority < 4 ? MessagePriority(priority) : MessagePriority::Medium;
  m.content_type = content_type_from_byte(content_type);
  m.timestamp = zigzag_decode(ts);
  m.lamport_clock = clamp_lamport_value(lamport);
  m.compact_wire = false;
  m.transport_peer_id.reset();
  return m;
}

}  // namespace brenvik
