#include "protocol/records/group_payloads.h"

#include "protocol/records/field_assign.h"
#include "util/json_record.h"

namespace brenvik {

namespace {

constexpr std::string_view kCommitTypes[] = {"add", "remove", "keyupdate"};

// group_name may be missing from the object but not from the array.
constexpr JsonField kWelcomeFields[] = {
    {"group_id", FieldRule::Required},      {"group_name", FieldRule::Optional},
    {"welcome_data", FieldRule::Required},  {"member_list", FieldRule::Required},
    {"member_roles", FieldRule::Defaulted}, {"member_rich", FieldRule::Defaulted},
    {"member_data", FieldRule::Defaulted},  {"created_by", FieldRule::Defaulted}};

Result<VersionList, JsonError> read_version_list(JsonReader& r) {
  BRENVIK_TRY(Bytes b, r.read_byte_array());
  return VersionList(b.begin(), b.end());
}

Result<std::vector<std::string>, JsonError> read_string_array(JsonReader& r) {
  std::vector<std::string> out;
  BRENVIK_TRY_VOID(r.begin_array("a sequence"));
  for (;;) {
    BRENVIK_TRY(bool more, r.next_element());
    if (!more) break;
    BRENVIK_TRY(std::string s, r.read_string());
    out.push_back(std::move(s));
  }
  return out;
}

// An object keyed by user id; a repeated key keeps its last value.
template <typename V, typename ReadValue>
Result<std::map<std::string, V>, JsonError> read_user_map(JsonReader& r, ReadValue read_value) {
  std::map<std::string, V> out;
  BRENVIK_TRY_VOID(r.begin_object("a map"));
  std::string_view key;
  for (;;) {
    BRENVIK_TRY(bool more, r.next_key(key));
    if (!more) break;
    std::string user(key);
    BRENVIK_TRY(V v, read_value(r));
    out.insert_or_assign(std::move(user), std::move(v));
  }
  return out;
}

void write_versions(JsonWriter& w, const VersionList& v) {
  w.byte_array(ByteView(v.data(), v.size()));
}

}  // namespace

std::string_view group_role_json_text(GroupRole r) {
  return r == GroupRole::Admin ? "admin" : "member";
}

std::string_view commit_type_json_text(CommitType t) {
  return kCommitTypes[static_cast<size_t>(t)];
}

Result<GroupRole, JsonError> read_group_role(JsonReader& r) {
  BRENVIK_TRY(JsonType t, r.peek_type());
  if (t == JsonType::String) {
    BRENVIK_TRY(std::string_view s, r.read_string_view());
    return s == "admin" ? GroupRole::Admin : GroupRole::Member;
  }
  if (t != JsonType::Object) return Err(r.invalid_type("enum GroupRole"));
  BRENVIK_TRY_VOID(r.begin_object("enum GroupRole"));
  std::string_view key;
  BRENVIK_TRY(bool more, r.next_key(key));
  if (!more) return Err(r.error("invalid length 0, expected a single variant key"));
  const GroupRole role = key == "admin" ? GroupRole::Admin : GroupRole::Member;
  BRENVIK_TRY_VOID(r.read_null());
  BRENVIK_TRY(bool again, r.next_key(key));
  if (again) return Err(r.error("invalid length 2, expected a single variant key"));
  return role;
}

Result<CommitType, JsonError> read_commit_type(JsonReader& r) {
  BRENVIK_TRY(size_t i, read_unit_enum(r, "enum CommitType", kCommitTypes));
  return CommitType(i);
}

void write_group_role(JsonWriter& w, const GroupRole& r) {
  w.str(group_role_json_text(r));
}
void write_commit_type(JsonWriter& w, const CommitType& t) {
  w.str(commit_type_json_text(t));
}

template <>
struct JsonRecord<GroupRenamePayload> {
  static constexpr std::string_view kName = "struct GroupRenamePayload";
  static constexpr auto fields() {
    using T = GroupRenamePayload;
    return std::tuple{json_field("group_id", &T::group_id), json_field("new_name", &T::new_name),
                      json_field("renamed_by", &T::renamed_by)};
  }
};

template <>
struct JsonRecord<GroupMlsCommitPayload> {
  static constexpr std::string_view kName = "struct GroupMlsCommitPayload";
  static constexpr auto fields() {
    using T = GroupMlsCommitPayload;
    return std::tuple{
        json_field("group_id", &T::group_id),
        json_field("commit_type", &T::commit_type, json_codec(write_commit_type, read_commit_type)),
        json_field("ciphertext", &T::ciphertext),
        json_field("epoch", &T::epoch),
        json_field("affected_member", &T::affected_member),
        json_field("role", &T::role, json_optional(json_codec(write_group_role, read_group_role)),
                   FieldRule::Defaulted),
        json_field("affected_member_rich", &T::affected_member_rich),
        json_field("affected_member_data", &T::affected_member_data),
    };
  }
};

template <>
struct JsonRecord<GroupRoleChangePayload> {
  static constexpr std::string_view kName = "struct GroupRoleChangePayload";
  static constexpr auto fields() {
    using T = GroupRoleChangePayload;
    return std::tuple{
        json_field("group_id", &T::group_id), json_field("target_user_id", &T::target_user_id),
        json_field("new_role", &T::new_role, json_codec(write_group_role, read_group_role)),
        json_field("changed_by", &T::changed_by)};
  }
};

template <>
struct JsonRecord<GroupMemberRemovedPayload> {
  static constexpr std::string_view kName = "struct GroupMemberRemovedPayload";
  static constexpr auto fields() {
    using T = GroupMemberRemovedPayload;
    return std::tuple{json_field("group_id", &T::group_id), json_field("user_id", &T::user_id),
                      json_field("removed_by", &T::removed_by)};
  }
};

namespace {

// A payload written by its field list into a writer of `reserve` bytes.
template <typename T>
std::string payload_text(const T& p, size_t reserve) {
  JsonWriter w(reserve);
  write_json_record(w, p);
  return w.take();
}

template <typename T>
Result<T, JsonError> payload_from_text(std::string_view text) {
  return read_whole_record<T>(text, [](JsonReader& r, T& p) { return read_json_record(r, p); });
}

}  // namespace

// ---- rename ----

std::string GroupRenamePayload::to_json() const {
  return payload_text(*this, 96);
}

Result<GroupRenamePayload, JsonError> GroupRenamePayload::from_json(std::string_view text) {
  return payload_from_text<GroupRenamePayload>(text);
}

// ---- commit ----

std::string GroupMlsCommitPayload::to_json() const {
  return payload_text(*this, 128 + ciphertext.size());
}

Result<GroupMlsCommitPayload, JsonError> GroupMlsCommitPayload::from_json(std::string_view text) {
  return payload_from_text<GroupMlsCommitPayload>(text);
}

// ---- welcome ----

std::string GroupMlsWelcomePayload::to_json() const {
  JsonWriter w(128 + welcome_data.size());
  w.begin_object();
  w.field_str("group_id", group_id);
  if (group_name)
    w.field_str("group_name", *group_name);
  else
    w.field_null("group_name");
  w.field_str("welcome_data", welcome_data);
  w.key("member_list").begin_array();
  for (const auto& m : member_list) w.str(m);
  w.end_array();
  if (!member_roles.empty()) {
    w.key("member_roles").begin_object();
    for (const auto& [user, role] : member_roles) w.field_str(user, group_role_json_text(role));
    w.end_object();
  }
  for (const auto* m : {&member_rich, &member_data}) {
    if (m->empty()) continue;
    w.key(m == &member_rich ? "member_rich" : "member_data").begin_object();
    for (const auto& [user, versions] : *m) write_versions(w.key(user), versions);
    w.end_object();
  }
  if (created_by) w.field_str("created_by", *created_by);
  w.end_object();
  return w.take();
}

Result<GroupMlsWelcomePayload, JsonError> GroupMlsWelcomePayload::from_json(std::string_view text) {
  return read_whole_record<GroupMlsWelcomePayload>(text, [](JsonReader& r,
                                                            GroupMlsWelcomePayload& p) {
    return read_record(
        r, "struct GroupMlsWelcomePayload", kWelcomeFields, [&](size_t i) -> JsonStatus {
          switch (i) {
            case 0:
              return assign_field(r.read_string(), p.group_id);
            case 1:
              return assign_field(r.read_optional_string(), p.group_name);
            case 2:
              return assign_field(r.read_string(), p.welcome_data);
            case 3:
              return assign_field(read_string_array(r), p.member_list);
            case 4:
              return assign_field(read_user_map<GroupRole>(r, read_group_role), p.member_roles);
            case 5:
              return assign_field(read_user_map<VersionList>(r, read_version_list), p.member_rich);
            case 6:
              return assign_field(read_user_map<VersionList>(r, read_version_list), p.member_data);
            default:
              return assign_field(r.read_optional_string(), p.created_by);
          }
        });
  });
}

// ---- role change ----

std::string GroupRoleChangePayload::to_json() const {
  return payload_text(*this, 128);
}

Result<GroupRoleChangePayload, JsonError> GroupRoleChangePayload::from_json(std::string_view text) {
  return payload_from_text<GroupRoleChangePayload>(text);
}

// ---- member removed ----

std::string GroupMemberRemovedPayload::to_json() const {
  return payload_text(*this, 96);
}

Result<GroupMemberRemovedPayload, JsonError> GroupMemberRemovedPayload::from_json(
    std::string_view text) {
  return payload_from_text<GroupMemberRemovedPayload>(text);
}

}  // namespace brenvik
