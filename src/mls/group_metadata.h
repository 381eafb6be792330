// GroupMetadata: the program's own record beside each MLS group (its name,
// times, free-form fields, creator and member roles), kept as compact JSON
// under ("group_metadata", group id text).
//
// Stored form, keys in this order: "name" (string or null), "created_at_ms",
// "last_activity_ms", "custom" (object of strings, always written),
// "created_by" (string or null), "roles" (user id -> "admin" / "member",
// left out when empty). Older versions kept roles in "custom" under
// "role:<user id>"; migrate_legacy_roles() moves them into "roles".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

inline constexpr std::string_view kGroupMetadataType = "group_metadata";

enum class GroupRole : uint8_t { Admin, Member };
// "admin", "member".
std::string_view group_role_text(GroupRole r);

struct GroupMetadata {
  std::optional<std::string> name;
  uint64_t created_at_ms = 0;
  uint64_t last_activity_ms = 0;
  std::map<std::string, std::string> custom;
  std::optional<std::string> created_by;
  std::map<std::string, GroupRole> roles;  // a member not listed is a member

  // Created now (wall clock, Unix milliseconds), no creator, no roles.
  static GroupMetadata new_group(std::optional<std::string> name, uint64_t now_ms);
  // As new_group, with the creator recorded and listed as the only admin.
  static GroupMetadata new_for_creator(std::optional<std::string> name, std::string creator,
                                       uint64_t now_ms);

  void touch(uint64_t now_ms) { last_activity_ms = now_ms; }
  // The listed role, else member.
  GroupRole role_of(std::string_view user_id) const;
  // At least one listed admin; false for an empty map.
  bool has_admin() const;
  // Whether "custom" holds a key of the older "role:<user id>" shape.
  bool has_legacy_role_keys() const;
  // Moves every "role:<user id>" entry of "custom" into "roles" unless the
  // user is already listed there (listed roles win); the value, ASCII
  // lower-cased, is "admin" for admin and anything else is member. The keys
  // leave "custom" in either case. Changes only this record.
  void migrate_legacy_roles();

  bool operator==(const GroupMetadata&) const = default;
};

// The stored form (cannot fail: every field is plain text or a number).
std::string write_group_metadata(const GroupMetadata& m);

// Reads the stored form: an object (keys in any order, unknown keys skipped,
// a repeated key refused, "created_at_ms" and "last_activity_ms" required)
// or the six values as an array in key order. A role that is not a string
// fails ("... expected variant identifier"); any other JSON value than an
// object or array names "struct GroupMetadata". The error is the reader's
// text with its position.
Result<GroupMetadata, std::string> read_group_metadata(ByteView bytes);

}  // namespace brenvik::mls
