#include "protocol/media/media_transfer.h"

#include <cstring>

#include "core/sub_records_json.h"
#include "util/json_writer.h"
#include "util/uuid.h"

namespace brenvik {

MediaProfile media_profile(TransportType type) {
  switch (type) {
    case TransportType::Internet:
      return {262144, 8};
    case TransportType::Ble:
      return {4096, 2};
    case TransportType::WifiDirect:
      return {32768, 4};
    case TransportType::Reticulum:
      return {4096, 2};
    case TransportType::Nostr:
      return {262144, 8};
  }
  return {4096, 2};
}

std::vector<FileChunk> MediaPumpState::take_next_batch() {
  std::vector<FileChunk> batch;
  while (in_flight.size() < window && next_index < chunks.size()) {
    batch.push_back(chunks[next_index]);
    in_flight.insert(chunks[next_index].chunk_index);
    ++next_index;
  }
  return batch;
}

std::string generate_file_id() {
  return "file_" + Uuid::random_v4().to_string();
}

namespace {

void put_u32(uint8_t*& p, uint32_t v) {
  for (int i = 0; i < 4; ++i) *p++ = uint8_t(v >> (8 * i));
}
void put_raw(uint8_t*& p, std::string_view s) {
  if (s.empty()) return;
  std::memcpy(p, s.data(), s.size());
  p += s.size();
}

ProtocolError too_long(std::string_view what, size_t len, size_t max, std::string_view tail = "") {
  return ProtocolError::serialization(std::string(what) + " length " + std::to_string(len) +
                                      " exceeds maximum " + std::to_string(max) +
                                      std::string(tail));
}

}  // namespace

Result<MediaEnvelope, ProtocolError> build_media_envelope(const MediaEnvelopeParts& parts,
                                                          const Bytes& encoded_chunk) {
  uint8_t flags = 0;
  std::string metadata, type_name, extras, purpose;
  if (parts.media_metadata) {
    JsonWriter w(128);
    media_metadata_to_json(w, *parts.media_metadata);
    metadata = w.take();
    if (metadata.size() > kMaxEnvelopeJsonLen)
      return Err(too_long("media metadata", metadata.size(), kMaxEnvelopeJsonLen,
                          " (thumbnail too large?)"));
    flags |= 0x01;
  }
  if (parts.content_type) {
    type_name = std::string(content_type_name(*parts.content_type));
    if (type_name.size() > 255) return Err(too_long("content type string", type_name.size(), 255));
    flags |= 0x02;
  }
  if (parts.extras) {
    Bytes x = write_rich_extras_json(*parts.extras);
    extras.assign(x.begin(), x.end());
    if (extras.size() > kMaxEnvelopeJsonLen)
      return Err(too_long("rich extras", extras.size(), kMaxEnvelopeJsonLen));
    flags |= 0x04;
  }
  if (parts.data_purpose) {
    purpose = write_data_purpose_json(*parts.data_purpose);
    if (purpose.size() > kMaxEnvelopeJsonLen)
      return Err(too_long("data purpose", purpose.size(), kMaxEnvelopeJsonLen));
    flags |= 0x08;
  }
  size_t len = 1 + encoded_chunk.size();
  if (flags & 0x01) len += 4 + metadata.size();
  if (flags & 0x02) len += 1 + type_name.size();
  if (flags & 0x04) len += 4 + extras.size();
  if (flags & 0x08) len += 4 + purpose.size();
  MediaEnvelope env;
  env.bytes.resize(len);
  uint8_t* p = env.bytes.data();
  *p++ = flags;
  if (flags & 0x01) {
    put_u32(p, uint32_t(metadata.size()));
    put_raw(p, metadata);
  }
  if (flags & 0x02) {
    *p++ = uint8_t(type_name.size());
    put_raw(p, type_name);
  }
  if (flags & 0x04) {
    put_u32(p, uint32_t(extras.size()));
    put_raw(p, extras);
  }
  if (flags & 0x08) {
    put_u32(p, uint32_t(purpose.size()));
    put_raw(p, purpose);
  }
  put_raw(p, as_chars(encoded_chunk));
  env.version = (flags & 0x08) ? 3 : (flags & 0x04) ? 2 : 1;
  return env;
}

}  // namespace brenvik
