// The host-driven tick: every time-driven piece of work of the protocol, in
// one fixed order, on the caller's thread.
#include <algorithm>
#include <cmath>

#include "protocol/core/protocol_core.h"
#include "util/log.h"

namespace brenvik {

namespace {
uint32_t sat_add1(uint32_t v) {
  return v == UINT32_MAX ? v : v + 1;
}
int64_t ns_to_ms(int64_t ns) {
  return ns / 1'000'000;
}
}  // namespace

Result<void, ProtocolError> ProtocolCore::process_tick() {
  {
    BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
    if (g->lifecycle != LifecycleState::Running) return {};
  }
  // 0. Frames the transports queued that no ingress call drained: they are
  //    processed now so that acknowledgements and deliveries are not held
  //    back until the next ingress. Messages already handed to the host's
  //    pull queue (ready_messages) stay there.
  while (receive_from_transports()) {
  }
  // 1. Fan queued frames out to neighbours: the receive path's forwarding
  //    queue; nothing is queued until that path exists.
  // 2. Custody sweep, at most once per 60 seconds.
  custody_sweep();
  // 3. Retry pass; a failure to start an acknowledgement wait ends the tick.
  BRENVIK_TRY_VOID(retry_pass());
  // 4. Welcome confirmation time-outs (session layer; none pending yet).
  // 5. Group relay upkeep (group layer; no registration or broadcast yet).
  // 6. Acknowledgement time-outs; a shared-state lock failure ends the tick.
  BRENVIK_TRY_VOID(settle_ack_timeouts());
  // 7. Session confirmation retries (session layer).
  // 8. Expiry of the pending-decryption queue (receive path).
  // 9. Persistence of a changed seen set (needs a storage provider).
  // 10. Media chunk pump: refill each transfer's window.
  pump_media_chunks();
  // 11. Data-sync settlement (data layer).
  // 12-14. Nostr key-package slots, discovery claim, username look-ups.
  // 15. Maintenance pass.
  maintenance_pass();
  // 16. Relay gate.
  relay_gate();
  // 17. Metrics: the telemetry consumers arrive with their layer.
  return {};
}

void ProtocolCore::custody_sweep() {
  MonoTime now = clock_.monotonic();
  Nanos since = now > last_custody_sweep_ ? now - last_custody_sweep_ : Nanos(0);
  if (since < std::chrono::seconds(kCustodySweepIntervalSecs)) return;
  last_custody_sweep_ = now;
  int64_t now_ms = clock_.wall_unix_ms();
  for (auto it = custody_receipts_.begin(); it != custody_receipts_.end();) {
    std::erase_if(it->second, [&](const auto& kv) { return kv.second <= now_ms; });
    if (it->second.empty())
      it = custody_receipts_.erase(it);
    else
      ++it;
  }
  // Held frames of other devices live in the custody store, which arrives
  // with the custody layer.
}

Result<void, ProtocolError> ProtocolCore::retry_pass() {
  uint32_t limit = kRetryPassLimit;
  if (config_.retry.pacing_enabled) {
    MonoTime now = clock_.monotonic();
    if (!retry_tokens_refilled_at_) {
      retry_tokens_ = kRetryBucketCapacity;
      retry_tokens_refilled_at_ = now;
    } else {
      double elapsed = now > *retry_tokens_refilled_at_
                           ? std::chrono::duration<double>(now - *retry_tokens_refilled_at_).count()
                           : 0.0;
      retry_tokens_ =
          std::min(retry_tokens_ + elapsed * kRetryBucketRefillPerSec, kRetryBucketCapacity);
      retry_tokens_refilled_at_ = now;
      double n = std::floor(retry_tokens_);
      if (n < 1.0) return {};
      limit = std::min<uint32_t>(uint32_t(n), kRetryPassLimit);
    }
  }

  uint32_t processed = 0;
  while (processed < limit) {
    std::optional<RetryEntry> due = retry_queue_.pop_due();
    if (!due) break;
    ++processed;
    RetryEntry entry = std::move(*due);
    std::optional<TransportType> t0 = transport_manager_.current_transport();
    outbox_insert(entry.message);
    resend_reseal(entry.message);
    std::optional<TransportType> pin = media_transfer_transport(entry.message.id);
    Result<void, ProtocolError> sent = pin ? transport_manager_.send_via(entry.message, *pin)
                                           : transport_manager_.send(entry.message);
    std::optional<TransportType> used = pin ? pin : transport_manager_.current_transport();
    std::string id_text = display_message_id(entry.message.id);
    if (sent.ok()) {
      BRENVIK_TRY(bool started, track_ack(entry.message));
      if (started)
        ack_manager_.set_attempts(entry.message.id, sat_add1(entry.attempt));
      else
        ack_manager_.record_resend(entry.message.id);
      persist_outbox_entry(entry.message, used, sat_add1(entry.attempt));
      if (used) transport_manager_.router().record_success(*used);
      BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "Retry send succeeded"},
                  {"message_id", id_text}, {"retry_count", entry.attempt},
                  {"transport", transport_byte(used)});
    } else {
      std::optional<int64_t> next =
          retry_queue_.schedule_backoff(entry.message, sat_add1(entry.attempt));
      std::optional<TransportType> charged = pin ? pin : t0;
      if (charged) transport_manager_.router().record_failure(*charged);
      if (next) {
        emit_event(event::MessageRetrying{id_text, entry.message.recipient, sat_add1(entry.attempt),
                                          ns_to_ms(*next)});
      }
      BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "Retry send failed, will retry later"},
                  {"message_id", id_text}, {"retry_count", entry.attempt},
                  {"transport", transport_byte(used)}, {"error", sent.error().message()});
    }
  }
  if (processed > 0) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "Processed retry queue entries"},
                {"processed", processed});
    if (config_.retry.pacing_enabled) retry_tokens_ = std::max(retry_tokens_ - processed, 0.0);
  }
  return {};
}

