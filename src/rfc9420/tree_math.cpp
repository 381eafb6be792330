#include "rfc9420/tree_math.h"

#include <bit>

namespace brenvik::rfc9420::tree_math {
namespace {

bool contains(NodeIndex x, uint32_t n_leaves) {
  return x < node_width(n_leaves);
}

// Parent in the infinite full tree, ignoring the right edge.
uint64_t parent_step(uint64_t x) {
  uint32_t k = level(static_cast<NodeIndex>(x));
  uint64_t b = (x >> (k + 1)) & 1;
  return (x | (uint64_t{1} << k)) ^ (b << (k + 1));
}

}  // namespace

uint32_t level(NodeIndex x) {
  return static_cast<uint32_t>(std::countr_one(x));
}

uint64_t node_width(uint32_t n_leaves) {
  return n_leaves == 0 ? 0 : 2 * uint64_t(n_leaves - 1) + 1;
}

std::optional<NodeIndex> root(uint32_t n_leaves) {
  if (n_leaves == 0 || n_leaves > kMaxLeaves) return std::nullopt;
  uint64_t w = node_width(n_leaves);
  return static_cast<NodeIndex>((uint64_t{1} << (std::bit_width(w) - 1)) - 1);
}

std::optional<NodeIndex> left(NodeIndex x, uint32_t n_leaves) {
  if (!contains(x, n_leaves)) return std::nullopt;
  uint32_t k = level(x);
  if (k == 0) return std::nullopt;
  return x ^ (NodeIndex{1} << (k - 1));
}

std::optional<NodeIndex> right(NodeIndex x, uint32_t n_leaves) {
  if (!contains(x, n_leaves)) return std::nullopt;
  uint32_t k = level(x);
  if (k == 0) return std::nullopt;
  uint64_t r = uint64_t(x) ^ (uint64_t{3} << (k - 1));
  // In a left-balanced tree the right child may lie past the edge; its
  // leftmost descendant inside the tree takes its place.
  while (r >= node_width(n_leaves)) {
    uint32_t kr = level(static_cast<NodeIndex>(r));
    r ^= uint64_t{1} << (kr - 1);
  }
  return static_cast<NodeIndex>(r);
}

std::optional<NodeIndex> parent(NodeIndex x, uint32_t n_leaves) {
  auto r = root(n_leaves);
  if (!r || !contains(x, n_leaves) || x == *r) return std::nullopt;
  uint64_t p = parent_step(x);
  while (p >= node_width(n_leaves)) p = parent_step(p);
  return static_cast<NodeIndex>(p);
}

std::optional<NodeIndex> sibling(NodeIndex x, uint32_t n_leaves) {
  auto p = parent(x, n_leaves);
  if (!p) return std::nullopt;
  return x < *p ? right(*p, n_leaves) : left(*p, n_leaves);
}

std::vector<NodeIndex> direct_path(NodeIndex x, uint32_t n_leaves) {
  std::vector<NodeIndex> d;
  for (auto p = parent(x, n_leaves); p; p = parent(*p, n_leaves)) d.push_back(*p);
  return d;
}

std::vector<NodeIndex> copath(NodeIndex x, uint32_t n_leaves) {
  std::vector<NodeIndex> c;
  if (!contains(x, n_leaves)) return c;
  NodeIndex cur = x;
  while (auto s = sibling(cur, n_leaves)) {
    c.push_back(*s);
    cur = *parent(cur, n_leaves);
  }
  return c;
}

bool in_subtree(NodeIndex x, NodeIndex ancestor) {
  // The subtree of a level-k node spans [a - (2^k - 1), a + (2^k - 1)].
  uint32_t k = level(ancestor);
  uint64_t half = (uint64_t{1} << k) - 1;
  return uint64_t(x) + half >= ancestor && x <= uint64_t(ancestor) + half;
}

std::optional<NodeIndex> common_ancestor(NodeIndex x, NodeIndex y, uint32_t n_leaves) {
  if (!contains(x, n_leaves) || !contains(y, n_leaves)) return std::nullopt;
  NodeIndex a = x;
  while (!in_subtree(y, a)) {
    auto p = parent(a, n_leaves);
    if (!p) return std::nullopt;  // unreachable: the root covers the tree
    a = *p;
  }
  return a;
}

}  // namespace brenvik::rfc9420::tree_math
