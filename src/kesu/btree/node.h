// Handles, nodes, cursors and paths of the sequence B-tree.
//
// Every node lives in one of the tree's two arenas (internal nodes, leaves) and
// is named by a generational handle. An internal node stores its children
// inline (at most MAX_CHILDREN) together with each child's cached aggregate.
// All children of one internal node are of one kind, so the kind is stored once
// per node. A child entry carries only the child's arena slot: a child named by
// its parent is always live, so the entry needs no generation, and the full
// handle is read from the arena when one is handed out (BTree::child_index).
// With a cache of 4-byte counters an entry is 4 bytes smaller than with a
// full handle.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "kesu/arena/arena.h"
#include "kesu/arena/invariant.h"

namespace kesu {

// Capacity of an internal node; a node reaching it is split at once.
inline constexpr size_t MAX_CHILDREN = 12;
// A non-root internal node with fewer children lacks and is rebalanced on removal.
inline constexpr size_t MIN_CHILDREN = 6;
// Levels of a tree, root and leaves included.
inline constexpr size_t MAX_DEPTH = 10;

struct LeafIndex;

// Handle of any node: a leaf or an internal node.
struct ArenaIndex {
  enum class Kind : uint8_t { Leaf, Internal };
  Kind kind = Kind::Internal;
  ArenaSlotIndex index{};

  static constexpr ArenaIndex leaf(ArenaSlotIndex i) { return {Kind::Leaf, i}; }
  static constexpr ArenaIndex internal(ArenaSlotIndex i) { return {Kind::Internal, i}; }
  constexpr bool is_leaf() const { return kind == Kind::Leaf; }
  constexpr bool is_internal() const { return kind == Kind::Internal; }
  // Fatal on the other kind ("unwrap_leaf on internal node" / "unwrap_internal on leaf node").
  LeafIndex unwrap_leaf() const;
  ArenaSlotIndex unwrap_internal() const {
    if (!is_internal()) invariant_failed("unwrap_internal on leaf node");
    return index;
  }
  friend bool operator==(const ArenaIndex&, const ArenaIndex&) = default;
  friend auto operator<=>(const ArenaIndex&, const ArenaIndex&) = default;
};

// Handle of a leaf; converts to and from ArenaIndex::Leaf.
struct LeafIndex {
  ArenaSlotIndex index{};
  constexpr operator ArenaIndex() const { return ArenaIndex::leaf(index); }  // NOLINT
  friend bool operator==(const LeafIndex&, const LeafIndex&) = default;
  friend auto operator<=>(const LeafIndex&, const LeafIndex&) = default;
};

inline LeafIndex ArenaIndex::unwrap_leaf() const {
  if (!is_leaf()) invariant_failed("unwrap_leaf on internal node");
  return LeafIndex{index};
}

struct ArenaIndexHash {
  size_t operator()(const ArenaIndex& i) const noexcept {
    uint64_t v =
        (uint64_t{i.index.slot} << 32) ^ i.index.generation ^ (static_cast<uint64_t>(i.kind) << 63);
    return std::hash<uint64_t>{}(v * 0x9E3779B97F4A7C15ull);
  }
};

// Debug forms: `Leaf(Index { .. })`, `Internal(Index { .. })`, `LeafIndex(Index { .. })`.
std::string debug_string(const ArenaIndex& index);
std::string debug_string(const LeafIndex& index);

// One entry of an internal node: the child's arena slot and the aggregate of
// its subtree.
template <typename Cache>
struct Child {
  uint32_t slot = 0;
  Cache cache{};
};

template <typename Cache>
struct InternalNode {
  // The parent's value itself (null for the root), kept beside `parent` by
  // the tree: a node never moves while it lives in the arena, so a walk
  // towards the root follows these instead of looking every parent up by
  // its handle. It shares a cache line with parent_slot, which the same
  // walk reads.
  InternalNode* up = nullptr;
  ArenaSlotIndex parent{};  // generation 0 means none (the root)
  uint8_t parent_slot = 255;
  bool leaf_children = false;  // kind of every child; meaningful while len > 0
  uint8_t len = 0;
  std::array<Child<Cache>, MAX_CHILDREN> children{};

