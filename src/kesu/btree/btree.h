// BTree<T>: an ordered sequence with cached aggregates.
//
// Elements sit one per leaf, in leaf order. Every internal node keeps, next to
// each child, the aggregate (cache) of that child's subtree, so that a position
// in any unit the trait counts is found by one descent from the root. Nodes
// live in two generational arenas; leaf handles stay valid while the tree
// grows, but an element moves to a new leaf when an edit splits it, and every
// edit that splits returns the new leaves.
//
// The root handle is fixed for the life of the tree. Broken invariants raise
// kesu::InvariantViolation; operations whose target may legitimately be absent (a query on
// an empty tree, a stale leaf handle) return an absent result instead.
//
// Not thread-safe: one thread at a time, under the owning state's lock.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kesu/arena/arena.h"
#include "kesu/arena/invariant.h"
#include "kesu/btree/node.h"
#include "kesu/btree/trait.h"

namespace kesu {

template <BTreeTrait T>
class Drain;

template <BTreeTrait T>
class BTree {
 public:
  using Elem = typename T::Elem;
  using Cache = typename T::Cache;
  using CacheDiff = typename T::CacheDiff;
  using Node = InternalNode<Cache>;
  using Leaf = LeafNode<Elem>;
  using ChildT = Child<Cache>;
  using CacheDiffMap = std::unordered_map<ArenaIndex, CacheDiff, ArenaIndexHash>;

  // Result of split_leaf_at.
  struct LeafSplit {
    ArenaSlotIndex parent;              // node holding the split point
    std::optional<Cursor> cursor;       // first position after the split point; none at the end
    size_t insert_index = 0;            // where an element inserted at the split point goes
    std::optional<LeafIndex> new_leaf;  // leaf made for the right part, when split
  };

  // One step of a range iteration.
  struct ElemSlice {
    const Elem* elem = nullptr;
    LeafIndex leaf;
    std::optional<size_t> start;  // present on the start leaf only
    std::optional<size_t> end;    // present on the end leaf only
  };

  BTree() {
    root_ = internal_.insert(Node{});
    root_node_ = internal_.get(root_);
  }
  BTree(const BTree&) = delete;
  BTree& operator=(const BTree&) = delete;
  // Nodes keep their addresses when the arenas move; the tree moved from is
  // left without a root.
  BTree(BTree&& o) noexcept
      : internal_(std::move(o.internal_)),
        leaves_(std::move(o.leaves_)),
        root_(o.root_),
        root_cache_(std::move(o.root_cache_)),
        edge_(o.edge_),
        root_node_(std::exchange(o.root_node_, nullptr)) {}
  BTree& operator=(BTree&& o) noexcept {
    if (this != &o) {
      internal_ = std::move(o.internal_);
      leaves_ = std::move(o.leaves_);
      root_ = o.root_;
      root_cache_ = std::move(o.root_cache_);
      edge_ = o.edge_;
      root_node_ = std::exchange(o.root_node_, nullptr);
    }
    return *this;
  }

  // ---- structure access ---------------------------------------------------

  ArenaSlotIndex root() const { return root_; }
  const Cache& root_cache() const { return root_cache_; }
  bool is_empty() const { return root_node().len == 0; }
  // Number of elements (leaves).
  size_t size() const { return leaves_.len(); }
  size_t internal_node_count() const { return internal_.len(); }
  // Bytes held by both arenas' storage.
  size_t memory_bytes() const { return internal_.allocated_bytes() + leaves_.allocated_bytes(); }

  // Internal node by handle; fatal when absent.
  const Node& node(ArenaSlotIndex i) const {
    const Node* n = internal_.get(i);
    if (!n) invariant_failed(kMsgUnwrapNone);
    return *n;
  }
  bool contains_leaf(LeafIndex l) const { return leaves_.contains(l.index); }
  bool contains_internal(ArenaSlotIndex i) const { return internal_.contains(i); }

  // The leaf's element; fatal when absent.
  const Elem& get_elem(LeafIndex l) const { return leaf(l).elem; }
  // Mutable element: the caller reports the cache change (recursive_update_cache
  // or a CacheDiffMap) before the next operation.
  Elem& get_elem_mut(LeafIndex l) { return leaf(l).elem; }
  const Elem* try_get_elem(LeafIndex l) const {
    const Leaf* p = leaves_.get(l.index);
    return p ? &p->elem : nullptr;
  }

  // The leaf's parent and its position there (found by scanning); fatal when absent.
  std::pair<ArenaSlotIndex, size_t> leaf_position(LeafIndex l) const {
    ArenaSlotIndex p = leaf_parent(l);
    return {p, position_in(node(p), l)};
  }

  // Full handle of a node's i-th child (fatal past the end).
  ArenaIndex child_index(const Node& n, size_t i) const {
    if (i >= n.len) invariant_failed(kMsgUnwrapNone);
    uint32_t s = n.children[i].slot;
    return n.leaf_children ? ArenaIndex::leaf(leaves_.handle_at(s))
                           : ArenaIndex::internal(internal_.handle_at(s));
  }

  // Renumbers parent_slot of the node's internal children from `start` on.
  void update_children_parent_slot(ArenaSlotIndex n, size_t start) {
    Node& nd = node_mut(n);
    if (start >= nd.len || nd.leaf_children) return;
    for (size_t i = start; i < nd.len; ++i)
      internal_.value_at(nd.children[i].slot).parent_slot = uint8_t(i);
  }

  // ---- queries, paths, iteration -------------------------------------------

  // Descends with `finder`; none on an empty tree. The finder's final state
  // stays in `finder`.
  template <typename F>
  requires BTreeFinder<F, T> std::optional<QueryResult> query(F& finder)
  const {
    const Node* n = &root_node();
    if (n->len == 0) return std::nullopt;
    bool found = true;
    while (true) {
      FindResult r = finder.find_node(*n);
      found = found && r.found;
      if (r.index >= n->len) invariant_failed(kMsgUnwrapNone);
      const ChildT& c = n->children[r.index];
      if (!n->leaf_children) {
        n = &internal_.value_at(c.slot);
        if (n->len == 0) invariant_failed(kMsgUnwrapNone);
        continue;
      }
      LeafIndex li = leaf_at(c.slot);
      FindResult e = finder.confirm_elem(leaf(li).elem);
      return QueryResult{Cursor{li, e.index}, found && e.found};
    }
  }
  template <typename F>
  requires BTreeFinder<F, T> std::optional<QueryResult> query_with(F finder)
  const { return query(finder); }

  std::optional<LeafIndex> first_leaf() const {
    const Node* n = &root_node();
    while (true) {
      if (n->len == 0) return std::nullopt;
      if (n->leaf_children) return leaf_at(n->children[0].slot);
      n = &internal_.value_at(n->children[0].slot);
    }
  }

  std::optional<LeafIndex> last_leaf() const {
    const Node* n = &root_node();
    while (true) {
      if (n->len == 0) return std::nullopt;
      const ChildT& c = n->children[n->len - 1];
      if (n->leaf_children) return leaf_at(c.slot);
      n = &internal_.value_at(c.slot);
    }
  }

  std::optional<Cursor> end_cursor() const {
    auto l = last_leaf();
    if (!l) return std::nullopt;
    return Cursor{*l, static_cast<size_t>(T::rle_len(leaf(*l).elem))};
  }

  // Path from the root to `idx`, root first.
  Path get_path(ArenaIndex idx) const {
    Path p;
    ArenaIndex cur = idx;
    while (true) {
      if (cur.is_internal() && cur.index == root_) {
        p.push({cur, 0});
        break;
      }
      if (cur.is_leaf()) {
        ArenaSlotIndex lp = leaf_parent(cur.unwrap_leaf());
        p.push({cur, uint8_t(position_in(node(lp), cur.unwrap_leaf()))});
        cur = ArenaIndex::internal(lp);
      } else {
        const Node& n = node(cur.index);
        if (!n.has_parent()) invariant_failed(kMsgUnwrapNone);
        p.push({cur, n.parent_slot});
        cur = ArenaIndex::internal(n.parent);
      }
    }
    p.reverse();
    return p;
  }

