#include "kesu/arena/arena.h"

#include <cstdio>

namespace kesu {

std::string debug_string(const ArenaSlotIndex& index, bool hex) {
  char buf[96];
  if (hex) {
    std::snprintf(buf, sizeof buf, "Index { slot: %x, generation: Generation(%u) }", index.slot,
                  index.generation);
  } else {
    std::snprintf(buf, sizeof buf, "Index { slot: %u, generation: Generation(%u) }", index.slot,
                  index.generation);
  }
  return buf;
}

}  // namespace kesu
