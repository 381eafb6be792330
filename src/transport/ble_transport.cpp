#include "transport/ble_transport.h"

#include <algorithm>

#include "transport/message_codec.h"
#include "util/log.h"

namespace brenvik {

namespace {

constexpr std::string_view kLogTarget = "brenvik_protocol_transport::ble";

}  // namespace

BleTransport::BleTransport(const Clock& clock, size_t outbound_capacity)
    : clock_(clock), outbound_capacity_(outbound_capacity), assemblies_(clock) {}

TransportStatus BleTransport::status() const {
  return status_.get();
}

TransportMetrics BleTransport::metrics() const {
  return *lock_or_recover(metrics_);
}

Result<void, TransportError> BleTransport::start() {
  status_.set_available();
  return {};
}

Result<void, TransportError> BleTransport::stop() {
  status_.stop([this] { clear_tables(); });
  return {};
}

void BleTransport::set_status(TransportStatus next) {
  status_.set(next, [this] { clear_tables(); });
}

void BleTransport::clear_tables() {
  lock_or_recover(peers_)->clear();
  lock_or_recover(peer_mtus_)->clear();
  lock_or_recover(assemblies_)->clear();
  lock_or_recover(outbound_messages_)->clear();
  lock_or_recover(outbound_fragments_)->clear();
  (void)inbound_.drain();
  refresh_queue_metrics();
}

void BleTransport::refresh_queue_metrics() {
  uint64_t depth = lock_or_recover(outbound_messages_)->size();
  depth += lock_or_recover(outbound_fragments_)->size();
  auto m = lock_or_recover(metrics_);
  m->queue_depth = depth;
  m->queue_utilization = std::min(float(depth) / float(kUtilizationReference), 1.0f);
}

void BleTransport::notify_outbound_available() {
  OutboundAvailableCallback cb = *lock_or_recover(on_available_);
  if (cb) cb();
}

void BleTransport::record_failures(uint64_t n) {
  if (n == 0) return;
  lock_or_recover(metrics_)->record_failures(n);
}

void BleTransport::record_latency_sample(uint32_t ms) {
  auto m = lock_or_recover(metrics_);
  if (!m->latency_ms) {
    m->latency_ms = ms;
  } else {
    m->latency_ms = uint32_t(0.3f * float(ms) + 0.7f * float(*m->latency_ms));
  }
}

size_t BleTransport::fragment_size_for(const std::string& target) {
  auto mtus = lock_or_recover(peer_mtus_);
  auto it = mtus->find(target);
  return it == mtus->end() ? kDefaultFragmentSize : it->second;
}

Result<void, TransportError> BleTransport::send(const Message& message) {
  return queue_for(message.recipient, message);
}

Result<void, TransportError> BleTransport::send_to_peer(const std::string& peer_id,
                                                        const Message& message) {
  TransportStatus st = status();
  if (st != TransportStatus::Available) {
    return Err(TransportError::not_available(
        "BLE transport is not available (status: " + std::string(transport_status_name(st)) + ")"));
  }
  if (!lock_or_recover(peers_)->contains(peer_id)) {
    return Err(TransportError::peer_not_reachable("BLE: " + peer_id + " is not a connected peer"));
  }
  return queue_for(peer_id, message);
}

Result<void, TransportError> BleTransport::queue_for(const std::string& target,
                                                     const Message& message) {
  // send() arrives here with the recipient as target and checks it itself;
  // send_to_peer has checked status and peer already (checking twice is
  // harmless and keeps one road for both).
  TransportStatus st = status();
  if (st != TransportStatus::Available) {
    return Err(TransportError::not_available(
        "BLE transport is not available (status: " + std::string(transport_status_name(st)) + ")"));
  }
  size_t known_peers = 0;
  {
    auto peers = lock_or_recover(peers_);
    if (!peers->contains(target)) known_peers = peers->size() + 1;
  }
  if (known_peers != 0) {
    if (known_peers > 1) {
      recipient_not_among_peers_count_.fetch_add(1, std::memory_order_relaxed);
      BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                  {"message",
                   "ble: send recipient is not among the connected BLE peers while other peers are "
                   "connected \xE2\x80\x94 likely a recipient\xE2\x86\x94"
                   "device-id keying mismatch; this send will fall back off BLE"},
                  {"recipient", target}, {"connected_peers", uint64_t(known_peers - 1)});
    }
    return Err(
        TransportError::peer_not_reachable("BLE: no connected peer for recipient " + target));
  }

