#include "protocol/config/config_updates.h"

#include "util/log.h"

namespace brenvik {
namespace {

constexpr std::string_view kLogTarget = "brenvik_protocol::protocol::config";

}  // namespace

ConfigUpdates::UpdateResult ConfigUpdates::update_ack_config(uint64_t default_timeout_ms,
                                                             uint64_t max_pending_acks) {
  ProtocolConfig candidate = t_.config;
  candidate.ack = AckConfig{default_timeout_ms, max_pending_acks};
  BRENVIK_TRY_VOID(candidate.validate());

  const std::vector<PendingAck> dropped = t_.acks.reconfigure(default_timeout_ms, max_pending_acks);
  if (!dropped.empty()) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message",
                 "Acknowledgement capacity lowered below the waits in progress; "
                 "oldest waits dropped, their messages stay in the outbox"},
                {"dropped", uint64_t(dropped.size())}, {"max_pending_acks", max_pending_acks});
  }
  t_.config.ack = candidate.ack;
  return {};
}

ConfigUpdates::UpdateResult ConfigUpdates::update_dedup_config(const DedupConfig& dedup) {
  ProtocolConfig candidate = t_.config;
  candidate.reliability.dedup = dedup;
  BRENVIK_TRY_VOID(candidate.validate());

  t_.dedup.update_config(dedup);
  t_.config.reliability.dedup = dedup;
  if (t_.seen_set_dirty != UINT32_MAX) ++t_.seen_set_dirty;
  return {};
}

ConfigUpdates::UpdateResult ConfigUpdates::update_relay_config(const RelayConfig& relay) {
  ProtocolConfig candidate = t_.config;
  candidate.relay = relay;
  BRENVIK_TRY_VOID(candidate.validate());

  t_.config.relay = relay;
  return {};
}

ConfigUpdates::UpdateResult ConfigUpdates::set_relay_priority(RelayPriority priority) {
  RelayConfig relay = t_.config.relay;
  relay.priority = priority;
  return update_relay_config(relay);
}

ConfigUpdates::UpdateResult ConfigUpdates::update_retry_config(const RetryConfig& retry) {
  ProtocolConfig candidate = t_.config;
  candidate.retry = retry;
  BRENVIK_TRY_VOID(candidate.validate());

  t_.retries.reconfigure(retry);
  t_.config.retry = retry;
  t_.session_pending.recompute_deadline(retry.pending_message_max_lifetime_ms);
  t_.session_pending.expire(t_.clock.wall_unix_ms());
  return {};
}

}  // namespace brenvik