  bool has_parent() const { return parent.generation != 0; }
  bool is_full() const { return len >= MAX_CHILDREN; }
  std::span<Child<Cache>> kids() { return {children.data(), len}; }
  std::span<const Child<Cache>> kids() const { return {children.data(), len}; }
  // Adding a 13th child is fatal; so is a position past the end.
  void insert_child(size_t pos, Child<Cache> c) {
    if (len >= MAX_CHILDREN || pos > len) invariant_failed(kMsgUnwrapErr);
    for (size_t i = len; i > pos; --i) children[i] = std::move(children[i - 1]);
    children[pos] = std::move(c);
    ++len;
  }
  void push_child(Child<Cache> c) { insert_child(len, std::move(c)); }
  Child<Cache> remove_child(size_t pos) {
    if (pos >= len) invariant_failed(kMsgUnwrapNone);
    Child<Cache> out = std::move(children[pos]);
    for (size_t i = pos; i + 1 < len; ++i) children[i] = std::move(children[i + 1]);
    children[--len] = Child<Cache>{};
    return out;
  }
  // Removes [start, end), keeping the order of the rest.
  void delete_children_range(size_t start, size_t end) {
    if (start > end || end > len) invariant_failed(kMsgUnwrapNone);
    size_t n = end - start;
    if (n == 0) return;
    for (size_t i = start; i + n < len; ++i) children[i] = std::move(children[i + n]);
    for (size_t i = len - n; i < len; ++i) children[i] = Child<Cache>{};
    len = static_cast<uint8_t>(len - n);
  }
};

// A leaf: one element. Its parent link lives beside it in the leaf arena's
// entry (BTree::leaf_parent).
template <typename Elem>
struct LeafNode {
  Elem elem;
};

// A position inside the sequence: an element and an offset in it, in the unit
// of the finder that produced it.
struct Cursor {
  LeafIndex leaf{};
  size_t offset = 0;
  friend bool operator==(const Cursor&, const Cursor&) = default;
};

struct QueryResult {
  Cursor cursor;
  // Every level chose a child that really contains the target, and so did the element.
  bool found = false;
};

// A finder's answer at one node (child position) or at the leaf (offset).
struct FindResult {
  size_t index = 0;
  bool found = false;
};

struct PathEntry {
  ArenaIndex node{};
  uint8_t position = 0;  // position in the parent's children; 0 for the root
  friend bool operator==(const PathEntry&, const PathEntry&) = default;
};

// Root-to-node path, at most MAX_DEPTH entries, held inline.
class Path {
 public:
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  PathEntry& operator[](size_t i) { return e_[i]; }
  const PathEntry& operator[](size_t i) const { return e_[i]; }
  PathEntry& back() { return e_[n_ - 1]; }
  const PathEntry& back() const { return e_[n_ - 1]; }
  // A path longer than MAX_DEPTH is a broken invariant.
  void push(PathEntry p) {
    if (n_ >= MAX_DEPTH) invariant_failed(kMsgUnwrapErr);
    e_[n_++] = p;
  }
  void pop() { --n_; }
  void clear() { n_ = 0; }
  void reverse() {
    for (size_t i = 0; i < n_ / 2; ++i) std::swap(e_[i], e_[n_ - 1 - i]);
  }
  friend bool operator==(const Path& a, const Path& b) {
    if (a.n_ != b.n_) return false;
    for (size_t i = 0; i < a.n_; ++i)
      if (!(a.e_[i] == b.e_[i])) return false;
    return true;
  }

 private:
  std::array<PathEntry, MAX_DEPTH> e_{};
  size_t n_ = 0;
};

// Up to two leaves created by one edit, so that the owner of leaf handles can
// re-point them.
class SplitLeaves {
 public:
  void push(LeafIndex l) {
    if (n_ >= 2) invariant_failed(kMsgUnwrapErr);
    a_[n_++] = l;
  }
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  LeafIndex operator[](size_t i) const { return a_[i]; }
  const LeafIndex* begin() const { return a_.data(); }
  const LeafIndex* end() const { return a_.data() + n_; }

 private:
  std::array<LeafIndex, 2> a_{};
  size_t n_ = 0;
};

}  // namespace kesu
