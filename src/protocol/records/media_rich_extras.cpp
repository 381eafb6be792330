#include "protocol/records/media_rich_extras.h"

#include "core/sub_records_json.h"
#include "protocol/records/field_assign.h"
#include "util/json_writer.h"

namespace brenvik {

namespace {
constexpr JsonField kFields[] = {{"caption", FieldRule::Defaulted},
                                 {"reply_to_msg", FieldRule::Defaulted},
                                 {"reply_context", FieldRule::Defaulted},
                                 {"forward_info", FieldRule::Defaulted}};
}  // namespace

Bytes write_rich_extras_json(const MediaRichExtras& extras) {
  JsonWriter w(128);
  w.begin_object();
  if (extras.caption) w.field_str("caption", *extras.caption);
  if (extras.reply_to_msg) w.field_str("reply_to_msg", *extras.reply_to_msg);
  if (extras.reply_context) reply_context_to_json(w.key("reply_context"), *extras.reply_context);
  if (extras.forward_info) forward_info_to_json(w.key("forward_info"), *extras.forward_info);
  w.end_object();
  std::string text = w.take();
  return Bytes(text.begin(), text.end());
}

Result<MediaRichExtras, JsonError> read_rich_extras_json(ByteView input) {
  JsonReader r(input);
  MediaRichExtras x;
  BRENVIK_TRY_VOID(read_record(r, "struct MediaRichExtras", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0:
        return assign_field(r.read_optional_string(), x.caption);
      case 1:
        return assign_field(r.read_optional_string(), x.reply_to_msg);
      case 2:
        return assign_field(read_optional_reply_context_json(r), x.reply_context);
      default:
        return assign_field(read_optional_forward_info_json(r), x.forward_info);
    }
  }));
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
