// Small shared values of the protocol core: the default telemetry
// configuration, the store-key and file-chunk decoding errors, the log text
// forms of enumerations, and the counting and selection rules several
// subsystems apply to their tables.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/types.h"

namespace brenvik {

// The telemetry configuration the facade starts from before applying the
// host's settings.
struct TelemetryConfig {
  std::string app_version = "0.0.0";
  std::optional<std::string> api_key;
  std::optional<std::string> app_id;
  std::chrono::milliseconds flush_interval{30000};
  std::chrono::milliseconds second_upload_interval{5000};
  uint64_t max_batch_bytes = 262144;
  uint64_t max_buffered_records = 4096;
  bool enabled_switch = true;
  std::optional<std::array<uint8_t, 16>> installation_id_override;
  std::array<bool, 4> switches = {false, false, false, false};
  uint8_t small_count = 1;

  bool operator==(const TelemetryConfig&) const = default;
};

// Failure to obtain the key of the sealed file stores.
struct StoreKeyError {
  enum class Kind : uint8_t { NotConfigured, NotUsable, SourceFailed };
  Kind kind;
  std::string detail;
  // "no store key is configured: <detail>", ...
  std::string message() const;
};

// Failure of the binary file-chunk reader. `field` is the chunk record's
// field name or the reader name ("u32", "u64").
struct ChunkDecodeError {
  enum class Kind : uint8_t { Truncated, OverLimit, BadText };
  Kind kind;
  std::string field;
  uint64_t found = 0;    // OverLimit
  uint64_t maximum = 0;  // OverLimit
  std::string detail;    // BadText: the UTF-8 decoder's message
  // "unexpected end of data reading <field>", "<field> <found> exceeds maximum
  // <max>", "invalid <field> UTF-8: <detail>".
  std::string message() const;
};

// Log text forms of enumerations (the JSON forms are other texts).
std::string_view transport_type_log_name(TransportType t);      // Internet, BLE, WiFiDirect, ...
std::string_view transport_status_log_name(TransportStatus s);  // Available, ...

// ---- counting and selection rules ----

// Members whose role equals `admin` (the last-admin checks of leave, role
// change and removal rely on it).
template <typename RoleTable, typename Role>
size_t count_admins(const RoleTable& roles, const Role& admin) {
  size_t n = 0;
  for (const auto& [member, role] : roles) n += role == admin ? 1 : 0;
  return n;
}

// Entries different from the local user, duplicates counted.
size_t other_member_count(const std::vector<std::string>& members, std::string_view local_user);

// In list order, each recipient other than the local user not in `delivered`.
std::vector<std::string> members_to_resend(const std::vector<std::string>& recipients,
                                           std::string_view local_user,
                                           const std::set<std::string>& delivered);

// In list order, each member other than the local user that is in neither set.
std::vector<std::string> members_in_neither(const std::vector<std::string>& members,
                                            std::string_view local_user,
                                            const std::set<std::string>& a,
                                            const std::set<std::string>& b);

// Entries of `table` whose peer (as `peer_of` returns it) equals `peer`.
template <typename Table, typename PeerOf>
size_t count_for_peer(const Table& table, std::string_view peer, PeerOf&& peer_of) {
  size_t n = 0;
  for (const auto& entry : table) n += peer_of(entry) == peer ? 1 : 0;
  return n;
}

// Takes each listed id out of `table`; for each one that was present the id
// goes into `seen` and the removed entry is handed to `on_removed`, in list
// order. Ids not in the table are skipped.
template <typename Value, typename OnRemoved>
void take_expired_ids(const std::vector<std::string>& ids, std::map<std::string, Value>& table,
                      std::set<std::string>& seen, OnRemoved&& on_removed) {
  for (const auto& id : ids) {
    auto it = table.find(id);
    if (it == table.end()) continue;
    Value v = std::move(it->second);
    table.erase(it);
    seen.insert(id);
    on_removed(id, std::move(v));
  }
}

}  // namespace brenvik
