// The Message record that the mesh moves, its three sub-records, the builder
// and the small operations the send, forward and receive paths apply to it.
// Every type here is a plain value that owns its data.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/errors.h"
#include "core/message_id.h"
#include "core/types.h"
#include "util/bytes.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

// Describes a media attachment. Text fields are carried unchanged; only the
// transport encodings strip the key material (without_key_material).
struct MediaMetadata {
  std::string mime_type;
  std::string file_name;
  uint64_t file_size = 0;
  std::optional<uint64_t> duration_ms;
  std::optional<uint32_t> width;
  std::optional<uint32_t> height;
  std::optional<std::string> thumbnail_base64;
  std::optional<std::string> media_id;
  std::optional<std::string> download_url;
  std::optional<std::string> thumbnail_url;
  std::optional<std::string> encryption_key;
  std::optional<std::string> iv;
  std::optional<std::string> ciphertext_hash;
  std::optional<std::string> sticker_provider;
  std::optional<std::string> sticker_remote_id;
  std::optional<std::string> sticker_kind;

  bool has_key_material() const { return encryption_key.has_value() || iv.has_value(); }
  // A copy with encryption_key and iv absent.
  MediaMetadata without_key_material() const;

  bool operator==(const MediaMetadata&) const = default;
};

// Provenance of a forwarded message.
struct ForwardInfo {
  std::string original_sender;
  MessageId original_message_id;
  int64_t original_timestamp = 0;
  uint32_t forward_count = 0;

  bool operator==(const ForwardInfo&) const = default;
};

// The quoted message of a reply.
struct ReplyContext {
  std::string sender;
  std::string text;
  std::optional<int64_t> timestamp;
  std::optional<std::string> reply_media_label;
  std::optional<std::string> reply_content_type;  // free text, not limited to ContentType names

  bool operator==(const ReplyContext&) const = default;
};

// Keys unique; the ordered map also gives the compact frame its sorted order
// (std::string compares bytes as unsigned).
using MessageMetadata = std::map<std::string, std::string>;

inline constexpr uint64_t kMaxLamportValue = 9223372036854775807ULL;  // 2^63 - 1

struct Message {
  MessageId id;
  std::string sender;
  std::string recipient;
  std::string app_id;
  MessagePriority priority = MessagePriority::Medium;
  uint8_t ttl = 8;
  uint8_t hop_count = 0;
  int64_t timestamp = 0;  // Unix milliseconds; negative before 1970
  uint64_t lamport_clock = 0;
  ContentType content_type = ContentType::Text;
  std::string content;
  std::optional<Bytes> binary_content;
  std::optional<MediaMetadata> media_metadata;
  MessageMetadata metadata;
  bool requires_ack = true;
  std::optional<MessageId> reply_to_msg;
  std::optional<ForwardInfo> forwarded_from;
  std::optional<ReplyContext> reply_context;

  // Memory only, never serialised: send as the compact frame.
  bool compact_wire = false;
  // Memory only: transport-level address of the peer the message came from.
  std::optional<std::string> transport_peer_id;

  // Raises hop_count by one; at 255 fails with InvalidHopCount(255) and
  // leaves the message unchanged.
  Result<void, CoreError> increment_hop_count();

  bool operator==(const Message&) const = default;
};

// The forwarding record for a copy of `m` about to be forwarded: a first
// forward names m itself with count 1; a further one raises the count,
// saturating at 4294967295.
ForwardInfo next_forward_info(const Message& m);

// min(v, 2^63 - 1).
constexpr uint64_t clamp_lamport_value(uint64_t v) {
  return v > kMaxLamportValue ? kMaxLamportValue : v;
}
// clock = max(clock, clamp(observed)) + 1, saturating at 2^64 - 1; returns it.
uint64_t advance_lamport_clock(uint64_t& clock, uint64_t observed);

// Unix milliseconds of the clock's wall time (negative before the epoch,
// rounded towards the epoch as whole seconds * 1000 + sub-second millis).
int64_t wall_clock_unix_ms(const Clock& clock = system_clock());

class MessageBuilder {
 public:
  MessageBuilder(std::string sender, std::string recipient, std::string app_id);

  MessageBuilder& with_content(std::string v) {
    m_.content = std::move(v);
    return *this;
  }
  MessageBuilder& with_priority(MessagePriority v) {
    m_.priority = v;
    return *this;
  }
  MessageBuilder& with_ttl(uint8_t v) {
    m_.ttl = v;
    return *this;
  }
  MessageBuilder& with_content_type(ContentType v) {
    m_.content_type = v;
    return *this;
  }
  MessageBuilder& with_lamport_clock(uint64_t v) {
    m_.lamport_clock = v;
    return *this;
  }
  MessageBuilder& with_requires_ack(bool v) {
    m_.requires_ack = v;
    return *this;
  }
  MessageBuilder& with_reply_to(std::optional<MessageId> v) {
    m_.reply_to_msg = v;
    return *this;
  }
  // Adds one entry; a key already present gets the new value.
  MessageBuilder& with_metadata(std::string key, std::string value) {
    m_.metadata[std::move(key)] = std::move(value);
    return *this;
  }
  MessageBuilder& with_media_metadata(std::optional<MediaMetadata> v) {
    m_.media_metadata = std::move(v);
    return *this;
  }
  MessageBuilder& with_forwarded_from(std::optional<ForwardInfo> v) {
    m_.forwarded_from = std::move(v);
    return *this;
  }
  MessageBuilder& with_reply_context(std::optional<ReplyContext> v) {
    m_.reply_context = std::move(v);
    return *this;
  }

  // Draws a fresh v4 id, reads the wall clock, and fills hop_count 0, no
  // binary content, compact_wire false, no transport peer id. Checks nothing.
  Message build() && { return std::move(*this).build(system_clock()); }
  Message build() const& { return MessageBuilder(*this).build(system_clock()); }
  // The same with the timestamp read from `clock`.
  Message build(const Clock& clock) &&;

 private:
  Message m_;  // the chosen fields; id, timestamp and hop count are set by build
};

}  // namespace brenvik
