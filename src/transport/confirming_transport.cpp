#include "transport/confirming_transport.h"

#include <algorithm>

#include "transport/message_codec.h"
#include "transport/message_json.h"
#include "util/log.h"

namespace brenvik {

ConfirmingTransport::ConfirmingTransport(Profile profile, const Clock& clock,
                                         size_t outbound_capacity)
    : profile_(profile), clock_(clock), outbound_capacity_(outbound_capacity) {}

TransportStatus ConfirmingTransport::status() const {
  return *lock_or_recover(status_);
}

TransportMetrics ConfirmingTransport::metrics() const {
  return *lock_or_recover(metrics_);
}

void ConfirmingTransport::fail_pending_confirmations() {
  size_t n = 0;
  {
    auto p = lock_or_recover(pending_);
    n = p->size();
    p->clear();
  }
  if (n == 0) return;
  if (profile_.verbose_verdicts) {
    BRENVIK_LOG(LogLevel::Warn, profile_.log_target,
                {"message", "Failing all pending confirmations due to transport disconnect"},
                {"count", uint64_t(n)});
  }
  lock_or_recover(metrics_)->record_failures(n);
}

Result<void, TransportError> ConfirmingTransport::stop() {
  if (profile_.stop_drops_queues) {
    *lock_or_recover(status_) = TransportStatus::Disconnected;
    fail_pending_confirmations();
    lock_or_recover(outbound_)->clear();
    (void)inbound_.drain();
  } else {
    fail_pending_confirmations();
    *lock_or_recover(status_) = TransportStatus::Disconnected;
  }
  return {};
}

void ConfirmingTransport::set_status(TransportStatus next) {
  TransportStatus old;
  {
    auto s = lock_or_recover(status_);
    old = *s;
    *s = next;
  }
  const size_t queued = lock_or_recover(outbound_)->size();
  if (next != TransportStatus::Available) {
    if (old != TransportStatus::Available) return;
    fail_pending_confirmations();
    if (queued > 0) {
      std::string text(profile_.status_log_name);
      text.append(" transport disconnected with ")
          .append(std::to_string(queued))
          .append(" messages in queue (will retry)");
      BRENVIK_LOG(LogLevel::Warn, profile_.log_target, {"message", text},
                  {"pending_messages", uint64_t(queued)},
                  {"new_status", LogValue::display(transport_status_name(next))});
    }
    return;
  }
  if (queued > 0) {
    std::string text(profile_.status_log_name);
    text.append(" transport available, ")
        .append(std::to_string(queued))
        .append(" messages pending in queue");
    BRENVIK_LOG(LogLevel::Info, profile_.log_target, {"message", text},
                {"pending_messages", uint64_t(queued)});
  }
}

Result<void, TransportError> ConfirmingTransport::send(const Message& message) {
  TransportStatus st = status();
  if (st != TransportStatus::Available) {
    return Err(TransportError::not_available(not_available_text(st)));
  }
  size_t depth;
  {
    auto q = lock_or_recover(outbound_);
    if (q->size() >= outbound_capacity_) {
      uint64_t dropped = outbound_dropped_.fetch_add(1, std::memory_order_relaxed) + 1;
      BRENVIK_LOG(LogLevel::Warn, profile_.log_target,
                  {"message", "outbound queue full; send refused"},
                  {"capacity", uint64_t(outbound_capacity_)}, {"dropped_total", dropped});
      return Err(TransportError::send_failed(std::string(profile_.status_log_name) +
                                             " outbound queue full (" +
                                             std::to_string(outbound_capacity_) + " messages)"));
    }
    q->push_back(message);
    depth = q->size();
  }
  {
    auto m = lock_or_recover(metrics_);
    m->queue_depth = depth;
    m->queue_utilization = std::min(float(depth) / float(profile_.utilization_reference), 1.0f);
  }
  if (profile_.has_callback) {
    OutboundAvailableCallback cb = *lock_or_recover(on_available_);
    if (cb) cb();
  }
  return {};
}

Result<std::optional<Message>, TransportError> ConfirmingTransport::receive() {
  return inbound_.pop();
}

Result<void, TransportError> ConfirmingTransport::on_data_received(Bytes data) {
  return enqueue_received_bytes(inbound_, std::move(data));
}

Result<void, TransportError> ConfirmingTransport::on_data_received_from(const std::string& peer_id,
                                                                        Bytes data) {
  return enqueue_received_bytes_from_peer(inbound_, std::move(data), peer_id);
}

Result<std::optional<OutboundFrame>, TransportError> ConfirmingTransport::get_next_message() {
  const MonoTime now = clock_.monotonic();
  size_t expired = 0;
  {
    auto p = lock_or_recover(pending_);
    for (auto it = p->begin(); it != p->end();) {
      Nanos age = it->second < now ? now - it->second : Nanos(0);
      bool overdue = profile_.expiry_whole_seconds_inclusive
                         ? std::chrono::duration_cast<std::chrono::seconds>(age) >= profile_.expiry
                         : age > profile_.expiry;
      if (overdue) {
        it = p->erase(it);
        ++expired;
      } else {
        ++it;
      }
    }
  }
  if (expired > 0) {
    if (profile_.verbose_verdicts) {
      BRENVIK_LOG(LogLevel::Warn, profile_.log_target,
                  {"message", "Pending confirmations expired, recorded as failures"},
                  {"expired_count", uint64_t(expired)});
    }
    lock_or_recover(metrics_)->record_failures(expired);
  }

  std::optional<Message> next;
  size_t remaining;
  {
    auto q = lock_or_recover(outbound_);
    if (q->empty()) return std::optional<OutboundFrame>();
    next = std::move(q->front());
    q->pop_front();
    remaining = q->size();
  }
  auto bytes =
      profile_.always_json ? encode_message_json(*next) : encode_message_for_transport(*next);
  if (!bytes.ok()) {
    outbound_dropped_.fetch_add(1, std::memory_order_relaxed);
    return Err(std::move(bytes).error());
  }
  std::string id = display_message_id(next->id);
  size_t displaced = 0;
  {
    auto p = lock_or_recover(pending_);
    if (p->size() >= kMaxPendingConfirmations && !p->contains(id)) {
      // A host that pulls without ever answering must not grow this table
      // without bound: the longest-waiting frame counts as failed.
      auto oldest = std::min_element(
          p->begin(), p->end(), [](const auto& a, const auto& b) { return a.second < b.second; });
      p->erase(oldest);
      displaced = 1;
    }
    (*p)[id] = now;
  }
  {
    auto m = lock_or_recover(metrics_);
    if (displaced) m->record_failures(displaced);
    if (profile_.pull_updates_depth) m->queue_depth = remaining;
  }
  return std::optional<OutboundFrame>(OutboundFrame{std::move(id), std::move(bytes).value()});
}

void ConfirmingTransport::verdict(const std::string& message_id, bool success) {
  bool found = lock_or_recover(pending_)->erase(message_id) > 0;
  const bool verbose = profile_.verbose_verdicts;
  if (!found) {
    if (verbose) {
      BRENVIK_LOG(LogLevel::Debug, profile_.log_target,
                  {"message", success ? "confirm_sent: unknown or already-resolved message"
                                      : "report_send_failure: unknown or already-resolved message"},
                  {"message_id", message_id});
    }
    return;
  }
  auto m = lock_or_recover(metrics_);
  if (success) {
    m->record_successes(1);
    if (verbose) {
      BRENVIK_LOG(LogLevel::Trace, profile_.log_target,
                  {"message", "confirm_sent: recorded success"}, {"message_id", message_id},
                  {"success_count", m->messages_delivered});
    }
  } else {
    m->record_failures(1);
    if (verbose) {
      BRENVIK_LOG(LogLevel::Trace, profile_.log_target,
                  {"message", "report_send_failure: recorded failure"}, {"message_id", message_id},
                  {"failure_count", m->messages_failed});
    }
  }
}

void ConfirmingTransport::confirm_sent(const std::string& message_id) {
  verdict(message_id, true);
}

void ConfirmingTransport::report_send_failure(const std::string& message_id) {
  verdict(message_id, false);
}

void ConfirmingTransport::set_on_messages_available(OutboundAvailableCallback callback) {
  if (!profile_.has_callback) {
    Transport::set_on_messages_available(std::move(callback));
    return;
  }
  *lock_or_recover(on_available_) = std::move(callback);
}

TransportQueueStats ConfirmingTransport::queue_stats() const {
  TransportQueueStats s;
  s.outbound_queued = lock_or_recover(outbound_)->size();
  s.outbound_capacity = outbound_capacity_;
  s.outbound_dropped = outbound_dropped_.load();
  s.inbound_queued = inbound_.size();
  s.inbound_dropped = inbound_.dropped_full();
  s.inbound_malformed = inbound_.dropped_malformed();
  return s;
}

size_t ConfirmingTransport::pending_confirmation_count() const {
  return lock_or_recover(pending_)->size();
}

InternetTransport::InternetTransport(const Clock& clock, size_t outbound_capacity)
    : ConfirmingTransport(
          Profile{TransportType::Internet, "brenvik_protocol_transport::internet", "Internet",
                  std::chrono::seconds(15), true, 25, true, true, false, false, true},
          clock, outbound_capacity) {}

ReticulumTransport::ReticulumTransport(const Clock& clock, size_t outbound_capacity)
    : ConfirmingTransport(
          Profile{TransportType::Reticulum, "brenvik_protocol_transport::reticulum", "Reticulum",
                  std::chrono::seconds(120), false, 50, false, false, true, true, false},
          clock, outbound_capacity) {}

}  // namespace brenvik