  // Encode now: a message that cannot be carried in 512 frames is refused
  // while the registry can still try another transport.
  BRENVIK_TRY(Bytes encoded, encode_message_for_transport(message));
  const uint64_t limit = max_fragmentable_bytes(fragment_size_for(target));
  if (encoded.size() > limit) {
    return Err(TransportError::message_too_large(encoded.size(), limit));
  }
  {
    auto q = lock_or_recover(outbound_messages_);
    if (q->size() >= outbound_capacity_) {
      uint64_t dropped = outbound_dropped_.fetch_add(1, std::memory_order_relaxed) + 1;
      BRENVIK_LOG(LogLevel::Warn, kLogTarget, {"message", "ble: outbound queue full; send refused"},
                  {"capacity", uint64_t(outbound_capacity_)}, {"dropped_total", dropped});
      return Err(TransportError::send_failed("BLE outbound queue full (" +
                                             std::to_string(outbound_capacity_) + " messages)"));
    }
    q->push_back(QueuedMessage{target, display_message_id(message.id), std::move(encoded)});
  }
  refresh_queue_metrics();
  notify_outbound_available();
  return {};
}

std::vector<ConnectedPeer> BleTransport::connected_peers() const {
  if (status() != TransportStatus::Available) return {};
  std::vector<ConnectedPeer> out;
  auto peers = lock_or_recover(peers_);
  out.reserve(peers->size());
  for (const auto& [id, p] : *peers) out.push_back(ConnectedPeer{id, p.rssi_dbm});
  return out;
}

Result<std::optional<Message>, TransportError> BleTransport::receive() {
  return inbound_.pop();
}

Result<std::optional<OutboundFrame>, TransportError> BleTransport::get_next_fragment() {
  std::optional<OutboundFrame> waiting;
  {
    auto frames = lock_or_recover(outbound_fragments_);
    if (!frames->empty()) {
      waiting = std::move(frames->front());
      frames->pop_front();
    }
  }
  if (waiting) {
    refresh_queue_metrics();
    return waiting;
  }
  std::optional<QueuedMessage> next;
  {
    auto q = lock_or_recover(outbound_messages_);
    if (!q->empty()) {
      next = std::move(q->front());
      q->pop_front();
    }
  }
  if (!next) {
    refresh_queue_metrics();
    return std::optional<OutboundFrame>();
  }
  size_t size;
  {
    auto mtus = lock_or_recover(peer_mtus_);
    auto it = mtus->find(next->target);
    if (it != mtus->end()) {
      size = it->second;
    } else {
      size = kDefaultFragmentSize;
      if (lock_or_recover(peers_)->contains(next->target)) {
        fragment_fallback_count_.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  BRENVIK_LOG(LogLevel::Trace, kLogTarget, {"message", "ble: selected fragment payload size"},
              {"peer", next->target}, {"mtu", uint64_t(size)});
  auto frames = fragment_encoded(next->message_id, next->encoded, size);
  if (!frames.ok()) {
    // Possible only when the peer's size shrank after queueing.
    outbound_dropped_.fetch_add(1, std::memory_order_relaxed);
    return Err(std::move(frames).error());
  }
  {
    auto out = lock_or_recover(outbound_fragments_);
    for (Bytes& f : frames.value()) out->push_back(OutboundFrame{next->target, std::move(f)});
  }
  refresh_queue_metrics();
  OutboundFrame first;
  {
    auto out = lock_or_recover(outbound_fragments_);
    first = std::move(out->front());
    out->pop_front();
  }
  refresh_queue_metrics();
  return std::optional<OutboundFrame>(std::move(first));
}

Result<void, TransportError> BleTransport::on_fragment_received(Bytes data) {
  return on_fragment_received_from(std::string(), std::move(data));
}

Result<void, TransportError> BleTransport::on_fragment_received_from(const std::string& peer_id,
                                                                     Bytes data) {
  FragmentReassembler::Step step = lock_or_recover(assemblies_)->accept(peer_id, data);
  record_failures(step.expired.size());
  if (step.evicted) {
    std::optional<EvictionObserver> observer = *lock_or_recover(eviction_observer_);
    if (observer && *observer) (*observer)(*step.evicted);
    record_failures(1);
  }
  if (step.error) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Error processing fragment, dropping bad fragment"},
                {"error", step.error->message()});
    return {};
  }
  if (!step.completed) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Fragment received, more needed for complete message"});
    return {};
  }
  if (step.latency_ms) record_latency_sample(*step.latency_ms);
  const size_t frame_bytes = step.completed->size();
  auto decoded = decode_message(*step.completed);
  if (!decoded.ok()) {
    inbound_.count_malformed();
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Error processing fragment, dropping bad fragment"},
                {"error", decoded.error().message()});
    return {};
  }
  Message m = std::move(decoded).value();
  if (peer_id.empty()) {
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Complete message assembled from fragments"},
                {"message_id", display_message_id(m.id)});
  } else {
    if (auto v = validate_transport_peer_id(m, peer_id); !v.ok()) {
      return Err(TransportError(std::move(v).error()));
    }
    BRENVIK_LOG(LogLevel::Debug, kLogTarget,
                {"message", "Complete message assembled from fragments (with peer identity)"},
                {"message_id", display_message_id(m.id)});
  }
  inbound_.push(std::move(m), frame_bytes);
  return {};
}

