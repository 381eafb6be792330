// An outgoing message held back until its recipient has a secure session,
// and the rich extras of its send, in the JSON form storage keeps them in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/message.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"
#include "util/rfc3339.h"

namespace brenvik {

// Reply context, media description (key material kept) and forwarding
// information of a send. They travel only sealed, and are kept with a
// pending message. Not the caption-bearing extras of a media send
// (MediaRichExtras): the two are never read from each other's documents.
struct RichSendExtras {
  std::optional<ReplyContext> reply_context;
  std::optional<MediaMetadata> media_metadata;
  std::optional<ForwardInfo> forward_info;

  bool any() const { return reply_context || media_metadata || forward_info; }

  void to_json(JsonWriter& w) const;
  // Object or array (up to three values); null is refused here (the "rich"
  // field of a pending message reads null as absent itself).
  static Result<RichSendExtras, JsonError> from_json(JsonReader& r);

  bool operator==(const RichSendExtras&) const = default;
};

inline constexpr size_t kMaxRichSendExtrasBytes = 32768;
// "Rich extras too large: N bytes serialized (max 32768)" when the compact
// JSON of `extras` is longer than 32768 bytes.
Result<void, std::string> check_rich_send_extras_size(const RichSendExtras& extras);

struct PendingMessage {
  std::string content;
  MessagePriority priority = MessagePriority::Medium;
  MessageId message_id;
  std::optional<MessageId> reply_to_msg;
  std::optional<ForwardInfo> forwarded_from;
  ContentType content_type = ContentType::Text;
  std::optional<MediaMetadata> media_metadata;
  std::optional<RichSendExtras> rich;
  std::optional<std::string> app_id;
  UnixTime queued_at;
  // Not part of the JSON: the byte length of to_json's text once measured
  // by the queue or the restore; 0 for a message just read.
  uint64_t size = 0;

  void to_json(JsonWriter& w) const;
  std::string to_json_text() const;
  // Object form, or an array of all ten values.
  static Result<PendingMessage, JsonError> from_json(JsonReader& r);
  // A whole text holding one pending message.
  static Result<PendingMessage, JsonError> from_json_text(std::string_view text);

  bool operator==(const PendingMessage&) const = default;
};

}  // namespace brenvik
