#include "transport/ble_fragment.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "transport/assembly_eviction.h"
#include "transport/message_codec.h"
#include "util/log.h"
#include "util/utf8.h"

namespace brenvik {

namespace {

constexpr std::string_view kLogTarget = "brenvik_protocol_transport::ble";

TransportError other(std::string text) {
  return TransportError::other(std::move(text));
}

WallTime as_time_point(MonoTime t) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(t.since_origin));
}

}  // namespace

Result<std::vector<Bytes>, TransportError> fragment_encoded(std::string_view id, ByteView encoded,
                                                            size_t fragment_size) {
  const size_t id_len = id.size();
  if (id_len >= 256) return Err(other("Message ID too long"));
  if (fragment_size <= id_len + kFragmentFixedHeader) {
    return Err(other("MTU too small for fragment header"));
  }
  const size_t chunk = fragment_size - (id_len + kFragmentFixedHeader);
  const size_t total = encoded.size();
  const size_t count = total / chunk + (total % chunk != 0 ? 1 : 0);
  if (count == 0) return Err(other("Empty message"));
  if (count > kMaxFragmentsPerMessage) {
    return Err(other("Message would require too many BLE fragments"));
  }
  if (std::min(chunk, total) > 0xFFFF) return Err(other("Fragment payload too large"));

  std::vector<Bytes> frames;
  frames.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t begin = i * chunk;
    const size_t len = std::min(chunk, total - begin);
    Bytes f(kFragmentFixedHeader + id_len + len);
    uint8_t* p = f.data();
    p[0] = 'B';
    p[1] = 'V';
    p[2] = kFragmentVersion;
    p[3] = uint8_t(id_len);
    std::memcpy(p + 4, id.data(), id_len);
    p += 4 + id_len;
    p[0] = uint8_t(i);
    p[1] = uint8_t(i >> 8);
    p[2] = uint8_t(count);
    p[3] = uint8_t(count >> 8);
    p[4] = uint8_t(len);
    p[5] = uint8_t(len >> 8);
    std::memcpy(p + 6, encoded.data() + begin, len);
    frames.push_back(std::move(f));
  }
  return frames;
}

Result<std::vector<Bytes>, TransportError> fragment_message(const Message& message,
                                                            size_t fragment_size) {
  BRENVIK_TRY(Bytes encoded, encode_message_for_transport(message));
  return fragment_encoded(display_message_id(message.id), encoded, fragment_size);
}

uint8_t fragment_completion_percent(uint64_t received, uint64_t expected) {
  if (expected == 0) return 0;
  float pct = std::round(float(received) * 100.0f / float(expected));
  return pct >= 100.0f ? 100 : uint8_t(pct);
}

Result<FragmentHeader, TransportError> parse_fragment(ByteView f) {
  if (f.size() < kFragmentFixedHeader) return Err(other("Fragment too short"));
  if (f[0] != 'B' || f[1] != 'V') return Err(other("Invalid fragment magic"));
  if (f[2] != kFragmentVersion) {
    return Err(other("Unsupported fragment version " + std::to_string(f[2])));
  }
  const size_t id_len = f[3];
  if (f.size() < id_len + kFragmentFixedHeader) return Err(other("Fragment truncated (id)"));
  ByteView id_bytes = f.subspan(4, id_len);
  if (!validate_utf8(id_bytes).ok()) return Err(other("Invalid UTF-8 in message ID"));
  const uint8_t* p = f.data() + 4 + id_len;
  FragmentHeader h;
  h.message_id = as_chars(id_bytes);
  h.index = load_u16_le(p);
  h.count = load_u16_le(p + 2);
  const size_t len = load_u16_le(p + 4);
  if (f.size() < id_len + kFragmentFixedHeader + len) {
    return Err(other("Fragment truncated (data)"));
  }
  if (h.count > kMaxFragmentsPerMessage) return Err(other("Fragment count exceeds maximum"));
  if (h.index >= h.count) return Err(other("Fragment index out of range"));
  h.payload = f.subspan(id_len + kFragmentFixedHeader, len);
  return h;
}

std::string FragmentReassembler::key_of(std::string_view peer, std::string_view id) {
  // Length-prefixed so that no (peer, id) pair can collide with another.
  std::string k;
  k.reserve(4 + peer.size() + id.size());
  const uint32_t n = uint32_t(peer.size());
  k.push_back(char(n));
  k.push_back(char(n >> 8));
  k.push_back(char(n >> 16));
  k.push_back(char(n >> 24));
  k.append(peer).append(id);
  return k;
}

uint64_t FragmentReassembler::held_bytes() const {
  uint64_t total = 0;
  for (const auto& [k, a] : assemblies_) total += a.total_bytes;
  return total;
}

uint64_t FragmentReassembler::buffered_bytes() const {
  uint64_t total = 0;
  for (const auto& [k, a] : assemblies_) total += a.arena.size();
  return total;
}

size_t FragmentReassembler::assemblies_of(std::string_view peer_id) const {
  auto it = per_peer_.find(std::string(peer_id));
  return it == per_peer_.end() ? 0 : it->second;
}

void FragmentReassembler::clear() {
  assemblies_.clear();
  per_peer_.clear();
}

void FragmentReassembler::purge_idle(MonoTime now, Step& step) {
  for (auto it = assemblies_.begin(); it != assemblies_.end();) {
    const Assembly& a = it->second;
    if (a.last_fragment_at < now && now - a.last_fragment_at > kAssemblyIdleTimeout) {
      BRENVIK_LOG(LogLevel::Debug, kLogTarget, {"message", "Dropped expired BLE fragment assembly"},
                  {"message_id", a.message_id});
      step.expired.push_back(a.message_id);
      if (--per_peer_[a.peer_id] == 0) per_peer_.erase(a.peer_id);
      it = assemblies_.erase(it);
    } else {
      ++it;
    }
  }
}