void BleTransport::set_on_messages_available(OutboundAvailableCallback callback) {
  *lock_or_recover(on_available_) = std::move(callback);
}

void BleTransport::set_peer_mtu(const std::string& peer_id, uint32_t max_payload) {
  if (max_payload < kDefaultFragmentSize) {
    undersized_mtu_reports_.fetch_add(1, std::memory_order_relaxed);
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "ble: undersized MTU report; dropping stored entry and falling back"},
                {"peer", peer_id}, {"max_payload", max_payload},
                {"floor", uint64_t(kDefaultFragmentSize)});
    lock_or_recover(peer_mtus_)->erase(peer_id);
    return;
  }
  uint32_t clamped = std::min<uint32_t>(max_payload, kMaxFragmentSize);
  (*lock_or_recover(peer_mtus_))[peer_id] = clamped;
  BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "ble: stored per-peer MTU"},
              {"peer", peer_id}, {"raw", max_payload}, {"clamped", clamped});
}

void BleTransport::clear_peer_mtu(const std::string& peer_id) {
  BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "ble: cleared per-peer MTU"},
              {"peer", peer_id});
  lock_or_recover(peer_mtus_)->erase(peer_id);
}

TransportQueueStats BleTransport::queue_stats() const {
  TransportQueueStats s;
  s.outbound_queued =
      lock_or_recover(outbound_messages_)->size() + lock_or_recover(outbound_fragments_)->size();
  s.outbound_capacity = outbound_capacity_;
  s.outbound_dropped = outbound_dropped_.load();
  s.inbound_queued = inbound_.size();
  s.inbound_dropped = inbound_.dropped_full();
  s.inbound_malformed = inbound_.dropped_malformed();
  return s;
}

void BleTransport::peer_discovered(BlePeer peer) {
  std::string id = peer.peer_id;
  (*lock_or_recover(peers_))[std::move(id)] = std::move(peer);
}

void BleTransport::peer_lost(const std::string& peer_id) {
  lock_or_recover(peers_)->erase(peer_id);
  lock_or_recover(peer_mtus_)->erase(peer_id);
}

void BleTransport::set_eviction_observer(std::optional<EvictionObserver> observer) {
  *lock_or_recover(eviction_observer_) = std::move(observer);
}

size_t BleTransport::assembly_count() const {
  return lock_or_recover(assemblies_)->size();
}

}  // namespace brenvik
