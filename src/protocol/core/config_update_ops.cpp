// The run-time configuration changes the core answers itself. The rules and
// the rebuild of the dependent tables live in ConfigUpdates; the core only
// points it at its own configuration and tables.
#include "protocol/config/config_updates.h"
#include "protocol/core/protocol_core.h"

namespace brenvik {

namespace {

// The session-pending queue arrives with the session layer; until then a
// change of its lifetime has nothing to recompute or expire.
class NoSessionPendingQueue final : public SessionPendingLifetime {
 public:
  void recompute_deadline(uint64_t) override {}
  void expire(int64_t) override {}
};

}  // namespace

Result<void, ProtocolError> ProtocolCore::update_ack_config(uint64_t default_timeout_ms,
                                                            uint64_t max_pending_acks) {
  NoSessionPendingQueue no_session_pending;
  ConfigUpdates updates(ConfigTargets{config_, ack_manager_, retry_queue_, deduplicator_,
                                      seen_set_dirty_, no_session_pending, clock_});
  return updates.update_ack_config(default_timeout_ms, max_pending_acks);
}

Result<void, ProtocolError> ProtocolCore::update_relay_config(const RelayConfig& relay) {
  NoSessionPendingQueue no_session_pending;
  ConfigUpdates updates(ConfigTargets{config_, ack_manager_, retry_queue_, deduplicator_,
                                      seen_set_dirty_, no_session_pending, clock_});
  return updates.update_relay_config(relay);
}

}  // namespace brenvik
