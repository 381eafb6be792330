// Drain<T>: removes a range of a BTree and hands the removed elements out.
//
// Creation splits the elements at both ends so that the range covers whole
// leaves. Iteration takes the range's leaves out of the leaf arena one by one
// without touching internal nodes. Release (the destructor) removes whatever
// was not taken, detaches the emptied entries and whole subtrees, repairs the
// caches along the two boundary paths, rebalances and lowers the tree.
// Between creation and release the tree is inconsistent and must not be used.
#pragma once

#include <optional>
#include <vector>

#include "kesu/btree/btree.h"

namespace kesu {

template <BTreeTrait T>
class Drain {
 public:
  using Elem = typename T::Elem;

  Drain(const Drain&) = delete;
  Drain& operator=(const Drain&) = delete;
  ~Drain() { release(); }

  // The next removed element, owned by the caller; none at the end of the range.
  std::optional<Elem> next() {
    if (done_) return std::nullopt;
    if (current_path_.empty()) invariant_failed(kMsgUnwrapNone);
    LeafIndex l = current_path_.back().node.unwrap_leaf();
    if (end_ && l == *end_) return std::nullopt;
    if (!tree_->next_leaf_in_path(current_path_, current_path_.size())) done_ = true;
    std::optional<typename BTree<T>::Leaf> taken = tree_->leaves_.remove(l.index);
    if (!taken) invariant_failed(kMsgUnwrapNone);
    return std::optional<Elem>(std::move(taken->elem));
  }

 private:
  friend class BTree<T>;
  using Node = typename BTree<T>::Node;

  struct Bounds {
    Path start_path;
    Path end_path;
    std::optional<LeafIndex> leaf_before;
    std::optional<LeafIndex> leaf_after;
  };

  Drain(BTree<T>& tree, Path current, std::optional<LeafIndex> end, std::optional<Bounds> bounds,
        bool done)
      : tree_(&tree), current_path_(current), end_(end), bounds_(std::move(bounds)), done_(done) {}

  void release() {
    while (next()) {
    }
    if (!bounds_) return;
    Bounds b = std::move(*bounds_);
    bounds_.reset();
    BTree<T>& t = *tree_;
    size_t k = b.start_path.size();
    if (k < 2 || b.end_path.size() != k) invariant_failed(kMsgUnwrapNone);
    size_t d = k - 2;
    t.remove_dead_children(b.start_path[d].node.unwrap_internal());
    t.remove_dead_children(b.end_path[d].node.unwrap_internal());
    std::vector<ArenaIndex> deleted;
    while (true) {
      PathEntry sn = b.start_path[d], en = b.end_path[d];
      if (sn.node == en.node) {
        ArenaSlotIndex c = sn.node.unwrap_internal();
        while (d > 0 && t.node(c).len == 0) {
          ArenaSlotIndex p = b.start_path[d - 1].node.unwrap_internal();
          size_t pos = b.start_path[d].position;
          Node& pn = t.node_mut(p);
          if (pos >= pn.len || pn.children[pos].slot != c.slot) {
            invariant_failed("assertion `left == right` failed");
          }
          pn.remove_child(pos);
          deleted.push_back(ArenaIndex::internal(c));
          t.update_children_parent_slot(p, pos);
          --d;
          c = p;
        }
        break;
      }
      const Node& snode = t.node(sn.node.unwrap_internal());
      const Node& enode = t.node(en.node.unwrap_internal());
      size_t from = sn.position + (snode.len > 0 ? 1 : 0);
      size_t to = en.position + (enode.len == 0 ? 1 : 0);
      if (d == 0) invariant_failed(kMsgUnwrapNone);
      --d;
      if (b.start_path[d].node == b.end_path[d].node) {
        ArenaSlotIndex ci = b.start_path[d].node.unwrap_internal();
        Node& c = t.node_mut(ci);
        if (from > to || to > c.len) invariant_failed(kMsgUnwrapNone);
        for (size_t i = from; i < to; ++i) deleted.push_back(t.child_index(c, i));
        c.delete_children_range(from, to);
        t.update_children_parent_slot(ci, from);
      } else {
        Node& s = t.node_mut(b.start_path[d].node.unwrap_internal());
        if (from > s.len) invariant_failed(kMsgUnwrapNone);
        for (size_t i = from; i < s.len; ++i) deleted.push_back(t.child_index(s, i));
        s.delete_children_range(from, s.len);
        ArenaSlotIndex ei = b.end_path[d].node.unwrap_internal();
        Node& e = t.node_mut(ei);
        if (to > e.len) invariant_failed(kMsgUnwrapNone);
        for (size_t i = 0; i < to; ++i) deleted.push_back(t.child_index(e, i));
        e.delete_children_range(0, to);
        t.update_children_parent_slot(ei, 0);
      }
    }
    for (ArenaIndex n : deleted) t.purge(n);
    // The boundary nodes lost whole subtrees, so a difference carried up from
    // one leaf would leave their ancestors' entries stale: recompute every
    // level along both sides of the gap, the right side first so that a
    // common ancestor sees both refreshed entries.
    auto refresh = [&](LeafIndex l) {
      const auto& lf = t.leaf(l);
      ArenaSlotIndex lp = t.leaf_parent(l);
      Node& p = t.node_mut(lp);
      p.children[BTree<T>::position_in(p, l)].cache = T::elem_cache(lf.elem);
      t.recompute_to_root(lp);
    };
    if (b.leaf_after) refresh(*b.leaf_after);
    if (b.leaf_before) {
      refresh(*b.leaf_before);
      t.repair_lack_along_path(*b.leaf_before);
      if (auto nx = t.next_sibling(*b.leaf_before)) t.repair_lack_along_path(*nx);
    } else {
      T::calc_cache_internal(t.root_cache_, t.node(t.root_).kids());
    }
    t.try_reduce_levels();
  }

  BTree<T>* tree_;
  Path current_path_;
  std::optional<LeafIndex> end_;
  std::optional<Bounds> bounds_;
  bool done_ = false;
};

template <BTreeTrait T>
Drain<T> BTree<T>::drain(std::optional<QueryResult> start, std::optional<QueryResult> end) {
  using D = Drain<T>;
  if (!start || !end) return D(*this, Path{}, std::nullopt, std::nullopt, true);
  LeafSplit es = split_leaf_at(end->cursor);
  LeafSplit ss = split_leaf_at(start->cursor);
  std::optional<LeafIndex> e;
  if (es.cursor) e = es.cursor->leaf;
  if (!ss.cursor) return D(*this, Path{}, std::nullopt, std::nullopt, true);
  LeafIndex s = ss.cursor->leaf;
  typename D::Bounds b;
  b.start_path = get_path(s);
  if (e) {
    b.end_path = get_path(*e);
  } else {
    b.end_path = get_path(*last_leaf());
  }
  if (auto prev = prev_sibling(s)) b.leaf_before = prev->unwrap_leaf();
  b.leaf_after = e;
  Path cur = b.start_path;
  return D(*this, cur, e, std::move(b), false);
}

}  // namespace kesu
