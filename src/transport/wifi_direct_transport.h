// The Wi-Fi Direct transport: whole messages for peers the host reports as
// connected, handed to the host encoded when it pulls; whatever the host
// pushes in is decoded into the inbound queue.
#pragma once

#include <deque>
#include <map>
#include <string>

#include "transport/inbound_queue.h"
#include "transport/link_status.h"
#include "transport/transport.h"
#include "util/clock.h"
#include "util/sync.h"

namespace brenvik {

class WifiDirectTransport final : public Transport {
 public:
  // Messages waiting to be pulled; a send beyond this is refused and counted.
  static constexpr size_t kOutboundCapacity = 256;
  // Depth at which queue_utilization reads 1.0.
  static constexpr size_t kUtilizationReference = 20;

  explicit WifiDirectTransport(const Clock& clock = system_clock(),
                               size_t outbound_capacity = kOutboundCapacity);

  TransportType transport_type() const override { return TransportType::WifiDirect; }
  // A stored Available reads as Connecting while no peer is connected, so
  // the registry uses the link only while it reaches someone.
  TransportStatus status() const override;
  TransportMetrics metrics() const override;
  Result<void, TransportError> stop() override;
  void set_status(TransportStatus status) override;

  Result<void, TransportError> send(const Message& message) override;
  Result<void, TransportError> send_to_peer(const std::string& peer_id,
                                            const Message& message) override;
  std::vector<ConnectedPeer> connected_peers() const override;
  Result<std::optional<Message>, TransportError> receive() override;
  Result<void, TransportError> on_data_received(Bytes data) override;
  Result<void, TransportError> on_data_received_from(const std::string& peer_id,
                                                     Bytes data) override;
  // (target peer id, encoded message); an encoding failure drops the message.
  Result<std::optional<OutboundFrame>, TransportError> get_next_message() override;
  void set_on_messages_available(OutboundAvailableCallback callback) override;
  TransportQueueStats queue_stats() const override;

  // An empty id is ignored; otherwise the peer is entered or refreshed.
  void peer_connected(const std::string& peer_id);
  // True when the peer was connected (it is removed).
  bool peer_disconnected(const std::string& peer_id);

 private:
  struct Queued {
    std::string target;
    Message message;
  };
  Result<void, TransportError> queue_for(const std::string& target, const Message& message,
                                         bool named_peer);
  void clear_tables();

  const Clock& clock_;
  const size_t outbound_capacity_;
  LinkStatus status_;
  mutable Mutex<std::map<std::string, MonoTime>> peers_;
  mutable Mutex<std::deque<Queued>> outbound_;
  InboundQueue inbound_;
  mutable Mutex<TransportMetrics> metrics_;
  Mutex<OutboundAvailableCallback> on_available_;
  std::atomic<uint64_t> outbound_dropped_{0};
};

}  // namespace brenvik
