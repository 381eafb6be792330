#include "protocol/records/group_payloads.h"

#include "protocol/records/field_assign.h"

namespace brenvik {

namespace {

constexpr std::string_view kCommitTypes[] = {"add", "remove", "keyupdate"};

constexpr JsonField kRenameFields[] = {{"group_id", FieldRule::Required},
                                       {"new_name", FieldRule::Required},
                                       {"renamed_by", FieldRule::Required}};
constexpr JsonField kCommitFields[] = {{"group_id", FieldRule::Required},
                                       {"commit_type", FieldRule::Required},
                                       {"ciphertext", FieldRule::Required},
                                       {"epoch", FieldRule::Required},
                                       {"affected_member", FieldRule::Defaulted},
                                       {"role", FieldRule::Defaulted},
                                       {"affected_member_rich", FieldRule::Defaulted},
                                       {"affected_member_data", FieldRule::Defaulted}};
// group_name may be missing from the object but not from the array.
constexpr JsonField kWelcomeFields[] = {
    {"group_id", FieldRule::Required},      {"group_name", FieldRule::Optional},
    {"welcome_data", FieldRule::Required},  {"member_list", FieldRule::Required},
    {"member_roles", FieldRule::Defaulted}, {"member_rich", FieldRule::Defaulted},
    {"member_data", FieldRule::Defaulted},  {"created_by", FieldRule::Defaulted}};
constexpr JsonField kRoleChangeFields[] = {{"group_id", FieldRule::Required},
                                           {"target_user_id", FieldRule::Required},
                                           {"new_role", FieldRule::Required},
                                           {"changed_by", FieldRule::Required}};
constexpr JsonField kRemovedFields[] = {{"group_id", FieldRule::Required},
                                        {"user_id", FieldRule::Required},
                                        {"removed_by", FieldRule::Required}};

Result<VersionList, JsonError> read_version_list(JsonReader& r) {
  BRENVIK_TRY(Bytes b, r.read_byte_array());
  return VersionList(b.begin(), b.end());
}

Result<std::optional<VersionList>, JsonError> read_optional_version_list(JsonReader& r) {
  BRENVIK_TRY(bool is_null, r.peek_null());
  if (is_null) {
    BRENVIK_TRY_VOID(r.read_null());
    return std::optional<VersionList>();
  }
  BRENVIK_TRY(VersionList v, read_version_list(r));
  return std::optional<VersionList>(std::move(v));
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

// ---- rename ----

std::string GroupRenamePayload::to_json() const {
  JsonWriter w(96);
  w.begin_object();
  w.field_str("group_id", group_id);
  w.field_str("new_name", new_name);
  w.field_str("renamed_by", renamed_by);
  w.end_object();
  return w.take();
}

Result<GroupRenamePayload, JsonError> GroupRenamePayload::from_json(std::string_view text) {
  return read_whole_record<GroupRenamePayload>(text, [](JsonReader& r, GroupRenamePayload& p) {
    return read_record(r, "struct GroupRenamePayload", kRenameFields, [&](size_t i) {
      std::string* f[] = {&p.group_id, &p.new_name, &p.renamed_by};
      return assign_field(r.read_string(), *f[i]);
    });
  });
}

// ---- commit ----

std::string GroupMlsCommitPayload::to_json() const {
  JsonWriter w(128 + ciphertext.size());
  w.begin_object();
  w.field_str("group_id", group_id);
  w.field_str("commit_type", commit_type_json_text(commit_type));
  w.field_str("ciphertext", ciphertext);
  w.field_u64("epoch", epoch);
  if (affected_member) w.field_str("affected_member", *affected_member);
  if (role) w.field_str("role", group_role_json_text(*role));
  if (affected_member_rich) write_versions(w.key("affected_member_rich"), *affected_member_rich);
  if (affected_member_data) write_versions(w.key("affected_member_data"), *affected_member_data);
  w.end_object();
  return w.take();
}

Result<GroupMlsCommitPayload, JsonError> GroupMlsCommitPayload::from_json(std::string_view text) {
  return read_whole_record<GroupMlsCommitPayload>(
      text, [](JsonReader& r, GroupMlsCommitPayload& p) {
        return read_record(
            r, "struct GroupMlsCommitPayload", kCommitFields, [&](size_t i) -> JsonStatus {
              switch (i) {
                case 0:
                  return assign_field(r.read_string(), p.group_id);
                case 1:
                  return assign_field(read_commit_type(r), p.commit_type);
                case 2:
                  return assign_field(r.read_string(), p.ciphertext);
                case 3:
                  return assign_field(r.read_u64(), p.epoch);
                case 4:
                  return assign_field(r.read_optional_string(), p.affected_member);
                case 5: {
                  BRENVIK_TRY(bool is_null, r.peek_null());
                  if (is_null) return r.read_null();
                  return assign_field(read_group_role(r), p.role);
                }
                case 6:
                  return assign_field(read_optional_version_list(r), p.affected_member_rich);
                default:
                  return assign_field(read_optional_version_list(r), p.affected_member_data);
              }
            });
      });
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
  JsonWriter w(128);
  w.begin_object();
  w.field_str("group_id", group_id);
  w.field_str("target_user_id", target_user_id);
  w.field_str("new_role", group_role_json_text(new_role));
  w.field_str("changed_by", changed_by);
  w.end_object();
  return w.take();
}

Result<GroupRoleChangePayload, JsonError> GroupRoleChangePayload::from_json(std::string_view text) {
  return read_whole_record<GroupRoleChangePayload>(
      text, [](JsonReader& r, GroupRoleChangePayload& p) {
        return read_record(r, "struct GroupRoleChangePayload", kRoleChangeFields,
                           [&](size_t i) -> JsonStatus {
                             switch (i) {
                               case 0:
                                 return assign_field(r.read_string(), p.group_id);
                               case 1:
                                 return assign_field(r.read_string(), p.target_user_id);
                               case 2:
                                 return assign_field(read_group_role(r), p.new_role);
                               default:
                                 return assign_field(r.read_string(), p.changed_by);
                             }
                           });
      });
}

// ---- member removed ----

std::string GroupMemberRemovedPayload::to_json() const {
  JsonWriter w(96);
  w.begin_object();
  w.field_str("group_id", group_id);
  w.field_str("user_id", user_id);
  w.field_str("removed_by", removed_by);
  w.end_object();
  return w.take();
}

Result<GroupMemberRemovedPayload, JsonError> GroupMemberRemovedPayload::from_json(
    std::string_view text) {
  return read_whole_record<GroupMemberRemovedPayload>(
      text, [](JsonReader& r, GroupMemberRemovedPayload& p) {
        return read_record(r, "struct GroupMemberRemovedPayload", kRemovedFields, [&](size_t i) {
          std::string* f[] = {&p.group_id, &p.user_id, &p.removed_by};
          return assign_field(r.read_string(), *f[i]);
        });
      });
}

}  // namespace brenvik
