// Small records kept in storage or exchanged with peers: seen-set entries,
// custody receipts, raw telemetry events and platforms, the username
// discovery record, username fields and base64 byte fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/bytes.h"
#include "util/json_reader.h"
#include "util/json_writer.h"
#include "util/result.h"

namespace brenvik {

// One entry of the deduplicator's stored seen set.
struct SeenId {
  std::string id;
  int64_t seen_at_ms = 0;

  void to_json(JsonWriter& w) const;
  static Result<SeenId, JsonError> from_json(JsonReader& r);
  bool operator==(const SeenId&) const = default;
};

// The receipt a custodian returns. Read from an already parsed generic
// value: repeated keys are already reduced to their last value and unknown
// members are ignored. Errors carry no position.
struct CustodyReceipt {
  uint8_t v = 0;
  std::string id;
  uint64_t hold_ms = 0;

  static Result<CustodyReceipt, std::string> from_json(const nlohmann::json& value);
  bool operator==(const CustodyReceipt&) const = default;
};

// One telemetry event; `data` is any JSON value (objects sorted by key).
struct RawEvent {
  std::string type;
  int64_t ts_ms = 0;
  nlohmann::json data;

  void to_json(JsonWriter& w) const;
  static Result<RawEvent, JsonError> from_json(JsonReader& r);
  bool operator==(const RawEvent&) const = default;
};

enum class TelemetryPlatform : uint8_t { Ios, Android, Linux, Macos, Windows, Other };
std::string_view telemetry_platform_name(TelemetryPlatform p);  // "ios", ...
Result<TelemetryPlatform, JsonError> read_telemetry_platform(JsonReader& r);

// The username discovery record this device publishes.
struct DiscoveryRecordV1 {
  uint8_t v = 1;
  std::string username;
  std::string address;  // canonical lower-case text form
  Bytes pubkey;
  Bytes nostr_author;
  int64_t issued_at_ms = 0;
  Bytes sig;
};
std::string write_discovery_claim_json(const DiscoveryRecordV1& record);

// A username in normalized form: the normalization's own error text when it
// fails, "username is not in normalized form" when the text differs from
// its normalization. null reads as absent.
Result<std::optional<std::string>, JsonError> read_username_field(JsonReader& r);
Result<std::vector<std::string>, JsonError> read_username_list_field(JsonReader& r);

// Byte strings as canonical padded standard base64 text.
void write_bytes_base64(JsonWriter& w, ByteView bytes);
Result<Bytes, JsonError> read_bytes_base64(JsonReader& r);

}  // namespace brenvik
