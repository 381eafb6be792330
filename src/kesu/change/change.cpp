#include "kesu/change/change.h"

#include <limits>

#include "kesu/common/internal_error.h"

namespace kesu {

uint32_t Change::atom_len() const {
  if (ops.empty()) return 0;
  int64_t n = int64_t(ops.back().counter) + ops.back().atom_len() - int64_t(ops.front().counter);
  if (n < 0 || n > INT32_MAX) throw InternalError("change length out of range");
  return uint32_t(n);
}

ID Change::id_last() const {
  int64_t c = int64_t(id.counter) + int64_t(atom_len()) - 1;
  c = std::clamp<int64_t>(c, INT32_MIN, INT32_MAX);
  return {id.peer, Counter(c)};
}

Change Change::slice(uint32_t from, uint32_t to) const {
  uint32_t len = atom_len();
  if (from > to || to > len) throw InternalError("change slice out of range");
  Change out;
  out.id = {id.peer, Counter(id.counter + int32_t(from))};
  out.lamport = lamport + from;
  out.deps = from == 0 ? deps : Frontiers(ID{id.peer, Counter(id.counter + int32_t(from) - 1)});
  out.timestamp = timestamp;
  out.message = message;
  int64_t lo = int64_t(id.counter) + from, hi = int64_t(id.counter) + to;
  for (const Op& op : ops) {
    int64_t s = op.counter, e = s + op.atom_len();
    if (e <= lo || s >= hi) {
      // An op of no atoms sits between its neighbours; keep it when inside.
      if (!(s == e && s >= lo && s < hi)) continue;
    }
    uint32_t a = uint32_t(std::max(s, lo) - s), b = uint32_t(std::min(e, hi) - s);
    if (a == 0 && b == op.atom_len())
      out.ops.push_back(op);
    else
      out.ops.push_back(op.slice(a, b));
  }
  return out;
}

size_t Change::estimate_storage_size() const {
  size_t n = deps_estimate();
  for (const Op& op : ops) n += op.estimate_storage_size();
  return n;
}

bool Change::operator==(const Change& o) const {
  bool msg_eq = (!message && !o.message) || (message && o.message && *message == *o.message);
  return id == o.id && lamport == o.lamport && deps == o.deps && timestamp == o.timestamp &&
         msg_eq && ops == o.ops;
}

bool can_merge_right(const Change& prev, const Change& next, int64_t interval) {
  if (prev.id.peer != next.id.peer) return false;
  if (next.id.counter != prev.ctr_end()) return false;
  if (next.deps.size() != 1) return false;
  if (next.deps.to_sorted_vec().front().peer != prev.id.peer) return false;
  // Signed difference without overflow: far-apart timestamps never fold.
  int64_t diff;
  if (__builtin_sub_overflow(next.timestamp, prev.timestamp, &diff))
    return next.timestamp < prev.timestamp;
  if (diff > interval) return false;
  bool a = bool(prev.message), b = bool(next.message);
  if (a != b) return false;
  return !a || *prev.message == *next.message;
}

bool trim_known_prefix(Change& c, Counter known_end) {
  if (c.id.counter >= known_end) return true;
  int64_t end = int64_t(c.id.counter) + c.atom_len();
  if (known_end >= end) return false;
  c = c.slice(uint32_t(int64_t(known_end) - c.id.counter), c.atom_len());
  return true;
}

void push_unknown_suffix(const Change& c, const VersionVector& v, std::vector<Change>& out) {
  Counter k = v.get(c.id.peer);
  if (c.id.counter < k) {
    int64_t end = int64_t(c.id.counter) + c.atom_len();
    if (k >= end) return;
    out.push_back(c.slice(uint32_t(int64_t(k) - c.id.counter), c.atom_len()));
    return;
  }
  out.push_back(c);
}

}  // namespace kesu
