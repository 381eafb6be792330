// Change: one committed change of one peer, a run of ops with contiguous
// counters, and the rules that fold a new change into the previous one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kesu/common/id.h"
#include "kesu/common/version.h"
#include "kesu/change/op.h"

namespace kesu {

struct Change {
  ID id;  // peer, and the counter of the first op
  Lamport lamport = 0;
  Frontiers deps;
  int64_t timestamp = 0;
  std::shared_ptr<const std::string> message;  // none: no commit message
  std::vector<Op> ops;

  // Counters the ops cover (0 without ops); above 2^31-1 is an internal error.
  uint32_t atom_len() const;
  Counter ctr_end() const { return Counter(int64_t(id.counter) + atom_len()); }
  Lamport lamport_end() const { return Lamport(lamport + atom_len()); }
  // The id of the last op's last atom, saturating at the counter limits;
  // (peer, counter - 1) for a change without ops.
  ID id_last() const;
  // Atoms [from, to) as a change: the first piece keeps the deps, a later
  // one depends on the atom before it.
  Change slice(uint32_t from, uint32_t to) const;
  // Estimated bytes in a block: 4 per dependency (at least 4) plus the ops.
  size_t estimate_storage_size() const;
  size_t deps_estimate() const { return 4 * std::max<size_t>(1, deps.size()); }

  bool operator==(const Change& o) const;
};

// A change without its ops.
struct ChangeMeta {
  ID id;
  Lamport lamport = 0;
  int64_t timestamp = 0;
  std::shared_ptr<const std::string> message;
  Frontiers deps;
  uint32_t len = 0;

  static ChangeMeta from_change(const Change& c) {
    return {c.id, c.lamport, c.timestamp, c.message, c.deps, c.atom_len()};
  }
};

// Whether `next` may be folded into `prev`: same peer, contiguous counters,
// one dependency on the same peer, a timestamp at most `interval` seconds
// later, and equal commit messages.
bool can_merge_right(const Change& prev, const Change& next, int64_t interval);

// Cuts off what a version already holds of the change (K = the version's
// end for the change's peer); false when nothing is left.
bool trim_known_prefix(Change& c, Counter known_end);
// Appends the part of `c` that `v` does not contain.
void push_unknown_suffix(const Change& c, const VersionVector& v, std::vector<Change>& out);

}  // namespace kesu
