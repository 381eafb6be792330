#include "protocol/records/pending_message.h"

#include "core/sub_records_json.h"
#include "protocol/records/stored_fields.h"
#include "util/json_record.h"

namespace brenvik {

namespace {

void write_priority(JsonWriter& w, const MessagePriority& p) {
  w.str(priority_name(p));
}
void write_content_type(JsonWriter& w, const ContentType& t) {
  write_content_type_field(w, t);
}
void write_datetime(JsonWriter& w, const UnixTime& t) {
  w.str(format_datetime_utc(t));
}

constexpr auto kReplyContext =
    json_optional(json_codec(reply_context_to_json, reply_context_from_json));
constexpr auto kMediaMetadata =
    json_optional(json_codec(media_metadata_to_json, media_metadata_from_json));
constexpr auto kForwardInfo =
    json_optional(json_codec(forward_info_to_json, forward_info_from_json));
constexpr auto kMessageId = json_codec(write_message_id_json, read_message_id_json);

}  // namespace

template <>
struct JsonRecord<RichSendExtras> {
  static constexpr std::string_view kName = "struct RichSendExtras";
  static constexpr auto fields() {
    using X = RichSendExtras;
    return std::tuple{
        json_field("reply_context", &X::reply_context, kReplyContext, FieldRule::Defaulted),
        json_field("media_metadata", &X::media_metadata, kMediaMetadata, FieldRule::Defaulted),
        json_field("forward_info", &X::forward_info, kForwardInfo, FieldRule::Defaulted),
    };
  }
};

// All ten values are needed in the array form: "queued_at" comes last.
template <>
struct JsonRecord<PendingMessage> {
  static constexpr std::string_view kName = "struct PendingMessage";
  static constexpr auto fields() {
    using M = PendingMessage;
    constexpr auto opt = FieldRule::Optional;
    return std::tuple{
        json_field("content", &M::content),
        json_field("priority", &M::priority, json_codec(write_priority, read_priority_field)),
        json_field("message_id", &M::message_id, kMessageId),
        json_field("reply_to_msg", &M::reply_to_msg, json_nullable(kMessageId), opt),
        json_field("forwarded_from", &M::forwarded_from, kForwardInfo, opt),
        json_field("content_type", &M::content_type,
                   json_codec(write_content_type, read_content_type_field), opt),
        json_field("media_metadata", &M::media_metadata, kMediaMetadata, opt),
        json_field("rich", &M::rich, json_optional(JsonRecordCodec<RichSendExtras>{}), opt),
        json_field("app_id", &M::app_id, JsonCodec<std::optional<std::string>>{}, opt),
        json_field("queued_at", &M::queued_at, json_codec(write_datetime, read_datetime_field)),
    };
  }
};

void RichSendExtras::to_json(JsonWriter& w) const {
  write_json_record(w, *this);
}

Result<RichSendExtras, JsonError> RichSendExtras::from_json(JsonReader& r) {
  return read_json_record<RichSendExtras>(r);
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
  write_json_record(w, *this);
}

std::string PendingMessage::to_json_text() const {
  JsonWriter w(256);
  to_json(w);
  return w.take();
}

Result<PendingMessage, JsonError> PendingMessage::from_json(JsonReader& r) {
  return read_json_record<PendingMessage>(r);
}

Result<PendingMessage, JsonError> PendingMessage::from_json_text(std::string_view text) {
  JsonReader r(text);
  BRENVIK_TRY(PendingMessage m, from_json(r));
  BRENVIK_TRY_VOID(r.finish());
  return m;
}

}  // namespace brenvik
