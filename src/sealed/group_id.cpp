#include "sealed/group_id.h"

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
