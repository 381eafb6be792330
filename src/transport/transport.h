// The interface every carrier implements. No transport performs I/O: the host
// owns the radios and connections, pushes what it receives, pulls what the
// transport has queued and reports send outcomes and status changes. A
// transport therefore holds queues, per-peer tables and a metrics record.
//
// Transports are shared between the registry and the host's entry points on
// several threads: every operation guards the object's own state, and no
// operation calls back into the host while holding a lock of the transport.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "core/errors.h"
#include "core/message.h"
#include "core/types.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

// Saturating counter helpers shared by the transports' metrics.
inline uint32_t saturating_add_u32(uint32_t a, uint64_t b) {
  uint64_t s = uint64_t(a) + b;
  return s > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(s);
}

// What a transport reports about itself; copied out by Transport::metrics.
struct TransportMetrics {
  std::optional<uint64_t> bandwidth;
  std::optional<uint32_t> latency_ms;
  std::optional<float> success_rate;
  std::optional<float> failure_rate;
  std::optional<float> ack_hop_count;
  std::optional<float> power_cost;
  uint64_t queue_depth = 0;
  std::optional<int16_t> rssi_dbm;
  float queue_utilization = 0.0f;
  uint32_t messages_delivered = 0;
  uint32_t messages_failed = 0;
  std::optional<uint8_t> battery_level;
  bool is_charging = false;
  std::optional<uint8_t> peer_count;

  // The explicit rate clamped to 0..1; otherwise failed / (delivered +
  // failed) when that sum is not zero; otherwise none.
  std::optional<float> effective_failure_rate() const;
  // The same for successes.
  std::optional<float> effective_success_rate() const;

  // One more failure (saturating), then both explicit rates from the
  // counters: failure = min(failed / total, 1), success = 1 - failure.
  void record_failures(uint64_t n);
  // One more success (saturating), then both explicit rates.
  void record_successes(uint64_t n);
  // Sets both explicit rates from the counters when their sum is not zero.
  void refresh_rates();

  bool operator==(const TransportMetrics&) const = default;
};

struct ConnectedPeer {
  std::string peer_id;
  std::optional<int16_t> rssi_dbm;

  bool operator==(const ConnectedPeer&) const = default;
};

// What a host pull returns. For BLE and Wi-Fi Direct `target` is the link
// peer the frame is for; for the internet relay and Reticulum it is the
// message id the host must later confirm or report as failed.
struct OutboundFrame {
  std::string target;
  Bytes bytes;

  bool operator==(const OutboundFrame&) const = default;
};

// Outbound queues are bounded so that a host that stops pulling cannot make
// memory grow without limit; a message refused at the bound (or lost when it
// could not be turned into frames at pull time) is counted here.
struct TransportQueueStats {
  uint64_t outbound_queued = 0;    // messages (and frames) waiting to be pulled
  uint64_t outbound_capacity = 0;  // most messages the outbound queue holds
  uint64_t outbound_dropped = 0;   // refused at the bound or lost at pull time
  uint64_t inbound_queued = 0;     // received messages waiting for receive()
  uint64_t inbound_dropped = 0;    // received messages dropped because the queue was full
  uint64_t inbound_malformed = 0;  // received frames that did not decode

  bool operator==(const TransportQueueStats&) const = default;
};

using OutboundAvailableCallback = std::function<void()>;

inline constexpr std::string_view kTraitsLogTarget = "brenvik_protocol_transport::traits";

class Transport {
 public:
  virtual ~Transport() = default;
  Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Identity of the concrete class (see transport_cast for the checked
  // downcast).
  virtual const std::type_info& type_id() const { return typeid(*this); }
  virtual TransportType transport_type() const = 0;
  virtual TransportStatus status() const = 0;
  virtual TransportMetrics metrics() const = 0;

  // Queues a copy of `message` for the host to carry.
  virtual Result<void, TransportError> send(const Message& message) = 0;
  // Queues a copy of `message` for one named link peer. Default: refused.
  virtual Result<void, TransportError> send_to_peer(const std::string& peer_id,
                                                    const Message& message);
  // Default: empty.
  virtual std::vector<ConnectedPeer> connected_peers() const { return {}; }
  // The next received message, if any.
  virtual Result<std::optional<Message>, TransportError> receive() = 0;
  // Default: succeeds and changes nothing.
  virtual Result<void, TransportError> start() { return {}; }
  virtual Result<void, TransportError> stop() = 0;
  virtual void set_status(TransportStatus status) = 0;

  // One whole received message. Default: refused.
  virtual Result<void, TransportError> on_data_received(Bytes data);
  virtual Result<void, TransportError> on_data_received_from(const std::string& peer_id,
                                                             Bytes data);
  // One received fragment. Default: refused.
  virtual Result<void, TransportError> on_fragment_received(Bytes data);
  virtual Result<void, TransportError> on_fragment_received_from(const std::string& peer_id,
                                                                 Bytes data);

  // Host pulls. Default: nothing.
  virtual Result<std::optional<OutboundFrame>, TransportError> get_next_message() {
    return std::optional<OutboundFrame>();
  }
  virtual Result<std::optional<OutboundFrame>, TransportError> get_next_fragment() {
    return std::optional<OutboundFrame>();
  }

  // Installs the host's outbound-available callback. Default: logged and dropped.
  virtual void set_on_messages_available(OutboundAvailableCallback callback);
  // Host verdicts on a pulled frame. Default: logged and ignored.
  virtual void confirm_sent(const std::string& message_id);
  virtual void report_send_failure(const std::string& message_id);
  // Per-peer write sizes. Default: logged and ignored.
  virtual void set_peer_mtu(const std::string& peer_id, uint32_t max_payload);
  virtual void clear_peer_mtu(const std::string& peer_id);
  // decode_message of the bytes.
  virtual Result<Message, TransportError> decode(ByteView data) const;

  // Queue lengths, bounds and drop counters. Default: all zero.
  virtual TransportQueueStats queue_stats() const { return {}; }

 protected:
  // The record name ("internet", "ble", ...) used in the default refusals.
  std::string_view record_name() const { return transport_type_name(transport_type()); }
};

// Checked downcast: the concrete transport, or nullptr when `t` is another class.
template <typename T>
T* transport_cast(Transport* t) {
  return dynamic_cast<T*>(t);
}

// Signal quality 0..100 of a received signal strength in dBm (integer
// arithmetic, division rounding down).
uint8_t rssi_to_quality(int16_t rssi_dbm);

}  // namespace brenvik
