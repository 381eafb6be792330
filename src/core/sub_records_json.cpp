#include "core/sub_records_json.h"

#include "core/identifier.h"
#include "util/json_record.h"

namespace brenvik {

namespace {

template <typename T, typename F>
Result<T, JsonError> whole_text(std::string_view text, F&& read) {
  JsonReader r(text);
  BRENVIK_TRY(T v, read(r));
  BRENVIK_TRY_VOID(r.finish());
  return v;
}

template <typename T, typename F>
Result<std::optional<T>, JsonError> optional_record(JsonReader& r, F&& read) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<T>();
  }
  BRENVIK_TRY(T v, read(r));
  return std::optional<T>(std::move(v));
}

void write_user_id_json(JsonWriter& w, const std::string& id) {
  w.str(id);
}

constexpr auto kMessageIdCodec = json_codec(write_message_id_json, read_message_id_json);
constexpr auto kUserIdCodec = json_codec(write_user_id_json, read_user_id_json);

}  // namespace

template <>
struct JsonRecord<MediaMetadata> {
  static constexpr std::string_view kName = "struct MediaMetadata";
  static constexpr auto fields() {
    using M = MediaMetadata;
    return std::tuple{
        json_field("mime_type", &M::mime_type),
        json_field("file_name", &M::file_name),
        json_field("file_size", &M::file_size),
        json_field("duration_ms", &M::duration_ms),
        json_field("width", &M::width),
        json_field("height", &M::height),
        json_field("thumbnail_base64", &M::thumbnail_base64),
        json_field("media_id", &M::media_id),
        json_field("download_url", &M::download_url),
        json_field("thumbnail_url", &M::thumbnail_url),
        json_field("encryption_key", &M::encryption_key),
        json_field("iv", &M::iv),
        json_field("ciphertext_hash", &M::ciphertext_hash),
        json_field("sticker_provider", &M::sticker_provider),
        json_field("sticker_remote_id", &M::sticker_remote_id),
        json_field("sticker_kind", &M::sticker_kind),
    };
  }
};

template <>
struct JsonRecord<ForwardInfo> {
  static constexpr std::string_view kName = "struct ForwardInfo";
  static constexpr auto fields() {
    using F = ForwardInfo;
    return std::tuple{
        json_field("original_sender", &F::original_sender, kUserIdCodec),
        json_field("original_message_id", &F::original_message_id, kMessageIdCodec),
        json_field("original_timestamp", &F::original_timestamp),
        json_field("forward_count", &F::forward_count),
    };
  }
};

template <>
struct JsonRecord<ReplyContext> {
  static constexpr std::string_view kName = "struct ReplyContext";
  static constexpr auto fields() {
    using C = ReplyContext;
    return std::tuple{
        json_field("sender", &C::sender, kUserIdCodec),
        json_field("text", &C::text),
        json_field("timestamp", &C::timestamp),
        json_field("reply_media_label", &C::reply_media_label),
        json_field("reply_content_type", &C::reply_content_type),
    };
  }
};

void media_metadata_to_json(JsonWriter& w, const MediaMetadata& m) {
  write_json_record(w, m);
}

void forward_info_to_json(JsonWriter& w, const ForwardInfo& f) {
  write_json_record(w, f);
}

void reply_context_to_json(JsonWriter& w, const ReplyContext& c) {
  write_json_record(w, c);
}

void write_message_id_json(JsonWriter& w, const MessageId& id) {
  std::string text;
  text.reserve(36);
  append_message_id(text, id);
  w.str(text);
}

Result<MessageId, JsonError> read_message_id_json(JsonReader& r) {
  BRENVIK_TRY(JsonType t, r.peek_type());
  if (t != JsonType::String) return Err(r.invalid_type("a UUID string"));
  BRENVIK_TRY(std::string_view text, r.read_string_view());
  auto id = parse_uuid_text(text);
  if (!id.ok()) return Err(r.error("UUID parsing failed: " + id.error()));
  return id.value();
}

Result<std::string, JsonError> read_user_id_json(JsonReader& r) {
  BRENVIK_TRY(std::string s, r.read_string());
  if (auto c = validate_identifier(s, kUserIdLabel); !c.ok()) {
    return Err(r.error(CoreError::invalid_user_id(c.error().message()).message()));
  }
  return s;
}

Result<MediaMetadata, JsonError> media_metadata_from_json(JsonReader& r) {
  return read_json_record<MediaMetadata>(r);
}

Result<ForwardInfo, JsonError> forward_info_from_json(JsonReader& r) {
  return read_json_record<ForwardInfo>(r);
}

Result<ReplyContext, JsonError> reply_context_from_json(JsonReader& r) {
  return read_json_record<ReplyContext>(r);
}

Result<std::optional<MediaMetadata>, JsonError> read_optional_media_metadata_json(JsonReader& r) {
  return optional_record<MediaMetadata>(r, media_metadata_from_json);
}
Result<std::optional<ForwardInfo>, JsonError> read_optional_forward_info_json(JsonReader& r) {
  return optional_record<ForwardInfo>(r, forward_info_from_json);
}
Result<std::optional<ReplyContext>, JsonError> read_optional_reply_context_json(JsonReader& r) {
  return optional_record<ReplyContext>(r, reply_context_from_json);
}

Result<MediaMetadata, JsonError> media_metadata_from_text(std::string_view text) {
  return whole_text<MediaMetadata>(text, media_metadata_from_json);
}
Result<ForwardInfo, JsonError> forward_info_from_text(std::string_view text) {
  return whole_text<ForwardInfo>(text, forward_info_from_json);
}
Result<ReplyContext, JsonError> reply_context_from_text(std::string_view text) {
  return whole_text<ReplyContext>(text, reply_context_from_json);
}

}  // namespace brenvik