  // Moves entry k-1 of `p` to the next node of its level, updating the entries
  // above it; false (path unchanged) when there is none.
  bool next_leaf_in_path(Path& p, size_t k) const {
    if (k < 2) return false;
    const Node& parent = node(p[k - 2].node.unwrap_internal());
    size_t i = p[k - 1].position;
    if (i + 1 < parent.len) {
      p[k - 1] = {child_index(parent, i + 1), uint8_t(i + 1)};
      return true;
    }
    if (!next_leaf_in_path(p, k - 1)) return false;
    const Node& np = node(p[k - 2].node.unwrap_internal());
    if (np.len == 0) invariant_failed(kMsgUnwrapNone);
    p[k - 1] = {child_index(np, 0), 0};
    return true;
  }

  std::optional<ArenaIndex> next_sibling(ArenaIndex idx) const {
    if (idx.is_internal()) {
      const Node& n = node(idx.index);
      if (!n.has_parent()) return std::nullopt;
      const Node& p = node(n.parent);
      if (size_t(n.parent_slot) + 1 < p.len) return child_index(p, n.parent_slot + 1);
      auto ps = next_sibling(ArenaIndex::internal(n.parent));
      if (!ps) return std::nullopt;
      const Node& pn = node(ps->index);
      if (pn.len == 0) return std::nullopt;
      return child_index(pn, 0);
    }
    ArenaSlotIndex lp = leaf_parent(idx.unwrap_leaf());
    const Node& p = node(lp);
    size_t i = position_in(p, idx.unwrap_leaf());
    if (i + 1 < p.len) return child_index(p, i + 1);
    auto ps = next_sibling(ArenaIndex::internal(lp));
    if (!ps) return std::nullopt;
    const Node& pn = node(ps->index);
    if (pn.len == 0) invariant_failed(kMsgUnwrapNone);
    return child_index(pn, 0);
  }

  std::optional<ArenaIndex> prev_sibling(ArenaIndex idx) const {
    if (idx.is_internal()) {
      const Node& n = node(idx.index);
      if (!n.has_parent()) return std::nullopt;
      const Node& p = node(n.parent);
      if (n.parent_slot >= p.len) invariant_failed(kMsgUnwrapNone);
      if (n.parent_slot > 0) return child_index(p, n.parent_slot - 1);
      auto ps = prev_sibling(ArenaIndex::internal(n.parent));
      if (!ps) return std::nullopt;
      const Node& pn = node(ps->index);
      if (pn.len == 0) return std::nullopt;
      return child_index(pn, pn.len - 1);
    }
    ArenaSlotIndex lp = leaf_parent(idx.unwrap_leaf());
    const Node& p = node(lp);
    size_t i = position_in(p, idx.unwrap_leaf());
    if (i > 0) return child_index(p, i - 1);
    auto ps = prev_sibling(ArenaIndex::internal(lp));
    if (!ps) return std::nullopt;
    const Node& pn = node(ps->index);
    if (pn.len == 0) invariant_failed(kMsgUnwrapNone);
    return child_index(pn, pn.len - 1);
  }

  // Iteration over all elements in order. The iterator borrows the tree and
  // must not outlive a change to it.
  //
  // After random edits the leaves of one parent lie anywhere in the leaf arena,
  // so a plain walk waits for one cache miss per element. The iterator walks
  // the bottom level through the parents' child arrays and keeps a look-ahead
  // of the next kAheadNodes bottom nodes: a node is fetched when it joins the
  // look-ahead, and all leaves of a node are fetched kLeafAhead nodes before
  // they are read, so that a whole node's worth of loads is in flight at once.
  class Iter {
   public:
    // The next element, or nullptr at the end (and on every later call).
    const Elem* next() {
      if (!cur_) return nullptr;
      while (pos_ >= cur_->len) {
        if (!enter_next_node()) {
          cur_ = nullptr;
          return nullptr;
        }
      }
      const ChildT& c = cur_->children[pos_++];
      return &tree_->leaves_.value_at(c.slot).elem;
    }

   private:
    friend class BTree;
    static constexpr size_t kAheadNodes = 8;
    static constexpr size_t kLeafAhead = 2;  // <= kAheadNodes

    void start(const Node* first) {
      cur_ = first;
      if (!cur_->leaf_children) invariant_failed(kMsgUnwrapNone);
      pos_ = 0;
      while (n_ahead_ < kAheadNodes && scout_one()) {
      }
      tree_->prefetch_leaves(*cur_);
      for (size_t i = 0; i < n_ahead_ && i < kLeafAhead; ++i)
        tree_->prefetch_leaves(tree_->internal_.value_at(ahead_[i]));
    }

    // Steps the scout to the next bottom node and queues its slot. The scout
    // reads only the bottom nodes' ancestors, never a queued node itself, so
    // queuing does not wait for the node it asks to have loaded.
    bool scout_one() {
      size_t level = scout_depth_;
      while (level > 0 && size_t(scout_pos_[level - 1]) + 1 >= scout_[level - 1]->len) --level;
      if (level == 0) return false;
      ++scout_pos_[level - 1];
      for (; level < scout_depth_; ++level) {
        const Node* down =
            &tree_->internal_.value_at(scout_[level - 1]->children[scout_pos_[level - 1]].slot);
        if (down->len == 0) invariant_failed(kMsgUnwrapNone);
        scout_[level] = down;
        scout_pos_[level] = 0;
      }
      uint32_t n = scout_[scout_depth_ - 1]->children[scout_pos_[scout_depth_ - 1]].slot;
      tree_->internal_.prefetch(n, 4);
      ahead_[(head_ + n_ahead_) % kAheadNodes] = n;
      ++n_ahead_;
      return true;
    }

    bool enter_next_node() {
      if (n_ahead_ == 0) return false;
      cur_ = &tree_->internal_.value_at(ahead_[head_]);
      if (!cur_->leaf_children) invariant_failed(kMsgUnwrapNone);
      pos_ = 0;
      head_ = (head_ + 1) % kAheadNodes;
      --n_ahead_;
      scout_one();
      if (n_ahead_ >= kLeafAhead)
        tree_->prefetch_leaves(
            tree_->internal_.value_at(ahead_[(head_ + kLeafAhead - 1) % kAheadNodes]));
      return true;
    }

    const BTree* tree_ = nullptr;
    const Node* cur_ = nullptr;  // bottom node being read; nullptr when finished
    size_t pos_ = 0;
    // The scout: the ancestors of the last queued bottom node, root first,
    // and the position taken in each.
    std::array<const Node*, MAX_DEPTH> scout_{};
    std::array<uint8_t, MAX_DEPTH> scout_pos_{};
    size_t scout_depth_ = 0;
    std::array<uint32_t, kAheadNodes> ahead_{};  // ring of queued bottom nodes' slots
    size_t head_ = 0, n_ahead_ = 0;
  };

  Iter iter() const {
    Iter it;
    it.tree_ = this;
    const Node* n = &root_node();
    if (n->len == 0) return it;
    size_t depth = 1;
    while (!n->leaf_children) {
      if (depth >= MAX_DEPTH) invariant_failed(kMsgUnwrapErr);
      it.scout_[it.scout_depth_] = n;
      it.scout_pos_[it.scout_depth_++] = 0;
      n = &internal_.value_at(n->children[0].slot);
      if (n->len == 0) invariant_failed(kMsgUnwrapNone);
      ++depth;
    }
    if (depth + 1 > MAX_DEPTH) invariant_failed(kMsgUnwrapErr);  // the leaf's own entry
    it.start(n);
    return it;
  }

  // Range-for support over the elements.
  class ElemIterator {
   public:
    const Elem& operator*() const { return *cur_; }
    ElemIterator& operator++() {
      cur_ = it_.next();
      return *this;
    }
    bool operator!=(std::nullptr_t) const { return cur_ != nullptr; }

   private:
    friend class BTree;
    Iter it_;
    const Elem* cur_ = nullptr;
  };
  ElemIterator begin() const {
    ElemIterator e;
    e.it_ = iter();
    e.cur_ = e.it_.next();
    return e;
  }
  std::nullptr_t end() const { return nullptr; }

