#include "kesu/arena/panic.h"

namespace kesu {

void panic(const std::string& message) {
  throw Panic(message);
}

void panic_unreachable(const std::string& detail) {
  if (detail.empty()) throw Panic(kUnreachable);
  throw Panic(std::string(kUnreachable) + ": " + detail);
}

}  // namespace kesu
