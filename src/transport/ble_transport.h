// The BLE transport. The host owns the radio: it reports peers in reach and
// the write size each accepts, pushes received fragments and pulls outbound
// fragments. Messages are encoded when queued (so one too large for BLE is
// refused there and the registry can fall back) and split lazily when the
// host pulls, so the size a peer reported last applies.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "transport/ble_fragment.h"
#include "transport/inbound_queue.h"
#include "transport/link_status.h"
#include "transport/transport.h"
#include "util/clock.h"
#include "util/sync.h"

namespace brenvik {

// A peer as the host's discovery report gives it. Only peer_id and rssi_dbm
// are read; the rest is kept for the host's own use.
struct BlePeer {
  std::string peer_id;
  int16_t rssi_dbm = 0;
  std::optional<std::string> name;
  int64_t discovered_at_ms = 0;
  bool is_connected = false;

  bool operator==(const BlePeer&) const = default;
};

using EvictionObserver = std::function<void(const EvictedAssembly&)>;

class BleTransport final : public Transport {
 public:
  // Messages waiting to be split; a send beyond this is refused and counted.
  static constexpr size_t kOutboundCapacity = 256;
  // Depth at which queue_utilization reads 1.0.
  static constexpr size_t kUtilizationReference = 50;

  explicit BleTransport(const Clock& clock = system_clock(),
                        size_t outbound_capacity = kOutboundCapacity);

  TransportType transport_type() const override { return TransportType::Ble; }
  TransportStatus status() const override;
  TransportMetrics metrics() const override;
  // Sets Available; never fails.
  Result<void, TransportError> start() override;
  // Sets Disconnected and forgets peers, sizes, assemblies and both queues.
  Result<void, TransportError> stop() override;
  // Leaving Available forgets the same tables as stop().
  void set_status(TransportStatus status) override;

  // Queue for the recipient (send) or a named link peer (send_to_peer).
  // Refusals: TRANSPORT_NOT_AVAILABLE when not Available, PEER_NOT_REACHABLE
  // for an unknown target, MESSAGE_TOO_LARGE when the encoding needs more
  // than 512 frames at the target's current size, SEND_FAILED when the
  // outbound queue is full.
  Result<void, TransportError> send(const Message& message) override;
  Result<void, TransportError> send_to_peer(const std::string& peer_id,
                                            const Message& message) override;
  std::vector<ConnectedPeer> connected_peers() const override;
  Result<std::optional<Message>, TransportError> receive() override;

  // Fragment ingress. A bad fragment is logged and dropped (success); the
  // only error is a failure to attach the delivering peer.
  Result<void, TransportError> on_fragment_received(Bytes data) override;
  Result<void, TransportError> on_fragment_received_from(const std::string& peer_id,
                                                         Bytes data) override;
  Result<std::optional<OutboundFrame>, TransportError> get_next_fragment() override;

  void set_on_messages_available(OutboundAvailableCallback callback) override;
  void set_peer_mtu(const std::string& peer_id, uint32_t max_payload) override;
  void clear_peer_mtu(const std::string& peer_id) override;
  TransportQueueStats queue_stats() const override;

  void peer_discovered(BlePeer peer);
  void peer_lost(const std::string& peer_id);
  uint64_t undersized_mtu_reports() const { return undersized_mtu_reports_.load(); }
  uint64_t fragment_fallback_count() const { return fragment_fallback_count_.load(); }
  uint64_t recipient_not_among_peers_count() const {
    return recipient_not_among_peers_count_.load();
  }
  // Replaces the observer told about assemblies evicted to make room.
  void set_eviction_observer(std::optional<EvictionObserver> observer);
  // Number of partly received messages held.
  size_t assembly_count() const;

 private:
  struct QueuedMessage {
    std::string target;
    std::string message_id;
    Bytes encoded;
  };

  Result<void, TransportError> queue_for(const std::string& target, const Message& message);
  void clear_tables();
  void refresh_queue_metrics();
  void notify_outbound_available();
  void record_failures(uint64_t n);
  void record_latency_sample(uint32_t ms);
  size_t fragment_size_for(const std::string& target);

  const Clock& clock_;
  const size_t outbound_capacity_;
  LinkStatus status_;
  mutable Mutex<std::map<std::string, BlePeer>> peers_;
  mutable Mutex<std::map<std::string, uint32_t>> peer_mtus_;
  mutable Mutex<std::deque<QueuedMessage>> outbound_messages_;
  mutable Mutex<std::deque<OutboundFrame>> outbound_fragments_;
  mutable Mutex<FragmentReassembler> assemblies_;
  InboundQueue inbound_;
  mutable Mutex<TransportMetrics> metrics_;
  Mutex<OutboundAvailableCallback> on_available_;
  Mutex<std::optional<EvictionObserver>> eviction_observer_;
  std::atomic<uint64_t> undersized_mtu_reports_{0};
  std::atomic<uint64_t> fragment_fallback_count_{0};
  std::atomic<uint64_t> recipient_not_among_peers_count_{0};
  std::atomic<uint64_t> outbound_dropped_{0};
};

}  // namespace brenvik
