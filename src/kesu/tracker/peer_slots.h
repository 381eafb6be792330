// PeerSlots: dense slot numbers for the peers one tracker has met.
//
// A tracker replays the edits of a handful of peers and looks up their
// version entries and id records several times per operation. Scanning a
// short array of ids is cheaper than hashing each lookup; a hash index takes
// over only once many peers have been met. Slots are given out in order of
// first use and never change.
//
// Not thread-safe; belongs to one tracker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "kesu/common/id.h"

namespace kesu {

class PeerSlots {
 public:
  static constexpr size_t kNone = SIZE_MAX;

  // The peer's slot, or kNone for a peer never added.
  size_t find(PeerID p) const {
    if (index_.empty()) {
      for (size_t i = 0; i < peers_.size(); ++i)
        if (peers_[i] == p) return i;
      return kNone;
    }
    return find_indexed(p);
  }

  // The peer's slot, adding it (as the next slot) when it is new.
  size_t find_or_add(PeerID p) {
    size_t s = find(p);
    if (s != kNone) return s;
    peers_.push_back(p);
    if (!index_.empty()) {
      index_.emplace(p, peers_.size() - 1);
    } else if (peers_.size() > kScanLimit) {
      for (size_t i = 0; i < peers_.size(); ++i) index_.emplace(peers_[i], i);
    }
    return peers_.size() - 1;
  }

  size_t size() const { return peers_.size(); }
  PeerID peer(size_t slot) const { return peers_[slot]; }

 private:
  // Kept out of line so that the short scan above stays small enough to be
  // inlined where the tracker looks peers up on every operation.
  [[gnu::noinline]] size_t find_indexed(PeerID p) const {
    auto it = index_.find(p);
    return it == index_.end() ? kNone : it->second;
  }

  // Beyond this many peers lookups go through the hash index.
  static constexpr size_t kScanLimit = 16;
  std::vector<PeerID> peers_;
  std::unordered_map<PeerID, size_t> index_;
};

}  // namespace kesu
