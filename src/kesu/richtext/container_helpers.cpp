#include "kesu/richtext/container_helpers.h"

#include <string>

namespace kesu {

void extend_max(VersionVector& vv, const std::vector<std::pair<PeerID, Counter>>& pairs) {
  for (const auto& [peer, counter] : pairs) {
    if (counter <= 0) continue;
    auto it = vv.entries().find(peer);
    if (it == vv.entries().end() || it->second < counter) vv.set(peer, counter);
  }
}

KesuEncodeError encode_error_with_location(std::string_view message, std::source_location where) {
  std::string_view file = where.file_name();
  if (auto slash = file.find_last_of('/'); slash != std::string_view::npos)
    file = file.substr(slash + 1);
  std::string text(message);
  text += " at ";
  text += file;
  text += ":" + std::to_string(where.line()) + ":" + std::to_string(where.column());
  return KesuEncodeError::of(KesuEncodeErrorKind::InternalError, std::move(text));
}

}  // namespace kesu
