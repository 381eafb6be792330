// The rich payload: the text of an end-to-end encrypted message packed with
// its extras (reply, media, forward, content type) as "__RICH_V1__" followed
// by one compact JSON object, so the extras travel inside the ciphertext.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/message.h"
#include "util/result.h"

namespace brenvik {

inline constexpr std::string_view kRichMarker = "__RICH_V1__";
inline constexpr size_t kMaxRichExtrasBytes = 32768;

struct RichPayloadV1 {
  std::string text;
  std::optional<ReplyContext> reply_context;
  std::optional<MediaMetadata> media_metadata;
  std::optional<ForwardInfo> forward_info;
  std::optional<ContentType> content_type;

  // The marker and the compact object: "text", then each present record,
  // then "content_type" (its name, or null when absent).
  std::string to_content() const;

  // Nothing, silently, when `content` does not begin with the marker.
  // Nothing, with one warning naming `sender`, when the JSON after the
  // marker does not read. A "file_chunk" content type is an internal kind a
  // peer may not choose: it is dropped with a warning.
  static std::optional<RichPayloadV1> parse(std::string_view content, std::string_view sender);

  bool operator==(const RichPayloadV1&) const = default;
};

// The compact JSON of a message's rich extras: "reply_context",
// "media_metadata" and "forward_info" (the message's forwarded_from), each
// only when present, in that order; "{}" when none is.
std::string media_rich_extras_json(const Message& message);

struct RichExtrasError {
  enum class Kind : uint8_t {
    Serialization,  // the core's serialization variant ("Serialization error: " + text)
    TooLarge,       // the core's invalid-argument variant (text shown unchanged)
  };
  Kind kind;
  std::string text;
  std::string message() const;
};

// Checks that the extras' compact JSON is at most 32768 bytes; a message
// without extras passes without writing anything.
Result<void, RichExtrasError> encode_rich_extras(const Message& message);

}  // namespace brenvik
