// DeltaRopeBuilder: collects a delta left to right in a plain list, joining
// each step into the last item when the rules allow, and turns the list into
// a DeltaRope in one pass at the end. No tree work happens before build().
//
// Steps chain by reference: DeltaRopeBuilder<ListDeltaOps>().retain(3).insert(v).build().
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "kesu/delta/delta_rope.h"

namespace kesu {

template <typename Ops>
class DeltaRopeBuilder {
 public:
  using Item = DeltaItem<Ops>;
  using Value = typename Ops::Value;
  using Attr = typename Ops::Attr;

  // Keep len positions with the default attribute.
  DeltaRopeBuilder& retain(size_t len) { return retain_with_attr(len, Attr{}); }

  DeltaRopeBuilder& retain_with_attr(size_t len, Attr attr) {
    if (len == 0) return *this;
    if (!items_.empty() && items_.back().is_retain() && items_.back().as_retain().attr == attr) {
      items_.back().as_retain().len += len;
      return *this;
    }
    items_.push_back(Item::retain(len, std::move(attr)));
    return *this;
  }

  DeltaRopeBuilder& insert(Value value, Attr attr = Attr{}) {
    if (Ops::value_len(value) == 0) return *this;
    Item n = Item::insert(std::move(value), std::move(attr));
    if (!items_.empty() && items_.back().is_replace() && Item::can_merge(items_.back(), n)) {
      items_.back().merge_right(std::move(n));
      return *this;
    }
    items_.push_back(std::move(n));
    return *this;
  }

  DeltaRopeBuilder& delete_(size_t len) {
    if (len == 0) return *this;
    if (!items_.empty() && items_.back().is_replace()) {
      items_.back().as_replace().del += len;
      return *this;
    }
    items_.push_back(Item::deletion(len));
    return *this;
  }

  // The items collected so far.
  const std::vector<Item>& items() const { return items_; }

  // The rope of the collected items. Appending them one by one would join
  // neighbours that BTree::push finds mergeable; the same left-to-right join
  // is done here on the list, and the tree is then built in one pass instead
  // of a descent, a cache repair and an occasional node split per item.
  DeltaRope<Ops> build() {
    size_t w = 0;
    for (size_t r = 0; r < items_.size(); ++r) {
      if (w > 0 && Item::can_merge(items_[w - 1], items_[r])) {
        items_[w - 1].merge_right(std::move(items_[r]));
      } else {
        if (w != r) items_[w] = std::move(items_[r]);
        ++w;
      }
    }
    items_.resize(w);
    DeltaRope<Ops> rope;
    if (!items_.empty())
      rope.tree_mut() = DeltaRope<Ops>::Tree::build_from_elems(std::move(items_));
    items_.clear();
    return rope;
  }

 private:
  std::vector<Item> items_;
};

}  // namespace kesu
