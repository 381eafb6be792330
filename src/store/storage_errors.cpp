#include "store/storage_errors.h"

#include <string_view>

namespace brenvik::store {

std::string MlsStorageError::message() const {
  std::string_view prefix;
  switch (kind) {
    case Kind::Store:
      prefix = "Failed to store data: ";
      break;
    case Kind::Load:
      prefix = "Failed to load data: ";
      break;
    case Kind::Delete:
      prefix = "Failed to delete data: ";
      break;
    case Kind::KeyNotFound:
      prefix = "Key not found: ";
      break;
    case Kind::Corrupted:
      prefix = "Corrupted data: ";
      break;
    case Kind::Unavailable:
      prefix = "Storage unavailable: ";
      break;
  }
  return std::string(prefix) + text;
}

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

}  // namespace brenvik::store
