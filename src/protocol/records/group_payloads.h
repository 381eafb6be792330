// Control payloads the members of a serverless group send each other, each
// as the text of an internal message behind its marker: a rename
// ("__GRP_RENAME__"), an MLS commit ("__GRP_MLS_COMMIT__"), an MLS Welcome
// for a new member ("__GRP_MLS_WELCOME__"), a role change
// ("__GRP_ROLE_CHG__") and a removal notice ("__GROUP_MEMBER_REMOVED__").
//
// Ids are plain strings here and MLS bytes stay base64 text: the group mesh
// checks and decodes them. Writers cannot fail; readers take the text after
// the marker (one value, then only whitespace) in object or array form.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/common/log_names.h"  // CommitType
#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"

namespace brenvik {

enum class GroupRole : uint8_t { Admin, Member };

std::string_view group_role_json_text(GroupRole r);    // "admin", "member"
std::string_view commit_type_json_text(CommitType t);  // "add", "remove", "keyupdate"
// Exactly "admin" is admin; every other string is member (so is the key of
// the one-key object form {"admin":null}). Anything else is refused.
Result<GroupRole, JsonError> read_group_role(JsonReader& r);
// "add", "remove" or "keyupdate", exactly, or the one-key object form.
Result<CommitType, JsonError> read_commit_type(JsonReader& r);

// Small version numbers (rich-payload or data-sync versions), e.g. [1,2].
using VersionList = std::vector<uint8_t>;

struct GroupRenamePayload {
  std::string group_id;
  std::string new_name;
  std::string renamed_by;

  std::string to_json() const;
  static Result<GroupRenamePayload, JsonError> from_json(std::string_view text);
  bool operator==(const GroupRenamePayload&) const = default;
};

struct GroupMlsCommitPayload {
  std::string group_id;
  CommitType commit_type = CommitType::Add;
  std::string ciphertext;  // base64 of the MLS commit
  uint64_t epoch = 0;
  std::optional<std::string> affected_member;
  std::optional<GroupRole> role;
  std::optional<VersionList> affected_member_rich;
  std::optional<VersionList> affected_member_data;

  // Absent optional fields are left out, key and value.
  std::string to_json() const;
  static Result<GroupMlsCommitPayload, JsonError> from_json(std::string_view text);
  bool operator==(const GroupMlsCommitPayload&) const = default;
};

struct GroupMlsWelcomePayload {
  std::string group_id;
  std::optional<std::string> group_name;  // written as null when absent
  std::string welcome_data;               // base64 of the MLS Welcome
  std::vector<std::string> member_list;
  // Keyed by user id; no order among entries is promised on the wire.
  std::map<std::string, GroupRole> member_roles;
  std::map<std::string, VersionList> member_rich;
  std::map<std::string, VersionList> member_data;
  std::optional<std::string> created_by;

  // Empty maps and an absent creator are left out.
  std::string to_json() const;
  // A user id repeated inside a map keeps its last value.
  static Result<GroupMlsWelcomePayload, JsonError> from_json(std::string_view text);
  bool operator==(const GroupMlsWelcomePayload&) const = default;
};

struct GroupRoleChangePayload {
  std::string group_id;
  std::string target_user_id;
  GroupRole new_role = GroupRole::Member;
  std::string changed_by;

  std::string to_json() const;
  static Result<GroupRoleChangePayload, JsonError> from_json(std::string_view text);
  bool operator==(const GroupRoleChangePayload&) const = default;
};

struct GroupMemberRemovedPayload {
  std::string group_id;
  std::string user_id;
  std::string removed_by;

  std::string to_json() const;
  static Result<GroupMemberRemovedPayload, JsonError> from_json(std::string_view text);
  bool operator==(const GroupMemberRemovedPayload&) const = default;
};

}  // namespace brenvik
