// TransportManager: the registry through which the protocol reaches its
// transports. It holds the registered transports by type, the DORS router,
// acknowledgement statistics per transport, the device's battery report,
// the peers that accept the compact wire frame, the transport it last sent
// through, the table of peers recently reported unreachable, and the sinks
// through which its routing decisions are reported.
//
// No lock of its own: the core's owner serialises every call. The
// transports it holds guard themselves, and no transport lock is held while
// a sink runs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/message.h"
#include "core/types.h"
#include "protocol/common/protocol_error.h"
#include "protocol/events/protocol_event.h"
#include "router/dors_router.h"
#include "transport/transport.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

// One byte where a transport type may be "none" (events, stored records).
inline constexpr uint8_t kNoTransportByte = 255;
inline uint8_t transport_byte(std::optional<TransportType> t) {
  return t ? uint8_t(*t) : kNoTransportByte;
}

// Acknowledgement statistics of one transport.
struct LinkStats {
  std::optional<float> rtt_ewma_ms;
  std::optional<float> hop_ewma;
  std::optional<MonoTime> updated_at;
  uint32_t successes = 0;
  uint32_t failures = 0;
};

// What the telemetry sink receives for each routing step of a send.
struct RoutingDecision {
  std::vector<std::pair<TransportType, TransportScore>> scores;
  std::optional<float> score;
  uint64_t at_ms = 0;
  uint8_t phase = 0;  // 0 scored, 1 selected, 2 switched, 3 escalated
  uint8_t previous = kNoTransportByte;
  uint8_t chosen = kNoTransportByte;
  uint8_t reason = kNoTransportByte;
};

// A connected neighbour and the mesh transport that reported it.
struct NeighborEntry {
  ConnectedPeer peer;
  TransportType transport;
};

struct PeerFailureRecord {
  TransportType transport;
  MonoTime at;
  bool online = false;
  bool from_presence = false;
};

struct PeerFailureEntry {
  std::vector<PeerFailureRecord> records;  // at most one per transport type
  std::optional<MonoTime> last_at;
};

struct TransportStatusSnapshot {
  std::map<TransportType, TransportStatus> statuses;
  AvailableTransports metrics;  // merged metrics of the Available ones
};

class TransportManager {
 public:
  using EventSink = std::function<void(ProtocolEvent)>;
  using RoutingDecisionSink = std::function<void(const RoutingDecision&)>;

  static constexpr size_t kWireV1PeerCapacity = 4096;
  static constexpr size_t kPeerFailureCapacity = 1000;
  static constexpr uint64_t kFailureLifetimeSecs = 600;
  static constexpr uint64_t kPresenceFailureLifetimeSecs = 300;
  static constexpr uint64_t kEscalationGuardSecs = 30;
  static constexpr std::string_view kLogTarget = "brenvik_protocol::transport_manager";

  // An empty registry around a router built from `dors`; `clock` must
  // outlive the registry.
  explicit TransportManager(DorsConfig dors = {}, const Clock& clock = system_clock());
  TransportManager(const TransportManager&) = delete;
  TransportManager& operator=(const TransportManager&) = delete;

  // --- registration and lookup ---
  // Stores the transport under `type`; one already there is released.
  void register_transport(TransportType type, std::shared_ptr<Transport> transport);
  std::shared_ptr<Transport> get(TransportType type) const;
  // Drops the transport and its link statistics; the current transport
  // becomes none when it named `type`.
  void remove(TransportType type);
  // Every registered type, whatever its status, in ascending type order.
  std::vector<TransportType> active_transports() const;
  // Enabled adds the peer (a full set of 4096 is emptied first when the peer
  // is new); not enabled removes it.
  void set_peer_wire_v1(const std::string& peer_id, bool enabled);
  bool is_wire_v1_peer(const std::string& peer_id) const {
    return wire_v1_peers_.contains(peer_id);
  }
  size_t wire_v1_peer_count() const { return wire_v1_peers_.size(); }

  // --- available set and snapshot ---
  // Merged metrics of every Available transport; each one left out is
  // logged at DEBUG.
  AvailableTransports available_transports() const;
  TransportStatusSnapshot status_snapshot() const;

  // --- lifecycle ---
  // Starts (stops) each registered transport in type order; the first
  // failure ends the walk with SendFailed "Failed to start transport <T>: e".
  Result<void, ProtocolError> start_all();
  Result<void, ProtocolError> stop_all();

