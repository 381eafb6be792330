// The three state trees: list items, movable-list slots and tree children.
//
// Each holds exactly one item per leaf. Items have length 1 and never merge or
// split, so a leaf keeps the same item for its whole life and the owner's maps
// from identifiers to LeafIndex stay valid until the item is removed.
//
// The payload types (values, identifiers, sort keys) belong to the owning
// states, so the traits are parameterised by them:
//   ListStateTree<Value, IdFull>
//   MovableListTree<CompactIdLp, IdFull>
//   TreeChildrenTree<NodePosition, TreeID>   (NodePosition must be totally ordered by <=>)
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "kesu/btree/btree.h"
#include "kesu/btree/length_finder.h"

namespace kesu {

namespace detail {

// Never reached for items of length 1: no offset lies strictly inside them and
// merging is never allowed.
[[noreturn]] inline void single_item_unreachable() {
  invariant_failed(kMsgUnreachable);
}

template <typename X>
std::string debug_or_dots(const X& x) {
  if constexpr (requires {
                  { debug_string(x) } -> std::convertible_to<std::string>;
                }) {
    return debug_string(x);
  } else {
    return "..";
  }
}

}  // namespace detail

// ---- list items ---------------------------------------------------------------

template <typename Value, typename Id>
struct ListStateElem {
  Value v;  // the element owns its copy of the value
  Id id;    // the inserting operation
};

template <typename Value, typename Id>
struct ListStateTrait {
  using Elem = ListStateElem<Value, Id>;
  using Cache = uint64_t;     // number of items
  using CacheDiff = int64_t;  // new - old
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem&) { return 1; }
  static size_t cache_len(const Cache& c) { return static_cast<size_t>(c); }
  static Elem split_at(Elem&, size_t) { detail::single_item_unreachable(); }
  static bool can_merge(const Elem&, const Elem&) { return false; }
  static void merge_right(Elem&, Elem&&) { detail::single_item_unreachable(); }
  static void merge_left(Elem&, Elem&&) { detail::single_item_unreachable(); }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem&) { return 1; }
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    uint64_t sum = 0;
    for (const auto& k : kids) sum += k.cache;
    CacheDiff d = static_cast<int64_t>(sum - out);
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const CacheDiff& d) {
    c = static_cast<uint64_t>(static_cast<int64_t>(c) + d);
  }
  static void merge_cache_diff(CacheDiff& a, const CacheDiff& b) { a += b; }
  static CacheDiff cache_to_diff(const Cache& c) { return static_cast<int64_t>(c); }
  static std::string debug(const Elem& e) {
    return "Elem { v: " + detail::debug_or_dots(e.v) + ", id: " + detail::debug_or_dots(e.id) +
           " }";
  }
};

template <typename Value, typename Id>
using ListStateTree = BTree<ListStateTrait<Value, Id>>;

// Item index in a list state tree: index i < n reaches item i at offset 0,
// found; i = n reaches the last item at offset 1; i > n at offset i - n + 1.
template <typename Value, typename Id>
using ListIndexFinder = LengthFinder<ListStateTrait<Value, Id>>;

// ---- movable-list slots -------------------------------------------------------

template <typename PointedBy, typename Id>
struct MovableListItem {
  std::optional<PointedBy> pointed_by;  // the element sitting in this slot; none = vacant
  Id id;                                // the operation that created the slot
  bool alive() const { return pointed_by.has_value(); }
};

struct MovableListCache {
  int32_t include_dead_len = 0;  // slots, vacant ones included
  int32_t user_len = 0;          // alive slots
  friend bool operator==(const MovableListCache&, const MovableListCache&) = default;
};

// "Cache { include_dead_len: 3, user_len: 2 }"
std::string debug_string(const MovableListCache& c);

template <typename PointedBy, typename Id>
struct MovableListTrait {
  using Elem = MovableListItem<PointedBy, Id>;
  using Cache = MovableListCache;
  using CacheDiff = MovableListCache;
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem&) { return 1; }
  static Elem split_at(Elem&, size_t) { detail::single_item_unreachable(); }
  static bool can_merge(const Elem&, const Elem&) { return false; }
  static void merge_right(Elem&, Elem&&) { detail::single_item_unreachable(); }
  static void merge_left(Elem&, Elem&&) { detail::single_item_unreachable(); }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem& e) { return {1, e.alive() ? 1 : 0}; }
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache sum;
    for (const auto& k : kids) {
      sum.include_dead_len += k.cache.include_dead_len;
      sum.user_len += k.cache.user_len;
    }
    CacheDiff d{sum.include_dead_len - out.include_dead_len, sum.user_len - out.user_len};
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const CacheDiff& d) {
    c.include_dead_len += d.include_dead_len;
    c.user_len += d.user_len;
  }
  static void merge_cache_diff(CacheDiff& a, const CacheDiff& b) { apply_cache_diff(a, b); }
  static CacheDiff cache_to_diff(const Cache& c) { return c; }
  static std::string debug(const Elem& e) {
    std::string pb = e.pointed_by ? "Some(" + detail::debug_or_dots(*e.pointed_by) + ")" : "None";
    return "ListItem { pointed_by: " + pb + ", id: " + detail::debug_or_dots(e.id) + " }";
  }
};

template <typename PointedBy, typename Id>
using MovableListTree = BTree<MovableListTrait<PointedBy, Id>>;

namespace detail {

// Descent by one counter of the movable-list cache; the leaf offset is 0 or 1.
template <typename T, bool kUserLen>
class SlotFinder {
 public:
  using Cache = MovableListCache;
  explicit SlotFinder(size_t target) : left_(target) {}

