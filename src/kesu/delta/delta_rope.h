// DeltaRope: a delta kept in a B-tree of DeltaItems, so that a position in a
// long delta is found by one descent and composition edits it in place.
//
// root_cache().data_len is the number of positions of the new sequence the
// delta covers (len()); delta_len the sum of the items' rle_len.
//
// Building: the push steps append at the end and grow the last item instead
// of adding a leaf whenever the item rules allow. Composition: compose(B)
// rewrites this delta A so that applying it equals applying A then B. No
// operation here fails on lengths: retains and deletes that reach past A's
// end lengthen A.
//
// Not thread-safe; owned by one container state or event under its lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kesu/btree/btree.h"
#include "kesu/btree/length_finder.h"
#include "kesu/delta/delta_item.h"

namespace kesu {

template <typename Ops>
class DeltaRope {
 public:
  using Item = DeltaItem<Ops>;
  using Value = typename Ops::Value;
  using Attr = typename Ops::Attr;
  using Trait = DeltaTrait<Ops>;
  using Tree = BTree<Trait>;
  using Finder = LengthFinder<Trait, DeltaDataMeasure<Ops>>;

  DeltaRope() = default;
  DeltaRope(DeltaRope&&) noexcept = default;
  DeltaRope& operator=(DeltaRope&&) noexcept = default;
  DeltaRope(const DeltaRope&) = delete;
  DeltaRope& operator=(const DeltaRope&) = delete;

  // A deep copy, item for item.
  DeltaRope clone() const {
    DeltaRope out;
    for (const Item& it : tree_) out.tree_.push(it);
    return out;
  }

  // Positions of the new sequence the delta covers.
  size_t len() const { return static_cast<size_t>(tree_.root_cache().data_len); }
  // Sum of the items' rle_len.
  size_t delta_len() const { return static_cast<size_t>(tree_.root_cache().delta_len); }
  // True when the root holds no item at all.
  bool is_empty() const { return tree_.is_empty(); }
  const Tree& tree() const { return tree_; }
  Tree& tree_mut() { return tree_; }

  auto begin() const { return tree_.begin(); }
  auto end() const { return tree_.end(); }
  // Copies of the items in order.
  std::vector<Item> items() const {
    std::vector<Item> v;
    for (const Item& it : tree_) v.push_back(it);
    return v;
  }

  // The item holding new-sequence position p: a position on an item boundary
  // lands at offset 0 of the later item that produces positions; p = len()
  // lands at the end of the last item. None for an empty rope.
  std::optional<QueryResult> query(size_t p) const {
    Finder f(p);
    return tree_.query(f);
  }

  // ---- push steps --------------------------------------------------------

  DeltaRope& push_retain(size_t len, Attr attr = Attr{}) {
    if (len == 0) return *this;
    Item n = Item::retain(len, std::move(attr));
    if (absorb_into_last([&](Item& l) {
          if (!l.is_retain() || !(l.as_retain().attr == n.as_retain().attr)) return false;
          l.as_retain().len += len;
          return true;
        }))
      return *this;
    tree_.push(std::move(n));
    return *this;
  }

  DeltaRope& push_insert(Value value, Attr attr = Attr{}) {
    if (Ops::value_len(value) == 0) return *this;
    return push_replace(Item::insert(std::move(value), std::move(attr)));
  }

  DeltaRope& push_delete(size_t len) {
    if (len == 0) return *this;
    if (absorb_into_last([&](Item& l) {
          if (!l.is_replace()) return false;
          l.as_replace().del += len;
          return true;
        }))
      return *this;
    tree_.push(Item::deletion(len));
    return *this;
  }

  // A whole item: a Retain goes to push_retain; an empty Replace is dropped;
  // a Replace joins the last item when they may merge.
  DeltaRope& push(Item item) {
    if (item.is_retain()) {
      auto& r = item.as_retain();
      return push_retain(r.len, std::move(r.attr));
    }
    if (item.is_empty()) return *this;
    return push_replace(std::move(item));
  }