  // --- receiving ---
  // The next received message of any transport, visiting each once in type
  // order; a transport's receive error is logged and skipped.
  std::optional<std::pair<TransportType, Message>> receive();

  // --- link statistics ---
  void record_ack_latency(TransportType type, uint32_t rtt_ms, uint8_t hops);
  void record_transport_failure(TransportType type);
  std::optional<LinkStats> link_stats(TransportType type) const;

  // --- battery and router pass-throughs ---
  void set_battery_status(uint8_t level, bool charging);
  // The host's last battery report; the level only once one was made.
  std::optional<uint8_t> battery_level() const {
    return battery_known_ ? std::optional<uint8_t>(battery_level_) : std::nullopt;
  }
  bool is_charging() const { return is_charging_; }
  bool should_escalate_to_wifi() const { return router_.should_escalate_to_wifi(); }
  DorsRouter& router() { return router_; }
  const DorsRouter& router() const { return router_; }

  // --- sinks ---
  void set_event_sink(std::optional<EventSink> sink) { event_sink_ = std::move(sink); }
  bool has_event_sink() const { return event_sink_.has_value(); }
  void set_routing_decision_sink(std::optional<RoutingDecisionSink> sink, bool score_detail) {
    routing_sink_ = std::move(sink);
    routing_score_detail_ = routing_sink_ && score_detail;
  }
  // Hands one event to the event sink, or drops it when none is installed.
  void emit_router_event(ProtocolEvent event);

  // --- sending ---
  // DORS choice among the available transports with fallback in ranked
  // order; raises the router events and routing records of each step.
  Result<void, ProtocolError> send(const Message& message);
  // One named transport, no choice, no event.
  Result<void, ProtocolError> send_via(const Message& message, TransportType type);
  // One link peer over Wi-Fi Direct, then BLE; the transport that took it.
  Result<TransportType, ProtocolError> send_to_peer(const std::string& peer_id,
                                                    const Message& message);
  // The mesh transport with a live link to the peer (Wi-Fi Direct first).
  std::optional<TransportType> direct_link_transport(const std::string& peer_id) const;
  // A copy marked for the compact frame when the recipient accepts it.
  std::optional<Message> apply_wire_format(const Message& message) const;
  // The transport of the latest successful send (send or send_via).
  std::optional<TransportType> current_transport() const { return current_transport_; }

  // --- neighbours and reachability ---
  std::vector<NeighborEntry> connected_neighbors() const;
  bool transport_reaches_peer(TransportType type, const std::string& peer_id) const;
  bool has_direct_mesh_link(TransportType type, const std::string& peer_id) const;
  // The Available transports other than BLE and Wi-Fi Direct.
  std::vector<TransportType> reachable_peers() const;

  // --- peer failure table ---
  void record_peer_failure(const std::string& peer_id, TransportType type, bool online,
                           bool from_presence, MonoTime now);
  void evict_peer_failures(MonoTime now);
  // Whether a record says the peer was unreachable over `type` within its
  // lifetime (600 s, 300 s from a presence report).
  bool has_live_unreachable_report(const std::string& peer_id, TransportType type,
                                   MonoTime now) const;
  size_t peer_failure_count() const { return peer_failures_.size(); }
  const PeerFailureEntry* peer_failure_entry(const std::string& peer_id) const;

 private:
  TransportMetrics merged_metrics(TransportType type, TransportMetrics m) const;
  void routing_record(uint8_t phase, std::optional<TransportType> previous,
                      std::optional<TransportType> chosen, uint8_t reason,
                      std::optional<float> score,
                      std::vector<std::pair<TransportType, TransportScore>> scores = {});
  static std::optional<std::string> name_of(std::optional<TransportType> t);

  const Clock& clock_;
  DorsRouter router_;
  std::map<TransportType, std::shared_ptr<Transport>> transports_;
  std::map<TransportType, LinkStats> link_stats_;
  std::unordered_set<std::string> wire_v1_peers_;
  std::optional<EventSink> event_sink_;
  std::optional<RoutingDecisionSink> routing_sink_;
  bool routing_score_detail_ = false;
  uint8_t last_escalation_reason_ = 0;
  std::optional<MonoTime> last_escalation_at_;
  bool battery_known_ = false;
  uint8_t battery_level_ = 0;
  bool is_charging_ = false;
  std::optional<TransportType> current_transport_;
  std::unordered_map<std::string, PeerFailureEntry> peer_failures_;
};

// The score shown to the host: a negative score s becomes max(s + 10000, 0).
float adjusted_router_score(float s);

}  // namespace brenvik