  // Iteration between two cursors.
  class RangeIter {
   public:
    std::optional<ElemSlice> next() {
      while (!done_) {
        LeafIndex cur = path_.back().node.unwrap_leaf();
        bool is_end = cur == end_.leaf;
        if (is_end) done_ = true;
        if (!tree_->next_leaf_in_path(path_, path_.size())) done_ = true;
        if (is_end && end_.offset == 0 && !keep_end_) {
          if (done_) return std::nullopt;
          continue;
        }
        ElemSlice s;
        s.elem = &tree_->leaf(cur).elem;
        s.leaf = cur;
        if (cur == start_.leaf) s.start = start_.offset;
        if (is_end) s.end = end_.offset;
        return s;
      }
      return std::nullopt;
    }

   private:
    friend class BTree;
    const BTree* tree_ = nullptr;
    Path path_;
    Path end_path_;
    Cursor start_, end_;
    bool keep_end_ = false;
    bool done_ = false;
  };

  RangeIter iter_range(Cursor start, Cursor end) const { return make_range(start, end, false); }
  // From `start` to the end of the sequence (the end leaf is kept whole).
  RangeIter iter_range_to_end(Cursor start) const {
    auto e = end_cursor();
    if (!e) invariant_failed(kMsgUnwrapNone);
    return make_range(start, *e, true);
  }

  // Sum of a measure over everything before the leaf: its index in that unit.
  template <typename Measure>
  size_t index_of_leaf(LeafIndex l, Measure measure) const {
    Path p = get_path(l);
    size_t sum = 0;
    for (size_t d = 1; d < p.size(); ++d) {
      const Node& parent = node(p[d - 1].node.index);
      for (size_t i = 0; i < p[d].position; ++i) sum += measure(parent.children[i].cache);
    }
    return sum;
  }

  // Leaf order comparison: -1, 0 or 1.
  int compare_leaf_order(LeafIndex a, LeafIndex b) const {
    if (a == b) return 0;
    Path pa = get_path(a), pb = get_path(b);
    for (size_t i = 0; i < pa.size() && i < pb.size(); ++i) {
      if (pa[i].position != pb[i].position) return pa[i].position < pb[i].position ? -1 : 1;
    }
    return 0;
  }

  // ---- leaves named by their place -----------------------------------------
  //
  // Finding a leaf's position in its parent costs a scan of the parent's
  // child list, and reaching the parent costs a load of the leaf's entry. A
  // caller that walks or edits around one point keeps the place it descended
  // to instead: the bottom node and the child position in it. A place stays
  // valid until the next change to the tree.

  struct LeafPlace {
    ArenaSlotIndex parent;  // the bottom node holding the leaf
    size_t index = 0;       // the leaf's position among that node's children
    LeafIndex leaf;
    // The bottom node's value, so that the steps from a place need no lookup.
    const Node* node = nullptr;
    friend bool operator==(const LeafPlace&, const LeafPlace&) = default;
  };

  // The internal nodes a descent passed, root first, and the child taken in
  // each. An edit at the place the descent reached carries its cache change
  // up through these nodes directly instead of looking each parent up by
  // its handle. Valid until the next change to the tree.
  struct DescentPath {
    std::array<const Node*, MAX_DEPTH> nodes{};
    std::array<uint8_t, MAX_DEPTH> taken{};
    size_t depth = 0;
  };

  // Descends like query and returns the place of the leaf the finder chose;
  // none on an empty tree. The finder is not asked to confirm the element:
  // the caller reads it (elem_at) and finishes the search itself. Each node
  // is requested whole before any of it is read, so that its lines load
  // together rather than one by one as the finder scans it. `leaves_after`
  // more leaves of the bottom node, following the chosen one, are requested
  // along with it for a caller that walks on to them: their loads then
  // overlap the chosen leaf's instead of starting once it has arrived.
  template <typename F>
  requires BTreeFinder<F, T> std::optional<LeafPlace> descend(F& finder,
                                                              DescentPath* path = nullptr,
                                                              size_t leaves_after = 0)
  const {
    uint32_t ns = root_.slot;
    const Node* n = &root_node();
    if (n->len == 0) return std::nullopt;
    if (path) path->depth = 0;
    while (true) {
      FindResult r = finder.find_node(*n);
      if (r.index >= n->len) invariant_failed(kMsgUnwrapNone);
      if (path) {
        if (path->depth >= MAX_DEPTH) invariant_failed(kMsgUnwrapErr);
        path->nodes[path->depth] = n;
        path->taken[path->depth++] = uint8_t(r.index);
      }
      uint32_t s = n->children[r.index].slot;
      if (n->leaf_children) {
        // The caller reads the element next; its fields may straddle two lines.
        leaves_.prefetch(s, 2);
        size_t last = std::min<size_t>(r.index + leaves_after, size_t(n->len) - 1);
        for (size_t i = r.index + 1; i <= last; ++i) leaves_.prefetch(n->children[i].slot, 2);
        if (size_t(n->len) + 1 >= MAX_CHILDREN) prefetch_split(*n, path);
        return LeafPlace{internal_.handle_at(ns), r.index, leaf_at(s), n};
      }
      // The entry's live check waits for its first line; the node's other
      // lines are asked for meanwhile, as their addresses do not depend on it.
      n = &internal_.value_at(s);
      prefetch_node(n);
      ns = s;
      if (n->len == 0) invariant_failed(kMsgUnwrapNone);
    }
  }

  // The place of a leaf, found through its parent link; fatal when absent.
  LeafPlace place_of(LeafIndex l) const {
    auto [p, i] = leaf_position(l);
    return LeafPlace{p, i, l, &node(p)};
  }

  // The element at a place. The place must be current.
  const Elem& elem_at(const LeafPlace& p) const { return leaves_.value_at(p.leaf.index.slot).elem; }

  // The place of the next leaf in document order, or none after the last.
  std::optional<LeafPlace> next_place(const LeafPlace& p) const {
    const Node& n = *p.node;
    if (p.index + 1 < n.len)
      return LeafPlace{p.parent, p.index + 1, leaf_at(n.children[p.index + 1].slot), &n};
    std::optional<ArenaIndex> up = next_sibling(ArenaIndex::internal(p.parent));
    if (!up) return std::nullopt;
    const Node& nn = node(up->index);
    if (nn.len == 0 || !nn.leaf_children) invariant_failed(kMsgUnwrapNone);
    return LeafPlace{up->index, 0, leaf_at(nn.children[0].slot), &nn};
  }

  // The place of the previous leaf in document order, or none before the first.
  std::optional<LeafPlace> prev_place(const LeafPlace& p) const {
    if (p.index > 0) {
      const Node& n = *p.node;
      return LeafPlace{p.parent, p.index - 1, leaf_at(n.children[p.index - 1].slot), &n};
    }
    std::optional<ArenaIndex> up = prev_sibling(ArenaIndex::internal(p.parent));
    if (!up) return std::nullopt;
    const Node& pn = node(up->index);
    if (pn.len == 0 || !pn.leaf_children) invariant_failed(kMsgUnwrapNone);
    return LeafPlace{up->index, size_t(pn.len) - 1, leaf_at(pn.children[pn.len - 1].slot), &pn};
  }

  // insert_by_path (Cursor{p.leaf, offset}, elem) with the same results,
  // taking the leaf's parent and position from the place. An insertion at
  // either end of the element (the usual case) needs no lookup at all;
  // one inside it is handed to insert_by_path. `path`, when given, is the
  // descent that reached the place's bottom node (or any other descent, which
  // is then not used).
  std::pair<Cursor, std::optional<LeafIndex>> insert_at_place(const LeafPlace& p, size_t offset,
                                                              Elem elem,
                                                              const DescentPath* path = nullptr) {
    // The place is current, so its node pointer names the live bottom node.
    Node& parent = const_cast<Node&>(*p.node);
    if (p.index >= parent.len || parent.children[p.index].slot != p.leaf.index.slot)
      invariant_failed(kMsgUnwrapNone);
    Leaf& lf = leaf(p.leaf);
    size_t len = T::rle_len(lf.elem);
    if ((offset != 0 && offset != len) || T::insert_inside(lf.elem, offset, elem))
      return insert_by_path(Cursor{p.leaf, offset}, std::move(elem));
    CacheDiff d = diff_of(elem);
    if (offset == 0 && T::can_merge(elem, lf.elem)) {
      T::merge_left(lf.elem, std::move(elem));
    } else if (offset == len && T::can_merge(lf.elem, elem)) {
      T::merge_right(lf.elem, std::move(elem));
    } else {
      if (parent.len >= MAX_CHILDREN) invariant_failed(kMsgUnwrapErr);
      size_t at = offset == 0 ? p.index : p.index + 1;
      Cache ec = T::elem_cache(elem);
      LeafIndex nl = insert_leaf(std::move(elem), p.parent);
      parent.insert_child(at, ChildT{nl.index.slot, std::move(ec)});
      carry_up(parent, d, path);
      if (parent.len >= MAX_CHILDREN) split_node(p.parent);
      return {Cursor{nl, 0}, std::nullopt};
    }
    parent.children[p.index].cache = T::elem_cache(lf.elem);
    carry_up(parent, d, path);
    return {Cursor{p.leaf, offset}, std::nullopt};
  }