Result<void, ProtocolError> ProtocolCore::settle_ack_timeouts() {
  std::vector<PendingAck> timed_out = ack_manager_.check_timeouts();
  for (const PendingAck& w : timed_out) {
    const MessageId& m = w.message_id;
    uint32_t r = w.attempts;
    std::string id_text = display_message_id(m);
    if (r < config_.retry.max_retries) {
      if (const OutboxEntry* entry = outbox_.find_any(m)) {
        Message copy = entry->message;
        std::optional<TransportType> last = entry->last_transport;
        std::string recipient = copy.recipient;
        std::optional<int64_t> next = retry_queue_.schedule_backoff(std::move(copy), r);
        if (last) transport_manager_.router().record_failure(*last);
        if (next) emit_event(event::MessageRetrying{id_text, recipient, r, ns_to_ms(*next)});
      } else {
        BRENVIK_TRY_VOID(deliver_locked(
            event::MessageFailed{id_text, "Message missing from outbox (cannot retry)", r},
            "Failed to lock shared state for missing outbox entry event: ", kSendLogTarget));
        (void)fail_outbox_entry(m, "missing outbox entry");
      }
      continue;
    }
    // Retries exhausted.
    if (is_parked_dm(m)) {
      const OutboxEntry* parked = outbox_.find(m);
      if (parked && outbox_.has_park(parked->message.recipient)) {
        std::string recipient = parked->message.recipient;
        BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                    {"message",
                     "ACK budget exhausted by reachability probes; re-parking instead of settling"},
                    {"message_id", id_text}, {"recipient", recipient});
        park_unreachable_dm(m, recipient, parked->attempt_count, false);
        continue;
      }
    }
    std::optional<std::string> conn_recipient = take_pending_connection_request(m);
    {
      auto g = lock_shared_state(events_.state());
      if (!g.ok()) {
        BRENVIK_LOG(LogLevel::Error, kLogTarget,
                    {"message", "Failed to lock shared state for message failed event: " +
                                    g.error().message()});
        return Err(std::move(g).error());
      }
      deliver_event(**g, event::MessageFailed{id_text, "Max retries exceeded", r});
      if (conn_recipient) {
        BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                    {"message", "Connection request undeliverable: max retries exceeded"},
                    {"recipient", *conn_recipient}, {"message_id", id_text});
        deliver_event(**g, event::ConnectionRequestUndeliverable{*conn_recipient, id_text,
                                                                 "max_retries_exceeded"});
      }
    }
    (void)fail_outbox_entry(m, "max retries exceeded");
  }
  return {};
}

void ProtocolCore::maintenance_pass() {
  // Stale known peers, the outbox's lifetimes, inbound transfers idle for
  // 300 s, the peer failure table and the acknowledgement table's reported
  // time-outs. Epoch forks and leave elections belong to layers not built yet.
  forget_stale_known_peers();
  expire_outbox_entries();
  prune_stale_inbound_transfers();
  transport_manager_.evict_peer_failures(clock_.monotonic());
  ack_manager_.expire(std::chrono::seconds(300));
}

void ProtocolCore::forget_stale_known_peers() {
  // A peer not heard from for half an hour is no longer a neighbour; its
  // per-peer state goes with it. Exactly the lifetime is still fresh.
  constexpr Nanos kLifetime = std::chrono::seconds(kKnownPeerLifetimeSecs);
  const MonoTime now = clock_.monotonic();
  std::vector<std::string> stale = mesh_.stale_peers(now, kLifetime);
  if (stale.empty()) return;
  BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "Evicting stale known peers"},
              {"count", uint64_t(stale.size())}, {"ttl_secs", uint64_t(kKnownPeerLifetimeSecs)});
  for (const std::string& peer : stale) peer_lost(peer);
}

}  // namespace brenvik
