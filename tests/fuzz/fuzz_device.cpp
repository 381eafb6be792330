#include "fuzz_device.h"

namespace brenvik::fuzz {

ffi::BrenvikProtocolConfig device_config(std::string user_id) {
  ffi::BrenvikProtocolConfig c;
  c.app_id = "demo.chat";
  c.user_id = std::move(user_id);
  c.enable_ble = true;
  c.initial_ttl = 8;
  c.encryption_enabled = false;
  c.require_encryption = false;
  c.max_pending_per_peer = 100;
  c.max_pending_global = 1000;
  c.pending_ttl_ms = 86'400'000;
  c.pending_overflow_policy = ffi::OverflowPolicy::DropOldest;
  c.max_group_members = 50;
  return c;
}

ffi::Ref<ffi::BrenvikProtocol> start_device(const std::string& user_id, const Clock& clock) {
  auto r = ffi::BrenvikProtocol::create(device_config(user_id), clock);
  if (!r.ok()) return {};
  ffi::Ref<ffi::BrenvikProtocol> p = std::move(r).value();
  if (!ffi::body::brenvikprotocol_start(*p).ok()) return {};
  for (const char* n : {kNeighbourA, kNeighbourB}) {
    if (n == user_id) continue;
    (void)ffi::body::brenvikprotocol_ble_peer_discovered(*p, n, -50);
  }
  if (user_id != kDeviceId)
    (void)ffi::body::brenvikprotocol_ble_peer_discovered(*p, kDeviceId, -50);
  return p;
}

}  // namespace brenvik::fuzz