  // ---- insertion, splitting, cache repair ----------------------------------

  // Splits the element at the cursor so that the cursor falls on a leaf boundary.
  LeafSplit split_leaf_at(Cursor c) {
    while (true) {
      Leaf& lf = leaf(c.leaf);
      ArenaSlotIndex parent_idx = leaf_parent(c.leaf);
      Node& parent = node_mut(parent_idx);
      size_t i = position_in(parent, c.leaf);
      size_t len = T::rle_len(lf.elem);
      if (c.offset == 0) return {parent_idx, Cursor{c.leaf, 0}, i, std::nullopt};
      if (c.offset == len) {
        std::optional<Cursor> next;
        if (i + 1 < parent.len) {
          next = Cursor{leaf_at(parent.children[i + 1].slot), 0};
        } else if (auto ns = next_sibling(c.leaf)) {
          next = Cursor{ns->unwrap_leaf(), 0};
        }
        return {parent_idx, next, i + 1, std::nullopt};
      }
      if (c.offset > len) {
        invariant_failed("elem.rle_len=" + std::to_string(len) + " but pos.offset=" +
                         std::to_string(c.offset) + " Elem:" + elem_debug<T>(lf.elem));
      }
      if (parent.len >= MAX_CHILDREN - 1) {
        split_node(parent_idx);
        continue;
      }
      Elem right = T::split_at(lf.elem, c.offset);
      parent.children[i].cache = T::elem_cache(lf.elem);
      Cache rc = T::elem_cache(right);
      LeafIndex nl = insert_leaf(std::move(right), parent_idx);
      parent.insert_child(i + 1, ChildT{nl.index.slot, std::move(rc)});
      return {parent_idx, Cursor{nl, 0}, i + 1, nl};
    }
  }

  // Inserts `elem` at the cursor. Returns the cursor of the start of the
  // inserted content and the leaf that received the right part of a split element.
  std::pair<Cursor, std::optional<LeafIndex>> insert_by_path(Cursor c, Elem elem) {
    Leaf& lf = leaf(c.leaf);
    CacheDiff d = diff_of(elem);
    Cursor ret = c;
    std::optional<LeafIndex> split_leaf;
    std::optional<ArenaSlotIndex> grown_parent;
    if (T::insert_inside(lf.elem, c.offset, elem)) {
      // taken inside the element
    } else if (c.offset == 0 && T::can_merge(elem, lf.elem)) {
      T::merge_left(lf.elem, std::move(elem));
    } else if (c.offset == T::rle_len(lf.elem) && T::can_merge(lf.elem, elem)) {
      T::merge_right(lf.elem, std::move(elem));
    } else {
      LeafSplit s = split_leaf_at(c);
      Node& parent = node_mut(s.parent);
      if (s.insert_index > parent.len || parent.len >= MAX_CHILDREN)
        invariant_failed(kMsgUnwrapErr);
      Cache ec = T::elem_cache(elem);
      LeafIndex nl = insert_leaf(std::move(elem), s.parent);
      parent.insert_child(s.insert_index, ChildT{nl.index.slot, std::move(ec)});
      ret = Cursor{nl, 0};
      split_leaf = s.new_leaf;
      grown_parent = s.parent;
    }
    recursive_update_cache(c.leaf, std::optional<CacheDiff>(std::move(d)));
    if (grown_parent && node(*grown_parent).len >= MAX_CHILDREN) split_node(*grown_parent);
    return {ret, split_leaf};
  }

  // Appends `elem`; returns the cursor of the start of the appended content.
  Cursor push(Elem elem) {
    CacheDiff d = diff_of(elem);
    Node& root = node_mut(root_);
    if (root.len == 0) {
      Cache ec = T::elem_cache(elem);
      LeafIndex nl = insert_leaf(std::move(elem), root_);
      root.leaf_children = true;
      root.push_child(ChildT{nl.index.slot, std::move(ec)});
      recursive_update_cache(ArenaIndex::internal(root_), std::optional<CacheDiff>(std::move(d)));
      return Cursor{nl, 0};
    }
    ArenaSlotIndex p = root_;
    while (true) {
      const Node& n = node(p);
      if (n.len == 0) invariant_failed(kMsgUnwrapNone);
      if (n.leaf_children) break;
      p = internal_.handle_at(n.children[n.len - 1].slot);
    }
    Node& parent = node_mut(p);
    LeafIndex last = leaf_at(parent.children[parent.len - 1].slot);
    Leaf& ll = leaf(last);
    if (T::can_merge(ll.elem, elem)) {
      size_t old = T::rle_len(ll.elem);
      T::merge_right(ll.elem, std::move(elem));
      recursive_update_cache(last, std::optional<CacheDiff>(std::move(d)));
      return Cursor{last, old};
    }
    if (parent.len >= MAX_CHILDREN) invariant_failed(kMsgUnwrapErr);
    Cache ec = T::elem_cache(elem);
    LeafIndex nl = insert_leaf(std::move(elem), p);
    parent.push_child(ChildT{nl.index.slot, std::move(ec)});
    recursive_update_cache(ArenaIndex::internal(p), std::optional<CacheDiff>(std::move(d)));
    if (parent.len >= MAX_CHILDREN) split_node(p);
    return Cursor{nl, 0};
  }

  // Appends `elem` at the end, for callers that build a sequence left to
  // right with their own joining rule.
  //
  // absorb(Elem& last, Elem& elem) -> std::optional<CacheDiff> is offered the
  // last element first: when it takes elem in, it returns how much last's
  // cache grew (new minus old). When it refuses, an empty last element
  // (rle_len 0) is removed and elem goes through push, which may still join
  // it to the element before; otherwise elem becomes a new last leaf (absorb
  // is the joining rule here: can_merge is not asked again).
  //
  // Same result as last_leaf + update_leaf + push, but the right edge is
  // remembered from the previous append (and checked before it is used), so
  // that neither the last element nor the caches above it cost a descent:
  // appending is the hot path of every delta and event builder.
  template <typename F>
  void push_back_with(Elem&& elem, F&& absorb) {
    Node* root = &node_mut(root_);
    if (root->len == 0) {
      push(std::move(elem));
      return;
    }
    if (!right_edge_holds(root)) find_right_edge(root);
    Node* const* edge = edge_.nodes.data();
    const size_t depth = edge_.depth;
    Node* n = edge[depth - 1];
    ChildT& last_entry = n->children[n->len - 1];
    Elem& last = leaves_.value_at(last_entry.slot).elem;
    if (std::optional<CacheDiff> d = absorb(last, elem)) {
      last_entry.cache = T::elem_cache(last);
      add_along_right_edge(edge, depth, *d);
      return;
    }
    if (T::rle_len(last) == 0) {
      // Rare: an empty item left at the end by an earlier edit.
      edge_.depth = 0;
      update_leaf(leaf_at(last_entry.slot),
                  [](Elem&) { return std::pair<std::optional<Elem>, std::optional<Elem>>{}; });
      push(std::move(elem));
      return;
    }
    CacheDiff d = diff_of(elem);
    Cache ec = T::elem_cache(elem);
    const ArenaSlotIndex bottom = depth == 1 ? root_ : internal_.handle_at(edge_.slots[depth - 1]);
    LeafIndex nl = insert_leaf(std::move(elem), bottom);
    n->push_child(ChildT{nl.index.slot, std::move(ec)});
    add_along_right_edge(edge, depth, d);
    if (n->len >= MAX_CHILDREN) {
      edge_.depth = 0;
      split_node(bottom);
    }
  }

