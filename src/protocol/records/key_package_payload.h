// The key-package announcement with the versions its sender speaks, what a
// receiver stores of a peer's capabilities, encryption-capability entries and
// the session confirmation state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

// Version numbers 0..255, JSON array of integers.
using VersionList = std::vector<uint8_t>;

inline constexpr std::string_view kKeyPackageMarker = "__MLS_KEY_PKG__";

struct KeyPackagePayload {
  std::string user_id;
  Bytes key_package_data;
  uint64_t remaining_lifetime_ms = 0;
  uint64_t timestamp_ms = 0;
  bool session_reset = false;
  VersionList wire_versions;
  VersionList env_versions;
  VersionList rich_versions;
  VersionList data_versions;
  VersionList ctrl_versions;
  std::optional<std::string> nostr_pubkey;

  // Every field but an absent nostr_pubkey is written.
  std::string to_json() const;
  // One whole JSON text (the text after the marker).
  static Result<KeyPackagePayload, JsonError> from_json(std::string_view text);
  bool operator==(const KeyPackagePayload&) const = default;
};

struct PeerCapabilities {
  VersionList env_versions;
  VersionList rich_versions;
  VersionList data_versions;
  VersionList attested_rich_versions;
  VersionList attested_data_versions;
  VersionList ctrl_versions;
  std::optional<std::string> nostr_pubkey;

  // Empty lists and an absent key are left out; nothing known is "{}".
  std::string to_json() const;
  static Result<PeerCapabilities, JsonError> from_json(ByteView stored);
  bool operator==(const PeerCapabilities&) const = default;
};

struct EncryptionCapableEntry {
  int64_t last_seen_ms = 0;
  bool ctrl_freshness_proved = false;
  int64_t last_reset_ms = 0;

  Bytes to_json() const;
  static Result<EncryptionCapableEntry, JsonError> from_json(ByteView stored);
  bool operator==(const EncryptionCapableEntry&) const = default;
};

enum class SessionConfirmationState : uint8_t { Pending, Confirmed };
// "\"Pending\"" or "\"Confirmed\"" (a JSON string).
std::string write_session_confirmation_state(SessionConfirmationState s);
Result<SessionConfirmationState, JsonError> read_session_confirmation_state(ByteView stored);

}  // namespace brenvik
