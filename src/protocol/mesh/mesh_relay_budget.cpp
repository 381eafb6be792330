#include "protocol/mesh/mesh_relay_budget.h"

#include <algorithm>
#include <cmath>

namespace brenvik {

void TokenBucket::refill(MonoTime now) {
  if (now <= last_refill) return;
  float elapsed = float(std::chrono::duration<double>(now - last_refill).count());
  if (elapsed > 0) {
    tokens = std::min(tokens + elapsed * rate, capacity);
    last_refill = now;
  }
}

namespace {
float non_negative(float v) {
  return (std::isnan(v) || v < 0) ? 0.0f : v;
}
// The window as nanoseconds, capped at the largest representable value.
Nanos window_nanos(const ConfigDuration& d) {
  constexpr uint64_t kMaxSecs = uint64_t(INT64_MAX) / 1'000'000'000ULL - 1;
  if (d.secs > kMaxSecs) return Nanos(INT64_MAX);
  return Nanos(int64_t(d.secs) * 1'000'000'000LL + d.nanos);
}
}  // namespace

MeshRelayBudget::MeshRelayBudget(const MeshRelayConfig& c, MonoTime now, const Clock& clock)
    : shared_{now, c.burst, c.burst, c.rate_per_sec},
      relay_{now, c.burst, c.burst, c.rate_per_sec},
      reserve_(std::min(c.burst * 0.5f, 5.0f)),
      peer_rate_(non_negative(c.peer_rate_per_sec)),
      peer_burst_(non_negative(c.peer_burst)),
      seen_(std::max<size_t>(1, size_t(c.seen_window_capacity)), window_nanos(c.seen_window),
            clock) {}

bool MeshRelayBudget::relay_budget_available(MonoTime now) {
  shared_.refill(now);
  if (shared_.tokens < reserve_ + 1.0f) return false;
  relay_.refill(now);
  return relay_.tokens >= 1.0f;
}

bool MeshRelayBudget::neighbor_is_eligible(const std::string& peer_id, MonoTime now) {
  auto it = neighbors_.find(peer_id);
  if (it == neighbors_.end()) {
    if (neighbors_.size() >= kNeighborBucketCapacity) {
      auto fullest = neighbors_.end();
      for (auto b = neighbors_.begin(); b != neighbors_.end(); ++b) {
        b->second.refill(now);
        if (fullest == neighbors_.end() || b->second.tokens >= fullest->second.tokens) fullest = b;
      }
      if (fullest != neighbors_.end()) neighbors_.erase(fullest);
    }
    it = neighbors_.emplace(peer_id, TokenBucket{now, peer_burst_, peer_burst_, peer_rate_}).first;
  }
  it->second.refill(now);
  if (it->second.tokens < 1.0f) return false;
  it->second.tokens -= 1.0f;
  return true;
}

bool MeshRelayBudget::take_handoff_token(MonoTime now) {
  shared_.refill(now);
  if (shared_.tokens < 1.0f) {
    budget_refused_ = budget_refused_ == UINT64_MAX ? budget_refused_ : budget_refused_ + 1;
    return false;
  }
  shared_.tokens -= 1.0f;
  budget_sends_ = budget_sends_ == UINT64_MAX ? budget_sends_ : budget_sends_ + 1;
  return true;
}

}  // namespace brenvik
