#include "util/sync.h"

#include <string>

#include "util/log.h"

namespace brenvik::sync_detail {

void warn_poisoned(std::string_view text, const std::source_location& loc) {
  if (!log_enabled(LogLevel::Warn)) return;
  std::string where = std::string(loc.file_name()) + ":" + std::to_string(loc.line()) + ":" +
                      std::to_string(loc.column());
  log_event(LogLevel::Warn, kSyncLogTarget,
            {{"message", text}, {"location", LogValue::display(where)}});
}

}  // namespace brenvik::sync_detail
