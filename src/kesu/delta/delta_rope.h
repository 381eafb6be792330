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
    tree_.push_back_with(Item::retain(len, std::move(attr)),
                         [len](Item& l, Item& n) -> std::optional<DeltaLen> {
                           if (!l.is_retain() || !(l.as_retain().attr == n.as_retain().attr))
                             return std::nullopt;
                           l.as_retain().len += len;
                           return grown_by(len, len);
                         });
    return *this;
  }

  DeltaRope& push_insert(Value value, Attr attr = Attr{}) {
    if (Ops::value_len(value) == 0) return *this;
    return push_replace(Item::insert(std::move(value), std::move(attr)));
  }

  DeltaRope& push_delete(size_t len) {
    if (len == 0) return *this;
    tree_.push_back_with(Item::deletion(len), [len](Item& l, Item&) -> std::optional<DeltaLen> {
      if (!l.is_replace()) return std::nullopt;
      l.as_replace().del += len;
      return grown_by(0, len);
    });
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
    Finger finger;
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
        if (r.len > 0 && !Ops::attr_is_default(r.attr)) give_attr(index, r.len, r.attr, finger);
        index += r.len;
      } else {
        const auto& r = item.as_replace();
        compose_replace(r.value, r.attr, r.del, index, finger);
      }
    }
  }

  // Composes one Replace {value, attr, del} of a following delta into this
  // one at position `index`, and advances index by the value's length.
  void compose_items(const Value& value, const Attr& attr, size_t del, size_t& index) {
    Finger finger;
    compose_replace(value, attr, del, index, finger);
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
  static DeltaLen grown_by(size_t data, size_t delta) {
    return DeltaLen{static_cast<int64_t>(data), static_cast<int64_t>(delta)};
  }

  // Appends a Replace, joining it to the last item when they may merge.
  DeltaRope& push_replace(Item n) {
    tree_.push_back_with(std::move(n), [](Item& l, Item& r) -> std::optional<DeltaLen> {
      if (!l.is_replace() || !Item::can_merge(l, r)) return std::nullopt;
      const DeltaLen d = Trait::elem_cache(r);
      l.merge_right(std::move(r));
      return d;
    });
    return *this;
  }

  // A leaf and the new-sequence position where it starts. Composition edits
  // only at or after its index, which never moves back, so a leaf with data
  // that starts before the index keeps both its start and its place: later
  // lookups walk forward from it through the parents' entries instead of
  // descending from the root, which is most of the cost of composing two
  // long deltas item by item.
  struct Finger {
    std::optional<LeafIndex> leaf;
    size_t start = 0;
  };

  // Lookups further than this many leaves from the finger descend instead.
  static constexpr size_t kMaxWalk = 32;

  struct Walked {
    Cursor cursor;
    // The last leaf passed on the way that has data (it starts before the
    // target): its parent, its place there and its start; the parent is
    // null when no such leaf was passed.
    const typename Tree::Node* before_parent = nullptr;
    size_t before_at = 0, before_start = 0;
  };

  // query(p) by walking from `from`, a leaf with exact start `start` <= p;
  // none when p lies more than kMaxWalk leaves on. The lengths come from the
  // parents' cache entries, so no leaf is read on the way.
  std::optional<Walked> walk_to(LeafIndex from, size_t start, size_t p) const {
    auto [pi, i] = tree_.leaf_position(from);
    const typename Tree::Node* n = &tree_.node(pi);
    size_t pos = start;
    const typename Tree::Node* bn = nullptr;
    size_t bi = 0, bstart = 0;
    auto result = [&](size_t at) {
      return Walked{Cursor{tree_.child_index(*n, at).unwrap_leaf(), p - pos}, bn, bi, bstart};
    };
    for (size_t steps = 0;; ++steps) {
      const size_t dl = static_cast<size_t>(n->children[i].cache.data_len);
      if (p < pos + dl) return result(i);
      if (steps == kMaxWalk) return std::nullopt;
      if (dl > 0) {
        bn = n;
        bi = i;
        bstart = pos;
      }
      if (i + 1 < n->len) {
        ++i;
      } else {
        auto next = tree_.next_sibling(ArenaIndex::internal(pi));
        // Past the end the last item takes the rest, as the finder does.
        if (!next) return result(i);
        pi = next->index;
        n = &tree_.node(pi);
        if (n->len == 0) invariant_failed(kMsgUnwrapNone);
        i = 0;
      }
      pos += dl;
    }
  }

  // query(p), walking from the finger when it is close; the finger then
  // moves up to a leaf that starts before p, so that it survives the edit
  // about to be made at p.
  Cursor locate(size_t p, Finger& f) const {
    const Item* e = f.leaf && f.start <= p ? tree_.try_get_elem(*f.leaf) : nullptr;
    if (e) {
      // Still inside the finger's own item: no walk at all. The finger
      // stays, since it starts before p.
      if (p < f.start + e->data_len()) return Cursor{*f.leaf, p - f.start};
      if (auto w = walk_to(*f.leaf, f.start, p)) {
        if (w->cursor.offset > 0) {
          f = Finger{w->cursor.leaf, p - w->cursor.offset};
        } else if (w->before_parent) {
          f = Finger{tree_.child_index(*w->before_parent, w->before_at).unwrap_leaf(),
                     w->before_start};
        }
        return w->cursor;
      }
    }
    auto q = query(p);
    if (!q) invariant_failed(kMsgUnwrapNone);
    if (q->cursor.offset > 0) f = Finger{q->cursor.leaf, p - q->cursor.offset};
    return q->cursor;
  }

  // The cursor of position `to`, given c = query(from) with from <= to.
  // When `to` still lies inside c's item the finder would stop in the same
  // leaf; otherwise the walk goes on from c's item.
  Cursor locate_after(Cursor c, size_t from, size_t to) const {
    const size_t off = c.offset + (to - from);
    if (off < tree_.get_elem(c.leaf).data_len()) return Cursor{c.leaf, off};
    if (auto w = walk_to(c.leaf, from - c.offset, to)) return w->cursor;
    auto q = query(to);
    if (!q) invariant_failed(kMsgUnwrapNone);
    return q->cursor;
  }

  // compose_items, with lookups that start from `finger` (see Finger).
  void compose_replace(const Value& value, const Attr& attr, size_t del, size_t& index,
                       Finger& finger) {
    const size_t n = Ops::value_len(value);
    if (index > len()) push_retain(index - len());
    size_t rem = 0;
    if (del == 0) {
      if (n == 0) return;
    } else if (index == len()) {
      rem = del;
    } else {
      const Cursor c1 = locate(index, finger);
      const Cursor c2 = locate_after(c1, index, std::min(index + del, len()));
      if (c1.leaf != c2.leaf) {
        rem = delete_walk(c1, c2, del);
      } else {
        replace_in_item(c1, c2, value, attr, del);
        index += n;
        return;
      }
    }
    if (rem != 0 || n != 0) {
      Item item = n > 0 ? Item::replace(value, attr, rem) : Item::deletion(rem);
      if (tree_.is_empty()) {
        tree_.push(std::move(item));
      } else {
        tree_.insert_by_path(locate(index, finger), std::move(item));
      }
    }
    index += n;
  }

  // Walks the leaves of a range in order through their parents' child
  // arrays, from the first leaf after a split. Only elements change during
  // such a walk, never the tree's shape, so the place stays good.
  struct RangeWalk {
    ArenaSlotIndex parent;
    const typename Tree::Node* node;
    size_t at;

    LeafIndex leaf(const Tree& t) const { return t.child_index(*node, at).unwrap_leaf(); }
    // At the first leaf after the range (the end split's cursor), if any.
    bool reached(const typename Tree::LeafSplit& end) const {
      return end.cursor && node->children[at].slot == end.cursor->leaf.index.slot;
    }
    bool step(const Tree& t) {
      if (at + 1 < node->len) {
        ++at;
        return true;
      }
      auto next = t.next_sibling(ArenaIndex::internal(parent));
      if (!next) return false;
      parent = next->index;
      node = &t.node(parent);
      if (node->len == 0) invariant_failed(kMsgUnwrapNone);
      at = 0;
      return true;
    }
  };

  // The place of a split's cursor leaf: where the split says, unless the
  // cursor moved on to the next parent.
  RangeWalk range_walk(const typename Tree::LeafSplit& s) const {
    const typename Tree::Node* n = &tree_.node(s.parent);
    if (s.insert_index < n->len && n->children[s.insert_index].slot == s.cursor->leaf.index.slot)
      return RangeWalk{s.parent, n, s.insert_index};
    auto [pi, i] = tree_.leaf_position(s.cursor->leaf);
    return RangeWalk{pi, &tree_.node(pi), i};
  }

  // Merges `attr` into the attribute of every item in [p, p + len).
  //
  // The range is cut out of its boundary items (split_leaf_at, as
  // update_range does) and walked leaf by leaf. No length changes, so no
  // cache difference travels up; items already empty in the range are
  // dropped afterwards, as update_range drops them.
  void give_attr(size_t p, size_t len, const Attr& attr, Finger& finger) {
    const Cursor c1 = locate(p, finger);
    const Cursor c2 = locate_after(c1, p, p + len);
    typename Tree::LeafSplit es = tree_.split_leaf_at(c2);
    typename Tree::LeafSplit ss = tree_.split_leaf_at(c1);
    if (!ss.cursor) return;
    if (c1.leaf == c2.leaf) {
      // The range lay inside one item: the two splits left it as one leaf,
      // with data, so there is nothing to look for after it.
      Ops::attr_merge(tree_.get_elem_mut(ss.cursor->leaf).attr_mut(), attr);
      return;
    }
    std::vector<LeafIndex> emptied;
    RangeWalk w = range_walk(ss);
    while (!w.reached(es)) {
      const LeafIndex cur = w.leaf(tree_);
      Item& e = tree_.get_elem_mut(cur);
      Ops::attr_merge(e.attr_mut(), attr);
      if (e.is_empty()) emptied.push_back(cur);
      if (!w.step(tree_)) break;
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
    RangeWalk w = range_walk(ss);
    while (!w.reached(es)) {
      const LeafIndex cur = w.leaf(tree_);
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
      if (!w.step(tree_)) break;
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
