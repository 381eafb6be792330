// Building compact ids where the counter is known to be representable.
#pragma once

#include <cstdint>

#include "kesu/arena/invariant.h"
#include "kesu/common/id.h"

namespace kesu {

// The compact id (peer, counter). A counter outside the i32 range, or equal to
// 2147483647 (reserved for "none"), is a broken invariant.
inline CompactId compact_id_or_fatal(PeerID peer, int64_t counter) {
  if (counter < INT32_MIN || counter >= INT32_MAX) invariant_failed(kMsgUnwrapErr);
  return *CompactId::make(peer, Counter(counter));
}

// Saturating i32 addition, as the tracker advances counters.
inline Counter counter_add_sat(Counter a, int64_t b) {
  int64_t s = int64_t(a) + b;
  if (s > INT32_MAX) return INT32_MAX;
  if (s < INT32_MIN) return INT32_MIN;
  return Counter(s);
}

}  // namespace kesu
