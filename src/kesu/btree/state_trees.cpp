#include "kesu/btree/state_trees.h"

namespace kesu {

std::string debug_string(const MovableListCache& c) {
  return "Cache { include_dead_len: " + std::to_string(c.include_dead_len) +
         ", user_len: " + std::to_string(c.user_len) + " }";
}

}  // namespace kesu
