#include "protocol/records/key_package_payload.h"

#include "util/json_writer.h"

namespace brenvik {

namespace {

template <typename T>
JsonStatus assign(Result<T, JsonError> r, T& out) {
  if (!r.ok()) return Err(std::move(r).error());
  out = std::move(r).value();
  return {};
}

JsonStatus read_versions(JsonReader& r, VersionList& out) {
  BRENVIK_TRY(Bytes b, r.read_byte_array());
  out.assign(b.begin(), b.end());
  return {};
}

void write_versions(JsonWriter& w, std::string_view key, const VersionList& v) {
  w.key(key).byte_array(ByteView(v.data(), v.size()));
}

template <typename T, typename ReadFn>
Result<T, JsonError> read_whole(JsonReader& r, ReadFn&& fn) {
  T value;
  BRENVIK_TRY_VOID(fn(value));
  BRENVIK_TRY_VOID(r.finish());
  return value;
}

constexpr JsonField kKeyPackageFields[] = {
    {"user_id", FieldRule::Required},
    {"key_package_data", FieldRule::Required},
    {"remaining_lifetime_ms", FieldRule::Defaulted},
    {"timestamp_ms", FieldRule::Defaulted},
    {"session_reset", FieldRule::Defaulted},
    {"wire_versions", FieldRule::Defaulted},
    {"env_versions", FieldRule::Defaulted},
    {"rich_versions", FieldRule::Defaulted},
    {"data_versions", FieldRule::Defaulted},
    {"ctrl_versions", FieldRule::Defaulted},
    {"nostr_pubkey", FieldRule::Defaulted},
};

constexpr JsonField kCapabilityFields[] = {
    {"env_versions", FieldRule::Defaulted},
    {"rich_versions", FieldRule::Defaulted},
    {"data_versions", FieldRule::Defaulted},
    {"attested_rich_versions", FieldRule::Defaulted},
    {"attested_data_versions", FieldRule::Defaulted},
    {"ctrl_versions", FieldRule::Defaulted},
    {"nostr_pubkey", FieldRule::Defaulted},
};

constexpr JsonField kCapableFields[] = {
    {"last_seen_ms", FieldRule::Required},
    {"ctrl_freshness_proved", FieldRule::Defaulted},
    {"last_reset_ms", FieldRule::Defaulted},
};

constexpr std::string_view kConfirmationStates[] = {"Pending", "Confirmed"};

}  // namespace

std::string KeyPackagePayload::to_json() const {
  JsonWriter w(64 + key_package_data.size() * 4);
  w.begin_object();
  w.field_str("user_id", user_id);
  w.key("key_package_data").byte_array(key_package_data);
  w.field_u64("remaining_lifetime_ms", remaining_lifetime_ms);
  w.field_u64("timestamp_ms", timestamp_ms);
  w.field_bool("session_reset", session_reset);
  write_versions(w, "wire_versions", wire_versions);
  write_versions(w, "env_versions", env_versions);
  write_versions(w, "rich_versions", rich_versions);
  write_versions(w, "data_versions", data_versions);
  write_versions(w, "ctrl_versions", ctrl_versions);
  if (nostr_pubkey) w.field_str("nostr_pubkey", *nostr_pubkey);
  w.end_object();
  return w.take();
}

Result<KeyPackagePayload, JsonError> KeyPackagePayload::from_json(std::string_view text) {
  JsonReader r(text);
  return read_whole<KeyPackagePayload>(r, [&](KeyPackagePayload& k) {
    return read_record(r, "struct KeyPackagePayload", kKeyPackageFields,
                       [&](size_t i) -> JsonStatus {
                         switch (i) {
                           case 0:
                             return assign(r.read_string(), k.user_id);
                           case 1:
                             return assign(r.read_byte_array(), k.key_package_data);
                           case 2:
                             return assign(r.read_u64(), k.remaining_lifetime_ms);
                           case 3:
                             return assign(r.read_u64(), k.timestamp_ms);
                           case 4:
                             return assign(r.read_bool(), k.session_reset);
                           case 5:
                             return read_versions(r, k.wire_versions);
                           case 6:
                             return read_versions(r, k.env_versions);
                           case 7:
                             return read_versions(r, k.rich_versions);
                           case 8:
                             return read_versions(r, k.data_versions);
                           case 9:
                             return read_versions(r, k.ctrl_versions);
                           case 10:
                             return assign(r.read_optional_string(), k.nostr_pubkey);
                         }
                         return {};
                       });
  });
}

std::string PeerCapabilities::to_json() const {
  JsonWriter w(64);
  w.begin_object();
  auto list = [&](std::string_view key, const VersionList& v) {
    if (!v.empty()) write_versions(w, key, v);
  };
  list("env_versions", env_versions);
  list("rich_versions", rich_versions);
  list("data_versions", data_versions);
  list("attested_rich_versions", attested_rich_versions);
  list("attested_data_versions", attested_data_versions);
  list("ctrl_versions", ctrl_versions);
  if (nostr_pubkey) w.field_str("nostr_pubkey", *nostr_pubkey);
  w.end_object();
  return w.take();
}

Result<PeerCapabilities, JsonError> PeerCapabilities::from_json(ByteView stored) {
  JsonReader r(stored);
  return read_whole<PeerCapabilities>(r, [&](PeerCapabilities& c) {
    return read_record(r, "struct PeerCapabilities", kCapabilityFields,
                       [&](size_t i) -> JsonStatus {
                         switch (i) {
                           case 0:
                             return read_versions(r, c.env_versions);
                           case 1:
                             return read_versions(r, c.rich_versions);
                           case 2:
                             return read_versions(r, c.data_versions);
                           case 3:
                             return read_versions(r, c.attested_rich_versions);
                           case 4:
                             return read_versions(r, c.attested_data_versions);
                           case 5:
                             return read_versions(r, c.ctrl_versions);
                           case 6:
                             return assign(r.read_optional_string(), c.nostr_pubkey);
                         }
                         return {};
                       });
  });
}

Bytes EncryptionCapableEntry::to_json() const {
  JsonWriter w(80);
  w.begin_object();
  w.field_i64("last_seen_ms", last_seen_ms);
  w.field_bool("ctrl_freshness_proved", ctrl_freshness_proved);
  w.field_i64("last_reset_ms", last_reset_ms);
  w.end_object();
  const std::string& t = w.text();
  return Bytes(t.begin(), t.end());
}

Result<EncryptionCapableEntry, JsonError> EncryptionCapableEntry::from_json(ByteView stored) {
  JsonReader r(stored);
  return read_whole<EncryptionCapableEntry>(r, [&](EncryptionCapableEntry& e) {
    return read_record(r, "struct EncryptionCapableEntry", kCapableFields,
                       [&](size_t i) -> JsonStatus {
                         switch (i) {
                           case 0:
                             return assign(r.read_i64(), e.last_seen_ms);
                           case 1:
                             return assign(r.read_bool(), e.ctrl_freshness_proved);
                           case 2:
                             return assign(r.read_i64(), e.last_reset_ms);
                         }
                         return {};
                       });
  });
}

std::string write_session_confirmation_state(SessionConfirmationState s) {
  std::string out;
  json_append_string(out, kConfirmationStates[static_cast<size_t>(s)]);
  return out;
}

Result<SessionConfirmationState, JsonError> read_session_confirmation_state(ByteView stored) {
  JsonReader r(stored);
  BRENVIK_TRY(size_t idx, read_unit_enum(r, "enum SessionConfirmationState", kConfirmationStates));
  BRENVIK_TRY_VOID(r.finish());
  return SessionConfirmationState(idx);
}

}  // namespace brenvik
