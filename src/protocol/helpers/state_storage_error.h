// The error of one access to protocol-state storage, and the routine that
// turns a storage result's error into its message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "util/result.h"

namespace brenvik {

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

// Passes a success through and turns an error into its message.
template <typename T>
Result<T, std::string> state_storage_error_text(Result<T, StateStorageError> r) {
  if (!r.ok()) return Err(r.error().message());
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(r).value();
  }
}

}  // namespace brenvik
