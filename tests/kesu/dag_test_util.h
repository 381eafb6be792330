// Random histories for the causal-graph tests, with a brute-force model of
// every op's history to check the graph's answers against.
#pragma once

#include <map>
#include <random>
#include <vector>

#include "change_test_util.h"
#include "kesu/dag/version_ops.h"
#include "kesu/oplog/oplog.h"

namespace kesu::test {

inline const ContainerID kDagText = ContainerID::root("t", ContainerType::Kind::Text);

// A history grown by `peers` peers: each change is made on what its peer
// knows, and peers learn each other's knowledge at random (merges).
class RandomHistory {
 public:
  RandomHistory(uint32_t seed, size_t peers, bool single_root) : rng_(seed), peers_(peers) {
    known_.resize(peers);
    if (single_root) {
      add_change(0, 1);
      for (size_t p = 1; p < peers; ++p) known_[p] = known_[0];
    }
  }

  PeerID peer_id(size_t i) const { return PeerID(100 + i); }

  // One random step: a merge (with probability `merge_p`) then a change.
  void step(double merge_p, uint32_t max_len = 3) {
    size_t p = rng_() % peers_;
    if (std::uniform_real_distribution<double>(0, 1)(rng_) < merge_p) {
      size_t q = rng_() % peers_;
      vv_merge(known_[p], known_[q]);
    }
    add_change(p, 1 + rng_() % max_len);
  }

  void add_change(size_t p, uint32_t len) {
    PeerID peer = peer_id(p);
    Counter c = next_[peer];
    Frontiers deps = frontiers_of(known_[p]);
    Lamport lamport = 0;
    for (ID d : deps.to_sorted_vec()) lamport = std::max(lamport, lamport_of(d) + 1);
    ChangeBuilder b(arena_, peer, c, lamport);
    b.deps(deps).timestamp(int64_t(changes_.size()));
    b.text(kDagText, 0, std::string(len, char('a' + p % 26)));
    Change ch = b.build();
    VersionVector base = vv_of_frontiers(deps);
    for (uint32_t k = 0; k < len; ++k) {
      VersionVector v = base;
      v.set(peer, c + Counter(k) + 1);
      op_vv_[ID{peer, c + Counter(k)}] = v;
      op_lamport_[ID{peer, c + Counter(k)}] = lamport + k;
    }
    next_[peer] = c + Counter(len);
    known_[p].set(peer, next_[peer]);
    changes_.push_back(std::move(ch));
  }

  // Everything an op's history holds, the op included.
  const VersionVector& op_vv(ID id) const { return op_vv_.at(id); }
  Lamport lamport_of(ID id) const { return op_lamport_.at(id); }
  VersionVector vv_of_frontiers(const Frontiers& f) const {
    VersionVector v;
    for (ID id : f.to_sorted_vec()) vv_merge(v, op_vv(id));
    return v;
  }
  // The heads of a version: the last op per peer that no other head holds.
  Frontiers frontiers_of(const VersionVector& v) const {
    std::vector<ID> cand;
    for (const auto& [p, c] : v.entries())
      if (c > 0) cand.push_back(ID{p, c - 1});
    Frontiers f;
    for (ID a : cand) {
      bool covered = false;
      for (ID b : cand)
        if (b != a && op_vv(b).get(a.peer) > a.counter) covered = true;
      if (!covered) f.push(a);
    }
    return f;
  }
  VersionVector all() const {
    VersionVector v;
    for (const auto& [p, c] : next_) v.set(p, c);
    return v;
  }
  // A random version: the union of the histories of 1..3 random ops (or
  // empty now and then).
  VersionVector random_version() {
    VersionVector v;
    if (rng_() % 10 == 0) return v;
    size_t n = 1 + rng_() % 3;
    for (size_t i = 0; i < n; ++i) {
      auto it = op_vv_.begin();
      std::advance(it, rng_() % op_vv_.size());
      vv_merge(v, it->second);
    }
    return v;
  }
  // Common part of two versions.
  static VersionVector meet(const VersionVector& a, const VersionVector& b) {
    VersionVector v;
    for (const auto& [p, c] : a.entries()) {
      Counter m = std::min(c, b.get(p));
      if (m > 0) v.set(p, m);
    }
    return v;
  }

  // The newest op that every op of either version, outside its own
  // history, descends from; empty when there is none.
  Frontiers convergence_point(const VersionVector& a, const VersionVector& b) const {
    VersionVector u = a;
    vv_merge(u, b);
    VersionVector m = meet(a, b);
    std::optional<ID> best;
    for (const auto& [id, v] : op_vv_) {
      if (m.get(id.peer) <= id.counter) continue;
      bool dominates = true;
      for (const auto& [p, e] : u.entries())
        for (Counter c = 0; c < e && dominates; ++c) {
          const VersionVector& y = op_vv(ID{p, c});
          bool y_below = v.get(p) > c, y_above = y.get(id.peer) > id.counter;
          if (!y_below && !y_above) dominates = false;
        }
      if (dominates && (!best || lamport_of(id) > lamport_of(*best))) best = id;
    }
    return best ? Frontiers(*best) : Frontiers();
  }

  const std::vector<Change>& changes() const { return changes_; }
  SharedArena& arena() { return arena_; }
  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
  size_t peers_;
  SharedArena arena_;
  std::vector<VersionVector> known_;
  std::map<PeerID, Counter> next_;
  std::map<ID, VersionVector> op_vv_;
  std::map<ID, Lamport> op_lamport_;
  std::vector<Change> changes_;
};

}  // namespace kesu::test
