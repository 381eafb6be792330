#include "protocol/helpers/state_storage_error.h"

namespace brenvik {

std::string StateStorageError::message() const {
  std::string_view prefix;
  switch (kind) {
    case Kind::NotFound:
      prefix = "Protocol state entry not found: ";
      break;
    case Kind::Corrupted:
      prefix = "Protocol state entry corrupted: ";
      break;
    case Kind::Store:
      prefix = "Failed to store protocol state: ";
      break;
    case Kind::Load:
      prefix = "Failed to load protocol state: ";
      break;
    case Kind::Delete:
      prefix = "Failed to delete protocol state: ";
      break;
  }
  return std::string(prefix) + text;
}

}  // namespace brenvik
