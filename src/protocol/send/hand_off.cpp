// Hand-off to neighbours: copies of a message that cannot reach its
// recipient directly go to the best-linked neighbours, within the mesh's
// forwarding budget, so they carry it onward.
#include <algorithm>
#include <functional>

#include "protocol/core/protocol_core.h"
#include "util/log.h"
#include "util/uuid.h"

namespace brenvik {

namespace {

// A per-process random key so the order among equally good neighbours is
// stable for one message but differs between messages and processes.
const std::string& tie_key() {
  static const std::string key = Uuid::random_v4().to_simple();
  return key;
}

uint64_t tie_hash(const std::string& message_id, const std::string& peer_id) {
  std::string s;
  s.reserve(tie_key().size() + message_id.size() + peer_id.size() + 2);
  s += tie_key();
  s += message_id;
  s += '\0';
  s += peer_id;
  return std::hash<std::string>{}(s);
}

}  // namespace

uint64_t ProtocolCore::hand_to_neighbors(const Message& message) {
  if (message.recipient == local_user_id_) return 0;
  std::vector<NeighborEntry> neighbors = transport_manager_.connected_neighbors();
  if (neighbors.empty()) return 0;
  std::string id_text = display_message_id(message.id);
  (void)mesh_.budget().seen_window().check_and_insert(id_text);

  struct Candidate {
    std::string peer_id;
    uint8_t quality;
  };
  std::vector<Candidate> candidates;
  auto direct = std::find_if(neighbors.begin(), neighbors.end(), [&](const NeighborEntry& n) {
    return n.peer.peer_id == message.recipient;
  });
  if (direct != neighbors.end()) {
    candidates.push_back({direct->peer.peer_id, 0});
  } else {
    for (const auto& n : neighbors)
      candidates.push_back(
          {n.peer.peer_id, n.peer.rssi_dbm ? rssi_to_quality(*n.peer.rssi_dbm) : uint8_t(50)});
    size_t fanout = size_t(std::max<uint64_t>(config_.mesh_relay.fanout, 1));
    if (candidates.size() > fanout) {
      std::stable_sort(candidates.begin(), candidates.end(),
                       [&](const Candidate& a, const Candidate& b) {
                         if (a.quality != b.quality) return a.quality > b.quality;
                         return tie_hash(id_text, a.peer_id) < tie_hash(id_text, b.peer_id);
                       });
      candidates.resize(fanout);
    }
  }
  // Custody requests mark sealed data-layer frames; that class is decided
  // by the data layer, which is not built yet, so every copy is plain.
  uint64_t handed = 0;
  for (const Candidate& c : candidates) {
    if (!mesh_.budget().take_handoff_token(clock_.monotonic())) {
      BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                  {"message", "At the forwarding limit; not handing this to further neighbors"},
                  {"message_id", id_text});
      break;
    }
    auto r = transport_manager_.send_to_peer(c.peer_id, message);
    if (r.ok()) {
      ++handed;
      BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                  {"message", "Handed message to a neighbor to carry"}, {"message_id", id_text},
                  {"recipient", message.recipient}, {"next_hop", c.peer_id},
                  {"transport", transport_type_display_name(r.value())}, {"deposit", false});
    } else {
      BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                  {"message", "Neighbor could not take the message"}, {"message_id", id_text},
                  {"next_hop", c.peer_id}, {"error", r.error().message()});
    }
  }
  return handed;
}

}  // namespace brenvik
