// The diff of one container as events report it, and the composition of two
// diffs recorded for the same container into one.
//
// The tree diff's item type belongs to the tree container and is supplied by
// the document layer (`TreeItem`).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "kesu/common/id.h"
#include "kesu/common/internal_string.h"
#include "kesu/common/value.h"
#include "kesu/delta/delta_ropes.h"
#include "util/result.h"

namespace kesu {

// One updated map key: its new value (none: deleted) and the writer's clock.
struct MapValue {
  std::optional<KesuValue> value;
  Lamport lamport = 0;
  PeerID peer = 0;
  bool operator==(const MapValue&) const = default;
};

struct MapDelta {
  std::unordered_map<InternalString, MapValue> updated;

  // Last writer wins: an entry of `b` replaces `a`'s entry of the same key
  // only when its (Lamport, peer) is greater.
  static MapDelta compose(MapDelta a, MapDelta b) {
    for (auto& [k, v] : b.updated) {
      auto it = a.updated.find(k);
      if (it == a.updated.end()) {
        a.updated.emplace(k, std::move(v));
      } else if (std::pair(v.lamport, v.peer) > std::pair(it->second.lamport, it->second.peer)) {
        it->second = std::move(v);
      }
    }
    return a;
  }
};

template <typename TreeItem>
struct TreeDiff {
  std::vector<TreeItem> items;
};

// A diff of a container kind that never composes.
struct UnknownDiff {};

template <typename TreeItem>
class EventDiff {
 public:
  using Variant =
      std::variant<ListDelta, TextDelta, MapDelta, TreeDiff<TreeItem>, double, UnknownDiff>;
  enum class Kind { List, Text, Map, Tree, Counter, Unknown };

  EventDiff(Variant v) : v_(std::move(v)) {}    // NOLINT
  EventDiff(ListDelta d) : v_(std::move(d)) {}  // NOLINT
  EventDiff(TextDelta d) : v_(std::move(d)) {}  // NOLINT
  static EventDiff counter(double d) { return EventDiff(Variant(std::in_place_index<4>, d)); }

  Kind kind() const { return Kind(v_.index()); }
  const Variant& get() const { return v_; }
  Variant& get_mut() { return v_; }

  // Composes `second` (recorded after this one) into one diff. When the
  // kinds differ, the first diff comes back unchanged as the error and the
  // second is dropped.
  static brenvik::Result<EventDiff, EventDiff> compose(EventDiff first, EventDiff second) {
    if (first.v_.index() != second.v_.index() || first.kind() == Kind::Unknown)
      return brenvik::Err(std::move(first));
    switch (first.kind()) {
      case Kind::List:
        std::get<ListDelta>(first.v_).compose(std::get<ListDelta>(second.v_));
        break;
      case Kind::Text:
        std::get<TextDelta>(first.v_).compose(std::get<TextDelta>(second.v_));
        break;
      case Kind::Map:
        std::get<MapDelta>(first.v_) = MapDelta::compose(std::move(std::get<MapDelta>(first.v_)),
                                                         std::move(std::get<MapDelta>(second.v_)));
        break;
      case Kind::Tree: {
        auto& a = std::get<TreeDiff<TreeItem>>(first.v_).items;
        auto& b = std::get<TreeDiff<TreeItem>>(second.v_).items;
        for (auto& it : b) a.push_back(std::move(it));
        break;
      }
      case Kind::Counter:
        std::get<double>(first.v_) += std::get<double>(second.v_);
        break;
      case Kind::Unknown:
        break;
    }
    return first;
  }

  // Empty diffs are skipped when diffs are applied. A counter increment
  // below the f64 machine epsilon counts as nothing.
  bool is_empty() const {
    switch (kind()) {
      case Kind::List:
        return std::get<ListDelta>(v_).is_empty();
      case Kind::Text:
        return std::get<TextDelta>(v_).is_empty();
      case Kind::Map:
        return std::get<MapDelta>(v_).updated.empty();
      case Kind::Tree:
        return std::get<TreeDiff<TreeItem>>(v_).items.empty();
      case Kind::Counter:
        return std::fabs(std::get<double>(v_)) < std::numeric_limits<double>::epsilon();
      case Kind::Unknown:
        return true;
    }
    return true;
  }

 private:
  Variant v_;
};

}  // namespace kesu
