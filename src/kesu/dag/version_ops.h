// Small operations on versions that the causal graph and its users share.
#pragma once

#include <optional>

#include "kesu/common/version.h"

namespace kesu {

enum class VvOrder { Less, Equal, Greater, Concurrent };

// Order of two version vectors (entries <= 0 count as absent).
VvOrder vv_partial_cmp(const VersionVector& a, const VersionVector& b);
// Every entry of `src` above 0 raises the target's entry to at least it.
void vv_merge(VersionVector& target, const VersionVector& src);
// True when every op of `b` is in `a`.
bool vv_includes(const VersionVector& a, const VersionVector& b);
// Sum of the counters in wrapping 32-bit arithmetic.
int32_t vv_counter_sum(const VersionVector& v);
// `f` without exactly `id` (unchanged when `id` is not a member).
Frontiers frontiers_remove(const Frontiers& f, ID id);
// The deps leave the frontiers and `last` joins them.
void frontiers_update_on_new_change(Frontiers& f, ID last, const Frontiers& deps);

}  // namespace kesu
