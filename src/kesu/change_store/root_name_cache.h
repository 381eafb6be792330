// RootNameCache: the names of the root containers the stored changes touch,
// so that an import can tell cheaply whether a name is already in use. The
// set is bounded: once it cannot be kept exactly (an unresolvable container,
// or names beyond the byte budget) it is given up for good and every
// question is answered "maybe".
#pragma once

#include <string>
#include <unordered_set>

#include "kesu/common/container_id.h"

namespace kesu {

struct RootNameCache {
  enum class State : uint8_t { NotBuilt = 0, Built = 1, Invalidated = 2 };
  static constexpr size_t kMaxBytes = 262'144;

  State state = State::NotBuilt;
  size_t used_bytes = 0;
  std::unordered_set<std::string> names;

  // Records a container's name when it is a plain root container; false when
  // the name would take used_bytes past the budget (nothing is added then).
  static bool record(std::unordered_set<std::string>& names, size_t& used, const ContainerID& id) {
    const auto* root = id.as_root();
    if (!root || id.is_mergeable_child()) return true;
    std::string name(root->name.as_str());
    if (names.contains(name)) return true;
    if (used + name.size() > kMaxBytes) return false;
    used += name.size();
    names.insert(std::move(name));
    return true;
  }
  void invalidate() {
    state = State::Invalidated;
    names.clear();
    used_bytes = 0;
  }
};

}  // namespace kesu
