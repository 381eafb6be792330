// Versions of a document: version vectors (how far each peer's operations are
// included) and frontiers (the latest operations, heads of the change graph).
#pragma once

#include <initializer_list>
#include <memory>
#include <unordered_map>
#include <variant>
#include <vector>

#include "kesu/common/error.h"
#include "kesu/common/id.h"

namespace kesu {

// Peer -> exclusive end counter. A missing peer and any value <= 0 both mean
// that nothing of the peer is included.
class VersionVector {
 public:
  using Map = std::unordered_map<PeerID, Counter>;
  VersionVector() = default;
  explicit VersionVector(Map m) : map_(std::move(m)) {}
  VersionVector(std::initializer_list<std::pair<const PeerID, Counter>> l) : map_(l) {}

  // The end for a peer (0 when absent).
  Counter get(PeerID p) const {
    auto it = map_.find(p);
    return it == map_.end() ? 0 : it->second;
  }
  void set(PeerID p, Counter end) { map_[p] = end; }
  const Map& entries() const { return map_; }
  size_t size() const { return map_.size(); }

  // The operations self includes and `other` does not, one span per peer,
  // in this vector's iteration order.
  std::vector<IdSpan> diff_iter(const VersionVector& other) const;
  // Equal when max(value, 0) agrees for every peer of either side.
  bool operator==(const VersionVector& o) const;

 private:
  Map map_;
};

// A set of IDs, at most one per peer. Stored empty, as one inline ID, or as a
// map shared between copies (copied before it changes).
class Frontiers {
 public:
  Frontiers() = default;
  explicit Frontiers(ID id) : v_(id) {}

  // Empty -> single; same peer -> larger counter; other peer -> map form.
  void push(ID id);
  // Removes exactly `id` when it is a member; a map left with one entry
  // becomes that single ID (a one-entry map never occurs).
  void remove(ID id);
  size_t size() const;
  bool empty() const { return size() == 0; }
  bool contains(ID id) const;
  // The IDs, sorted by peer then counter.
  std::vector<ID> to_sorted_vec() const;
  bool is_map_form() const { return v_.index() == 2; }

  bool operator==(const Frontiers& o) const;

  // Sorted IDs as a compact sequence (LEB128 count, then each ID).
  Bytes encode() const;
  // DecodeError("Decode Frontiers error") on a malformed sequence.
  static KesuResult<Frontiers> decode(ByteView b);

 private:
  using Map = std::unordered_map<PeerID, Counter>;
  std::variant<std::monostate, ID, std::shared_ptr<Map>> v_;
};

}  // namespace kesu
