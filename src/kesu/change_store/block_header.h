// ChangeBlockHeader: what a change block says about its changes without
// their operations: the peer table, each change's first counter, Lamport
// timestamp and dependencies. One header is decoded per stored block and
// shared by its readers; the first full decode of the block also caches its
// key and container arenas here.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "kesu/common/container_id.h"
#include "kesu/common/internal_string.h"
#include "kesu/common/version.h"

namespace kesu {

struct ChangeBlockHeader {
  PeerID peer = 0;
  Counter counter = 0;  // counter_start
  size_t change_count = 0;
  std::vector<PeerID> peers;
  std::vector<Counter> counters;  // change_count + 1: each start, then the end
  std::vector<Lamport> lamports;  // change_count
  std::vector<Frontiers> deps;    // change_count

  // Arenas decoded by the first full decode of the block; empty until then.
  // Filled at most once; readers copy the shared pointer under the mutex.
  struct Arenas {
    std::vector<InternalString> keys;
    std::vector<ContainerID> containers;
  };
  std::shared_ptr<const Arenas> cached_arenas() const {
    std::lock_guard<std::mutex> g(cache_mu_);
    return arenas_;
  }
  void cache_arenas(std::shared_ptr<const Arenas> a) const {
    std::lock_guard<std::mutex> g(cache_mu_);
    if (!arenas_) arenas_ = std::move(a);
  }

 private:
  mutable std::mutex cache_mu_;
  mutable std::shared_ptr<const Arenas> arenas_;
};

}  // namespace kesu