  FindResult find_node(const InternalNode<Cache>& n) {
    size_t before = left_;
    for (size_t i = 0; i < n.len; ++i) {
      // The signed counter widened to 64 bits and compared unsigned.
      uint64_t len = static_cast<uint64_t>(static_cast<int64_t>(field(n.children[i].cache)));
      if (left_ < len) return {i, true};
      before = left_;
      left_ -= len;
    }
    left_ = before;
    return {size_t(n.len) - 1, false};
  }

  FindResult confirm_elem(const typename T::Elem& e) {
    bool hit = left_ == 0 && (!kUserLen || e.alive());
    return {hit ? size_t{0} : size_t{1}, hit};
  }

  // The remaining index after the query.
  size_t left() const { return left_; }

 private:
  static int32_t field(const Cache& c) { return kUserLen ? c.user_len : c.include_dead_len; }
  size_t left_;
};

}  // namespace detail

// Slot index, vacant slots counted.
template <typename PointedBy, typename Id>
using IncludeDeadLenFinder = detail::SlotFinder<MovableListTrait<PointedBy, Id>, false>;
// User index: only alive slots counted; never lands on a vacant slot below user_len.
template <typename PointedBy, typename Id>
using UserLenFinder = detail::SlotFinder<MovableListTrait<PointedBy, Id>, true>;

// ---- tree children ------------------------------------------------------------

template <typename Key, typename Id>
struct TreeChildrenElem {
  std::shared_ptr<const Key> pos;  // the sort key, shared with the cache entries
  Id id;
};

template <typename Key>
struct TreeChildrenCache {
  // First and last key of the subtree (both inclusive); none for an empty subtree.
  std::optional<std::pair<std::shared_ptr<const Key>, std::shared_ptr<const Key>>> range;
  size_t len = 0;
  friend bool operator==(const TreeChildrenCache& a, const TreeChildrenCache& b) {
    if (a.len != b.len || a.range.has_value() != b.range.has_value()) return false;
    if (!a.range) return true;
    return a.range->first == b.range->first && a.range->second == b.range->second;
  }
};

struct NoCacheDiff {};

template <typename Key, typename Id>
struct TreeChildrenTrait {
  using Elem = TreeChildrenElem<Key, Id>;
  using Cache = TreeChildrenCache<Key>;
  // Key ranges cannot be subtracted: every change is recomputed level by level.
  using CacheDiff = NoCacheDiff;
  static constexpr bool kUseDiff = false;

  static size_t rle_len(const Elem&) { return 1; }
  static size_t cache_len(const Cache& c) { return c.len; }
  static Elem split_at(Elem&, size_t) { detail::single_item_unreachable(); }
  static bool can_merge(const Elem&, const Elem&) { return false; }
  static void merge_right(Elem&, Elem&&) { detail::single_item_unreachable(); }
  static void merge_left(Elem&, Elem&&) { detail::single_item_unreachable(); }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem& e) { return Cache{std::make_pair(e.pos, e.pos), 1}; }
  // Children without a range (an emptied node not yet removed) are skipped, so
  // that refreshing the caches above a node that just lost its last child
  // never stops on it.
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache c;
    for (const auto& k : kids) {
      c.len += k.cache.len;
      if (!k.cache.range) continue;
      if (!c.range) {
        c.range = k.cache.range;
      } else {
        c.range->second = k.cache.range->second;
      }
    }
    out = std::move(c);
    return {};
  }
  static void apply_cache_diff(Cache&, const CacheDiff&) {}
  static void merge_cache_diff(CacheDiff&, const CacheDiff&) {}
  static CacheDiff cache_to_diff(const Cache&) { return {}; }
  static std::string debug(const Elem& e) {
    return "Elem { pos: " + (e.pos ? detail::debug_or_dots(*e.pos) : std::string("..")) +
           ", id: " + detail::debug_or_dots(e.id) + " }";
  }
};

template <typename Key, typename Id>
using TreeChildrenTree = BTree<TreeChildrenTrait<Key, Id>>;

// Finds the place of a key: the equal key (offset 0, found), else the nearest
// neighbour: the last key below it (offset 1) or the first key above it (offset 0).
template <typename Key, typename Id>
class NodePositionFinder {
 public:
  using Cache = TreeChildrenCache<Key>;
  explicit NodePositionFinder(const Key& target) : target_(&target) {}

  FindResult find_node(const InternalNode<Cache>& n) {
    size_t d = n.len;
    size_t base = 0, size = d;
    while (size > 1) {
      size_t half = size / 2, mid = base + half;
      if (*target_ >= start(n, mid)) base = mid;
      size -= half;
    }
    size_t e = base;
    if (*target_ < start(n, e)) return {e, false};
    if (*target_ > end(n, e)) return {e + 1 < d ? e + 1 : d - 1, false};
    return {e, true};
  }

  FindResult confirm_elem(const TreeChildrenElem<Key, Id>& e) {
    auto c = *target_ <=> *e.pos;
    if (c > 0) return {1, false};
    return {0, c == 0};
  }

 private:
  static const Key& start(const InternalNode<Cache>& n, size_t i) {
    if (!n.children[i].cache.range) invariant_failed(kMsgUnwrapNone);
    return *n.children[i].cache.range->first;
  }
  static const Key& end(const InternalNode<Cache>& n, size_t i) {
    if (!n.children[i].cache.range) invariant_failed(kMsgUnwrapNone);
    return *n.children[i].cache.range->second;
  }
  const Key* target_;
};

}  // namespace kesu