  // Removes trailing Retains that carry no attribute.
  DeltaRope& trim_trailing_retains() {
    while (auto last = tree_.last_leaf()) {
      const Item& e = tree_.get_elem(*last);
      if (!e.is_retain() || !Ops::attr_is_default(e.as_retain().attr)) break;
      tree_.remove_leaf(*last);
    }
    return *this;
  }

  // Inserts `item` so that it starts at new-sequence position p, padding with
  // a Retain when p lies past the end.
  void insert_at(size_t p, Item item) {
    if (p > len()) push_retain(p - len());
    if (p == len()) {
      tree_.push(std::move(item));
      return;
    }
    auto q = query(p);
    if (!q) invariant_failed(kMsgUnwrapNone);
    tree_.insert_by_path(q->cursor, std::move(item));
  }

  // ---- composition --------------------------------------------------------

  // Rewrites this delta A so that applying it equals applying A and then `b`.
  void compose(const DeltaRope& b) {
    if (tree_.is_empty()) {
      *this = b.clone();
      return;
    }
    size_t index = 0;
    bool appending = false;
    for (const Item& item : b.tree_) {
      if (appending) {
        push(item);
        continue;
      }
      if (index >= len()) {
        push_retain(index - len());
        push(item);
        appending = true;
        continue;
      }
      if (item.is_retain()) {
        const auto& r = item.as_retain();
        if (index + r.len > len()) push_retain(index + r.len - len());
        if (r.len > 0 && !Ops::attr_is_default(r.attr)) give_attr(index, r.len, r.attr);
        index += r.len;
      } else {
        const auto& r = item.as_replace();
        compose_items(r.value, r.attr, r.del, index);
      }
    }
  }

  // Composes one Replace {value, attr, del} of a following delta into this
  // one at position `index`, and advances index by the value's length.
  void compose_items(const Value& value, const Attr& attr, size_t del, size_t& index) {
    const size_t n = Ops::value_len(value);
    if (index > len()) push_retain(index - len());
    size_t rem = 0;
    if (del == 0) {
      if (n == 0) return;
    } else if (index == len()) {
      rem = del;
    } else {
      auto c1 = query(index);
      if (!c1) invariant_failed(kMsgUnwrapNone);
      const Cursor c2 = query_after(*c1, index, std::min(index + del, len()));
      if (c1->cursor.leaf != c2.leaf) {
        rem = delete_walk(c1->cursor, c2, del);
      } else {
        replace_in_item(c1->cursor, c2, value, attr, del);
        index += n;
        return;
      }
    }
    if (rem != 0 || n != 0) {
      Item item = n > 0 ? Item::replace(value, attr, rem) : Item::deletion(rem);
      if (tree_.is_empty()) {
        tree_.push(std::move(item));
      } else {
        auto c = query(index);
        if (!c) invariant_failed(kMsgUnwrapNone);
        tree_.insert_by_path(c->cursor, std::move(item));
      }
    }
    index += n;
  }

  // ---- comparison and diagnostics ---------------------------------------

  bool operator==(const DeltaRope& o) const {
    auto a = tree_.iter();
    auto b = o.tree_.iter();
    while (true) {
      const Item* x = a.next();
      const Item* y = b.next();
      if (!x || !y) return x == y;
      if (!(*x == *y)) return false;
    }
  }

  // [item, item, ...]
  std::string debug() const {
    std::string s = "[";
    bool first = true;
    for (const Item& it : tree_) {
      if (!first) s += ", ";
      first = false;
      s += it.debug();
    }
    return s + "]";
  }

