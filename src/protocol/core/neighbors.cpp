// What the core does when the host reports a neighbour coming into reach or
// going out of it.
#include "protocol/core/protocol_core.h"
#include "util/log.h"

namespace brenvik {

void ProtocolCore::on_neighbor_discovered(const std::string& peer_id,
                                          std::optional<TransportType> transport) {
  if (is_user_blocked(peer_id)) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Ignoring neighbor discovery for blocked user"});
    return;
  }
  // A rediscovered peer is the moment to retry what waited for it: messages
  // parked or unacknowledged towards it go out again now rather than at the
  // next back-off step.
  flush_outbox_for_peer(peer_id, transport);
}

void ProtocolCore::on_peer_lost(const std::string& /*peer_id*/) {
  // The per-peer tables this drops from (discovered neighbours, their
  // services, the relay state's per-peer budget) are kept by the mesh and
  // service layers; none of them holds a peer yet.
}

}  // namespace brenvik
