// The protocol-state storage as the core sees it: the host's
// ProtocolStateStorageProvider or the library's sealed state file store.
// A key that holds nothing loads as std::nullopt; an error means the storage
// could not answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/helpers/state_storage_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

class ProtocolStateStorage {
 public:
  virtual ~ProtocolStateStorage() = default;
  virtual Result<void, StateStorageError> store(std::string_view category, std::string_view key,
                                                ByteView value) = 0;
  virtual Result<std::optional<Bytes>, StateStorageError> load(std::string_view category,
                                                               std::string_view key) = 0;
  virtual Result<void, StateStorageError> delete_(std::string_view category,
                                                  std::string_view key) = 0;
  virtual Result<std::vector<std::string>, StateStorageError> list_keys(
      std::string_view category) = 0;
};

}  // namespace brenvik
