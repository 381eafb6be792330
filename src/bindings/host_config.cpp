#include "bindings/host_config.h"

namespace brenvik::ffi {

namespace {

brenvik::OverflowPolicy core_policy(ffi::OverflowPolicy p) {
  switch (p) {
    case ffi::OverflowPolicy::DropOldest:
      return brenvik::OverflowPolicy::DropOldest;
    case ffi::OverflowPolicy::DropNewest:
      return brenvik::OverflowPolicy::DropNewest;
  }
  return brenvik::OverflowPolicy::DropOldest;
}

template <typename T, typename U>
void set_if(T& target, const std::optional<U>& value) {
  if (value) target = static_cast<T>(*value);
}

void set_ms_if(ConfigDuration& target, const std::optional<uint64_t>& ms) {
  if (ms) target = ConfigDuration::from_millis(*ms);
}

// The exported switches whose inner name differs, in one place: the field
// of the host record, the field of the core's configuration it lands in,
// and (in the comment) the name the part that reads it uses. Every other
// switch keeps its exported name inside.
struct SwitchRow {
  bool BrenvikProtocolConfig::*host;
  bool FeatureSwitches::*core;
};
constexpr SwitchRow kSwitchRows[] = {
    // ControlGate::Policy::require_transport_identity
    {&BrenvikProtocolConfig::require_transport_identity,
     &FeatureSwitches::require_transport_identity},
    {&BrenvikProtocolConfig::key_package_flag, &FeatureSwitches::compact_wire_enabled},
    {&BrenvikProtocolConfig::nostr_start_flag, &FeatureSwitches::nostr_start_option},
    {&BrenvikProtocolConfig::nostr_cold_contact_enabled,
     &FeatureSwitches::nostr_cold_contact_enabled},
    {&BrenvikProtocolConfig::nostr_username_discovery_enabled,
     &FeatureSwitches::nostr_username_discovery_enabled},
    {&BrenvikProtocolConfig::capability_flag, &FeatureSwitches::sealed_envelope_enabled},
    {&BrenvikProtocolConfig::group_rich_flag, &FeatureSwitches::rich_payloads_enabled},
    // ProtocolCore::withhold_ack_on_decrypt_failure()
    {&BrenvikProtocolConfig::epoch_desync_rekey, &FeatureSwitches::report_decryption_failures},
    {&BrenvikProtocolConfig::data_layer_enabled, &FeatureSwitches::data_layer_enabled},
    // ProtocolCore::enforce_control_freshness(),
    // ControlGate::Policy::enforce_control_freshness
    {&BrenvikProtocolConfig::control_dispatch_flag, &FeatureSwitches::session_switch},
};

}  // namespace

FacadeConfig protocol_config_from_host(const BrenvikProtocolConfig& h) {
  FacadeConfig out;
  ProtocolConfig& c = out.config;  // member initialisers hold the fixed values
  c.app_id = h.app_id;
  c.local_user_id = h.user_id;
  c.initial_ttl = h.initial_ttl;
  c.transports = TransportSwitches{h.enable_ble, h.enable_wifi_direct, h.enable_internet,
                                   h.enable_reticulum, h.enable_nostr};
  c.dors.prefer_online = h.prefer_internet;

  c.encryption.enabled = h.encryption_enabled;
  c.encryption.auto_key_exchange = h.offer_key_packages;
  c.encryption.auto_establish_sessions = h.create_session_from_stored_key_package;
  c.encryption.require_encryption = h.require_encryption;
  c.encryption.pending_queue.max_pending_per_peer = h.max_pending_per_peer;
  c.encryption.pending_queue.max_pending_global = h.max_pending_global;
  c.encryption.pending_queue.pending_ttl_ms = h.pending_ttl_ms;
  c.encryption.pending_queue.overflow_policy = core_policy(h.pending_overflow_policy);
  out.retry_pacing_enabled = h.retry_budgeted;

  c.group.max_group_members = h.max_group_members;
  c.group.relay_enabled = h.group_flag_maintenance;
  c.group.relay_broadcast_enabled = h.group_flag_send;
  c.group.group_switch = h.group_flag_restore;

  for (const SwitchRow& row : kSwitchRows) c.switches.*row.core = h.*row.host;

  if (h.mesh_relay) {
    const MeshRelayTunables& t = *h.mesh_relay;
    MeshRelayConfig& m = c.mesh_relay;
    set_if(m.max_ttl, t.max_ttl);
    set_if(m.dense_max_ttl, t.dense_max_ttl);
    set_if(m.dense_neighbor_threshold, t.dense_neighbor_threshold);
    set_if(m.fanout, t.fanout);
    set_ms_if(m.jitter_min, t.jitter_min);
    set_ms_if(m.jitter_max, t.jitter_max);
    set_if(m.rate_per_sec, t.rate_per_sec);
    set_if(m.burst, t.burst);
    set_if(m.peer_rate_per_sec, t.peer_rate_per_sec);
    set_if(m.peer_burst, t.peer_burst);
    set_if(m.queue_capacity, t.queue_capacity);
    set_if(m.bias_min_scale, t.bias_min_scale);
    set_ms_if(m.bias_max_handicap, t.bias_max_handicap);
    set_ms_if(m.activity_window, t.activity_window);
    set_if(m.activity_min_forwards, t.activity_min_forwards);
    set_if(m.activity_idle_windows, t.activity_idle_windows);
  }
  if (h.custody) {
    const CustodyTunables& t = *h.custody;
    CustodyConfig& k = c.custody;
    set_if(k.enabled, t.enabled);
    set_if(k.hold_ms, t.hold_ms);
    set_if(k.max_entries_per_depositor, t.max_entries_per_depositor);
    set_if(k.max_bytes_per_depositor, t.max_bytes_per_depositor);
    set_if(k.max_entries, t.max_entries);
    set_if(k.max_bytes, t.max_bytes);
    set_if(k.stranger_max_entries, t.stranger_max_entries);
    set_if(k.stranger_max_bytes, t.stranger_max_bytes);
    if (t.overflow_policy) k.overflow_policy = core_policy(*t.overflow_policy);
  }
  return out;
}

}  // namespace brenvik::ffi
