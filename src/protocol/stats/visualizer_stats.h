// The mesh-visualisation state the host's statistics read, and the delivery
// statistics computed over it. The facade keeps the state behind its own
// lock, so these answer while another call holds the protocol; they only
// read the state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/types.h"

namespace brenvik {

// One tracked outgoing message.
struct DeliveryRecord {
  std::string message_id;
  std::string sender;
  std::string recipient;
  uint64_t sent_at_ms = 0;
  std::optional<uint64_t> delivered_at_ms;  // present once delivered
  std::optional<uint64_t> latency_ms;
  uint8_t hop_count = 0;
  bool delivered() const { return delivered_at_ms.has_value(); }
};

// One device of the mesh picture, keyed by its id in VisualizerState.
struct VisualizerNode {
  enum class Kind : uint8_t { Normal, Relay };
  Kind kind = Kind::Normal;
  std::optional<uint8_t> battery_level;
  uint64_t message_count = 0;
  uint64_t last_seen_ms = 0;
};

// A link between two devices over one carrier.
struct VisualizerLink {
  std::string from;
  std::string to;
  TransportType transport = TransportType::Ble;
  float strength = 0.0f;
};

struct VisualizerState {
  // The device's own address once MLS is initialised, empty before.
  std::string local_node_id;
  std::map<std::string, VisualizerNode> nodes;
  std::vector<VisualizerLink> links;
  std::vector<DeliveryRecord> delivery_records;
};

// Delivered records over all records; 0.0 with none.
float delivery_success_rate(const VisualizerState& state);
// Median hop count of the delivered records (the upper middle for an even
// count); none when nothing was delivered.
std::optional<uint8_t> median_hops(const VisualizerState& state);
// Median latency of the records that have one, delivered or not (the upper
// middle for an even count); none when no record has one.
std::optional<uint64_t> median_latency(const VisualizerState& state);

}  // namespace brenvik
