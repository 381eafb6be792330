#include "protocol/mesh/mesh_neighbors.h"

namespace brenvik {

MeshNeighbors::MeshNeighbors(const MeshRelayConfig& mesh, MonoTime now, const Clock& clock)
    : budget_(mesh, now, clock) {
  role_.activity_window_start = now;
}

std::optional<std::string> MeshNeighbors::record_sighting(const std::string& peer_id,
                                                          MonoTime now) {
  std::optional<std::string> evicted;
  if (!known_.contains(peer_id) && known_.full()) {
    // Bounded table: the peer not heard from for longest makes room.
    evicted = known_.least_recently_seen();
    if (evicted) forget(*evicted);
  }
  known_.touch(peer_id, now);
  return evicted;
}

void MeshNeighbors::forget(const std::string& peer_id) {
  // Key-package push records join this list with the MLS layer.
  known_.erase(peer_id);
  budget_.forget_neighbor(peer_id);
}

std::vector<std::string> MeshNeighbors::stale_peers(MonoTime now, Nanos lifetime) const {
  std::vector<std::string> stale;
  for (const auto& [peer, seen] : known_.entries())
    if (now > seen && now - seen > lifetime) stale.push_back(peer);
  return stale;
}

void MeshNeighbors::count_forward_for_others() {
  if (role_.forwards_in_window != UINT64_MAX) ++role_.forwards_in_window;
}

}  // namespace brenvik
