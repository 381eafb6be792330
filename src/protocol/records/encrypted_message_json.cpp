#include "protocol/records/encrypted_message_json.h"

#include "protocol/records/receive_enums.h"
#include "protocol/records/stored_fields.h"
#include "util/json_writer.h"

namespace brenvik {

namespace {
constexpr JsonField kFields[] = {
    {"group_id", FieldRule::Required},  {"message_type", FieldRule::Required},
    {"epoch", FieldRule::Required},     {"ciphertext", FieldRule::Required},
    {"sender_id", FieldRule::Required}, {"timestamp_ms", FieldRule::Required},
};

Result<EncryptedMessage, JsonError> read_whole(JsonReader& r) {
  BRENVIK_TRY(EncryptedMessage m, read_encrypted_message(r));
  BRENVIK_TRY_VOID(r.finish());
  return m;
}
}  // namespace

Result<EncryptedMessage, JsonError> read_encrypted_message(JsonReader& r) {
  // GroupId has no empty value; the fields are gathered here and the group
  // id, being required, is present whenever read_record succeeds.
  std::optional<GroupId> gid;
  struct {
    MlsMessageType message_type = MlsMessageType::Application;
    uint64_t epoch = 0;
    Bytes ciphertext;
    std::string sender_id;
    uint64_t timestamp_ms = 0;
  } m;
  auto st = read_record(r, "struct EncryptedMessage", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        BRENVIK_TRY(std::string text, r.read_string());
        auto checked = GroupId::create(std::move(text));
        if (!checked.ok()) return Err(r.error(checked.error().text));
        gid = std::move(checked).value();
        return {};
      }
      case 1: {
        BRENVIK_TRY(m.message_type, read_mls_message_type(r));
        return {};
      }
      case 2: {
        BRENVIK_TRY(m.epoch, r.read_u64());
        return {};
      }
      case 3: {
        BRENVIK_TRY(m.ciphertext, r.read_byte_array());
        return {};
      }
      case 4: {
        BRENVIK_TRY(m.sender_id, r.read_string());
        return {};
      }
      case 5: {
        BRENVIK_TRY(m.timestamp_ms, r.read_u64());
        return {};
      }
    }
    return {};
  });
  if (!st.ok()) return Err(std::move(st).error());
  return EncryptedMessage{std::move(*gid),         m.message_type,         m.epoch,
                          std::move(m.ciphertext), std::move(m.sender_id), m.timestamp_ms};
}

Result<EncryptedMessage, JsonError> encrypted_message_from_json(std::string_view text) {
  JsonReader r(text);
  return read_whole(r);
}

Result<EncryptedMessage, JsonError> encrypted_message_from_json(ByteView bytes) {
  JsonReader r(bytes);
  return read_whole(r);
}

std::string encrypted_message_to_json(const EncryptedMessage& m) {
  // The shared writer, not a generic JSON dump: a sender id that is not
  // valid UTF-8 must not make writing throw.
  JsonWriter w(128 + m.ciphertext.size() * 4);
  w.begin_object();
  write_group_id_field(w, m.group_id.str());
  w.field_str("message_type", mls_message_type_name(m.message_type));
  w.field_u64("epoch", m.epoch);
  w.key("ciphertext").byte_array(m.ciphertext);
  w.field_str("sender_id", m.sender_id);
  w.field_u64("timestamp_ms", m.timestamp_ms);
  w.end_object();
  return w.take();
}

}  // namespace brenvik
