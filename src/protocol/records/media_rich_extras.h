// The rich extras of a media send (caption, the id it replies to, the quoted
// message and the forwarding record), carried as one JSON document in the
// rich-extras section of a media chunk envelope, and the reader of the
// envelope's metadata section. Not the extras kept with a pending message
// (RichSendExtras): neither reader is tried on the other's document.
#pragma once

#include <optional>
#include <string>

#include "core/message.h"
#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

struct MediaRichExtras {
  std::optional<std::string> caption;
  std::optional<std::string> reply_to_msg;  // kept as text, never parsed as a UUID
  std::optional<ReplyContext> reply_context;
  std::optional<ForwardInfo> forward_info;

  // The send path attaches extras only when one field is present.
  bool empty() const { return !caption && !reply_to_msg && !reply_context && !forward_info; }
  bool operator==(const MediaRichExtras&) const = default;
};

// Compact object with the present fields in declared order; absent ones are
// left out (never null), so empty extras are "{}". Writing into a growing
// buffer cannot fail.
Bytes write_rich_extras_json(const MediaRichExtras& extras);

// One object (any key order, unknown keys skipped, null as absent) or an
// array of up to four values, then only whitespace. Other values: "invalid
// type: ..., expected struct MediaRichExtras".
Result<MediaRichExtras, JsonError> read_rich_extras_json(ByteView input);

// One MediaMetadata (object or array; null refused), then only whitespace.
Result<MediaMetadata, JsonError> read_media_metadata_document(ByteView input);

}  // namespace brenvik
