// The error of one access to protocol-state storage (defined with the
// stores), and the routine that turns a storage result's error into its
// message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "store/storage_errors.h"
#include "util/result.h"

namespace brenvik {

// One type for the protocol core, the file stores and the conformance runner.
using StateStorageError = store::StateStorageError;

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
