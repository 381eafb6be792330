// AppDagNode: a run of consecutive ops of one peer in the causal graph. The
// first op depends on `deps`; every later op depends only on the op before
// it, and Lamport timestamps inside the run are consecutive.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "kesu/common/version.h"

namespace kesu {

// A version vector shared by reference: copying a handle is constant time,
// a holder that wants to change it copies the map first.
using PersistentVersionVector = std::shared_ptr<const VersionVector>;

// Set-once cell for a node's version: empty until computed, then fixed; a
// second filler keeps the first value.
class VvCell {
 public:
  VvCell() = default;
  VvCell(const VvCell& o) : v_(o.get()) {}
  VvCell& operator=(const VvCell& o) {
    auto v = o.get();
    std::lock_guard g(m_);
    v_ = std::move(v);
    return *this;
  }
  PersistentVersionVector get() const {
    std::lock_guard g(m_);
    return v_;
  }
  // Returns the value the cell holds afterwards.
  PersistentVersionVector set(PersistentVersionVector v) const {
    std::lock_guard g(m_);
    if (!v_) v_ = std::move(v);
    return v_;
  }

 private:
  mutable std::mutex m_;
  mutable PersistentVersionVector v_;
};

struct AppDagNode {
  PeerID peer = 0;
  Counter cnt = 0;
  uint64_t len = 0;
  Lamport lamport = 0;
  Frontiers deps;
  VvCell vv;  // the version the first op was made on, the node excluded
  bool has_successor = false;

  Counter ctr_end() const { return Counter(int64_t(cnt) + int64_t(len)); }
  Counter ctr_last() const { return Counter(int64_t(cnt) + int64_t(len) - 1); }
  Lamport lamport_last() const { return Lamport(lamport + uint32_t(len) - 1); }
  bool contains(ID id) const {
    return id.peer == peer && cnt <= id.counter &&
           int64_t(id.counter) < int64_t(cnt) + int64_t(len);
  }
  // Ops [from, to) as a node. A piece that starts later depends on the op
  // before it and derives its version from this node's; a piece that stops
  // before the end has a successor (the rest of this node).
  AppDagNode slice(uint64_t from, uint64_t to) const;
};

using AppDagNodePtr = std::shared_ptr<AppDagNode>;

}  // namespace kesu
