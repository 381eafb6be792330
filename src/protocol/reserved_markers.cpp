#include "protocol/reserved_markers.h"

namespace brenvik {

bool is_reserved_content_marker(std::string_view content) {
  // Every marker starts with "__": most user text leaves after two bytes.
  if (content.size() < 2 || content[0] != '_' || content[1] != '_') return false;
  for (std::string_view m : kReservedContentMarkers) {
    if (content.starts_with(m)) return true;
  }
  return false;
}

}  // namespace brenvik