void FragmentReassembler::evict_one(MonoTime now, std::string_view peer_id, bool only_peer,
                                    Step& step) {
  const WallTime now_tp = as_time_point(now);
  auto victim = assemblies_.end();
  float victim_score = 0;
  for (auto it = assemblies_.begin(); it != assemblies_.end(); ++it) {
    const Assembly& a = it->second;
    if (only_peer && a.peer_id != peer_id) continue;
    float s = assembly_eviction_score(
        AssemblyProgress{as_time_point(a.created_at), a.received, a.expected_count}, now_tp);
    if (victim == assemblies_.end() || s < victim_score) {
      victim = it;
      victim_score = s;
    }
  }
  if (victim == assemblies_.end()) return;
  Assembly& a = victim->second;
  EvictedAssembly ev{a.peer_id, a.message_id,
                     fragment_completion_percent(a.received, a.expected_count)};
  BRENVIK_LOG(LogLevel::Debug, kLogTarget,
              {"message", "Evicting fragment assembly to make room (priority-based)"},
              {"message_id", ev.message_id}, {"completion_percent", ev.completion_percent});
  if (--per_peer_[a.peer_id] == 0) per_peer_.erase(a.peer_id);
  assemblies_.erase(victim);
  step.evicted = std::move(ev);
}

void FragmentReassembler::compact(Assembly& a) {
  Bytes fresh;
  fresh.reserve(size_t(a.total_bytes));
  for (Slot& s : a.slots) {
    if (!s.present) continue;
    uint32_t off = uint32_t(fresh.size());
    fresh.insert(fresh.end(), a.arena.begin() + s.offset, a.arena.begin() + s.offset + s.length);
    s.offset = off;
  }
  a.arena = std::move(fresh);
}

FragmentReassembler::Step FragmentReassembler::accept(std::string_view peer_id, ByteView frame) {
  Step step;
  const MonoTime now = clock_->monotonic();
  purge_idle(now, step);

  auto parsed = parse_fragment(frame);
  if (!parsed.ok()) {
    step.error = std::move(parsed).error();
    return step;
  }
  const FragmentHeader& h = parsed.value();
  if (h.count == 1) {
    step.completed = Bytes(h.payload.begin(), h.payload.end());
    return step;
  }

  std::string key = key_of(peer_id, h.message_id);
  auto it = assemblies_.find(key);
  uint64_t new_total = h.payload.size();
  if (it != assemblies_.end()) {
    Assembly& a = it->second;
    if (a.expected_count != h.count) {
      step.error = other("Fragment count mismatch: expected " + std::to_string(a.expected_count) +
                         ", got " + std::to_string(h.count));
      return step;
    }
    const Slot& s = a.slots[h.index];
    new_total = a.total_bytes - (s.present ? s.length : 0) + h.payload.size();
  } else {
    std::string peer(peer_id);
    auto pc = per_peer_.find(peer);
    if (pc != per_peer_.end() && pc->second >= kMaxAssembliesPerPeer) {
      evict_one(now, peer_id, true, step);
    } else if (assemblies_.size() >= kMaxAssemblies) {
      evict_one(now, peer_id, false, step);
    }
  }

  if (new_total > kMaxAssembledBytes) {
    if (it != assemblies_.end()) {
      if (--per_peer_[it->second.peer_id] == 0) per_peer_.erase(it->second.peer_id);
      assemblies_.erase(it);
    }
    step.error = TransportError::message_too_large(new_total, kMaxAssembledBytes);
    return step;
  }

  if (it == assemblies_.end()) {
    Assembly a;
    a.peer_id = std::string(peer_id);
    a.message_id = std::string(h.message_id);
    a.created_at = now;
    a.last_fragment_at = now;
    a.expected_count = h.count;
    a.slots.resize(h.count);
    // Frames of one message are mostly equal in size: one reservation
    // avoids regrowing the buffer as they arrive.
    a.arena.reserve(std::min<uint64_t>(uint64_t(h.payload.size()) * h.count, kMaxAssembledBytes));
    ++per_peer_[a.peer_id];
    it = assemblies_.emplace(std::move(key), std::move(a)).first;
  }

  Assembly& a = it->second;
  Slot& s = a.slots[h.index];
  if (!s.present) ++a.received;
  s.present = true;
  s.offset = uint32_t(a.arena.size());
  s.length = uint32_t(h.payload.size());
  a.arena.insert(a.arena.end(), h.payload.begin(), h.payload.end());
  a.total_bytes = new_total;
  a.last_fragment_at = now;
  // Repeated indices leave stale bytes behind; keep the buffer within twice
  // what the assembly holds (plus one maximal frame).
  if (a.arena.size() > 2 * a.total_bytes + 0x10000) compact(a);

  if (a.received < a.expected_count) return step;

  Bytes joined;
  joined.reserve(size_t(a.total_bytes));
  for (const Slot& slot : a.slots) {
    joined.insert(joined.end(), a.arena.begin() + slot.offset,
                  a.arena.begin() + slot.offset + slot.length);
  }
  const Nanos elapsed = now - a.created_at;
  const int64_t ms = std::max<int64_t>(0, elapsed.count() / 1'000'000);
  step.latency_ms = ms > 0xFFFFFFFFll ? 0xFFFFFFFFu : uint32_t(ms);
  if (--per_peer_[a.peer_id] == 0) per_peer_.erase(a.peer_id);
  assemblies_.erase(it);
  step.completed = std::move(joined);
  return step;
}

}  // namespace brenvik
