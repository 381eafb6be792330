#include "core/sub_records_json.h"

#include "core/identifier.h"

namespace brenvik {

namespace {

void opt_str(JsonWriter& w, std::string_view k, const std::optional<std::string>& v) {
  if (v) w.field_str(k, *v);
}

template <typename T>
void opt_u64(JsonWriter& w, std::string_view k, const std::optional<T>& v) {
  if (v) w.field_u64(k, *v);
}

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

template <typename T>
JsonStatus assign(Result<T, JsonError> r, T& out) {
  if (!r.ok()) return Err(std::move(r).error());
  out = std::move(r).value();
  return {};
}

template <typename T>
JsonStatus assign_opt(Result<std::optional<T>, JsonError> r, std::optional<T>& out) {
  if (!r.ok()) return Err(std::move(r).error());
  out = std::move(r).value();
  return {};
}

Result<std::optional<uint32_t>, JsonError> read_optional_u32(JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<uint32_t>();
  }
  BRENVIK_TRY(uint32_t v, r.read_u32());
  return std::optional<uint32_t>(v);
}

constexpr JsonField kMediaFields[] = {
    {"mime_type", FieldRule::Required},
    {"file_name", FieldRule::Required},
    {"file_size", FieldRule::Required},
    {"duration_ms", FieldRule::Defaulted},
    {"width", FieldRule::Defaulted},
    {"height", FieldRule::Defaulted},
    {"thumbnail_base64", FieldRule::Defaulted},
    {"media_id", FieldRule::Defaulted},
    {"download_url", FieldRule::Defaulted},
    {"thumbnail_url", FieldRule::Defaulted},
    {"encryption_key", FieldRule::Defaulted},
    {"iv", FieldRule::Defaulted},
    {"ciphertext_hash", FieldRule::Defaulted},
    {"sticker_provider", FieldRule::Defaulted},
    {"sticker_remote_id", FieldRule::Defaulted},
    {"sticker_kind", FieldRule::Defaulted},
};

constexpr JsonField kForwardFields[] = {
    {"original_sender", FieldRule::Required},
    {"original_message_id", FieldRule::Required},
    {"original_timestamp", FieldRule::Required},
    {"forward_count", FieldRule::Required},
};

constexpr JsonField kReplyFields[] = {
    {"sender", FieldRule::Required},
    {"text", FieldRule::Required},
    {"timestamp", FieldRule::Defaulted},
    {"reply_media_label", FieldRule::Defaulted},
    {"reply_content_type", FieldRule::Defaulted},
};

}  // namespace

void media_metadata_to_json(JsonWriter& w, const MediaMetadata& m) {
  w.begin_object();
  w.field_str("mime_type", m.mime_type);
  w.field_str("file_name", m.file_name);
  w.field_u64("file_size", m.file_size);
  opt_u64(w, "duration_ms", m.duration_ms);
  opt_u64(w, "width", m.width);
  opt_u64(w, "height", m.height);
  opt_str(w, "thumbnail_base64", m.thumbnail_base64);
  opt_str(w, "media_id", m.media_id);
  opt_str(w, "download_url", m.download_url);
  opt_str(w, "thumbnail_url", m.thumbnail_url);
  opt_str(w, "encryption_key", m.encryption_key);
  opt_str(w, "iv", m.iv);
  opt_str(w, "ciphertext_hash", m.ciphertext_hash);
  opt_str(w, "sticker_provider", m.sticker_provider);
  opt_str(w, "sticker_remote_id", m.sticker_remote_id);
  opt_str(w, "sticker_kind", m.sticker_kind);
  w.end_object();
}

void forward_info_to_json(JsonWriter& w, const ForwardInfo& f) {
  std::string id;
  id.reserve(36);
  append_message_id(id, f.original_message_id);
  w.begin_object();
  w.field_str("original_sender", f.original_sender);
  w.field_str("original_message_id", id);
  w.field_i64("original_timestamp", f.original_timestamp);
  w.field_u64("forward_count", f.forward_count);
  w.end_object();
}

void reply_context_to_json(JsonWriter& w, const ReplyContext& c) {
  w.begin_object();
  w.field_str("sender", c.sender);
  w.field_str("text", c.text);
  if (c.timestamp) w.field_i64("timestamp", *c.timestamp);
  opt_str(w, "reply_media_label", c.reply_media_label);
  opt_str(w, "reply_content_type", c.reply_content_type);
  w.end_object();
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
  MediaMetadata m;
  auto st = read_record(r, "struct MediaMetadata", kMediaFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0:
        return assign(r.read_string(), m.mime_type);
      case 1:
        return assign(r.read_string(), m.file_name);
      case 2:
        return assign(r.read_u64(), m.file_size);
      case 3:
        return assign_opt(r.read_optional_u64(), m.duration_ms);
      case 4:
        return assign_opt(read_optional_u32(r), m.width);
      case 5:
        return assign_opt(read_optional_u32(r), m.height);
      case 6:
        return assign_opt(r.read_optional_string(), m.thumbnail_base64);
      case 7:
        return assign_opt(r.read_optional_string(), m.media_id);
      case 8:
        return assign_opt(r.read_optional_string(), m.download_url);
      case 9:
        return assign_opt(r.read_optional_string(), m.thumbnail_url);
      case 10:
        return assign_opt(r.read_optional_string(), m.encryption_key);
      case 11:
        return assign_opt(r.read_optional_string(), m.iv);
      case 12:
        return assign_opt(r.read_optional_string(), m.ciphertext_hash);
      case 13:
        return assign_opt(r.read_optional_string(), m.sticker_provider);
      case 14:
        return assign_opt(r.read_optional_string(), m.sticker_remote_id);
      case 15:
        return assign_opt(r.read_optional_string(), m.sticker_kind);
    }
    return {};
  });
  if (!st.ok()) return Err(std::move(st).error());
  return m;
}

Result<ForwardInfo, JsonError> forward_info_from_json(JsonReader& r) {
  ForwardInfo f;
  auto st = read_record(r, "struct ForwardInfo", kForwardFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0:
        return assign(read_user_id_json(r), f.original_sender);
      case 1:
        return assign(read_message_id_json(r), f.original_message_id);
      case 2:
        return assign(r.read_i64(), f.original_timestamp);
      case 3:
        return assign(r.read_u32(), f.forward_count);
    }
    return {};
  });
  if (!st.ok()) return Err(std::move(st).error());
  return f;
}

Result<ReplyContext, JsonError> reply_context_from_json(JsonReader& r) {
  ReplyContext c;
  auto st = read_record(r, "struct ReplyContext", kReplyFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0:
        return assign(read_user_id_json(r), c.sender);
      case 1:
        return assign(r.read_string(), c.text);
      case 2:
        return assign_opt(r.read_optional_i64(), c.timestamp);
      case 3:
        return assign_opt(r.read_optional_string(), c.reply_media_label);
      case 4:
        return assign_opt(r.read_optional_string(), c.reply_content_type);
    }
    return {};
  });
  if (!st.ok()) return Err(std::move(st).error());
  return c;
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
