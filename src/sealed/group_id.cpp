#include "sealed/group_id.h"

#include "core/address.h"
#include "core/identifier.h"

namespace brenvik {

Result<GroupId, SealedError> GroupId::create(std::string text) {
  if (text.empty()) return Err(SealedError::invalid_group_id("Group ID cannot be empty"));
  if (text.size() > kMaxGroupIdLength) {
    return Err(SealedError::invalid_group_id("Group ID length " + std::to_string(text.size()) +
                                             " exceeds maximum " +
                                             std::to_string(kMaxGroupIdLength)));
  }
  std::string_view rest = text;
  for (;;) {
    size_t colon = rest.find(':');
    auto seg = rest.substr(0, colon);
    auto r = check_identifier_chars(seg, "Group ID segment");
    if (!r.ok()) return Err(SealedError::invalid_group_id(r.error().message()));
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return GroupId(std::move(text));
}

}  // namespace brenvik

namespace brenvik {

Result<GroupId, SealedError> session_group_id(std::string_view user_a, std::string_view user_b) {
  auto a = parse_address(user_a);
  auto b = parse_address(user_b);
  // Both ends must agree: order by address payload when both are addresses,
  // otherwise by the texts' bytes. Ties keep user_a first.
  bool swap = (a.ok() && b.ok()) ? b->bytes < a->bytes : user_b < user_a;
  std::string_view first = swap ? user_b : user_a;
  std::string_view second = swap ? user_a : user_b;
  std::string text;
  text.reserve(9 + first.size() + second.size());
  text.append("session:").append(first).append(":").append(second);
  return GroupId::create(std::move(text));
}

}  // namespace brenvik
