#include "sealed/encrypted_message.h"

#include "util/utf8.h"

namespace brenvik {

Result<Bytes, SealedError> encode_sealed_envelope(const EncryptedMessage& m) {
  const std::string& g = m.group_id.str();  // at most 4096 bytes by construction
  if (m.sender_id.size() > kMaxEnvelopeSenderLength) {
    return Err(SealedError::serialization("sender_len " + std::to_string(m.sender_id.size()) +
                                          " exceeds maximum " +
                                          std::to_string(kMaxEnvelopeSenderLength)));
  }
  if (m.ciphertext.size() > kMaxEnvelopeCiphertextLength) {
    return Err(SealedError::serialization("ciphertext_len " + std::to_string(m.ciphertext.size()) +
                                          " exceeds maximum " +
                                          std::to_string(kMaxEnvelopeCiphertextLength)));
  }
  Bytes out;
  out.reserve(g.size() + m.sender_id.size() + m.ciphertext.size() + kEnvelopeFixedBytes);
  put_u32_le(out, uint32_t(g.size()));
  append(out, as_bytes(g));
  put_u32_le(out, uint32_t(m.sender_id.size()));
  append(out, as_bytes(m.sender_id));
  out.push_back(static_cast<uint8_t>(m.message_type));
  put_u64_le(out, m.epoch);
  put_u64_le(out, m.timestamp_ms);
  put_u32_le(out, uint32_t(m.ciphertext.size()));
  append(out, m.ciphertext);
  return out;
}

namespace {

struct Cursor {
  ByteView data;
  size_t pos = 0;
  size_t left() const { return data.size() - pos; }

  Result<uint32_t, SealedError> u32() {
    if (left() < 4) return Err(SealedError::deserialization("unexpected end of data reading u32"));
    uint32_t v = load_u32_le(data.data() + pos);
    pos += 4;
    return v;
  }
  Result<uint64_t, SealedError> u64() {
    if (left() < 8) return Err(SealedError::deserialization("unexpected end of data reading u64"));
    uint64_t v = load_u64_le(data.data() + pos);
    pos += 8;
    return v;
  }
  Result<ByteView, SealedError> bytes(size_t n) {
    if (left() < n) {
      return Err(SealedError::deserialization("unexpected end of data reading bytes"));
    }
    ByteView v = data.subspan(pos, n);
    pos += n;
    return v;
  }
};

Result<std::string, SealedError> utf8_text(ByteView b, const char* what) {
  if (auto r = validate_utf8(b); !r.ok()) {
    return Err(SealedError::deserialization(std::string("invalid ") + what +
                                            " UTF-8: " + r.error().message()));
  }
  return std::string(as_chars(b));
}

}  // namespace

Result<EncryptedMessage, SealedError> decode_sealed_envelope(ByteView data) {
  Cursor c{data};
  BRENVIK_TRY(uint32_t g_len, c.u32());
  if (g_len > kMaxGroupIdLength) {
    return Err(SealedError::deserialization("group_id_len " + std::to_string(g_len) +
                                            " exceeds maximum " +
                                            std::to_string(kMaxGroupIdLength)));
  }
  BRENVIK_TRY(ByteView g_bytes, c.bytes(g_len));
  BRENVIK_TRY(std::string group, utf8_text(g_bytes, "group_id"));
  BRENVIK_TRY(uint32_t s_len, c.u32());
  if (s_len > kMaxEnvelopeSenderLength) {
    return Err(SealedError::deserialization("sender_len " + std::to_string(s_len) +
                                            " exceeds maximum " +
                                            std::to_string(kMaxEnvelopeSenderLength)));
  }
  BRENVIK_TRY(ByteView s_bytes, c.bytes(s_len));
  BRENVIK_TRY(std::string sender, utf8_text(s_bytes, "sender_id"));
  if (c.left() < 1) {
    return Err(SealedError::deserialization("unexpected end of data reading message_type"));
  }
  uint8_t type = data[c.pos++];
  if (type > 3) {
    return Err(SealedError::deserialization("unknown message_type tag " + std::to_string(type)));
  }
  BRENVIK_TRY(uint64_t epoch, c.u64());
  BRENVIK_TRY(uint64_t ts, c.u64());
  BRENVIK_TRY(uint32_t c_len, c.u32());
  if (c_len > kMaxEnvelopeCiphertextLength) {
    return Err(SealedError::deserialization("ciphertext_len " + std::to_string(c_len) +
                                            " exceeds maximum " +
                                            std::to_string(kMaxEnvelopeCiphertextLength)));
  }
  BRENVIK_TRY(ByteView ct, c.bytes(c_len));
  BRENVIK_TRY(GroupId gid, GroupId::create(std::move(group)));
  return EncryptedMessage{std::move(gid),
                          MlsMessageType(type),
                          epoch,
                          Bytes(ct.begin(), ct.end()),
                          std::move(sender),
                          ts};
}

}  // namespace brenvik
