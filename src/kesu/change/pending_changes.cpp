#include "kesu/change/pending_changes.h"

namespace kesu {

bool PendingChanges::park(PeerID peer, Counter counter, Change change) {
  size_t size = change.estimate_storage_size();
  if (count_ + 1 > max_changes_ || bytes_ + size > max_bytes_) {
    ++dropped_;
    return false;
  }
  parked_[peer][counter].push_back(std::move(change));
  ++count_;
  bytes_ += size;
  return true;
}

std::vector<Change> PendingChanges::take_ready(PeerID peer, Counter counter_end) {
  std::vector<Change> out;
  auto it = parked_.find(peer);
  if (it == parked_.end()) return out;
  auto& by_counter = it->second;
  auto end = by_counter.lower_bound(counter_end);
  for (auto i = by_counter.begin(); i != end; ++i)
    for (Change& c : i->second) {
      bytes_ -= c.estimate_storage_size();
      --count_;
      out.push_back(std::move(c));
    }
  by_counter.erase(by_counter.begin(), end);
  if (by_counter.empty()) parked_.erase(it);
  return out;
}

}  // namespace kesu
