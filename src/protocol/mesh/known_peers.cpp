#include "protocol/mesh/known_peers.h"

namespace brenvik {

std::optional<MonoTime> KnownPeers::last_seen(const std::string& peer_id) const {
  auto it = seen_.find(peer_id);
  if (it == seen_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> KnownPeers::least_recently_seen() const {
  const std::pair<const std::string, MonoTime>* oldest = nullptr;
  for (const auto& entry : seen_)
    if (!oldest || entry.second < oldest->second) oldest = &entry;
  if (!oldest) return std::nullopt;
  return oldest->first;
}

}  // namespace brenvik
