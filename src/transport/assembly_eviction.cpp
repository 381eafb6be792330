#include "transport/assembly_eviction.h"

#include <algorithm>

namespace brenvik {

float assembly_eviction_score(const AssemblyProgress& p, WallTime now) {
  float completion = p.expected == 0 ? 0.0f : float(p.received) / float(p.expected);
  float penalty = 0.0f;
  if (p.opened_at <= now) {
    auto age = std::chrono::duration_cast<std::chrono::nanoseconds>(now - p.opened_at).count();
    float secs = float(age % 1000000000) / 1000000000.0f + float(age / 1000000000);
    penalty = std::min(secs / 60.0f, 1.0f) * 0.2f;
  }
  return completion - penalty;
}

}  // namespace brenvik
