// What the core does when the host reports a neighbour coming into reach or
// going out of it.
#include "protocol/core/protocol_core.h"
#include "util/log.h"

namespace brenvik {

void ProtocolCore::on_neighbor_discovered(const std::string& peer_id,
                                          std::optional<TransportType> transport) {
  // Our own id echoed back by a transport is not a neighbour.
  if (peer_id == local_user_id_) return;
  if (is_user_blocked(peer_id)) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Ignoring neighbor discovery for blocked user"}, {"peer_id", peer_id});
    return;
  }
  const MonoTime now = clock_.monotonic();
  if (!known_peers_.contains(peer_id) && known_peers_.full()) {
    // Bounded table: the peer not heard from for longest makes room.
    if (std::optional<std::string> evicted = known_peers_.least_recently_seen()) {
      BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                  {"message", "Known peers at capacity, evicting least-recently-seen"},
                  {"peer_id", peer_id}, {"evicted", *evicted},
                  {"cap", uint64_t(KnownPeers::kCapacity)});
      peer_lost(*evicted);
    }
  }
  known_peers_.touch(peer_id, now);
  // A rediscovered peer is the moment to retry what waited for it: messages
  // parked or unacknowledged towards it go out again now rather than at the
  // next back-off step. Custody hand-off, Welcome re-arming, document offers
  // and key-package pushes join here with the custody, session, data and
  // MLS layers.
  flush_outbox_for_peer(peer_id, transport);
}

void ProtocolCore::on_peer_lost(const std::string& peer_id) {
  peer_lost(peer_id);
}

void ProtocolCore::peer_lost(const std::string& peer_id) {
  // Key-package push records join this list with the MLS layer.
  known_peers_.erase(peer_id);
  relay_budget_.forget_neighbor(peer_id);
}

}  // namespace brenvik
