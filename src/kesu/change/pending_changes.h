// PendingChanges: imported changes whose dependencies the history does not
// hold yet, parked under the peer and counter they wait for until that
// point arrives.
//
// A peer can send changes whose dependencies never come, so the parking
// place is bounded, by the number of changes and by their estimated bytes.
// A change that does not fit is dropped and counted; it is not stored, and
// a later import that brings its dependencies brings it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

#include "kesu/change/change.h"

namespace kesu {

class PendingChanges {
 public:
  static constexpr size_t kDefaultMaxChanges = 65'536;
  static constexpr size_t kDefaultMaxBytes = size_t(64) << 20;

  explicit PendingChanges(size_t max_changes = kDefaultMaxChanges,
                          size_t max_bytes = kDefaultMaxBytes)
      : max_changes_(max_changes), max_bytes_(max_bytes) {}

  // Parks `change` until (peer, counter) is in the history. False, with the
  // drop counted, when the bound would be passed.
  bool park(PeerID peer, Counter counter, Change change);
  // The changes waiting for a point at or below (peer, counter_end), in
  // counter order; they leave the parking place.
  std::vector<Change> take_ready(PeerID peer, Counter counter_end);

  // Calls f on every parked change.
  void visit(const std::function<void(const Change&)>& f) const {
    for (const auto& [peer, by_counter] : parked_)
      for (const auto& [counter, list] : by_counter)
        for (const Change& c : list) f(c);
  }

  size_t size() const { return count_; }
  size_t bytes() const { return bytes_; }
  uint64_t dropped() const { return dropped_; }
  bool empty() const { return count_ == 0; }

 private:
  size_t max_changes_;
  size_t max_bytes_;
  size_t count_ = 0;
  size_t bytes_ = 0;
  uint64_t dropped_ = 0;
  std::unordered_map<PeerID, std::map<Counter, std::vector<Change>>> parked_;
};

}  // namespace kesu
