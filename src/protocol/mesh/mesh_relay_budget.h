// The budgets that bound how much this device sends for the mesh: a global
// token bucket shared by its own hand-offs to neighbours and by relaying, a
// relay-only bucket, and one intake bucket per neighbour. The relay queue
// and the forwarding decision that also use them belong to the receive side.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "protocol/config/protocol_config.h"
#include "reliability/deduplicator.h"
#include "util/clock.h"

namespace brenvik {

struct TokenBucket {
  MonoTime last_refill;
  float tokens = 0;
  float capacity = 0;
  float rate = 0;  // tokens per second

  // tokens = min(tokens + elapsed * rate, capacity) when time moved forward.
  void refill(MonoTime now);
};

class MeshRelayBudget {
 public:
  static constexpr size_t kNeighborBucketCapacity = 256;

  MeshRelayBudget(const MeshRelayConfig& config, MonoTime now, const Clock& clock);

  // Whether one more frame may be relayed now: the shared bucket must hold
  // more than the reserve kept for own traffic, the relay bucket one token.
  // Takes no token.
  bool relay_budget_available(MonoTime now);
  // Takes one token from the neighbour's intake bucket when it holds one.
  bool neighbor_is_eligible(const std::string& peer_id, MonoTime now);
  // The hand-off's spend: refills the shared bucket, then takes one token
  // (true) or counts a refusal (false).
  bool take_handoff_token(MonoTime now);

  TokenBucket& shared_bucket() { return shared_; }
  TokenBucket& relay_bucket() { return relay_; }
  float reserve_tokens() const { return reserve_; }
  size_t neighbor_bucket_count() const { return neighbors_.size(); }
  bool has_neighbor_bucket(const std::string& peer_id) const {
    return neighbors_.contains(peer_id);
  }
  // Drops the neighbour's intake bucket (it is gone; a returning neighbour
  // starts with a full one).
  void forget_neighbor(const std::string& peer_id) { neighbors_.erase(peer_id); }
  uint64_t budget_sends() const { return budget_sends_; }
  uint64_t budget_refused() const { return budget_refused_; }
  // Ids of frames taken for relaying or handed off, so a copy coming back
  // through the mesh is not taken again.
  SeenWindow& seen_window() { return seen_; }

 private:
  TokenBucket shared_;
  TokenBucket relay_;
  float reserve_;
  float peer_rate_;
  float peer_burst_;
  std::unordered_map<std::string, TokenBucket> neighbors_;
  uint64_t budget_sends_ = 0;
  uint64_t budget_refused_ = 0;
  SeenWindow seen_;
};

}  // namespace brenvik
