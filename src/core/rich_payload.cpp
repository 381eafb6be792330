#include "core/rich_payload.h"

#include "core/sub_records_json.h"
#include "util/log.h"

namespace brenvik {

namespace {

constexpr std::string_view kLogTarget = "brenvik_protocol::protocol::types";

constexpr JsonField kRichFields[] = {
    {"text", FieldRule::Required},
    {"reply_context", FieldRule::Defaulted},
    {"media_metadata", FieldRule::Defaulted},
    {"forward_info", FieldRule::Defaulted},
    {"content_type", FieldRule::Defaulted},
};

template <typename T>
JsonStatus assign(Result<T, JsonError> r, T& out) {
  if (!r.ok()) return Err(std::move(r).error());
  out = std::move(r).value();
  return {};
}

Result<std::optional<ContentType>, JsonError> read_content_type(JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<ContentType>();
  }
  BRENVIK_TRY(std::string_view name, r.read_string_view());
  return std::optional<ContentType>(content_type_from_name(name));
}

Result<RichPayloadV1, JsonError> read_rich(std::string_view json) {
  JsonReader r(json);
  RichPayloadV1 p;
  auto st = read_record(r, "struct RichPayloadV1", kRichFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0:
        return assign(r.read_string(), p.text);
      case 1:
        return assign(read_optional_reply_context_json(r), p.reply_context);
      case 2:
        return assign(read_optional_media_metadata_json(r), p.media_metadata);
      case 3:
        return assign(read_optional_forward_info_json(r), p.forward_info);
      case 4:
        return assign(read_content_type(r), p.content_type);
    }
    return {};
  });
  if (st.ok()) st = r.finish();
  if (!st.ok()) return Err(std::move(st).error());
  return p;
}

}  // namespace

std::string RichPayloadV1::to_content() const {
  JsonWriter w(128 + text.size());
  w.begin_object();
  w.field_str("text", text);
  if (reply_context) {
    w.key("reply_context");
    reply_context_to_json(w, *reply_context);
  }
  if (media_metadata) {
    w.key("media_metadata");
    media_metadata_to_json(w, *media_metadata);
  }
  if (forward_info) {
    w.key("forward_info");
    forward_info_to_json(w, *forward_info);
  }
  if (content_type) {
    w.field_str("content_type", content_type_name(*content_type));
  } else {
    w.field_null("content_type");
  }
  w.end_object();
  std::string out(kRichMarker);
  out += w.text();
  return out;
}

std::optional<RichPayloadV1> RichPayloadV1::parse(std::string_view content,
                                                  std::string_view sender) {
  if (!content.starts_with(kRichMarker)) return std::nullopt;
  auto r = read_rich(content.substr(kRichMarker.size()));
  if (!r.ok()) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Failed to parse sealed rich payload, surfacing raw text"},
                {"sender", sender}, {"error", r.error().to_string()});
    return std::nullopt;
  }
  RichPayloadV1 p = std::move(r).value();
  if (p.content_type == ContentType::FileChunk) {
    BRENVIK_LOG(
        LogLevel::Warn, kLogTarget,
        {"message",
         "Sealed rich payload claims the internal FileChunk content type, ignoring the hint"},
        {"sender", sender});
    p.content_type.reset();
  }
  return p;
}

std::string media_rich_extras_json(const Message& m) {
  JsonWriter w(128);
  w.begin_object();
  if (m.reply_context) {
    w.key("reply_context");
    reply_context_to_json(w, *m.reply_context);
  }
  if (m.media_metadata) {
    w.key("media_metadata");
    media_metadata_to_json(w, *m.media_metadata);
  }
  if (m.forwarded_from) {
    w.key("forward_info");
    forward_info_to_json(w, *m.forwarded_from);
  }
  w.end_object();
  return w.take();
}

std::string RichExtrasError::message() const {
  switch (kind) {
    case Kind::Serialization:
      return "Serialization error: " + text;
    case Kind::TooLarge:
      return text;
  }
  return text;
}

Result<void, RichExtrasError> encode_rich_extras(const Message& m) {
  if (!m.reply_context && !m.media_metadata && !m.forwarded_from) return {};
  // Writing into a growing buffer cannot fail, so the serialization variant
  // is never produced here.
  size_t n = media_rich_extras_json(m).size();
  if (n > kMaxRichExtrasBytes) {
    return Err(RichExtrasError{RichExtrasError::Kind::TooLarge,
                               "Rich extras too large: " + std::to_string(n) +
                                   " bytes serialized (max " + std::to_string(kMaxRichExtrasBytes) +
                                   ")"});
  }
  return {};
}

}  // namespace brenvik
