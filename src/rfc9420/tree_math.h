// Array-based tree arithmetic (RFC 9420 appendix C). Nodes are numbered in
// in-order: leaf L is node 2L, parents are odd. The functions accept any leaf
// count, treating a count that is not a power of two as a left-balanced tree
// (the right-hand side truncated), which coincides with RFC 9420 for the
// power-of-two trees it uses. Every function refuses nodes outside the tree
// (nullopt / empty) instead of computing nonsense indices.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace brenvik::rfc9420::tree_math {

using NodeIndex = uint32_t;
using LeafIndex = uint32_t;

// Largest leaf count the 32-bit node numbering can represent.
inline constexpr uint32_t kMaxLeaves = uint32_t{1} << 31;

constexpr NodeIndex leaf_to_node(LeafIndex l) {
  return 2 * l;
}
constexpr bool is_leaf(NodeIndex x) {
  return (x & 1) == 0;
}
// Requires is_leaf(x).
constexpr LeafIndex node_to_leaf(NodeIndex x) {
  return x / 2;
}

// Leaves are level 0; a parent is one above its highest child.
uint32_t level(NodeIndex x);
// Number of nodes of a tree with n leaves (0 for n = 0).
uint64_t node_width(uint32_t n_leaves);
// Root of a tree with n >= 1 leaves.
std::optional<NodeIndex> root(uint32_t n_leaves);

std::optional<NodeIndex> left(NodeIndex x, uint32_t n_leaves);
std::optional<NodeIndex> right(NodeIndex x, uint32_t n_leaves);
std::optional<NodeIndex> parent(NodeIndex x, uint32_t n_leaves);
std::optional<NodeIndex> sibling(NodeIndex x, uint32_t n_leaves);

// Ancestors of x from its parent up to and including the root; empty for the
// root and for nodes outside the tree.
std::vector<NodeIndex> direct_path(NodeIndex x, uint32_t n_leaves);
// Siblings of x and of each node of its direct path except the root.
std::vector<NodeIndex> copath(NodeIndex x, uint32_t n_leaves);
// The lowest node that has both x and y in its subtree (x itself when x == y).
std::optional<NodeIndex> common_ancestor(NodeIndex x, NodeIndex y, uint32_t n_leaves);
// Whether `ancestor` is x or has x in its subtree.
bool in_subtree(NodeIndex x, NodeIndex ancestor);

}  // namespace brenvik::rfc9420::tree_math
