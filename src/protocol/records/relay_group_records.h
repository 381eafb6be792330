// Records an internet relay server produces about groups, read but never
// written here: an error about a group request ("__GROUP_ERROR__"), the
// user's groups ("__USER_GROUPS__"), a group's roster ("__GROUP_INFO__") and
// the delivery report of a fanned-out group message (handed in by the host).
// Every string is kept as the relay wrote it; ids, names, roles and times
// are not checked or converted. Each reader takes one whole text (then only
// whitespace) in object or array form; a bad entry refuses the whole record.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

struct GroupErrorPayload {
  std::string reason;
  std::optional<std::string> group_id;

  static Result<GroupErrorPayload, JsonError> from_json(std::string_view text);
  bool operator==(const GroupErrorPayload&) const = default;
};

struct UserGroupSummaryPayload {
  std::string group_id;
  std::string name;
  std::string created_at;  // as the relay writes it; must be a string
  bool operator==(const UserGroupSummaryPayload&) const = default;
};

struct UserGroupsPayload {
  std::vector<UserGroupSummaryPayload> groups;

  static Result<UserGroupsPayload, JsonError> from_json(std::string_view text);
  bool operator==(const UserGroupsPayload&) const = default;
};

struct GroupInfoMemberPayload {
  std::string user_id;
  std::string role;  // the relay's own word ("owner" stays "owner")
  std::string joined_at;
  bool operator==(const GroupInfoMemberPayload&) const = default;
};

struct GroupInfoPayload {
  std::string group_id;
  std::string name;
  std::string created_by;
  std::string created_at;
  std::vector<GroupInfoMemberPayload> members;

  static Result<GroupInfoPayload, JsonError> from_json(std::string_view text);
  bool operator==(const GroupInfoPayload&) const = default;
};

struct RelayGroupDeliveryMiss {
  std::string username;
  std::string reason;  // "" when the relay gives none
  bool operator==(const RelayGroupDeliveryMiss&) const = default;
};

struct RelayGroupDeliveryReport {
  std::string group_id;
  std::string message_id;
  std::vector<std::string> delivered;  // each list empty when left out
  std::vector<std::string> pushed;
  std::vector<RelayGroupDeliveryMiss> missed;

  static Result<RelayGroupDeliveryReport, JsonError> from_json(std::string_view text);
  bool operator==(const RelayGroupDeliveryReport&) const = default;
};

}  // namespace brenvik
