#include "protocol/records/welcome_message_json.h"

#include "protocol/records/field_assign.h"
#include "protocol/records/stored_fields.h"

namespace brenvik {

namespace {
constexpr JsonField kFields[] = {
    {"group_id", FieldRule::Required},     {"welcome_data", FieldRule::Required},
    {"inviter_id", FieldRule::Required},   {"group_name", FieldRule::Optional},
    {"timestamp_ms", FieldRule::Required},
};

Result<WelcomeMessage, JsonError> read_whole(JsonReader& r) {
  BRENVIK_TRY(WelcomeMessage m, read_welcome_message(r));
  BRENVIK_TRY_VOID(r.finish());
  return m;
}
}  // namespace

Result<WelcomeMessage, JsonError> read_welcome_message(JsonReader& r) {
  // GroupId has no empty value: it is checked as soon as it is read and
  // kept aside until the whole record has been accepted.
  std::optional<GroupId> gid;
  Bytes welcome_data;
  std::string inviter_id;
  std::optional<std::string> group_name;
  uint64_t timestamp_ms = 0;
  BRENVIK_TRY_VOID(read_record(r, "struct WelcomeMessage", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        BRENVIK_TRY(std::string text, read_group_id_field(r));
        gid = GroupId::create(std::move(text)).value();
        return {};
      }
      case 1:
        return assign_field(r.read_byte_array(), welcome_data);
      case 2:
        return assign_field(r.read_string(), inviter_id);
      case 3:
        return assign_field(r.read_optional_string(), group_name);
      default:
        return assign_field(r.read_u64(), timestamp_ms);
    }
  }));
  return WelcomeMessage{std::move(*gid), std::move(welcome_data), std::move(inviter_id),
                        std::move(group_name), timestamp_ms};
}

Result<WelcomeMessage, JsonError> welcome_message_from_json(std::string_view text) {
  JsonReader r(text);
  return read_whole(r);
}

Result<WelcomeMessage, JsonError> welcome_message_from_json(ByteView bytes) {
  JsonReader r(bytes);
  return read_whole(r);
}

std::string welcome_message_to_json(const WelcomeMessage& m) {
  JsonWriter w(96 + m.welcome_data.size() * 4);
  w.begin_object();
  write_group_id_field(w, m.group_id.str());
  w.key("welcome_data").byte_array(m.welcome_data);
  w.field_str("inviter_id", m.inviter_id);
  if (m.group_name)
    w.field_str("group_name", *m.group_name);
  else
    w.field_null("group_name");
  w.field_u64("timestamp_ms", m.timestamp_ms);
  w.end_object();
  return w.take();
}

}  // namespace brenvik