  // Splits a node in two halves (n/2 stay); the root keeps its handle and grows a level.
  void split_node(ArenaSlotIndex idx) {
    Node& n = node_mut(idx);
    size_t total = n.len, keep = total / 2;
    Node right;
    right.parent = n.parent;
    right.up = n.up;
    right.parent_slot = 255;
    right.leaf_children = n.leaf_children;
    for (size_t i = keep; i < total; ++i) right.push_child(std::move(n.children[i]));
    n.delete_children_range(keep, total);
    ArenaSlotIndex ri = internal_.insert(std::move(right));
    Node& r = node_mut(ri);
    adopt(ri, r, 0);
    Cache lc{}, rcache{};
    T::calc_cache_internal(lc, n.kids());
    T::calc_cache_internal(rcache, r.kids());
    if (idx != root_) {
      ArenaSlotIndex pi = n.parent;
      Node& p = node_mut(pi);
      size_t slot = n.parent_slot;
      if (slot >= p.len) invariant_failed(kMsgUnwrapNone);
      p.children[slot].cache = std::move(lc);
      p.insert_child(slot + 1, ChildT{ri.slot, std::move(rcache)});
      update_children_parent_slot(pi, slot + 1);
      if (p.len >= MAX_CHILDREN) split_node(pi);
      return;
    }
    // The root: its remaining children move down into a new left node.
    Node left;
    left.parent = root_;
    left.up = &n;
    left.parent_slot = 0;
    left.leaf_children = n.leaf_children;
    for (size_t i = 0; i < n.len; ++i) left.push_child(std::move(n.children[i]));
    n.delete_children_range(0, n.len);
    ArenaSlotIndex li = internal_.insert(std::move(left));
    Node& l = node_mut(li);
    adopt(li, l, 0);
    r.parent = root_;
    r.up = &n;
    r.parent_slot = 1;
    n.leaf_children = false;
    n.push_child(ChildT{li.slot, std::move(lc)});
    n.push_child(ChildT{ri.slot, std::move(rcache)});
    n.parent_slot = 0;
    T::calc_cache_internal(root_cache_, n.kids());
  }

  // Calls f(elem) -> pair<optional<Elem>, optional<Elem>>: the element may change
  // and up to two elements may follow it. Returns whether the leaf still exists
  // and the leaves created or grown.
  template <typename F>
  std::pair<bool, SplitLeaves> update_leaf(LeafIndex l, F&& f) {
    Leaf& lf = leaf(l);
    auto [first, second] = f(lf.elem);
    if (first && T::rle_len(*first) == 0) first.reset();
    if (second && T::rle_len(*second) == 0) second.reset();
    if (!first && second) {
      first = std::move(second);
      second.reset();
    }
    if (T::rle_len(lf.elem) == 0 && first) {
      lf.elem = std::move(*first);
      first = std::move(second);
      second.reset();
    }
    recursive_update_cache(l, std::nullopt);
    SplitLeaves out;
    if (T::rle_len(lf.elem) == 0) {
      ArenaSlotIndex pi = leaf_parent(l);
      Node& p = node_mut(pi);
      size_t before = p.len;
      p.remove_child(position_in(p, l));
      leaves_.erase(l.index);
      // An empty element may still carry a non-zero cache (a flag, a count of
      // marked spans): refresh the parent so that no stale aggregate survives.
      recursive_update_cache(ArenaIndex::internal(pi), std::nullopt);
      if (before < MIN_CHILDREN + 1) run_handle_lack(pi);
      return {false, out};
    }
    if (!first) return {true, out};
    {
      auto [pi, i] = leaf_position(l);
      Node& p = node_mut(pi);
      if (!second && i + 1 < p.len) {
        LeafIndex next = leaf_at(p.children[i + 1].slot);
        Leaf& nl = leaf(next);
        if (T::can_merge(*first, nl.elem)) {
          T::merge_left(nl.elem, std::move(*first));
          recursive_update_cache(next, std::nullopt);
          out.push(next);
          return {true, out};
        }
      }
    }
    size_t k = second ? 2 : 1;
    if (node(leaf_parent(l)).len + k >= MAX_CHILDREN) split_node(leaf_parent(l));
    auto [pi, i] = leaf_position(l);
    Node& p = node_mut(pi);
    Cache c1 = T::elem_cache(*first);
    LeafIndex n1 = insert_leaf(std::move(*first), pi);
    p.insert_child(i + 1, ChildT{n1.index.slot, std::move(c1)});
    out.push(n1);
    if (second) {
      Cache c2 = T::elem_cache(*second);
      LeafIndex n2 = insert_leaf(std::move(*second), pi);
      p.insert_child(i + 2, ChildT{n2.index.slot, std::move(c2)});
      out.push(n2);
    }
    if (p.len > MAX_CHILDREN - 1) invariant_failed("assertion failed: !parent.is_full()");
    recursive_update_cache(ArenaIndex::internal(pi), std::nullopt);
    return {true, out};
  }

  // Calls f(elem) -> optional<CacheDiff> on every element in [start, end).
  // Elements left empty are removed. Returns the leaves made by splitting the
  // two boundary elements (the end split's first).
  template <typename F>
  SplitLeaves update_range(Cursor start, Cursor end, F&& f) {
    SplitLeaves out;
    LeafSplit es = split_leaf_at(end);
    if (es.new_leaf) out.push(*es.new_leaf);
    LeafSplit ss = split_leaf_at(start);
    if (ss.new_leaf) out.push(*ss.new_leaf);
    if (!ss.cursor) return out;
    Path path = get_path(ss.cursor->leaf);
    CacheDiffMap diffs;
    std::vector<LeafIndex> emptied;
    std::vector<LeafIndex> changed;
    while (true) {
      LeafIndex cur = path.back().node.unwrap_leaf();
      if (es.cursor && es.cursor->leaf == cur) break;
      Elem& e = leaf(cur).elem;
      std::optional<CacheDiff> d = f(e);
      if constexpr (T::kUseDiff) {
        if (d) {
          auto it = diffs.find(cur);
          if (it == diffs.end()) {
            diffs.emplace(cur, std::move(*d));
          } else {
            T::merge_cache_diff(it->second, *d);
          }
        }
      } else {
        changed.push_back(cur);
      }
      if (T::rle_len(e) == 0) emptied.push_back(cur);
      if (!next_leaf_in_path(path, path.size())) break;
    }
    if constexpr (T::kUseDiff) {
      if (!diffs.empty()) {
        apply_cache_diff_map(std::move(diffs));
      } else {
        T::calc_cache_internal(root_cache_, node(root_).kids());
      }
    } else {
      for (LeafIndex l : changed) recursive_update_cache(l, std::nullopt);
    }
    for (LeafIndex l : emptied) {
      if (leaves_.contains(l.index)) remove_leaf(l);
    }
    return out;
  }

  // Repairs caches from `idx` (a leaf: its entry is recomputed first) up to the root.
  void recursive_update_cache(ArenaIndex idx, std::optional<CacheDiff> diff) {
    if (idx.is_leaf()) {
      recursive_update_cache(idx.unwrap_leaf(), std::move(diff));
      return;
    }
    update_up_from(&node_mut(idx.index), std::move(diff));
  }
  // The same for a leaf. Taking the leaf's own handle keeps it whole in one
  // register: the wider ArenaIndex is spilled and read back across two
  // stores, which stalls the very path every status change takes.
  void recursive_update_cache(LeafIndex l, std::optional<CacheDiff> diff) {
    const Leaf& lf = leaf(l);
    // The leaf is live (just checked), so its parent is too.
    Node* n = &internal_.value_at(leaves_.word_at(l.index.slot));
    n->children[position_in(*n, l)].cache = T::elem_cache(lf.elem);
    update_up_from(n, std::move(diff));
  }

