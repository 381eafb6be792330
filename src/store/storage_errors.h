// The storage errors of the two stores: the MLS layer's `MlsStorageError`
// and the protocol-state layer's `StateStorageError`. Each kind has one fixed
// prefix; the carried text follows it.
#pragma once

#include <cstdint>
#include <string>

namespace brenvik::store {

struct MlsStorageError {
  enum class Kind : uint8_t { Store, Load, Delete, KeyNotFound, Corrupted, Unavailable };
  Kind kind = Kind::Load;
  std::string text;

  // "Failed to store data: ", "Failed to load data: ", "Failed to delete data: ",
  // "Key not found: ", "Corrupted data: " or "Storage unavailable: " + text.
  std::string message() const;
  bool operator==(const MlsStorageError&) const = default;
};

struct StateStorageError {
  enum class Kind : uint8_t { NotFound, Corrupted, Store, Load, Delete };
  Kind kind = Kind::Load;
  std::string text;

  // "Protocol state entry not found: ", "Protocol state entry corrupted: ",
  // "Failed to store protocol state: ", "Failed to load protocol state: " or
  // "Failed to delete protocol state: ", followed by the text.
  std::string message() const;
  bool operator==(const StateStorageError&) const = default;
};

}  // namespace brenvik::store
