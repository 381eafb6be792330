#include "protocol/records/media_rich_extras.h"

#include "core/sub_records_json.h"
#include "util/json_record.h"

namespace brenvik {

template <>
struct JsonRecord<MediaRichExtras> {
  static constexpr std::string_view kName = "struct MediaRichExtras";
  static constexpr auto fields() {
    using X = MediaRichExtras;
    return std::tuple{
        json_field("caption", &X::caption),
        json_field("reply_to_msg", &X::reply_to_msg),
        json_field("reply_context", &X::reply_context,
                   json_optional(json_codec(reply_context_to_json, reply_context_from_json)),
                   FieldRule::Defaulted),
        json_field("forward_info", &X::forward_info,
                   json_optional(json_codec(forward_info_to_json, forward_info_from_json)),
                   FieldRule::Defaulted),
    };
  }
};

Bytes write_rich_extras_json(const MediaRichExtras& extras) {
  JsonWriter w(128);
  write_json_record(w, extras);
  std::string text = w.take();
  return Bytes(text.begin(), text.end());
}

Result<MediaRichExtras, JsonError> read_rich_extras_json(ByteView input) {
  JsonReader r(input);
  BRENVIK_TRY(MediaRichExtras x, read_json_record<MediaRichExtras>(r));
  BRENVIK_TRY_VOID(r.finish());
  return x;
}

Result<MediaMetadata, JsonError> read_media_metadata_document(ByteView input) {
  JsonReader r(input);
  BRENVIK_TRY(MediaMetadata m, media_metadata_from_json(r));
  BRENVIK_TRY_VOID(r.finish());
  return m;
}

}  // namespace brenvik
