#include "transport/wifi_direct_transport.h"

#include <algorithm>

#include "transport/message_codec.h"
#include "util/log.h"

namespace brenvik {

namespace {
constexpr std::string_view kLogTarget = "brenvik_protocol_transport::wifi_direct";
}  // namespace

WifiDirectTransport::WifiDirectTransport(const Clock& clock, size_t outbound_capacity)
    : clock_(clock), outbound_capacity_(outbound_capacity) {}

TransportStatus WifiDirectTransport::status() const {
  TransportStatus s = status_.get();
  if (s == TransportStatus::Available && lock_or_recover(peers_)->empty()) {
    return TransportStatus::Connecting;
  }
  return s;
}

TransportMetrics WifiDirectTransport::metrics() const {
  return *lock_or_recover(metrics_);
}

void WifiDirectTransport::clear_tables() {
  lock_or_recover(peers_)->clear();
  lock_or_recover(outbound_)->clear();
  (void)inbound_.drain();
  auto m = lock_or_recover(metrics_);
  m->queue_depth = 0;
  m->queue_utilization = 0.0f;
}

Result<void, TransportError> WifiDirectTransport::stop() {
  status_.stop([this] { clear_tables(); });
  return {};
}

void WifiDirectTransport::set_status(TransportStatus next) {
  status_.set(next, [this] { clear_tables(); });
}

Result<void, TransportError> WifiDirectTransport::send(const Message& message) {
  return queue_for(message.recipient, message, false);
}

Result<void, TransportError> WifiDirectTransport::send_to_peer(const std::string& peer_id,
                                                               const Message& message) {
  return queue_for(peer_id, message, true);
}

Result<void, TransportError> WifiDirectTransport::queue_for(const std::string& target,
                                                            const Message& message,
                                                            bool named_peer) {
  if (status_.get() != TransportStatus::Available) {
    return Err(TransportError::not_available("Wi-Fi Direct transport is not available"));
  }
  if (!lock_or_recover(peers_)->contains(target)) {
    return Err(TransportError::peer_not_reachable(
        named_peer ? "Wi-Fi Direct: " + target + " is not a connected peer"
                   : "peer stream: no stream has proved " + target));
  }
  {
    auto q = lock_or_recover(outbound_);
    if (q->size() >= outbound_capacity_) {
      uint64_t dropped = outbound_dropped_.fetch_add(1, std::memory_order_relaxed) + 1;
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message", "wifi_direct: outbound queue full; send refused"},
                  {"capacity", uint64_t(outbound_capacity_)}, {"dropped_total", dropped});
      return Err(TransportError::send_failed("Wi-Fi Direct outbound queue full (" +
                                             std::to_string(outbound_capacity_) + " messages)"));
    }
    q->push_back(Queued{target, message});
    auto m = lock_or_recover(metrics_);
    m->queue_depth = q->size();
    m->queue_utilization = std::min(float(q->size()) / float(kUtilizationReference), 1.0f);
  }
  OutboundAvailableCallback cb = *lock_or_recover(on_available_);
  if (cb) cb();
  return {};
}

std::vector<ConnectedPeer> WifiDirectTransport::connected_peers() const {
  if (status_.get() != TransportStatus::Available) return {};
  std::vector<ConnectedPeer> out;
  auto peers = lock_or_recover(peers_);
  for (const auto& [id, at] : *peers) out.push_back(ConnectedPeer{id, std::nullopt});
  return out;
}

Result<std::optional<Message>, TransportError> WifiDirectTransport::receive() {
  return inbound_.pop();
}

Result<void, TransportError> WifiDirectTransport::on_data_received(Bytes data) {
  return enqueue_received_bytes(inbound_, std::move(data));
}

Result<void, TransportError> WifiDirectTransport::on_data_received_from(const std::string& peer_id,
                                                                        Bytes data) {
  return enqueue_received_bytes_from_peer(inbound_, std::move(data), peer_id);
}

Result<std::optional<OutboundFrame>, TransportError> WifiDirectTransport::get_next_message() {
  std::optional<Queued> next;
  {
    auto q = lock_or_recover(outbound_);
    if (q->empty()) return std::optional<OutboundFrame>();
    next = std::move(q->front());
    q->pop_front();
  }
  auto bytes = encode_message_for_transport(next->message);
  if (!bytes.ok()) {
    outbound_dropped_.fetch_add(1, std::memory_order_relaxed);
    return Err(std::move(bytes).error());
  }
  return std::optional<OutboundFrame>(OutboundFrame{next->target, std::move(bytes).value()});
}

void WifiDirectTransport::set_on_messages_available(OutboundAvailableCallback callback) {
  *lock_or_recover(on_available_) = std::move(callback);
}

TransportQueueStats WifiDirectTransport::queue_stats() const {
  TransportQueueStats s;
  s.outbound_queued = lock_or_recover(outbound_)->size();
  s.outbound_capacity = outbound_capacity_;
  s.outbound_dropped = outbound_dropped_.load();
  s.inbound_queued = inbound_.size();
  s.inbound_dropped = inbound_.dropped_full();
  s.inbound_malformed = inbound_.dropped_malformed();
  return s;
}

void WifiDirectTransport::peer_connected(const std::string& peer_id) {
  if (peer_id.empty()) return;
  (*lock_or_recover(peers_))[peer_id] = clock_.monotonic();
}

bool WifiDirectTransport::peer_disconnected(const std::string& peer_id) {
  return lock_or_recover(peers_)->erase(peer_id) > 0;
}

}  // namespace brenvik