 private:
  // Runs `absorb` on the last item. When it refuses and the last item is
  // empty, that leaf is removed. Returns whether it absorbed.
  template <typename F>
  bool absorb_into_last(F&& absorb) {
    auto last = tree_.last_leaf();
    if (!last) return false;
    Item& e = tree_.get_elem_mut(*last);
    const DeltaLen before = Trait::elem_cache(e);
    if (absorb(e)) {
      const DeltaLen after = Trait::elem_cache(e);
      tree_.recursive_update_cache(
          *last, DeltaLen{after.data_len - before.data_len, after.delta_len - before.delta_len});
      return true;
    }
    if (e.is_empty()) {
      // update_leaf drops a leaf whose item is empty and rebalances its parent.
      tree_.update_leaf(
          *last, [](Item&) { return std::pair<std::optional<Item>, std::optional<Item>>{}; });
    }
    return false;
  }

  DeltaRope& push_replace(Item n) {
    if (absorb_into_last([&](Item& l) {
          if (!l.is_replace() || !Item::can_merge(l, n)) return false;
          l.merge_right(std::move(n));
          return true;
        }))
      return *this;
    tree_.push(std::move(n));
    return *this;
  }

  // The cursor of new-sequence position `to`, given c = query(from) with
  // from <= to. When `to` still lies inside c's item the finder would take
  // the same path down and stop in the same leaf, so the second descent is
  // skipped; on or past the item's end it is needed (the position then
  // belongs to a later item, or is the rope's end).
  Cursor query_after(const QueryResult& c, size_t from, size_t to) const {
    const size_t off = c.cursor.offset + (to - from);
    if (off < tree_.get_elem(c.cursor.leaf).data_len()) return Cursor{c.cursor.leaf, off};
    auto q = query(to);
    if (!q) invariant_failed(kMsgUnwrapNone);
    return q->cursor;
  }

  // Merges `attr` into the attribute of every item in [p, p + len).
  //
  // The range is cut out of its boundary items (split_leaf_at, as
  // update_range does) and walked leaf by leaf. No length changes, so no
  // cache difference travels up; items already empty in the range are
  // dropped afterwards, as update_range drops them.
  void give_attr(size_t p, size_t len, const Attr& attr) {
    auto c1 = query(p);
    if (!c1) invariant_failed(kMsgUnwrapNone);
    const Cursor c2 = query_after(*c1, p, p + len);
    typename Tree::LeafSplit es = tree_.split_leaf_at(c2);
    typename Tree::LeafSplit ss = tree_.split_leaf_at(c1->cursor);
    if (!ss.cursor) return;
    std::vector<LeafIndex> emptied;
    LeafIndex cur = ss.cursor->leaf;
    while (!(es.cursor && es.cursor->leaf == cur)) {
      Item& e = tree_.get_elem_mut(cur);
      Ops::attr_merge(e.attr_mut(), attr);
      if (e.is_empty()) emptied.push_back(cur);
      auto next = tree_.next_sibling(cur);
      if (!next) break;
      cur = next->unwrap_leaf();
    }
    for (LeafIndex l : emptied) {
      if (tree_.contains_leaf(l)) tree_.remove_leaf(l);
    }
  }

