#include "mls/group_metadata.h"

#include <vector>

#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik::mls {
namespace {

constexpr std::string_view kLegacyRolePrefix = "role:";

bool is_legacy_role_key(std::string_view key) {
  return key.size() > 4 && key.starts_with(kLegacyRolePrefix);
}

constexpr JsonField kFields[] = {
    {"name", FieldRule::Optional},
    {"created_at_ms", FieldRule::Required},
    {"last_activity_ms", FieldRule::Required},
    {"custom", FieldRule::Defaulted},
    {"created_by", FieldRule::Defaulted},
    {"roles", FieldRule::Defaulted},
};

// A map of strings; a repeated inner key keeps the last value, as maps do.
JsonStatus read_string_map(JsonReader& r, std::map<std::string, std::string>& out) {
  BRENVIK_TRY_VOID(r.begin_object());
  std::string_view key;
  for (;;) {
    BRENVIK_TRY(bool more, r.next_key(key));
    if (!more) return {};
    std::string k(key);
    BRENVIK_TRY(std::string v, r.read_string());
    out[std::move(k)] = std::move(v);
  }
}

// Exactly "admin" is admin; any other string is member; another JSON type
// is not a role at all.
JsonStatus read_roles(JsonReader& r, std::map<std::string, GroupRole>& out) {
  BRENVIK_TRY_VOID(r.begin_object());
  std::string_view key;
  for (;;) {
    BRENVIK_TRY(bool more, r.next_key(key));
    if (!more) return {};
    std::string k(key);
    BRENVIK_TRY(JsonType t, r.peek_type());
    if (t != JsonType::String) return Err(r.invalid_type("variant identifier"));
    BRENVIK_TRY(std::string_view v, r.read_string_view());
    out[std::move(k)] = v == "admin" ? GroupRole::Admin : GroupRole::Member;
  }
}

}  // namespace

std::string_view group_role_text(GroupRole r) {
  switch (r) {
    case GroupRole::Admin:
      return "admin";
    case GroupRole::Member:
      return "member";
  }
  return {};
}

GroupMetadata GroupMetadata::new_group(std::optional<std::string> name, uint64_t now_ms) {
  GroupMetadata m;
  m.name = std::move(name);
  m.created_at_ms = now_ms;
  m.last_activity_ms = now_ms;
  return m;
}

GroupMetadata GroupMetadata::new_for_creator(std::optional<std::string> name, std::string creator,
                                             uint64_t now_ms) {
  GroupMetadata m = new_group(std::move(name), now_ms);
  m.roles.emplace(creator, GroupRole::Admin);
  m.created_by = std::move(creator);
  return m;
}

GroupRole GroupMetadata::role_of(std::string_view user_id) const {
  auto it = roles.find(std::string(user_id));
  return it == roles.end() ? GroupRole::Member : it->second;
}

bool GroupMetadata::has_admin() const {
  for (const auto& [user, role] : roles)
    if (role == GroupRole::Admin) return true;
  return false;
}

bool GroupMetadata::has_legacy_role_keys() const {
  for (const auto& [k, v] : custom)
    if (is_legacy_role_key(k)) return true;
  return false;
}

void GroupMetadata::migrate_legacy_roles() {
  std::vector<std::string> keys;
  for (const auto& [k, v] : custom)
    if (is_legacy_role_key(k)) keys.push_back(k);
  for (const std::string& key : keys) {
    std::string user = key.substr(kLegacyRolePrefix.size());
    if (!roles.contains(user)) {
      std::string value = custom[key];
      for (char& c : value)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      roles.emplace(std::move(user), value == "admin" ? GroupRole::Admin : GroupRole::Member);
    }
    custom.erase(key);
  }
}

std::string write_group_metadata(const GroupMetadata& m) {
  JsonWriter w(128);
  w.begin_object();
  w.key("name");
  if (m.name)
    w.str(*m.name);
  else
    w.null();
  w.field_u64("created_at_ms", m.created_at_ms);
  w.field_u64("last_activity_ms", m.last_activity_ms);
  w.key("custom").begin_object();
  for (const auto& [k, v] : m.custom) w.field_str(k, v);
  w.end_object();
  w.key("created_by");
  if (m.created_by)
    w.str(*m.created_by);
  else
    w.null();
  if (!m.roles.empty()) {
    w.key("roles").begin_object();
    for (const auto& [user, role] : m.roles) w.field_str(user, group_role_text(role));
    w.end_object();
  }
  w.end_object();
  return w.take();
}

Result<GroupMetadata, std::string> read_group_metadata(ByteView bytes) {
  JsonReader r(bytes);
  GroupMetadata m;
  auto st = read_record(r, "struct GroupMetadata", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        BRENVIK_TRY(m.name, r.read_optional_string());
        return {};
      }
      case 1: {
        BRENVIK_TRY(m.created_at_ms, r.read_u64());
        return {};
      }
      case 2: {
        BRENVIK_TRY(m.last_activity_ms, r.read_u64());
        return {};
      }
      case 3:
        return read_string_map(r, m.custom);
      case 4: {
        BRENVIK_TRY(m.created_by, r.read_optional_string());
        return {};
      }
      case 5:
        return read_roles(r, m.roles);
    }
    return {};
  });
  if (st.ok()) st = r.finish();
  if (!st.ok()) return Err(st.error().to_string());
  return m;
}

}  // namespace brenvik::mls
