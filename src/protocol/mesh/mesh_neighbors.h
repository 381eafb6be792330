// MeshNeighbors: the neighbours this device has seen and the part it plays
// for them. It owns the known-peer table, the relay role and the budgets
// that bound what the device sends for the mesh, so that forgetting a peer
// clears every per-peer trace in one place.
//
// It calls nothing: the core reads the transports (battery, connected
// neighbours) and hands the readings in; the gate returns the event it
// decided on and the core delivers it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/config/protocol_config.h"
#include "protocol/events/protocol_event.h"
#include "protocol/helpers/core_helpers.h"
#include "protocol/mesh/known_peers.h"
#include "protocol/mesh/mesh_relay_budget.h"
#include "protocol/mesh/relay_role.h"
#include "util/clock.h"

namespace brenvik {

class MeshNeighbors {
 public:
  MeshNeighbors(const MeshRelayConfig& mesh, MonoTime now, const Clock& clock);
  MeshNeighbors(const MeshNeighbors&) = delete;
  MeshNeighbors& operator=(const MeshNeighbors&) = delete;

  // Records a sighting of `peer_id`. When the table is full and the peer is
  // new, the least recently seen peer is forgotten first (as `forget` does)
  // and returned.
  std::optional<std::string> record_sighting(const std::string& peer_id, MonoTime now);
  // Forgets what only makes sense while the peer is around: its known-peer
  // entry and its intake bucket. A peer in neither changes nothing.
  void forget(const std::string& peer_id);
  // Peers last seen more than `lifetime` before `now` (exactly the lifetime
  // is still fresh), in no particular order.
  std::vector<std::string> stale_peers(MonoTime now, Nanos lifetime) const;

  // One run of the relay gate: refreshes the battery snapshot and the
  // relay-wide bucket, and promotes or demotes the device. Returns the
  // RelayPromoted, RelayDemoted or RelayDemotedBattery event of a change.
  std::optional<ProtocolEvent> run_relay_gate(MonoTime now, const RelayConfig& relay,
                                              const MeshRelayConfig& mesh,
                                              const BatteryReading& battery);
  // The forwarding path counts each frame it forwards for another device.
  void count_forward_for_others();
  bool is_relay() const { return role_.active; }

  const KnownPeers& known_peers() const { return known_; }
  const RelayRole& relay_role() const { return role_; }
  MeshRelayBudget& budget() { return budget_; }
  const MeshRelayBudget& budget() const { return budget_; }

 private:
  KnownPeers known_;
  RelayRole role_;
  MeshRelayBudget budget_;
};

}  // namespace brenvik