  // Adds `diff` to the node's entry in its parent, every entry above, and root_cache.
  void recursive_update_cache_with_diff(ArenaSlotIndex n, const CacheDiff& diff) {
    add_up(&node_mut(n), diff);
  }

  // Applies the differences of many changed leaves in one bottom-up pass.
  void apply_cache_diff_map(CacheDiffMap map) {
    std::vector<ArenaIndex> level;
    level.reserve(map.size());
    for (auto& [k, v] : map) level.push_back(k);
    std::vector<ArenaIndex> next;
    while (!level.empty()) {
      next.clear();
      for (ArenaIndex idx : level) {
        ArenaSlotIndex parent;
        CacheDiff d;
        if (idx.is_leaf()) {
          auto it = map.find(idx);
          if (it == map.end()) invariant_failed(kMsgUnwrapNone);
          d = std::move(it->second);
          map.erase(it);
          parent = leaf_parent(idx.unwrap_leaf());
          Node& p = node_mut(parent);
          T::apply_cache_diff(p.children[position_in(p, idx.unwrap_leaf())].cache, d);
        } else {
          if (idx.index == root_) continue;
          const Node& nd = node(idx.index);
          parent = nd.parent;
          Node& p = node_mut(parent);
          if (nd.parent_slot >= p.len) invariant_failed(kMsgUnwrapNone);
          auto it = map.find(idx);
          if (it != map.end()) {
            d = std::move(it->second);
            map.erase(it);
            T::apply_cache_diff(p.children[nd.parent_slot].cache, d);
          } else {
            d = T::calc_cache_internal(p.children[nd.parent_slot].cache, nd.kids());
          }
        }
        ArenaIndex pk = ArenaIndex::internal(parent);
        auto it = map.find(pk);
        if (it == map.end()) {
          map.emplace(pk, std::move(d));
          next.push_back(pk);
        } else {
          T::merge_cache_diff(it->second, d);
        }
      }
      level.swap(next);
    }
    T::calc_cache_internal(root_cache_, node(root_).kids());
  }

  // Builds a tree from elements in order, 10 children per node but the last of
  // each level.
  static BTree build_from_elems(std::vector<Elem> elems) {
    constexpr size_t kFill = 10;
    BTree t;
    std::vector<ArenaSlotIndex> level;
    auto start_node = [&](bool leaf_children) {
      Node n;
      n.leaf_children = leaf_children;
      level.push_back(t.internal_.insert(std::move(n)));
    };
    for (auto& e : elems) {
      if (level.empty() || t.node(level.back()).len >= kFill) start_node(true);
      ArenaSlotIndex cur = level.back();
      Cache c = T::elem_cache(e);
      LeafIndex nl = t.insert_leaf(std::move(e), cur);
      t.node_mut(cur).push_child(ChildT{nl.index.slot, std::move(c)});
    }
    if (level.empty()) return t;
    while (level.size() > 1) {
      std::vector<ArenaSlotIndex> up;
      for (size_t i = 0; i < level.size(); ++i) {
        if (i % kFill == 0) {
          Node n;
          n.leaf_children = false;
          up.push_back(t.internal_.insert(std::move(n)));
        }
        ArenaSlotIndex pi = up.back();
        Node& p = t.node_mut(pi);
        Node& c = t.node_mut(level[i]);
        c.parent = pi;
        c.up = &p;
        c.parent_slot = uint8_t(p.len);
        Cache cache{};
        T::calc_cache_internal(cache, c.kids());
        p.push_child(ChildT{level[i].slot, std::move(cache)});
      }
      level.swap(up);
    }
    t.internal_.erase(t.root_);
    t.root_ = level[0];
    Node& r = t.node_mut(t.root_);
    t.root_node_ = &r;
    r.parent = ArenaSlotIndex{};
    r.up = nullptr;
    T::calc_cache_internal(t.root_cache_, r.kids());
    return t;
  }

  // ---- removal and rebalancing ----------------------------------------------

  // Removes one element; none for a stale handle.
  std::optional<Elem> remove_leaf(LeafIndex l) {
    if (!leaves_.contains(l.index)) return std::nullopt;
    ArenaSlotIndex pi = leaf_parent(l);
    Node& p = node_mut(pi);
    size_t before = p.len;
    p.remove_child(position_in(p, l));
    std::optional<Elem> out;
    {
      std::optional<Leaf> taken = leaves_.remove(l.index);
      out.emplace(std::move(taken->elem));
    }
    recursive_update_cache(ArenaIndex::internal(pi), std::nullopt);
    if (p.len == 0) {
      remove_internal_node(pi);
    } else if (before < MIN_CHILDREN + 1) {
      run_handle_lack(pi);
    }
    return out;
  }

  // Removes an internal node that holds no children, and ancestors left empty.
  void remove_internal_node(ArenaSlotIndex n) {
    while (true) {
      if (n == root_) return;
      const Node& nd = node(n);
      if (!nd.has_parent()) invariant_failed(kMsgUnwrapNone);
      ArenaSlotIndex pi = nd.parent;
      size_t slot = nd.parent_slot;
      internal_.erase(n);
      Node& p = node_mut(pi);
      size_t before = p.len;
      if (slot >= p.len) invariant_failed(kMsgUnwrapNone);
      p.remove_child(slot);
      update_children_parent_slot(pi, slot);
      if (p.len == 0) {
        n = pi;
        continue;
      }
      if (before < MIN_CHILDREN + 1) run_handle_lack(pi);
      return;
    }
  }

  // Repairs a lacking node by merging with or borrowing from a neighbour.
  // Returns the node to examine next (the parent), or none.
  std::optional<ArenaSlotIndex> handle_lack(ArenaSlotIndex idx) {
    if (idx == root_) {
      try_reduce_levels();
      return std::nullopt;
    }
    Node& n = node_mut(idx);
    if (!n.has_parent()) invariant_failed(kMsgUnwrapNone);
    ArenaSlotIndex pi = n.parent;
    Node& p = node_mut(pi);
    if (n.len == 0) {
      size_t slot = n.parent_slot;
      if (slot >= p.len) invariant_failed(kMsgUnwrapNone);
      p.remove_child(slot);
      internal_.erase(idx);
      update_children_parent_slot(pi, slot);
      return pi;
    }
    size_t slot = n.parent_slot;
    size_t li, ri;  // positions of the pair in the parent
    if (slot > 0) {
      li = slot - 1;
      ri = slot;
    } else {
      if (p.len <= 1) return pi;
      li = 0;
      ri = 1;
    }
    ArenaSlotIndex lidx = internal_.handle_at(p.children[li].slot),
                   ridx = internal_.handle_at(p.children[ri].slot);
    Node& l = node_mut(lidx);
    Node& r = node_mut(ridx);
    size_t P = l.len, Q = r.len;
    if (P + Q <= MAX_CHILDREN - 1) {
      if (idx == lidx) {
        for (size_t i = 0; i < Q; ++i) l.push_child(std::move(r.children[i]));
        r.delete_children_range(0, Q);
        adopt(lidx, l, P);
        internal_.erase(ridx);
        p.remove_child(ri);
        update_children_parent_slot(pi, ri);
        T::calc_cache_internal(p.children[li].cache, l.kids());
      } else {
        for (size_t i = P; i-- > 0;) r.insert_child(0, std::move(l.children[i]));
        l.delete_children_range(0, P);
        adopt(ridx, r, 0);
        internal_.erase(lidx);
        p.remove_child(li);
        update_children_parent_slot(pi, li);
        T::calc_cache_internal(p.children[li].cache, r.kids());
      }
    } else {
      if (P < Q) {
        size_t m = (Q - P) / 2;
        for (size_t i = 0; i < m; ++i) l.push_child(std::move(r.children[i]));
        r.delete_children_range(0, m);
        adopt(lidx, l, P);
        adopt(ridx, r, 0);
      } else {
        size_t m = (P - Q) / 2;
        for (size_t i = P; i-- > P - m;) r.insert_child(0, std::move(l.children[i]));
        l.delete_children_range(P - m, P);
        adopt(ridx, r, 0);
      }
      T::calc_cache_internal(p.children[li].cache, l.kids());
      T::calc_cache_internal(p.children[ri].cache, r.kids());
    }
    if (p.len < MIN_CHILDREN) return pi;
    return std::nullopt;
  }

