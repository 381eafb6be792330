#include "protocol/records/small_records.h"

#include "protocol/records/generic_json.h"

#include "core/username.h"
#include "util/base64.h"
#include "util/hex.h"
#include "util/json_record.h"

namespace brenvik {

namespace {
constexpr std::string_view kPlatforms[] = {"ios", "android", "linux", "macos", "windows", "other"};
}  // namespace

template <>
struct JsonRecord<SeenId> {
  static constexpr std::string_view kName = "struct SeenId";
  static constexpr auto fields() {
    return std::tuple{json_field("id", &SeenId::id), json_field("seen_at_ms", &SeenId::seen_at_ms)};
  }
};

template <>
struct JsonRecord<RawEvent> {
  static constexpr std::string_view kName = "struct RawEvent";
  static constexpr auto fields() {
    return std::tuple{json_field("type", &RawEvent::type), json_field("ts_ms", &RawEvent::ts_ms),
                      json_field("data", &RawEvent::data)};
  }
};

void SeenId::to_json(JsonWriter& w) const {
  write_json_record(w, *this);
}

Result<SeenId, JsonError> SeenId::from_json(JsonReader& r) {
  return read_json_record<SeenId>(r);
}

Result<CustodyReceipt, std::string> CustodyReceipt::from_json(const nlohmann::json& value) {
  CustodyReceipt c;
  const nlohmann::json* fields[3] = {nullptr, nullptr, nullptr};
  static constexpr const char* kKeys[3] = {"v", "id", "hold_ms"};
  if (value.is_object()) {
    for (int i = 0; i < 3; ++i) {
      auto it = value.find(kKeys[i]);
      if (it != value.end()) fields[i] = &*it;
    }
    for (int i = 0; i < 3; ++i)
      if (!fields[i]) return Err(std::string("missing field `") + kKeys[i] + "`");
  } else if (value.is_array()) {
    if (value.size() > 3)
      return Err("invalid length " + std::to_string(value.size()) +
                 ", expected fewer elements in array");
    if (value.size() < 3)
      return Err("invalid length " + std::to_string(value.size()) +
                 ", expected struct CustodyReceipt with 3 elements");
    for (int i = 0; i < 3; ++i) fields[i] = &value[i];
  } else {
    return Err("invalid type: " + describe_generic(value) + ", expected struct CustodyReceipt");
  }
  BRENVIK_TRY(uint64_t v, generic_unsigned(*fields[0], 255, "u8"));
  c.v = static_cast<uint8_t>(v);
  if (!fields[1]->is_string())
    return Err("invalid type: " + describe_generic(*fields[1]) + ", expected a string");
  c.id = fields[1]->get<std::string>();
  BRENVIK_TRY(c.hold_ms, generic_unsigned(*fields[2], UINT64_MAX, "u64"));
  return c;
}

void RawEvent::to_json(JsonWriter& w) const {
  write_json_record(w, *this);
}

Result<RawEvent, JsonError> RawEvent::from_json(JsonReader& r) {
  return read_json_record<RawEvent>(r);
}

std::string_view telemetry_platform_name(TelemetryPlatform p) {
  auto i = static_cast<size_t>(p);
  return i < std::size(kPlatforms) ? kPlatforms[i] : std::string_view("other");
}

Result<TelemetryPlatform, JsonError> read_telemetry_platform(JsonReader& r) {
  BRENVIK_TRY(size_t idx, read_unit_enum(r, "enum TelemetryPlatform", kPlatforms));
  return TelemetryPlatform(idx);
}

std::string write_discovery_claim_json(const DiscoveryRecordV1& d) {
  JsonWriter w(256);
  w.begin_object();
  w.field_u64("v", d.v);
  w.field_str("username", d.username);
  w.field_str("address", d.address);
  w.field_str("pubkey", base64_encode(d.pubkey));
  w.field_str("nostr_author", hex_encode(d.nostr_author));
  w.field_i64("issued_at_ms", d.issued_at_ms);
  w.field_str("sig", base64_encode(d.sig));
  w.end_object();
  return w.take();
}

namespace {
Result<std::string, JsonError> read_normalized_username(JsonReader& r) {
  BRENVIK_TRY(std::string text, r.read_string());
  auto norm = normalize_username(text);
  if (!norm.ok()) return Err(r.error(norm.error().message()));
  if (norm.value() != text) return Err(r.error("username is not in normalized form"));
  return text;
}
}  // namespace

Result<std::optional<std::string>, JsonError> read_username_field(JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<std::string>();
  }
  BRENVIK_TRY(std::string u, read_normalized_username(r));
  return std::optional<std::string>(std::move(u));
}

Result<std::vector<std::string>, JsonError> read_username_list_field(JsonReader& r) {
  std::vector<std::string> out;
  BRENVIK_TRY_VOID(r.begin_array());
  for (;;) {
    BRENVIK_TRY(bool more, r.next_element());
    if (!more) return out;
    BRENVIK_TRY(std::string u, read_normalized_username(r));
    out.push_back(std::move(u));
  }
}

void write_bytes_base64(JsonWriter& w, ByteView bytes) {
  w.str(base64_encode(bytes));
}

Result<Bytes, JsonError> read_bytes_base64(JsonReader& r) {
  BRENVIK_TRY(std::string_view text, r.read_string_view());
  auto b = base64_decode(text);
  if (!b.ok()) return Err(r.error(std::string(codec_error_message(b.error()))));
  return std::move(b).value();
}

}  // namespace brenvik
