// GroupId: a validated group-id text, and the name of a 1:1 session's group.
#pragma once

#include <string>
#include <string_view>

#include "core/sealed_error.h"
#include "util/result.h"

namespace brenvik {

inline constexpr size_t kMaxGroupIdLength = 4096;

class GroupId {
 public:
  // Not empty, at most 4096 bytes, and every ':'-separated segment (empty
  // ones included) passes the identifier character rules under the label
  // "Group ID segment". Failures are SealedError::InvalidGroupId.
  static Result<GroupId, SealedError> create(std::string text);

  const std::string& str() const { return text_; }
  bool operator==(const GroupId&) const = default;
  auto operator<=>(const GroupId&) const = default;

 private:
  explicit GroupId(std::string t) : text_(std::move(t)) {}
  std::string text_;
};

// "session:" + first + ":" + second, the two user ids ordered by address
// payload when both parse as addresses, otherwise by their bytes; equal keys
// keep user_a first. Both ends of a session compute the same name.
Result<GroupId, SealedError> session_group_id(std::string_view user_a, std::string_view user_b);

}  // namespace brenvik
