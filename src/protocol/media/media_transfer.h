// The records of one outbound media transfer: what the host asked for, what
// the core keeps while the chunks flow, the pump's window over the chunks,
// and the descriptor that lets an interrupted transfer be resumed under the
// same id.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/message.h"
#include "core/types.h"
#include "protocol/common/protocol_error.h"
#include "protocol/media/file_chunk.h"
#include "protocol/records/data_purpose_json.h"
#include "protocol/records/media_rich_extras.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

// Options of one media send, filled by the facade; every field optional.
struct MediaSendRequest {
  std::optional<MediaMetadata> media_metadata;  // travels with chunk 0
  std::optional<ReplyContext> reply_context;
  std::optional<std::string> caption;
  std::optional<std::string> reply_to_msg;  // UUID text
  std::optional<ForwardInfo> forward_info;
  std::optional<std::string> file_id;  // resumes an interrupted transfer
  std::optional<std::string> app_id;   // absent: the configured App ID

  MediaRichExtras extras() const {
    return MediaRichExtras{caption, reply_to_msg, reply_context, forward_info};
  }
};

// Chunk size and window of a transport for media, fixed per transport.
struct MediaProfile {
  uint64_t chunk_size;
  uint64_t window;
};
MediaProfile media_profile(TransportType type);

struct OutboundMediaTransfer {
  std::optional<MediaMetadata> media_metadata;
  std::optional<DataPurpose> data_purpose;  // data-layer transfers only
  std::optional<MediaRichExtras> extras;    // only the extras that may travel
  std::string recipient;
  std::optional<std::string> app_id;
  MonoTime last_activity;
  std::set<uint32_t> acked_chunks;
  uint32_t total_chunks = 0;
  TransportType transport = TransportType::Internet;
  ContentType content_type = ContentType::File;
};

// The sending progress of one transfer. A chunk moves from unsent (index at
// or past next_index) to in flight to acknowledged, and is never taken twice.
struct MediaPumpState {
  std::vector<FileChunk> chunks;
  std::set<uint32_t> in_flight;
  std::set<uint32_t> acked;
  size_t next_index = 0;
  uint64_t window = 0;

  MediaPumpState(std::vector<FileChunk> all, uint64_t window_size)
      : chunks(std::move(all)), window(window_size) {}
  // Copies of the next chunks while the window has room; empty when it is
  // full or nothing is left.
  std::vector<FileChunk> take_next_batch();
};

// What survives a restart of a transfer that had not finished.
struct MediaTransferDescriptor {
  std::string file_id;
  std::string recipient;
  std::string file_name;
  uint64_t file_size = 0;
  std::string file_checksum;
  ContentType content_type = ContentType::File;
  int64_t queued_at_ms = 0;  // UTC, Unix milliseconds
  std::optional<DataPurpose> data_purpose;
  std::optional<std::string> app_id;
};

// What the receive road made of one inbound chunk message.
enum class MediaChunkOutcome : uint8_t {
  Consumed,  // processed or dropped for good: acknowledged when asked
  Deferred,  // not taken now: no acknowledgement, the id is forgotten so a resend counts
  Rejected,  // refused by policy or a security check: no acknowledgement
};

// One inbound transfer whose chunk 0 was accepted: the hints of that chunk.
struct InboundTransferContext {
  std::string sender;
  std::optional<MediaMetadata> media_metadata;
  ContentType content_type = ContentType::File;
  MonoTime last_activity;
  std::string app_id;
  int64_t timestamp = 0;
};

// "file_" and a fresh random version-4 UUID in lowercase text (41 characters).
std::string generate_file_id();

// The plaintext of a sealed media chunk: a flags byte (bit 0 media metadata,
// bit 1 content type, bit 2 rich extras, bit 3 data purpose), the present
// sections (u32 LE length + JSON, or u8 length + the content type's wire
// name), then the binary chunk up to the end. Only chunk 0 carries sections.
struct MediaEnvelope {
  Bytes bytes;
  uint8_t version = 1;  // 3 with a data purpose, else 2 with extras, else 1
};
struct MediaEnvelopeParts {
  const MediaMetadata* media_metadata = nullptr;
  std::optional<ContentType> content_type;
  const MediaRichExtras* extras = nullptr;
  const DataPurpose* data_purpose = nullptr;
};
inline constexpr size_t kMaxEnvelopeJsonLen = 262144;
// Fails (Serialization) when a section is over its limit.
Result<MediaEnvelope, ProtocolError> build_media_envelope(const MediaEnvelopeParts& parts,
                                                          const Bytes& encoded_chunk);

}  // namespace brenvik
