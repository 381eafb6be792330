#include "protocol/records/data_purpose_json.h"

#include "protocol/records/field_assign.h"
#include "protocol/records/tagged_record.h"

namespace brenvik {

namespace {

constexpr JsonField kHashField[] = {{"hash", FieldRule::Required}};
constexpr JsonField kDocField[] = {{"doc", FieldRule::Required}};
constexpr TaggedVariant kVariants[] = {
    {"attachment", "Attachment", kHashField},
    {"snapshot", "Snapshot", kDocField},
};

constexpr std::string_view kReasonCodes[] = {"TRANSPORT_UNAVAILABLE", "PEER_UNREACHABLE",
                                             "PEER_DISCONNECTED",     "TIMEOUT",
                                             "INTERNAL_ERROR",        "RETRY_EXHAUSTED"};

template <typename Collection, typename Add>
Result<Collection, JsonError> read_strings(JsonReader& r, Add add) {
  Collection out;
  BRENVIK_TRY_VOID(r.begin_array("a sequence"));
  for (;;) {
    BRENVIK_TRY(bool more, r.next_element());
    if (!more) break;
    BRENVIK_TRY(std::string s, r.read_string());
    add(out, std::move(s));
  }
  return out;
}

}  // namespace

Result<DataPurpose, JsonError> read_data_purpose(JsonReader& r) {
  std::string text;
  BRENVIK_TRY(size_t variant,
              read_tagged_record(r, "DataPurpose", "p", kVariants, [&](size_t, size_t) {
                return assign_field(r.read_string(), text);
              }));
  if (variant == 0) return DataPurpose{DataPurpose::Attachment{std::move(text)}};
  return DataPurpose{DataPurpose::Snapshot{std::move(text)}};
}

Result<DataPurpose, JsonError> read_data_purpose_json(ByteView input) {
  JsonReader r(input);
  BRENVIK_TRY(DataPurpose p, read_data_purpose(r));
  BRENVIK_TRY_VOID(r.finish());
  return p;
}

Result<std::optional<DataPurpose>, JsonError> read_data_purpose_field(JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<DataPurpose>();
  }
  BRENVIK_TRY(DataPurpose p, read_data_purpose(r));
  return std::optional<DataPurpose>(std::move(p));
}

void write_data_purpose(JsonWriter& w, const DataPurpose& purpose) {
  w.begin_object();
  if (const auto* a = std::get_if<DataPurpose::Attachment>(&purpose.v)) {
    w.field_str("p", "attachment");
    w.field_str("hash", a->hash);
  } else {
    w.field_str("p", "snapshot");
    w.field_str("doc", std::get<DataPurpose::Snapshot>(purpose.v).doc);
  }
  w.end_object();
}

std::string write_data_purpose_json(const DataPurpose& purpose) {
  JsonWriter w(64);
  write_data_purpose(w, purpose);
  return w.take();
}

Result<std::set<std::string>, JsonError> read_string_set_field(JsonReader& r) {
  return read_strings<std::set<std::string>>(
      r, [](std::set<std::string>& out, std::string s) { out.insert(std::move(s)); });
}

Result<std::vector<std::string>, JsonError> read_string_list_field(JsonReader& r) {
  return read_strings<std::vector<std::string>>(
      r, [](std::vector<std::string>& out, std::string s) { out.push_back(std::move(s)); });
}

Result<std::optional<WelcomeFailureReason>, JsonError> read_failure_reason_code_field(
    JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<WelcomeFailureReason>();
  }
  BRENVIK_TRY(size_t i, read_unit_enum(r, "enum FailureReasonCode", kReasonCodes));
  return std::optional<WelcomeFailureReason>(WelcomeFailureReason(i));
}

void write_failure_reason_code_field(JsonWriter& w, std::string_view key,
                                     std::optional<WelcomeFailureReason> code) {
  w.key(key);
  if (code)
    w.str(enum_json_text(*code));
  else
    w.null();
}

}  // namespace brenvik