  // While the root holds a single internal child, pulls that child's children up.
  void try_reduce_levels() {
    while (true) {
      Node& r = node_mut(root_);
      if (r.len != 1 || r.leaf_children) return;
      ArenaSlotIndex ci = internal_.handle_at(r.children[0].slot);
      std::optional<Node> child = internal_.remove(ci);
      if (!child) invariant_failed(kMsgUnwrapNone);
      r.len = 0;
      r.children[0] = ChildT{};
      r.leaf_children = child->leaf_children;
      for (size_t i = 0; i < child->len; ++i) r.push_child(std::move(child->children[i]));
      r.parent = ArenaSlotIndex{};
      r.up = nullptr;
      r.parent_slot = 255;
      for (size_t i = 0; i < r.len; ++i) {
        if (r.leaf_children) {
          leaves_.word_at(r.children[i].slot) = root_.slot;
        } else {
          Node& c = internal_.value_at(r.children[i].slot);
          c.parent = root_;
          c.up = &r;
        }
      }
    }
  }

  // Frees a node and its whole subtree; stale handles are skipped. The parent's
  // entry and the caches are left to the caller.
  void purge(ArenaIndex idx) {
    std::vector<ArenaIndex> work;
    work.reserve(MAX_CHILDREN);
    work.push_back(idx);
    while (!work.empty()) {
      ArenaIndex cur = work.back();
      work.pop_back();
      if (cur.is_leaf()) {
        leaves_.erase(cur.index);
        continue;
      }
      std::optional<Node> n = internal_.remove(cur.index);
      if (!n) continue;
      // Children already freed (leaves a drain took out, subtrees freed
      // earlier in the same release) are skipped.
      for (size_t i = 0; i < n->len; ++i) {
        uint32_t s = n->children[i].slot;
        if (n->leaf_children) {
          if (auto h = leaves_.try_handle_at(s)) work.push_back(ArenaIndex::leaf(*h));
        } else if (auto h = internal_.try_handle_at(s)) {
          work.push_back(ArenaIndex::internal(*h));
        }
      }
    }
  }

  // Drops the child entries whose node no longer exists; caches and slots untouched.
  void remove_dead_children(ArenaSlotIndex idx) {
    Node& n = node_mut(idx);
    size_t w = 0;
    for (size_t i = 0; i < n.len; ++i) {
      bool alive = n.leaf_children ? leaves_.try_handle_at(n.children[i].slot).has_value()
                                   : internal_.try_handle_at(n.children[i].slot).has_value();
      if (alive) {
        if (w != i) n.children[w] = std::move(n.children[i]);
        ++w;
      }
    }
    for (size_t i = w; i < n.len; ++i) n.children[i] = ChildT{};
    n.len = uint8_t(w);
  }

  // Rebalances the lacking nodes on the path to `idx` until nothing changes.
  void repair_lack_along_path(ArenaIndex idx) {
    size_t prev = SIZE_MAX;
    while (true) {
      Path p = get_path(idx);
      if (p.size() <= 2) return;
      size_t count = 0;
      for (size_t i = 1; i + 1 < p.size(); ++i) {
        ArenaIndex e = p[i].node;
        if (!e.is_internal() || !internal_.contains(e.index)) invariant_failed(kMsgUnreachable);
        if (node(e.index).len < MIN_CHILDREN) {
          if (handle_lack(e.index)) ++count;
        }
      }
      if (count == 0 || count == prev) return;
      prev = count;
    }
  }

  // ---- draining -------------------------------------------------------------

  // Removes [start, end) (results of query at the first removed and the first
  // kept position) and hands the removed elements out in order. The tree
  // belongs to the drain until it is destroyed.
  Drain<T> drain(std::optional<QueryResult> start, std::optional<QueryResult> end);

  // ---- checking -------------------------------------------------------------

  // Describes the first broken invariant, or returns an empty string: parent
  // links and slots, uniform depth, child counts, exact caches, no leaked nodes.
  std::string check_invariants() const requires std::equality_comparable<Cache> {
    std::string err;
    const Node& root = node(root_);
    if (root.has_parent()) return "root has a parent";
    Cache rc{};
    T::calc_cache_internal(rc, root.kids());
    if (!(rc == root_cache_)) return "root_cache differs from the aggregate of the root";
    size_t leaves = 0, internals = 1;
    int leaf_depth = -1;
    struct Item {
      ArenaSlotIndex n;
      int depth;
    };
    std::vector<Item> work{{root_, 1}};
    while (!work.empty()) {
      Item it = work.back();
      work.pop_back();
      const Node& n = node(it.n);
      if (n.len > MAX_CHILDREN - 1) return "node holds more than 11 children";
      if (it.n != root_ && n.len == 0) return "non-root node without children";
      if (it.depth > int(MAX_DEPTH)) return "tree deeper than MAX_DEPTH";
      for (size_t i = 0; i < n.len; ++i) {
        const ChildT& c = n.children[i];
        if (n.leaf_children) {
          auto h = leaves_.try_handle_at(c.slot);
          if (!h) return "child leaf missing";
          const Leaf* lf = leaves_.get(*h);
          if (leaves_.word_at(c.slot) != it.n.slot) return "leaf parent link wrong";
          if (!(T::elem_cache(lf->elem) == c.cache)) return "leaf entry cache stale";
          ++leaves;
          if (leaf_depth < 0) leaf_depth = it.depth + 1;
          if (leaf_depth != it.depth + 1) return "leaves at different depths";
        } else {
          auto h = internal_.try_handle_at(c.slot);
          if (!h) return "child node missing";
          const Node* cn = internal_.get(*h);
          if (cn->parent != it.n || cn->up != &n) return "node parent link wrong";
          if (cn->parent_slot != i) return "parent_slot wrong";
          Cache cc{};
          T::calc_cache_internal(cc, cn->kids());
          if (!(cc == c.cache)) return "internal entry cache stale";
          ++internals;
          work.push_back({*h, it.depth + 1});
        }
      }
    }
    if (leaves != leaves_.len()) return "leaf arena holds unreachable leaves";
    if (internals != internal_.len()) return "internal arena holds unreachable nodes";
    return err;
  }

  // Levels including the leaves (1 for an empty tree).
  size_t depth() const {
    size_t d = 1;
    const Node* n = &root_node();
    while (n->len > 0) {
      ++d;
      if (n->leaf_children) break;
      n = &internal_.value_at(n->children[0].slot);
    }
    return d;
  }

 private:
  friend class Drain<T>;

  // Adds a bottom node's cache change to every entry above it, through the
  // descent's nodes when `path` ends at that node.
  void carry_up(const Node& bottom_node, const CacheDiff& d, const DescentPath* path) {
    if constexpr (T::kUseDiff) {
      if (path && path->depth > 0 && path->nodes[path->depth - 1] == &bottom_node) {
        for (size_t l = path->depth - 1; l-- > 0;) {
          Node& n = const_cast<Node&>(*path->nodes[l]);
          T::apply_cache_diff(n.children[path->taken[l]].cache, d);
        }
        T::apply_cache_diff(root_cache_, d);
        return;
      }
    }
    update_up_from(const_cast<Node*>(&bottom_node), std::optional<CacheDiff>(d));
  }

  // Starts loading every line of a node's value without waiting for any.
  static void prefetch_node(const Node* n) {
    const char* p = reinterpret_cast<const char*>(n);
    for (size_t off = 0; off < sizeof(Node); off += 64) __builtin_prefetch(p + off);
    // A value not aligned to a line ends in one line more than its size needs.
    __builtin_prefetch(p + sizeof(Node) - 1);
  }

  const Node& root_node() const {
    if (!root_node_) invariant_failed(kMsgUnwrapNone);
    return *root_node_;
  }

