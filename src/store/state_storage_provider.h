// The protocol-state storage interface: what the protocol asks of a store of
// (category, key id) -> bytes. "Absent" is a successful load of nullopt;
// "failed" is an error. Deleting an absent record succeeds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/storage_errors.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::store {

class StateStorageProvider {
 public:
  virtual ~StateStorageProvider() = default;
  virtual Result<void, StateStorageError> store(std::string_view category, std::string_view key_id,
                                                ByteView value) = 0;
  virtual Result<std::optional<Bytes>, StateStorageError> load(std::string_view category,
                                                               std::string_view key_id) = 0;
  virtual Result<void, StateStorageError> delete_(std::string_view category,
                                                  std::string_view key_id) = 0;
  // Sorted ascending by bytes, without repetition.
  virtual Result<std::vector<std::string>, StateStorageError> list_keys(
      std::string_view category) = 0;
};

}  // namespace brenvik::store
