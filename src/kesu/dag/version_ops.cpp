#include "kesu/dag/version_ops.h"

#include <algorithm>

namespace kesu {

VvOrder vv_partial_cmp(const VersionVector& a, const VersionVector& b) {
  bool less = false, greater = false;
  auto visit = [&](PeerID p) {
    Counter x = std::max<Counter>(0, a.get(p)), y = std::max<Counter>(0, b.get(p));
    if (x < y) less = true;
    if (x > y) greater = true;
  };
  for (const auto& [p, c] : a.entries()) visit(p);
  for (const auto& [p, c] : b.entries()) visit(p);
  if (less && greater) return VvOrder::Concurrent;
  if (less) return VvOrder::Less;
  if (greater) return VvOrder::Greater;
  return VvOrder::Equal;
}

void vv_merge(VersionVector& target, const VersionVector& src) {
  for (const auto& [p, c] : src.entries()) {
    if (c <= 0) continue;
    if (target.get(p) < c) target.set(p, c);
  }
}

bool vv_includes(const VersionVector& a, const VersionVector& b) {
  auto o = vv_partial_cmp(a, b);
  return o == VvOrder::Equal || o == VvOrder::Greater;
}

int32_t vv_counter_sum(const VersionVector& v) {
  uint32_t s = 0;
  for (const auto& [p, c] : v.entries()) s += uint32_t(c);
  return int32_t(s);
}

Frontiers frontiers_remove(const Frontiers& f, ID id) {
  Frontiers out = f;
  out.remove(id);
  return out;
}

void frontiers_update_on_new_change(Frontiers& f, ID last, const Frontiers& deps) {
  if (f == deps) {
    f = Frontiers(last);
    return;
  }
  for (ID d : deps.to_sorted_vec()) f.remove(d);
  f.push(last);
}

}  // namespace kesu
