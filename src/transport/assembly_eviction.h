// Choice of the partly received fragmented message that the BLE transport
// gives up when its assembly table is full: the lowest completion score,
// where completion is received / expected and age costs up to 0.2 during the
// first minute. A nearly complete assembly outlives a barely started one.
#pragma once

#include <chrono>
#include <cstdint>

namespace brenvik {

using WallTime = std::chrono::system_clock::time_point;

struct AssemblyProgress {
  WallTime opened_at;
  uint64_t received = 0;  // distinct fragments received so far
  uint16_t expected = 0;  // fragment count the fragments announce
};

// completion - min(age / 60 s, 1) * 0.2, in 32-bit floating point;
// completion is 0 when expected is 0, and an opening time after `now` (the
// clock was set back) costs nothing.
float assembly_eviction_score(const AssemblyProgress& p, WallTime now);

// One pass over `table` (a map of message id to assembly) in its own order;
// `progress(assembly)` gives the AssemblyProgress of an entry. Returns the
// entry with the strictly lowest score (the first visited among equals), or
// nullptr for an empty table. Reads only; allocates nothing.
template <typename Map, typename Progress>
const typename Map::value_type* select_assembly_to_evict(const Map& table, WallTime now,
                                                         Progress&& progress) {
  const typename Map::value_type* best = nullptr;
  float best_score = 0;
  for (const auto& entry : table) {
    float s = assembly_eviction_score(progress(entry.second), now);
    if (!best || s < best_score) {
      best = &entry;
      best_score = s;
    }
  }
  return best;
}

}  // namespace brenvik