  Node& node_mut(ArenaSlotIndex i) {
    Node* n = internal_.get(i);
    if (!n) invariant_failed(kMsgUnwrapNone);
    return *n;
  }
  Leaf& leaf(LeafIndex l) {
    Leaf* p = leaves_.get(l.index);
    if (!p) invariant_failed(kMsgUnwrapNone);
    return *p;
  }
  const Leaf& leaf(LeafIndex l) const {
    const Leaf* p = leaves_.get(l.index);
    if (!p) invariant_failed(kMsgUnwrapNone);
    return *p;
  }
  // A leaf's parent link is the parent's slot, kept in the leaf entry's
  // spare word: a live leaf's parent is always live, so the link needs no
  // generation of its own and the leaf record carries no padding for it.
  ArenaSlotIndex leaf_parent(LeafIndex l) const {
    leaf(l);  // fatal when the leaf is absent
    return internal_.handle_at(leaves_.word_at(l.index.slot));
  }
  void set_leaf_parent(LeafIndex l, ArenaSlotIndex p) {
    leaf(l);
    leaves_.word_at(l.index.slot) = p.slot;
  }
  LeafIndex insert_leaf(Elem&& e, ArenaSlotIndex parent) {
    LeafIndex l{leaves_.insert(Leaf{std::move(e)})};
    leaves_.word_at(l.index.slot) = parent.slot;
    return l;
  }

  LeafIndex leaf_at(uint32_t slot) const { return LeafIndex{leaves_.handle_at(slot)}; }

  // Starts loading every leaf of a bottom node.
  void prefetch_leaves(const Node& n) const {
    if (!n.leaf_children) return;
    for (size_t i = 0; i < n.len; ++i) leaves_.prefetch(n.children[i].slot);
  }

  // A bottom node one child short of full splits on the next insertion into
  // it, and the split writes the parent link of every leaf that moves to the
  // new right half, and the position of every later sibling of the node.
  // Those entries are scattered: requested as soon as the descent knows
  // that they will be needed, they load while the caller still looks at the
  // insertion point instead of one after another inside the split.
  void prefetch_split(const Node& bottom, const DescentPath* path) const {
    for (size_t i = MAX_CHILDREN / 2 - 1; i < bottom.len; ++i)
      leaves_.prefetch(bottom.children[i].slot);
    if (!path || path->depth < 2) return;
    const Node& parent = *path->nodes[path->depth - 2];
    for (size_t i = size_t(path->taken[path->depth - 2]) + 1; i < parent.len; ++i)
      internal_.prefetch(parent.children[i].slot, 2);
  }

  static size_t position_in(const Node& parent, LeafIndex l) {
    for (size_t i = 0; i < parent.len; ++i)
      if (parent.children[i].slot == l.index.slot) return i;
    invariant_failed(kMsgUnwrapNone);
  }

  static CacheDiff diff_of(const Elem& e) {
    if constexpr (T::kUseDiff) {
      return T::cache_to_diff(T::elem_cache(e));
    } else {
      return CacheDiff{};
    }
  }

  // Points every child of `n` from position `from` on at `n` (and renumbers
  // internal children).
  void adopt(ArenaSlotIndex ni, Node& n, size_t from) {
    for (size_t i = from; i < n.len; ++i) {
      if (n.leaf_children) {
        leaves_.word_at(n.children[i].slot) = ni.slot;
      } else {
        Node& c = internal_.value_at(n.children[i].slot);
        c.parent = ni;
        c.up = &n;
        c.parent_slot = uint8_t(i);
      }
    }
  }

  // Recomputes every level from `n` up to the root.
  void recompute_to_root(ArenaSlotIndex n) { recompute_up(&node_mut(n)); }

  void recompute_up(const Node* cur) {
    while (Node* p = cur->up) {
      if (cur->parent_slot >= p->len) invariant_failed(kMsgUnwrapNone);
      T::calc_cache_internal(p->children[cur->parent_slot].cache, cur->kids());
      cur = p;
    }
    T::calc_cache_internal(root_cache_, cur->kids());
  }

  // Carries a change of node `n`'s children up to the root: as the given
  // difference, or, without one, by recomputing n's entry in its parent and
  // carrying what that changed.
  void update_up_from(Node* n, std::optional<CacheDiff> diff) {
    if constexpr (!T::kUseDiff) {
      recompute_up(n);
    } else {
      if (diff) {
        add_up(n, *diff);
        return;
      }
      if (!n->up) {
        T::calc_cache_internal(root_cache_, n->kids());
        return;
      }
      Node& p = *n->up;
      if (n->parent_slot >= p.len) invariant_failed(kMsgUnwrapNone);
      CacheDiff d = T::calc_cache_internal(p.children[n->parent_slot].cache, n->kids());
      add_up(&p, d);
    }
  }

  // Adds `diff` to the entry of `cur` in its parent, every entry above, and
  // root_cache, following the nodes' links to their parents' values.
  void add_up(const Node* cur, const CacheDiff& diff) {
    while (Node* p = cur->up) {
      if (cur->parent_slot >= p->len) invariant_failed(kMsgUnwrapNone);
      T::apply_cache_diff(p->children[cur->parent_slot].cache, diff);
      cur = p;
    }
    T::apply_cache_diff(root_cache_, diff);
  }

  // True when edge_ still names the nodes from the root down along the last
  // children. Only slots are compared: the address of a slot's value never
  // changes, so matching slots mean matching nodes, and no arena lookup is
  // needed.
  bool right_edge_holds(const Node* root) const {
    const size_t depth = edge_.depth;
    if (depth == 0 || edge_.nodes[0] != root) return false;
    for (size_t i = 0; i + 1 < depth; ++i) {
      const Node* e = edge_.nodes[i];
      if (e->leaf_children || e->len == 0 || e->children[e->len - 1].slot != edge_.slots[i + 1])
        return false;
    }
    const Node* bottom = edge_.nodes[depth - 1];
    return bottom->leaf_children && bottom->len > 0;
  }

  void find_right_edge(Node* root) {
    size_t depth = 0;
    Node* n = root;
    while (true) {
      if (depth >= MAX_DEPTH) invariant_failed(kMsgUnwrapErr);
      edge_.nodes[depth++] = n;
      if (n->leaf_children) break;
      const uint32_t slot = n->children[n->len - 1].slot;
      n = &internal_.value_at(slot);
      if (n->len == 0) invariant_failed(kMsgUnwrapNone);
      edge_.slots[depth] = slot;
    }
    edge_.depth = depth;
  }

  // Repairs the caches along the right edge (root first, `depth` nodes, the
  // last one holding the changed last leaf's entry, already up to date)
  // after the subtree of the last leaf changed by `d`.
  void add_along_right_edge(Node* const* edge, size_t depth, const CacheDiff& d) {
    if constexpr (T::kUseDiff) {
      for (size_t i = 0; i + 1 < depth; ++i)
        T::apply_cache_diff(edge[i]->children[edge[i]->len - 1].cache, d);
      T::apply_cache_diff(root_cache_, d);
    } else {
      for (size_t i = depth - 1; i > 0; --i)
        T::calc_cache_internal(edge[i - 1]->children[edge[i - 1]->len - 1].cache, edge[i]->kids());
      T::calc_cache_internal(root_cache_, edge[0]->kids());
    }
  }

  void run_handle_lack(ArenaSlotIndex n) {
    std::optional<ArenaSlotIndex> cur = n;
    while (cur) cur = handle_lack(*cur);
  }

  RangeIter make_range(Cursor start, Cursor end, bool keep_end) const {
    RangeIter r;
    r.tree_ = this;
    r.path_ = get_path(start.leaf);
    r.end_path_ = get_path(end.leaf);
    r.start_ = start;
    r.end_ = end;
    r.keep_end_ = keep_end;
    return r;
  }

  // The right edge as push_back_with last found it: the nodes from the root
  // down and the arena slot of each below the root. A hint only, checked by
  // right_edge_holds before each use, so that no other edit has to keep it.
  struct RightEdge {
    std::array<Node*, MAX_DEPTH> nodes{};
    std::array<uint32_t, MAX_DEPTH> slots{};
    size_t depth = 0;
  };

  Arena<Node> internal_;
  Arena<Leaf> leaves_;
  ArenaSlotIndex root_;
  Cache root_cache_{};
  RightEdge edge_;
  // The root's value: its handle is fixed, and so is its address.
  Node* root_node_ = nullptr;
};

}  // namespace kesu

#include "kesu/btree/drain.h"
