#include "kesu/btree/node.h"

namespace kesu {

std::string debug_string(const ArenaIndex& index) {
  return std::string(index.is_leaf() ? "Leaf(" : "Internal(") + debug_string(index.index) + ")";
}

std::string debug_string(const LeafIndex& index) {
  return "LeafIndex(" + debug_string(index.index) + ")";
}

}  // namespace kesu