  // The deletion walk over items in [c1, c2), which span several leaves:
  // kept positions turn into deletes, inserted content vanishes, A's own
  // deletes stay. Returns the part of `del` beyond the walked range.
  //
  // This is update_range with the walk's own bookkeeping: a deletion usually
  // touches two or three leaves, and for so few, adding each leaf's
  // difference straight up its path is cheaper than gathering them in a hash
  // map for one bottom-up pass. Past kFewLeaves the map pass is used.
  size_t delete_walk(Cursor c1, Cursor c2, size_t del) {
    typename Tree::LeafSplit es = tree_.split_leaf_at(c2);
    typename Tree::LeafSplit ss = tree_.split_leaf_at(c1);
    if (!ss.cursor) return del;
    size_t left = del;
    constexpr size_t kFewLeaves = 8;
    std::pair<LeafIndex, DeltaLen> few[kFewLeaves];
    size_t n_few = 0;
    std::optional<typename Tree::CacheDiffMap> many;
    std::vector<LeafIndex> emptied;
    LeafIndex cur = ss.cursor->leaf;
    while (!(es.cursor && es.cursor->leaf == cur)) {
      Item& e = tree_.get_elem_mut(cur);
      if (left > 0) {
        DeltaLen d;
        if (e.is_retain()) {
          size_t l = e.as_retain().len;
          if (l > left) invariant_failed("assertion failed: *len <= *left_del_len");
          left -= l;
          e = Item::deletion(l);
          d = DeltaLen{-static_cast<int64_t>(l), 0};
        } else {
          auto& r = e.as_replace();
          size_t m = Ops::value_len(r.value);
          if (m > left) invariant_failed(kMsgUnreachable);
          left -= m;
          e = Item::deletion(r.del);
          d = DeltaLen{-static_cast<int64_t>(m), -static_cast<int64_t>(m)};
        }
        if (!many && n_few < kFewLeaves) {
          few[n_few++] = {cur, d};
        } else {
          if (!many) {
            many.emplace();
            for (size_t i = 0; i < n_few; ++i) many->emplace(few[i].first, few[i].second);
            n_few = 0;
          }
          many->emplace(cur, d);
        }
      }
      if (e.is_empty()) emptied.push_back(cur);
      auto next = tree_.next_sibling(cur);
      if (!next) break;
      cur = next->unwrap_leaf();
    }
    if (many) {
      tree_.apply_cache_diff_map(std::move(*many));
    } else if (n_few > 0) {
      for (size_t i = 0; i < n_few; ++i) tree_.recursive_update_cache(few[i].first, few[i].second);
    } else {
      tree_.recursive_update_cache(ArenaIndex::internal(tree_.root()), std::nullopt);
    }
    // Emptied items go after the walk, so that the walk's handles stay valid.
    for (LeafIndex l : emptied) {
      if (tree_.contains_leaf(l)) tree_.remove_leaf(l);
    }
    return left;
  }

  // The replacement when the deleted range lies inside one item X: X is cut
  // into up to three parts around the new middle part.
  void replace_in_item(Cursor c1, Cursor c2, const Value& value, const Attr& attr, size_t del) {
    const size_t s = c1.offset, t = c2.offset;
    tree_.update_leaf(c1.leaf, [&](Item& x) {
      using Parts = std::pair<std::optional<Item>, std::optional<Item>>;
      size_t b, e;
      Item middle = Item::retain(0);
      if (x.is_retain()) {
        b = s;
        e = t;
        middle = Item::replace(value, attr, del);
      } else {
        size_t m = x.value_len();
        b = std::min(s, m);
        e = std::min(t, m);
        if (del > e - b) x.as_replace().del += del - (e - b);
        middle = Item::replace(value, attr, 0);
      }
      const size_t rle = x.rle_len();
      if (b == 0 && e == rle) {
        x = std::move(middle);
        return Parts{};
      }
      if (b == 0) {
        Item right = x.split_at(e);
        x = std::move(middle);
        if (Item::can_merge(x, right)) {
          x.merge_right(std::move(right));
          return Parts{};
        }
        return Parts{std::move(right), std::nullopt};
      }
      if (e == rle) {
        (void)x.split_at(b);
        if (Item::can_merge(x, middle)) {
          x.merge_right(std::move(middle));
          return Parts{};
        }
        return Parts{std::move(middle), std::nullopt};
      }
      Item right = x.split_at(e);
      (void)x.split_at(b);
      if (middle.is_empty()) {
        if (Item::can_merge(x, right)) {
          x.merge_right(std::move(right));
          return Parts{};
        }
        return Parts{std::move(right), std::nullopt};
      }
      std::optional<Item> r(std::move(right));
      if (Item::can_merge(middle, *r)) {
        middle.merge_right(std::move(*r));
        r.reset();
      }
      if (Item::can_merge(x, middle)) {
        x.merge_right(std::move(middle));
        if (r) return Parts{std::move(*r), std::nullopt};
        return Parts{};
      }
      return Parts{std::move(middle), std::move(r)};
    });
  }

  Tree tree_;
};

}  // namespace kesu
