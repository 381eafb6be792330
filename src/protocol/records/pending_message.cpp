#include "protocol/records/pending_message.h"

#include "core/sub_records_json.h"
#include "protocol/records/stored_fields.h"

namespace brenvik {

namespace {

template <typename T>
JsonStatus assign(Result<T, JsonError> r, T& out) {
  if (!r.ok()) return Err(std::move(r).error());
  out = std::move(r).value();
  return {};
}

void write_uuid(JsonWriter& w, const MessageId& id) {
  std::string text;
  text.reserve(36);
  append_message_id(text, id);
  w.str(text);
}

Result<std::optional<MessageId>, JsonError> read_optional_id(JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<MessageId>();
  }
  BRENVIK_TRY(MessageId id, read_message_id_json(r));
  return std::optional<MessageId>(id);
}

constexpr JsonField kRichFields[] = {
    {"reply_context", FieldRule::Defaulted},
    {"media_metadata", FieldRule::Defaulted},
    {"forward_info", FieldRule::Defaulted},
};

// All ten values are needed in the array form: "queued_at" comes last.
constexpr JsonField kPendingFields[] = {
    {"content", FieldRule::Required},        {"priority", FieldRule::Required},
    {"message_id", FieldRule::Required},     {"reply_to_msg", FieldRule::Optional},
    {"forwarded_from", FieldRule::Optional}, {"content_type", FieldRule::Optional},
    {"media_metadata", FieldRule::Optional}, {"rich", FieldRule::Optional},
    {"app_id", FieldRule::Optional},         {"queued_at", FieldRule::Required},
};

}  // namespace

void RichSendExtras::to_json(JsonWriter& w) const {
  w.begin_object();
  if (reply_context) reply_context_to_json(w.key("reply_context"), *reply_context);
  if (media_metadata) media_metadata_to_json(w.key("media_metadata"), *media_metadata);
  if (forward_info) forward_info_to_json(w.key("forward_info"), *forward_info);
  w.end_object();
}

Result<RichSendExtras, JsonError> RichSendExtras::from_json(JsonReader& r) {
  RichSendExtras x;
  BRENVIK_TRY_VOID(
      read_record(r, "struct RichSendExtras", kRichFields, [&](size_t i) -> JsonStatus {
        switch (i) {
          case 0:
            return assign(read_optional_reply_context_json(r), x.reply_context);
          case 1:
            return assign(read_optional_media_metadata_json(r), x.media_metadata);
          case 2:
            return assign(read_optional_forward_info_json(r), x.forward_info);
        }
        return {};
      }));
  return x;
}

Result<void, std::string> check_rich_send_extras_size(const RichSendExtras& extras) {
  JsonWriter w(256);
  extras.to_json(w);
  size_t n = w.text().size();
  if (n > kMaxRichSendExtrasBytes)
    return Err("Rich extras too large: " + std::to_string(n) + " bytes serialized (max " +
               std::to_string(kMaxRichSendExtrasBytes) + ")");
  return {};
}

void PendingMessage::to_json(JsonWriter& w) const {
  w.begin_object();
  w.field_str("content", content);
  write_priority_field(w, priority);
  write_uuid(w.key("message_id"), message_id);
  if (reply_to_msg)
    write_uuid(w.key("reply_to_msg"), *reply_to_msg);
  else
    w.field_null("reply_to_msg");
  if (forwarded_from) forward_info_to_json(w.key("forwarded_from"), *forwarded_from);
  write_content_type_field(w.key("content_type"), content_type);
  if (media_metadata) media_metadata_to_json(w.key("media_metadata"), *media_metadata);
  if (rich) rich->to_json(w.key("rich"));
  if (app_id) w.field_str("app_id", *app_id);
  w.field_str("queued_at", format_datetime_utc(queued_at));
  w.end_object();
}

std::string PendingMessage::to_json_text() const {
  JsonWriter w(256);
  to_json(w);
  return w.take();
}

Result<PendingMessage, JsonError> PendingMessage::from_json(JsonReader& r) {
  PendingMessage m;
  BRENVIK_TRY_VOID(
      read_record(r, "struct PendingMessage", kPendingFields, [&](size_t i) -> JsonStatus {
        switch (i) {
          case 0:
            return assign(r.read_string(), m.content);
          case 1:
            return assign(read_priority_field(r), m.priority);
          case 2:
            return assign(read_message_id_json(r), m.message_id);
          case 3:
            return assign(read_optional_id(r), m.reply_to_msg);
          case 4:
            return assign(read_optional_forward_info_json(r), m.forwarded_from);
          case 5:
            return assign(read_content_type_field(r), m.content_type);
          case 6:
            return assign(read_optional_media_metadata_json(r), m.media_metadata);
          case 7: {
            BRENVIK_TRY(bool is_null, r.peek_null());
            if (is_null) {
              m.rich.reset();
              return r.read_null();
            }
            BRENVIK_TRY(RichSendExtras x, RichSendExtras::from_json(r));
            m.rich = std::move(x);
            return {};
          }
          case 8:
            return assign(r.read_optional_string(), m.app_id);
          case 9:
            return assign(read_datetime_field(r), m.queued_at);
        }
        return {};
      }));
  return m;
}

Result<PendingMessage, JsonError> PendingMessage::from_json_text(std::string_view text) {
  JsonReader r(text);
  BRENVIK_TRY(PendingMessage m, from_json(r));
  BRENVIK_TRY_VOID(r.finish());
  return m;
}

}  // namespace brenvik
