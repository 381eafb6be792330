// Warnings of the change store about blocks it cannot read.
#pragma once

#include <string_view>

#include "kesu/common/error.h"
#include "util/log.h"

namespace kesu {

inline constexpr std::string_view kStoreLogTarget =
    "kesu_internal::oplog::change_store::mut_inner_kv";

inline void log_block_warning(std::string_view message, std::string_view key_field, ID id,
                              const KesuError& err) {
  BRENVIK_LOG(brenvik::LogLevel::Warn, kStoreLogTarget, {"message", message},
              {key_field, brenvik::LogValue::display(id.to_string())},
              {"err", brenvik::LogValue::display(err.message())});
}

inline void log_store_warning(std::string_view message) {
  BRENVIK_LOG(brenvik::LogLevel::Warn, kStoreLogTarget, {"message", message});
}

}  // namespace kesu
