// Bodies of the host's battery report and its read-back. The report feeds
// the transports' metrics, from which the relay gate and the router read
// the battery.
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"

namespace brenvik::ffi::body {

Result<void, InterfaceError> brenvikprotocol_set_battery_state(BrenvikProtocol& self, uint8_t level,
                                                               bool is_charging) {
  BRENVIK_TRY(auto g, self.lock_inner());
  (*g)->transports().set_battery_status(level, is_charging);
  return {};
}

Result<void, InterfaceError> brenvikprotocol_set_battery_level(BrenvikProtocol& self,
                                                               uint8_t level) {
  return brenvikprotocol_set_battery_state(self, level, false);
}

std::optional<uint8_t> brenvikprotocol_get_battery_level(BrenvikProtocol& self) {
  auto g = self.lock_inner();
  if (!g.ok()) return std::nullopt;
  return (**g)->transports().battery_level();
}

bool brenvikprotocol_get_is_charging(BrenvikProtocol& self) {
  auto g = self.lock_inner();
  if (!g.ok()) return false;
  return (**g)->transports().is_charging();
}

}  // namespace brenvik::ffi::body
