#include "protocol/records/stored_fields.h"

#include <array>

#include "sealed/group_id.h"
#include "transport/message_json.h"

namespace brenvik {

namespace {
constexpr std::string_view kPrioritySpellings[] = {"low", "medium", "high", "critical",
                                                   "Low", "Medium", "High", "Critical"};
constexpr std::string_view kWelcomeStates[] = {"Created", "SendAttempted", "Sent", "Failed",
                                               "Expired"};
}  // namespace

void write_message_json_field(JsonWriter& w, std::string_view key, const Message& message) {
  w.key(key);
  write_message_json(w, message, /*keep_key_material=*/true);
}

Result<Message, JsonError> read_message_json_field(JsonReader& r) {
  return read_message_json_value(r);
}

void write_priority_field(JsonWriter& w, MessagePriority p) {
  w.field_str("priority", priority_name(p));
}

Result<MessagePriority, JsonError> read_priority_field(JsonReader& r) {
  BRENVIK_TRY(size_t idx, read_unit_enum(r, "enum MessagePriority", kPrioritySpellings));
  return MessagePriority(idx % 4);
}

void write_content_type_field(JsonWriter& w, ContentType t) {
  w.str(content_type_name(t));
}

Result<ContentType, JsonError> read_content_type_field(JsonReader& r) {
  BRENVIK_TRY(std::string_view name, r.read_string_view());
  return content_type_from_name(name);
}

void write_transport_type_field(JsonWriter& w, std::string_view key,
                                std::optional<TransportType> t) {
  if (t)
    w.field_str(key, transport_type_name(*t));
  else
    w.field_null(key);
}

void write_group_id_field(JsonWriter& w, std::string_view group_id) {
  w.field_str("group_id", group_id);
}

Result<std::string, JsonError> read_group_id_field(JsonReader& r) {
  BRENVIK_TRY(std::string text, r.read_string());
  auto id = GroupId::create(text);
  if (!id.ok()) return Err(r.error(id.error().text));
  return text;
}

std::string_view welcome_lifecycle_state_name(WelcomeLifecycleState s) {
  auto i = static_cast<size_t>(s);
  return i < std::size(kWelcomeStates) ? kWelcomeStates[i] : std::string_view("?");
}

Result<WelcomeLifecycleState, JsonError> read_welcome_lifecycle_state(JsonReader& r) {
  BRENVIK_TRY(size_t idx, read_unit_enum(r, "enum WelcomeLifecycleState", kWelcomeStates));
  return WelcomeLifecycleState(idx);
}

std::string format_datetime_utc(UnixTime t) {
  int digits = 9;
  if (t.nanos == 0)
    digits = 0;
  else if (t.nanos % 1'000'000 == 0)
    digits = 3;
  else if (t.nanos % 1'000 == 0)
    digits = 6;
  return format_rfc3339(t, digits);
}

Result<UnixTime, JsonError> read_datetime_field(JsonReader& r) {
  BRENVIK_TRY(JsonType type, r.peek_type());
  if (type != JsonType::String)
    return Err(r.invalid_type("an RFC 3339 formatted date and time string"));
  BRENVIK_TRY(std::string_view text, r.read_string_view());
  auto t = parse_rfc3339(text);
  if (!t.ok())
    return Err(r.error(std::string("invalid RFC 3339 date-time: ") +
                       std::string(rfc3339_error_message(t.error()))));
  return t.value();
}

Result<std::optional<UnixTime>, JsonError> read_optional_datetime_field(JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<UnixTime>();
  }
  BRENVIK_TRY(UnixTime t, read_datetime_field(r));
  return std::optional<UnixTime>(t);
}

}  // namespace brenvik
