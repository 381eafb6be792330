// The protocol core's one configuration record, section by section, and the
// check every complete record passes before it is used: at construction and
// for every candidate record that a run-time update builds.
//
// The check is pure: it reads the record, changes nothing, logs nothing, and
// reports only the first failing rule, with a fixed message that names the
// field by its dotted path. Rules run in a fixed order: identity,
// initial_ttl, transports, ack, retry, reliability.dedup, encryption,
// encryption.pending_queue, group, mesh_relay, then custody. The relay and
// dors sections and the plain switches are carried through unchecked.
//
// Member initialisers hold the values the library fixes at construction
// (and the defaults of the host's optional tunables); fields the host must
// supply start at zero / false / empty.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol/common/protocol_error.h"
#include "protocol/config/config_duration.h"
#include "reliability/deduplicator.h"
#include "reliability/retry_queue.h"
#include "router/dors_router.h"
#include "util/result.h"

namespace brenvik {

// Which entry a full queue gives up: the oldest queued one or the new one.
enum class OverflowPolicy : uint8_t { DropOldest = 0, DropNewest = 1 };

// Relay role preference: Low stops forwarding like enabled=false; High lowers
// the battery floor to 15 % whether or not the device is charging.
enum class RelayPriority : uint8_t { Low = 0, Normal = 1, High = 2 };

// Which transports the facade registers; at least one must be on.
struct TransportSwitches {
  bool ble = false;
  bool wifi_direct = false;
  bool internet = false;
  bool reticulum = false;
  bool nostr = false;

  bool any() const { return ble || wifi_direct || internet || reticulum || nostr; }
  bool operator==(const TransportSwitches&) const = default;
};

// `ack`: replaced as a whole by update_ack_config.
struct AckConfig {
  uint64_t default_timeout_ms = 10'000;  // wait for a delivery acknowledgement
  uint64_t max_pending_acks = 1'000;     // capacity of the acknowledgement table
  bool operator==(const AckConfig&) const = default;
};

// `retry` is RetryConfig (reliability/retry_queue.h) and
// `reliability.dedup` is DedupConfig (reliability/deduplicator.h): the
// tables built from them own those records.

struct ReliabilityConfig {
  DedupConfig dedup;
  bool operator==(const ReliabilityConfig&) const = default;
};

// Limits of the queue of received messages that cannot be decrypted yet.
struct PendingQueueConfig {
  uint64_t max_pending_per_peer = 0;                            // host
  uint64_t max_pending_global = 0;                              // host, >= max_pending_per_peer
  uint64_t max_pending_bytes_per_peer = 4'194'304;              // 4 MiB
  uint64_t max_pending_bytes_global = 33'554'432;               // 32 MiB
  uint64_t pending_ttl_ms = 0;                                  // host
  OverflowPolicy overflow_policy = OverflowPolicy::DropOldest;  // host
  bool operator==(const PendingQueueConfig&) const = default;
};

struct EncryptionConfig {
  bool enabled = false;
  bool auto_key_exchange = false;
  bool auto_establish_sessions = false;
  bool require_encryption = false;  // only with enabled
  PendingQueueConfig pending_queue;
  bool operator==(const EncryptionConfig&) const = default;
};

struct GroupConfig {
  uint64_t max_group_members = 0;  // host
  bool relay_enabled = false;
  bool relay_broadcast_enabled = false;
  bool group_switch = false;
  bool operator==(const GroupConfig&) const = default;
};

// `mesh_relay`: the forwarding tunables.
struct MeshRelayConfig {
  ConfigDuration jitter_min = ConfigDuration::from_millis(20);
  ConfigDuration jitter_max = ConfigDuration::from_millis(200);
  ConfigDuration bias_max_handicap = ConfigDuration::from_millis(400);
  ConfigDuration activity_window = ConfigDuration::from_secs(60);
  uint64_t seen_window_capacity = 8'192;                        // fixed
  ConfigDuration seen_window = ConfigDuration::from_secs(600);  // fixed
  uint64_t dense_neighbor_threshold = 6;
  uint64_t fanout = 3;
  uint64_t queue_capacity = 256;
  uint64_t activity_min_forwards = 3;
  float rate_per_sec = 10.0f;
  float burst = 30.0f;
  float peer_rate_per_sec = 5.0f;
  float peer_burst = 15.0f;
  float bias_min_scale = 0.25f;
  uint32_t activity_idle_windows = 2;
  uint8_t max_ttl = 8;
  uint8_t dense_max_ttl = 5;
  bool operator==(const MeshRelayConfig&) const = default;
};

// `custody`: the store-and-forward store. Off unless the host's custody
// record turns it on.
struct CustodyConfig {
  bool enabled = false;
  uint64_t hold_ms = 21'600'000;  // 6 hours
  uint64_t max_entries_per_depositor = 64;
  uint64_t max_bytes_per_depositor = 2'097'152;
  uint64_t max_entries = 512;
  uint64_t max_bytes = 16'777'216;
  uint64_t stranger_max_entries = 0;
  uint64_t stranger_max_bytes = 0;
  OverflowPolicy overflow_policy = OverflowPolicy::DropOldest;
  bool operator==(const CustodyConfig&) const = default;
};

// `relay`: read by the relay gate and the forwarding path at their next use.
struct RelayConfig {
  uint8_t min_battery_percent = 30;  // values up to 15 act as 15
  bool enabled = true;
  RelayPriority priority = RelayPriority::Normal;
  bool operator==(const RelayConfig&) const = default;
};

// Switches read by other parts of the library, carried unchanged.
struct FeatureSwitches {
  bool require_transport_identity = false;
  bool compact_wire_enabled = false;
  bool nostr_start_option = false;
  bool nostr_cold_contact_enabled = false;
  bool nostr_username_discovery_enabled = false;
  bool sealed_envelope_enabled = false;
  bool rich_payloads_enabled = false;
  bool report_decryption_failures = false;
  bool data_layer_enabled = false;
  bool session_switch = false;
  bool operator==(const FeatureSwitches&) const = default;
};

struct ProtocolConfig {
  std::string app_id;
  std::string local_user_id;
  uint8_t initial_ttl = 0;
  TransportSwitches transports;
  AckConfig ack;
  RetryConfig retry;
  ReliabilityConfig reliability;
  EncryptionConfig encryption;
  GroupConfig group;
  MeshRelayConfig mesh_relay;
  CustodyConfig custody;
  RelayConfig relay;
  DorsConfig dors;
  FeatureSwitches switches;
  // An optional component handle that no rule reads; empty at construction
  // and shared (not copied) by every candidate record.
  std::shared_ptr<void> shared_handle;

  // The message of the first failing rule, or nothing when the record is
  // valid. Pure.
  std::optional<std::string> first_violation() const;
  // first_violation as the core's error: InvalidConfig carrying the rule's
  // message (displayed after "Invalid configuration: ").
  Result<void, ProtocolError> validate() const;
};

// The custody rules alone (the last step of ProtocolConfig's check); reads
// retry.outbox_max_lifetime_ms too.
std::optional<std::string> custody_config_violation(const ProtocolConfig& config);

}  // namespace brenvik
