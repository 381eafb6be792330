// LengthFinder: descends by a length that each cache stands for.
//
// Right-biased (the default): a target on the border between two elements lands
// on the later element at offset 0; zero-length elements and subtrees are
// stepped over; a target at or past the total lands on the last element with
// found false and the offset left over (target - (total - that element's length)).
// Left-biased: a child is chosen when the target is at most its length, so a
// border lands at the end of the earlier element.
#pragma once

#include <cstddef>
#include <optional>

#include "kesu/btree/node.h"
#include "kesu/btree/trait.h"

namespace kesu {

// The default measure: the trait's cache_len over caches and rle_len over elements.
template <typename T>
struct RleMeasure {
  static size_t cache(const typename T::Cache& c) { return static_cast<size_t>(T::cache_len(c)); }
  static size_t elem(const typename T::Elem& e) { return static_cast<size_t>(T::rle_len(e)); }
};

template <typename T, typename Measure = RleMeasure<T>, bool kLeftBiased = false>
class LengthFinder {
 public:
  using Cache = typename T::Cache;
  using Elem = typename T::Elem;

  explicit LengthFinder(size_t target) : left_(target) {}

  FindResult find_node(const InternalNode<Cache>& n) {
    size_t before = left_;
    for (size_t i = 0; i < n.len; ++i) {
      size_t len = Measure::cache(n.children[i].cache);
      if (kLeftBiased ? left_ <= len : left_ < len) {
        remember(n, i);
        return {i, true};
      }
      before = left_;
      left_ -= len;
    }
    left_ = before;
    remember(n, n.len - 1);
    return {size_t(n.len) - 1, false};
  }

  FindResult confirm_elem(const Elem& e) { return {left_, left_ < Measure::elem(e)}; }

  // What is left of the target: after a query, the offset inside the element.
  size_t left() const { return left_; }
  // Arena slot of the leaf's parent when it is not the root.
  std::optional<uint32_t> parent() const { return parent_; }
  // Position of the chosen leaf in its parent.
  uint8_t slot() const { return slot_; }

 private:
  void remember(const InternalNode<Cache>& n, size_t i) {
    if (n.leaf_children) {
      slot_ = uint8_t(i);
    } else {
      parent_ = n.children[i].slot;
    }
  }

  size_t left_;
  std::optional<uint32_t> parent_;
  uint8_t slot_ = 0;
};

}  // namespace kesu
