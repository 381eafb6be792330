// Bodies that steer or inspect the choice of transport.
#include <atomic>

#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "util/log.h"

namespace brenvik::ffi::body {

Result<void, InterfaceError> brenvikprotocol_force_transport(BrenvikProtocol& self,
                                                             TransportType transport_type) {
  auto& l = self.forced_transport();
  auto g = l.write();
  if (l.is_poisoned())
    return Err(InterfaceError::with_message(InterfaceError::Kind::LockPoisoned,
                                            "forced_transport: " + std::string(kPoisonedLockText)));
  *g = core_transport_type(transport_type);
  return {};
}

void brenvikprotocol_release_transport_lock(BrenvikProtocol& self) {
  auto& l = self.forced_transport();
  if (l.is_poisoned()) warn_lock_recovered(kRwLockPoisonedText, "forced_transport");
  *l.write() = std::nullopt;
}

Result<void, InterfaceError> brenvikprotocol_remove_transport(BrenvikProtocol& self,
                                                              TransportType transport_type) {
  BRENVIK_TRY(auto g, self.lock_inner());
  (*g)->transports().remove(core_transport_type(transport_type));
  return {};
}

std::vector<std::string> brenvikprotocol_get_active_transports(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  std::vector<std::string> out;
  for (auto t : (*g)->transports().active_transports()) out.emplace_back(transport_display_name(t));
  return out;
}

std::optional<TransportMetrics> brenvikprotocol_get_transport_metrics(
    BrenvikProtocol& self, TransportType transport_type) {
  auto g = self.lock_inner();
  if (!g.ok()) return std::nullopt;
  auto t = (**g)->transports().get(core_transport_type(transport_type));
  if (!t) return std::nullopt;
  const brenvik::TransportMetrics m = t->metrics();
  TransportMetrics r;
  r.failure_rate = m.effective_failure_rate().value_or(0.0f);
  r.value_6 = m.messages_delivered;
  if (m.rssi_dbm) r.opt_u16_7 = static_cast<uint16_t>(*m.rssi_dbm);
  r.opt_u64_8 = m.bandwidth;
  r.opt_f32_9 = static_cast<float>(m.latency_ms.value_or(0));
  r.opt_u32_10 = static_cast<uint32_t>(std::min<uint64_t>(m.queue_depth, UINT32_MAX));
  r.opt_u8_11 = m.battery_level;
  r.opt_bool_12 = m.is_charging;
  r.opt_u8_13 = m.peer_count.value_or(0);
  r.opt_f32_15 = m.success_rate;
  r.opt_f32_16 = m.failure_rate;
  r.opt_f32_17 = m.ack_hop_count;
  r.opt_f32_18 = m.power_cost;
  return r;
}

void brenvikprotocol_update_transport_metrics(BrenvikProtocol& /*self*/,
                                              TransportType /*transport_type*/,
                                              TransportMetrics /*metrics*/) {
  static std::atomic<bool> warned{false};
  if (!warned.exchange(true))
    BRENVIK_LOG(LogLevel::Warn, kBindingsLogTarget,
                {"message",
                 "update_transport_metrics is a no-op retained for source/ABI compat and discards "
                 "every field (including the 12 extended optional ones). Read live metrics via "
                 "`get_transport_metrics(...)`. This method is scheduled for removal in the v1.0 "
                 "release."});
}

bool brenvikprotocol_should_escalate_to_wifi(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  return (*g)->transports().should_escalate_to_wifi();
}

}  // namespace brenvik::ffi::body
