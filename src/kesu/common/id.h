// Identifiers of operations and replicas, and runs of counters.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "kesu/common/internal_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace kesu {

using brenvik::Bytes;
using brenvik::ByteView;

using PeerID = uint64_t;
using Counter = int32_t;
using Lamport = uint32_t;

// Reserved for internal use; a document never takes it as its peer id.
constexpr PeerID kPeerIdMax = UINT64_MAX;

// The identity of one operation.
struct ID {
  PeerID peer = 0;
  Counter counter = 0;

  // counter "@" peer, e.g. 5@12345.
  std::string to_string() const;
  // 12-byte key: peer as big-endian u64, counter as big-endian i32. For
  // non-negative counters bytewise key order is (peer, counter) order.
  std::array<uint8_t, 12> to_bytes() const;
  // Accepts exactly 12 bytes.
  static brenvik::Result<ID, InternalError> from_bytes(ByteView b);

  auto operator<=>(const ID&) const = default;
};

// A Lamport timestamp with the peer of the operation.
struct IdLp {
  Lamport lamport = 0;
  PeerID peer = 0;
  // "L" lamport "@" peer, e.g. L7@12345.
  std::string to_string() const;
  auto operator<=>(const IdLp&) const = default;
};

struct IdFull {
  PeerID peer = 0;
  Lamport lamport = 0;
  Counter counter = 0;
  ID id() const { return {peer, counter}; }
  IdLp idlp() const { return {lamport, peer}; }
  std::string debug() const;
  bool operator==(const IdFull&) const = default;
};

// (peer, counter) with counter != 2147483647, held as counter XOR INT32_MAX
// so that the held value 0 stands for "no id": OptCompactId needs no extra
// room. The peer is kept as two 32-bit halves so that the id packs into 12
// bytes: the tracker stores three of them in every span it keeps.
class CompactId {
 public:
  // nullopt when the counter is 2147483647.
  static std::optional<CompactId> make(PeerID peer, Counter counter) {
    if (counter == INT32_MAX) return std::nullopt;
    CompactId c;
    c.peer_lo_ = uint32_t(peer);
    c.peer_hi_ = uint32_t(peer >> 32);
    c.held_ = uint32_t(counter) ^ uint32_t(INT32_MAX);
    return c;
  }
  PeerID peer() const { return (PeerID(peer_hi_) << 32) | peer_lo_; }
  Counter counter() const { return Counter(held_ ^ INT32_MAX); }
  ID to_id() const { return {peer(), counter()}; }
  // The id whose counter is this one's plus offset; reaching 2147483647 is an
  // internal error (thrown).
  CompactId inc(int32_t offset) const;
  bool operator==(const CompactId&) const = default;

 private:
  friend class OptCompactId;
  uint32_t peer_lo_ = 0;
  uint32_t peer_hi_ = 0;
  uint32_t held_ = 0;
};

// An optional CompactId in the CompactId's own 12 bytes: a held value of 0
// (the unrepresentable counter) means none. Reads like std::optional.
class OptCompactId {
 public:
  OptCompactId() = default;
  OptCompactId(std::nullopt_t) {}                     // NOLINT: implicit like std::optional
  OptCompactId(const CompactId& id) : id_(id) {}      // NOLINT
  OptCompactId(const std::optional<CompactId>& id) {  // NOLINT
    if (id) id_ = *id;
  }
  bool has_value() const { return id_.held_ != 0; }
  explicit operator bool() const { return has_value(); }
  const CompactId& operator*() const { return id_; }
  const CompactId* operator->() const { return &id_; }
  void reset() { id_ = CompactId(); }
  operator std::optional<CompactId>() const {  // NOLINT
    return has_value() ? std::optional<CompactId>(id_) : std::nullopt;
  }
  friend bool operator==(const OptCompactId& a, const OptCompactId& b) { return a.id_ == b.id_; }
  friend bool operator==(const OptCompactId& a, const std::optional<CompactId>& b) {
    return a == OptCompactId(b);
  }
  friend bool operator==(const OptCompactId& a, const CompactId& b) { return a == OptCompactId(b); }
  friend bool operator==(const OptCompactId& a, std::nullopt_t) { return !a.has_value(); }

 private:
  CompactId id_;
};

// (peer, lamport) with lamport != 4294967295, held as its complement.
class CompactIdLp {
 public:
  static std::optional<CompactIdLp> make(PeerID peer, Lamport lamport);
  // For callers that know the lamport is smaller; 4294967295 throws.
  static CompactIdLp make_unchecked(PeerID peer, Lamport lamport);
  PeerID peer() const { return peer_; }
  Lamport lamport() const { return ~held_; }
  std::string debug() const;
  bool operator==(const CompactIdLp&) const = default;

 private:
  PeerID peer_ = 0;
  uint32_t held_ = 0;
};

// A run of consecutive counters: start < end is forward over [start, end),
// start > end is backward over start, start-1, ..., end+1.
struct CounterSpan {
  Counter start = 0;
  Counter end = 0;

  static CounterSpan single(Counter x) { return {x, Counter(x + 1)}; }
  bool forward() const { return start <= end; }
  uint32_t length() const {
    return start <= end ? uint32_t(int64_t(end) - start) : uint32_t(int64_t(start) - end);
  }
  Counter min() const { return start < end ? start : Counter(end + 1); }
  // Offsets [from, to) in the run's own direction. Requires from <= to <=
  // length(); a breach throws InternalError.
  CounterSpan slice(uint32_t from, uint32_t to) const;
  // Sets the start to v without passing the end.
  void set_start_clamped(Counter v);
  // start "~" end, e.g. 3~8.
  std::string debug() const;
  bool operator==(const CounterSpan&) const = default;
};

struct IdSpan {
  PeerID peer = 0;
  CounterSpan counter;

  // The part of `other` that this span covers, as offsets from other's low
  // end; nullopt for different peers or no overlap.
  std::optional<std::pair<uint32_t, uint32_t>> overlap(const IdSpan& other) const;
  // Run-length joining of spans kept in a list.
  bool can_merge(const IdSpan& next) const;
  // Requires can_merge(next).
  void merge(const IdSpan& next);
  std::string debug() const;
  bool operator==(const IdSpan&) const = default;
};

// The identity of a movable-tree node: the id of the operation that created it.
struct TreeID {
  PeerID peer = 0;
  Counter counter = 0;
  ID id() const { return {peer, counter}; }
  // TreeID { peer: 1, counter: 2 }
  std::string debug() const;
  auto operator<=>(const TreeID&) const = default;
};

inline size_t hash_mix(size_t seed, uint64_t v) {
  v ^= v >> 33;
  v *= 0xff51afd7ed558ccdULL;
  v ^= v >> 33;
  return seed ^ (size_t(v) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace kesu

template <>
struct std::hash<kesu::ID> {
  size_t operator()(const kesu::ID& id) const {
    return kesu::hash_mix(std::hash<uint64_t>()(id.peer), uint32_t(id.counter));
  }
};
template <>
struct std::hash<kesu::TreeID> {
  size_t operator()(const kesu::TreeID& id) const { return std::hash<kesu::ID>()(id.id()); }
};
