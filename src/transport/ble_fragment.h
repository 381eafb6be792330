// BLE fragment frames and their reassembly.
//
// A BLE link carries only small writes, so every outbound message is cut into
// self-describing frames, each small enough for one write, and inbound
// messages are rebuilt from frames arriving in any order. Frame layout
// (little-endian):
//
//   "BV" | version 1 | L (u8) | message id text (L bytes) | index u16 |
//   count u16 (1..512) | payload length u16 | payload
//
// The header is 10 + L bytes (46 with the 36-character id). Bytes after the
// payload are ignored. The payloads joined in index order are exactly the
// bytes encode_message_for_transport produced.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/errors.h"
#include "core/message.h"
#include "util/bytes.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

inline constexpr size_t kDefaultFragmentSize = 185;
inline constexpr size_t kMaxFragmentSize = 512;
inline constexpr size_t kMaxFragmentsPerMessage = 512;
inline constexpr size_t kMaxAssemblies = 64;
// A single link peer may hold at most this many assemblies: a neighbour that
// opens many messages evicts its own assemblies, not other peers'.
inline constexpr size_t kMaxAssembliesPerPeer = 16;
inline constexpr uint64_t kMaxAssembledBytes = 1048576;
inline constexpr std::chrono::seconds kAssemblyIdleTimeout{30};
inline constexpr uint8_t kFragmentVersion = 1;
inline constexpr size_t kFragmentFixedHeader = 10;

// Payload bytes per frame for a frame size and id length; 0 when the header
// does not fit (139 at 185 bytes with a 36-byte id, 466 at 512).
inline size_t fragment_chunk_size(size_t fragment_size, size_t id_len = 36) {
  return fragment_size > id_len + kFragmentFixedHeader
             ? fragment_size - id_len - kFragmentFixedHeader
             : 0;
}
// The largest encoding that splits into at most 512 frames of that size.
inline uint64_t max_fragmentable_bytes(size_t fragment_size, size_t id_len = 36) {
  return uint64_t(kMaxFragmentsPerMessage) * fragment_chunk_size(fragment_size, id_len);
}

// Splits an already encoded message into frames, in index order; every frame
// but the last is exactly `fragment_size` bytes. Errors (kind OTHER): "Message
// ID too long", "MTU too small for fragment header", "Empty message",
// "Message would require too many BLE fragments", "Fragment payload too
// large".
Result<std::vector<Bytes>, TransportError> fragment_encoded(std::string_view message_id,
                                                            ByteView encoded, size_t fragment_size);
// Encodes `message` with encode_message_for_transport and splits it.
Result<std::vector<Bytes>, TransportError> fragment_message(const Message& message,
                                                            size_t fragment_size);

// received * 100 / expected in 32-bit float, rounded half away from zero,
// capped at 100; 0 when expected is 0.
uint8_t fragment_completion_percent(uint64_t received, uint64_t expected);

// A parsed frame; the views point into the frame's bytes.
struct FragmentHeader {
  std::string_view message_id;
  uint16_t index = 0;
  uint16_t count = 0;
  ByteView payload;
};
// Checks in order: "Fragment too short", "Invalid fragment magic",
// "Unsupported fragment version N", "Fragment truncated (id)", "Invalid UTF-8
// in message ID", "Fragment truncated (data)", "Fragment count exceeds
// maximum", "Fragment index out of range" (kind OTHER).
Result<FragmentHeader, TransportError> parse_fragment(ByteView frame);

// An assembly given up to make room.
struct EvictedAssembly {
  std::string peer_id;  // the link peer whose fragments it held ("" when unknown)
  std::string message_id;
  uint8_t completion_percent = 0;

  bool operator==(const EvictedAssembly&) const = default;
};

// The table of partly received messages of one transport. Assemblies are
// keyed by (link peer, message id): a relayed copy or a hostile neighbour
// sending fragments under the same id cannot corrupt another peer's
// assembly. Not thread-safe; the BLE transport guards it with its own lock.
class FragmentReassembler {
 public:
  // What one received frame did.
  struct Step {
    // Assemblies dropped for idleness before the frame was looked at.
    std::vector<std::string> expired;
    // The assembly given up to make room for this frame's new one.
    std::optional<EvictedAssembly> evicted;
    // The frame was refused (the table is as it was, except the purge).
    std::optional<TransportError> error;
    // The encoded message this frame completed.
    std::optional<Bytes> completed;
    // Whole milliseconds from the first fragment to completion, for a
    // multi-fragment message.
    std::optional<uint32_t> latency_ms;
  };

  explicit FragmentReassembler(const Clock& clock = system_clock()) : clock_(&clock) {}

  // Takes one frame delivered by `peer_id` (empty when the host named none).
  Step accept(std::string_view peer_id, ByteView frame);

  void clear();
  size_t size() const { return assemblies_.size(); }
  // Payload bytes held over all assemblies.
  uint64_t held_bytes() const;
  // Bytes buffered over all assemblies, replaced payloads included; stays
  // within twice what is held plus one maximal frame per assembly.
  uint64_t buffered_bytes() const;
  size_t assemblies_of(std::string_view peer_id) const;

 private:
  struct Slot {
    uint32_t offset = 0;
    uint32_t length = 0;
    bool present = false;
  };
  struct Assembly {
    std::string peer_id;
    std::string message_id;
    MonoTime created_at;
    MonoTime last_fragment_at;
    uint16_t expected_count = 0;
    uint32_t received = 0;
    uint64_t total_bytes = 0;
    std::vector<Slot> slots;  // one per index
    Bytes arena;              // payloads as received; replaced ones stay until compaction
  };

  static std::string key_of(std::string_view peer_id, std::string_view message_id);
  void purge_idle(MonoTime now, Step& step);
  // Evicts the lowest-scoring assembly, among `peer_id`'s own when
  // `only_peer` is set.
  void evict_one(MonoTime now, std::string_view peer_id, bool only_peer, Step& step);
  static void compact(Assembly& a);

  const Clock* clock_;
  std::unordered_map<std::string, Assembly> assemblies_;
  std::unordered_map<std::string, size_t> per_peer_;
};

}  // namespace brenvik
