// The peers this device has seen recently, with when each was last seen.
// Neighbour discovery fills it; losing a peer, or not seeing it for long,
// takes it out again. It is bounded so that a stream of made-up peer ids
// cannot grow it without limit; nothing persists it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "util/clock.h"

namespace brenvik {

class KnownPeers {
 public:
  static constexpr size_t kCapacity = 1000;

  bool contains(const std::string& peer_id) const { return seen_.contains(peer_id); }
  size_t size() const { return seen_.size(); }
  bool full() const { return seen_.size() >= kCapacity; }
  std::optional<MonoTime> last_seen(const std::string& peer_id) const;

  // Records a sighting: refreshes a known peer, inserts a new one. The
  // caller makes room first when the table is full.
  void touch(const std::string& peer_id, MonoTime now) { seen_[peer_id] = now; }
  // The least recently seen peer; on a tie the first met in the scan. None
  // when empty.
  std::optional<std::string> least_recently_seen() const;
  bool erase(const std::string& peer_id) { return seen_.erase(peer_id) != 0; }

  const std::unordered_map<std::string, MonoTime>& entries() const { return seen_; }

 private:
  std::unordered_map<std::string, MonoTime> seen_;
};

}  // namespace brenvik
