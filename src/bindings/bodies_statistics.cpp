// Bodies of the relay-role query, the delivery statistics and the
// acknowledgement settings of BrenvikProtocol.
#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"

namespace brenvik::ffi::body {

namespace {

// The statistics never fail: a poisoned state is reported and read as is.
template <typename F>
auto with_visualizer(BrenvikProtocol& self, F&& read) {
  auto& lock = self.visualizer();
  if (lock.is_poisoned()) warn_lock_recovered(kMutexPoisonedText, "visualizer");
  auto g = lock.lock();
  return read(*g);
}

}  // namespace

bool brenvikprotocol_is_relay(BrenvikProtocol& self) {
  // A poisoned `inner` answers "not a relay" rather than failing the host.
  auto g = self.lock_inner();
  if (!g.ok()) return false;
  return (**g)->is_relay();
}

float brenvikprotocol_get_delivery_success_rate(BrenvikProtocol& self) {
  return with_visualizer(self, [](const VisualizerState& s) { return delivery_success_rate(s); });
}

uint8_t brenvikprotocol_get_median_hops(BrenvikProtocol& self) {
  return with_visualizer(self, [](const VisualizerState& s) { return median_hops(s).value_or(0); });
}

uint64_t brenvikprotocol_get_median_latency(BrenvikProtocol& self) {
  return with_visualizer(
      self, [](const VisualizerState& s) { return median_latency(s).value_or(uint64_t{0}); });
}

std::vector<MessageStat> brenvikprotocol_get_message_stats(BrenvikProtocol& self) {
  return with_visualizer(self, [](const VisualizerState& s) {
    std::vector<MessageStat> out;
    out.reserve(s.delivery_records.size());
    for (const DeliveryRecord& r : s.delivery_records)
      out.push_back(MessageStat{r.message_id, r.sent_at_ms, r.delivered_at_ms, r.hop_count,
                                r.delivered() ? "delivered" : "pending"});
    return out;
  });
}

Result<NetworkTopology, InterfaceError> brenvikprotocol_get_topology(BrenvikProtocol& self) {
  // Unlike the statistics, the picture is refused from a poisoned state.
  auto& lock = self.visualizer();
  if (lock.is_poisoned())
    return Err(InterfaceError::with_message(InterfaceError::Kind::LockPoisoned,
                                            "visualizer: " + std::string(kPoisonedLockText)));
  auto g = lock.lock();
  NetworkTopology t;
  t.nodes.reserve(g->nodes.size());
  for (const auto& [id, n] : g->nodes)
    t.nodes.push_back(TopologyNode{id, n.kind == VisualizerNode::Kind::Relay ? "Relay" : "Normal",
                                   std::nullopt, n.battery_level, uint32_t(n.message_count),
                                   n.last_seen_ms});
  t.edges.reserve(g->links.size());
  for (const VisualizerLink& l : g->links)
    t.edges.push_back(
        TopologyEdge{l.from, l.to, std::string(transport_display_name(l.transport)), l.strength});
  return t;
}

Result<void, InterfaceError> brenvikprotocol_update_ack_config(BrenvikProtocol& self,
                                                               AckConfig config) {
  auto g = self.lock_inner_or_recover();
  auto r = (*g)->update_ack_config(config.default_timeout_ms, config.max_pending_acks);
  if (!r.ok()) return Err(to_interface_error(r.error()));
  return {};
}

}  // namespace brenvik::ffi::body
