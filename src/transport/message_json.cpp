#include "transport/message_json.h"

#include "core/identifier.h"
#include "core/sub_records_json.h"
#include "util/json_writer.h"

namespace brenvik {

namespace {

void write_message(JsonWriter& w, const Message& m, bool keep_key_material) {
  std::string id;
  id.reserve(36);
  append_message_id(id, m.id);
  w.begin_object();
  w.field_str("id", id);
  w.field_str("sender", m.sender);
  w.field_str("recipient", m.recipient);
  w.field_str("app_id", m.app_id);
  w.field_str("priority", priority_name(m.priority));
  w.field_u64("ttl", m.ttl);
  w.field_u64("hop_count", m.hop_count);
  w.field_i64("timestamp", m.timestamp);
  w.field_u64("lamport_clock", m.lamport_clock);
  w.field_str("content_type", content_type_name(m.content_type));
  w.field_str("content", m.content);
  if (m.binary_content) w.key("binary_content").byte_array(*m.binary_content);
  if (m.media_metadata) {
    w.key("media_metadata");
    if (!keep_key_material && m.media_metadata->has_key_material()) {
      media_metadata_to_json(w, m.media_metadata->without_key_material());
    } else {
      media_metadata_to_json(w, *m.media_metadata);
    }
  }
  w.key("metadata").begin_object();
  for (const auto& [k, v] : m.metadata) w.field_str(k, v);
  w.end_object();
  w.field_bool("requires_ack", m.requires_ack);
  if (m.reply_to_msg) {
    id.clear();
    append_message_id(id, *m.reply_to_msg);
    w.field_str("reply_to_msg", id);
  } else {
    w.field_null("reply_to_msg");
  }
  if (m.forwarded_from) {
    w.key("forwarded_from");
    forward_info_to_json(w, *m.forwarded_from);
  }
  if (m.reply_context) {
    w.key("reply_context");
    reply_context_to_json(w, *m.reply_context);
  }
  w.end_object();
}

// Fields 0-7 and 10 are required; the array form may stop after "content".
constexpr JsonField kMessageFields[] = {
    {"id", FieldRule::Required},
    {"sender", FieldRule::Required},
    {"recipient", FieldRule::Required},
    {"app_id", FieldRule::Required},
    {"priority", FieldRule::Required},
    {"ttl", FieldRule::Required},
    {"hop_count", FieldRule::Required},
    {"timestamp", FieldRule::Required},
    {"lamport_clock", FieldRule::Defaulted},
    {"content_type", FieldRule::Defaulted},
    {"content", FieldRule::Required},
    {"binary_content", FieldRule::Defaulted},
    {"media_metadata", FieldRule::Defaulted},
    {"metadata", FieldRule::Defaulted},
    {"requires_ack", FieldRule::Defaulted},
    {"reply_to_msg", FieldRule::Defaulted},
    {"forwarded_from", FieldRule::Defaulted},
    {"reply_context", FieldRule::Defaulted},
};

constexpr std::string_view kPrioritySpellings[] = {"low", "medium", "high", "critical",
                                                   "Low", "Medium", "High", "Critical"};

template <typename T>
JsonStatus assign(Result<T, JsonError> r, T& out) {
  if (!r.ok()) return Err(std::move(r).error());
  out = std::move(r).value();
  return {};
}

JsonStatus read_identifier(JsonReader& r, std::string& out, bool app_id) {
  BRENVIK_TRY(out, r.read_string());
  auto c = validate_identifier(out, app_id ? kAppIdLabel : kUserIdLabel);
  if (c.ok()) return {};
  CoreError e = app_id ? CoreError::invalid_app_id(c.error().message())
                       : CoreError::invalid_user_id(c.error().message());
  return Err(r.error(e.message()));
}

JsonStatus read_metadata(JsonReader& r, MessageMetadata& out) {
  BRENVIK_TRY_VOID(r.begin_object());
  std::string_view key;
  for (;;) {
    BRENVIK_TRY(bool more, r.next_key(key));
    if (!more) return {};
    std::string k(key);  // the view dies at the next read
    BRENVIK_TRY(std::string v, r.read_string());
    out.insert_or_assign(std::move(k), std::move(v));  // a repeated key keeps the later value
  }
}

JsonStatus read_field(JsonReader& r, Message& m, size_t i) {
  switch (i) {
    case 0:
      return assign(read_message_id_json(r), m.id);
    case 1:
      return read_identifier(r, m.sender, false);
    case 2:
      return read_identifier(r, m.recipient, false);
    case 3:
      return read_identifier(r, m.app_id, true);
    case 4: {
      BRENVIK_TRY(size_t idx, read_unit_enum(r, "enum MessagePriority", kPrioritySpellings));
      m.priority = MessagePriority(idx % 4);
      return {};
    }
    case 5:
      return assign(r.read_u8(), m.ttl);
    case 6:
      return assign(r.read_u8(), m.hop_count);
    case 7:
      return assign(r.read_i64(), m.timestamp);
    case 8: {
      BRENVIK_TRY(uint64_t v, r.read_u64());
      m.lamport_clock = clamp_lamport_value(v);
      return {};
    }
    case 9: {
      BRENVIK_TRY(std::string_view name, r.read_string_view());
      m.content_type = content_type_from_name(name);
      return {};
    }
    case 10:
      return assign(r.read_string(), m.content);
    case 11: {
      BRENVIK_TRY(bool is_null, r.peek_null());
      if (is_null) {
        m.binary_content.reset();
        return r.read_null();
      }
      BRENVIK_TRY(Bytes b, r.read_byte_array());
      m.binary_content = std::move(b);
      return {};
    }
    case 12:
      return assign(read_optional_media_metadata_json(r), m.media_metadata);
    case 13:
      return read_metadata(r, m.metadata);
    case 14:
      return assign(r.read_bool(), m.requires_ack);
    case 15: {
      BRENVIK_TRY(bool is_null, r.peek_null());
      if (is_null) {
        m.reply_to_msg.reset();
        return r.read_null();
      }
      BRENVIK_TRY(MessageId id, read_message_id_json(r));
      m.reply_to_msg = id;
      return {};
    }
    case 16:
      return assign(read_optional_forward_info_json(r), m.forwarded_from);
    case 17:
      return assign(read_optional_reply_context_json(r), m.reply_context);
  }
  return {};
}

}  // namespace

std::string message_json_text(const Message& m) {
  // Room for the fixed fields and the content, so that a long text is not
  // copied again each time the buffer doubles.
  JsonWriter w(512 + m.content.size() + m.content.size() / 8);
  write_message(w, m, false);
  return w.take();
}

void write_message_json(JsonWriter& w, const Message& m, bool keep_key_material) {
  write_message(w, m, keep_key_material);
}

Result<Message, JsonError> read_message_json_value(JsonReader& r) {
  Message m;
  BRENVIK_TRY_VOID(read_record(r, "struct Message", kMessageFields,
                               [&](size_t i) { return read_field(r, m, i); }));
  return m;
}

Result<Bytes, TransportError> encode_message_json(const Message& m) {
  std::string text = message_json_text(m);
  return Bytes(text.begin(), text.end());
}

Result<Message, JsonError> read_message_json(ByteView input) {
  JsonReader r(input);
  Message m;
  auto st = read_record(r, "struct Message", kMessageFields,
                        [&](size_t i) { return read_field(r, m, i); });
  if (st.ok()) st = r.finish();
  if (!st.ok()) return Err(std::move(st).error());
  return m;
}

Result<Message, TransportError> decode_message_json(ByteView input) {
  auto r = read_message_json(input);
  if (!r.ok()) {
    return Err(
        TransportError::serialization("Failed to deserialize message: " + r.error().to_string()));
  }
  return std::move(r).value();
}

}  // namespace brenvik
