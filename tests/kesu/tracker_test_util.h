// Helpers for the tracker tests: reading the visible sequence, checking the
// id-to-cursor index against the rope, and a simulation of peers that edit
// concurrently and exchange operations.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kesu/tracker/tracker.h"

namespace kesu::testing {

// The ids of the elements visible at the tracker's current version, in
// document order, leaving out the placeholder run.
inline std::vector<ID> visible_ids(const Tracker& t) {
  std::vector<ID> out;
  for (const FugueSpan& s : t.rope().tree()) {
    if (!s.is_activated() || s.id.peer == kPlaceholderPeer) continue;
    for (uint32_t i = 0; i < s.rle_len(); ++i)
      out.push_back(ID{s.id.peer, s.id.counter + Counter(i)});
  }
  return out;
}

// Every element of every non-placeholder span is found in its own leaf.
inline ::testing::AssertionResult index_matches_rope(const Tracker& t) {
  std::string err = t.rope().check_invariants();
  if (!err.empty()) return ::testing::AssertionFailure() << "rope: " << err;
  const CrdtRopeTree& tree = t.rope().tree();
  auto first = tree.first_leaf();
  if (!first) return ::testing::AssertionSuccess();
  auto it = tree.iter_range_to_end(Cursor{*first, 0});
  while (auto s = it.next()) {
    const FugueSpan& e = *s->elem;
    uint32_t n = e.id.peer == kPlaceholderPeer ? std::min<uint32_t>(e.rle_len(), 4) : e.rle_len();
    for (uint32_t i = 0; i < n; ++i) {
      ID id{e.id.peer, e.id.counter + Counter(i)};
      auto got = t.id_to_cursor().get_insert(id);
      if (!got || !(*got == s->leaf))
        return ::testing::AssertionFailure() << "element " << id.to_string() << " not in its leaf";
    }
  }
  return ::testing::AssertionSuccess();
}

// One replayed operation: an insert of `len` elements or a delete of `len`
// visible elements, made at version `deps`.
struct SimOp {
  ID id;
  Lamport lamport = 0;
  VersionVector deps;
  bool insert = true;
  size_t pos = 0;
  uint32_t len = 1;
  ID target_start;
  bool reverse = false;
  uint32_t content = 0;  // first content position of an insert
};

inline void apply_op(Tracker& t, const SimOp& op) {
  t.checkout_to(op.deps, false);
  if (op.insert) {
    t.insert(IdFull{op.id.peer, op.lamport, op.id.counter}, op.pos,
             RichtextChunk::text(op.content, op.content + op.len));
  } else {
    t.remove(op.id, op.target_start, op.pos, op.len, op.reverse);
  }
}

inline bool contains(const VersionVector& v, const VersionVector& sub) {
  for (const auto& [p, c] : sub.entries())
    if (c > v.get(p)) return false;
  return true;
}

// Peers editing concurrently: each peer makes operations at its own known
// version and receives other peers' operations in the order they learned them.
class Simulation {
 public:
  Simulation(std::vector<PeerID> peers, uint32_t seed) : rng_(seed) {
    for (PeerID p : peers) peers_.push_back(Peer{p, Tracker(), VersionVector(), {}, 0});
  }

  // Runs `steps` random actions: local edits (inserts twice as often as
  // deletes) or one-way syncs between two peers.
  void run(int steps, int sync_percent = 25) {
    for (int i = 0; i < steps; ++i) {
      size_t a = rng_() % peers_.size();
      if (int(rng_() % 100) < sync_percent && peers_.size() > 1) {
        size_t b = rng_() % peers_.size();
        if (a != b) sync(a, b);
      } else {
        local_edit(a);
      }
    }
  }

  void sync_all() {
    for (int round = 0; round < 2; ++round)
      for (size_t a = 0; a < peers_.size(); ++a)
        for (size_t b = 0; b < peers_.size(); ++b)
          if (a != b) sync(a, b);
  }

  const std::vector<SimOp>& ops() const { return ops_; }
  const std::vector<VersionVector>& versions_seen() const { return versions_; }
  VersionVector full_version() const {
    VersionVector v;
    for (const SimOp& o : ops_) {
      Counter end = o.id.counter + Counter(o.len);
      if (v.get(o.id.peer) < end) v.set(o.id.peer, end);
    }
    return v;
  }
  Tracker& tracker(size_t i) { return peers_[i].tracker; }
  const VersionVector& known(size_t i) const { return peers_[i].known; }
  size_t peer_count() const { return peers_.size(); }

  // A random order of all operations in which every operation comes after
  // the operations it was made on.
  std::vector<size_t> random_causal_order(std::mt19937& rng) const {
    std::vector<size_t> order, pending(ops_.size());
    for (size_t i = 0; i < ops_.size(); ++i) pending[i] = i;
    VersionVector done;
    while (!pending.empty()) {
      std::vector<size_t> ready;
      for (size_t k = 0; k < pending.size(); ++k) {
        const SimOp& o = ops_[pending[k]];
        if (contains(done, o.deps) && done.get(o.id.peer) == o.id.counter) ready.push_back(k);
      }
      size_t k = ready[rng() % ready.size()];
      const SimOp& o = ops_[pending[k]];
      done.set(o.id.peer, o.id.counter + Counter(o.len));
      order.push_back(pending[k]);
      pending.erase(pending.begin() + long(k));
    }
    return order;
  }

 private:
  struct Peer {
    PeerID id;
    Tracker tracker;
    VersionVector known;
    std::vector<size_t> log;  // indices of ops in the order this peer learned them
    Lamport next_lamport;
  };

  void local_edit(size_t a) {
    Peer& p = peers_[a];
    p.tracker.checkout_to(p.known, false);
    std::vector<ID> vis = visible_ids(p.tracker);
    SimOp op;
    op.id = ID{p.id, p.known.get(p.id)};
    op.lamport = p.next_lamport;
    op.deps = p.known;
    bool del = !vis.empty() && rng_() % 3 == 0;
    if (del) {
      op.insert = false;
      op.pos = rng_() % vis.size();
      op.len = 1 + uint32_t(rng_() % std::min<size_t>(4, vis.size() - op.pos));
      op.reverse = rng_() % 2 == 0;
      op.target_start = vis[op.pos];
    } else {
      op.pos = rng_() % (vis.size() + 1);
      op.len = 1 + uint32_t(rng_() % 3);
      op.content = next_content_;
      next_content_ += op.len;
    }
    ops_.push_back(op);
    learn(a, ops_.size() - 1);
  }

  void learn(size_t a, size_t idx) {
    Peer& p = peers_[a];
    const SimOp& op = ops_[idx];
    apply_op(p.tracker, op);
    p.known.set(op.id.peer, op.id.counter + Counter(op.len));
    p.next_lamport = std::max(p.next_lamport, op.lamport + op.len);
    p.log.push_back(idx);
    versions_.push_back(p.known);
  }

  // Peer a receives what peer b knows and a does not, in b's order.
  void sync(size_t a, size_t b) {
    std::vector<size_t> log = peers_[b].log;
    for (size_t idx : log) {
      const SimOp& op = ops_[idx];
      if (peers_[a].known.get(op.id.peer) > op.id.counter) continue;
      learn(a, idx);
    }
  }

  std::mt19937 rng_;
  std::vector<Peer> peers_;
  std::vector<SimOp> ops_;
  std::vector<VersionVector> versions_;
  uint32_t next_content_ = 0;
};

}  // namespace kesu::testing
