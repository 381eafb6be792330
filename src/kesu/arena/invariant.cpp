#include "kesu/arena/invariant.h"

namespace kesu {

void invariant_failed(const std::string& message) {
  throw InvariantViolation(message);
}

void invariant_failed(const char* message) {
  throw InvariantViolation(message);
}

void invariant_unreachable(const std::string& detail) {
  if (detail.empty()) throw InvariantViolation(kMsgUnreachable);
  throw InvariantViolation(std::string(kMsgUnreachable) + ": " + detail);
}

}  // namespace kesu
