#include "rfc9420/ratchet_tree.h"

#include <bit>

#include "crypto/sha256.h"

namespace brenvik::rfc9420 {

Result<PublicTree, Error> PublicTree::from_wire(const RatchetTree& wire) {
  if (wire.empty() || !wire.back())
    return Err(Error(ErrorCode::InvalidContent, "ratchet tree is empty or ends in a blank node"));
  if (wire.size() > uint64_t(tree_math::kMaxLeaves) * 2 - 1)
    return Err(Error(ErrorCode::InvalidContent, "ratchet tree too large"));
  for (size_t i = 0; i < wire.size(); ++i) {
    if (!wire[i]) continue;
    bool is_leaf = wire[i]->leaf() != nullptr;
    if (is_leaf != tree_math::is_leaf(NodeIndex(i)))
      return Err(Error(ErrorCode::InvalidContent, "node kind does not match its position"));
  }
  // Full width: the smallest 2^(d+1) - 1 that holds every node.
  uint64_t leaves = std::bit_ceil((uint64_t(wire.size()) + 1) / 2);
  PublicTree t;
  t.nodes_.reserve(2 * leaves - 1);
  t.nodes_ = wire;
  t.nodes_.resize(2 * leaves - 1);
  return t;
}

RatchetTree PublicTree::to_wire() const {
  size_t end = nodes_.size();
  while (end > 0 && !nodes_[end - 1]) --end;
  return RatchetTree(nodes_.begin(), nodes_.begin() + std::ptrdiff_t(end));
}

const LeafNode* PublicTree::leaf(uint32_t leaf_index) const {
  NodeIndex x = tree_math::leaf_to_node(leaf_index);
  return blank(x) ? nullptr : nodes_[x]->leaf();
}

const ParentNode* PublicTree::parent_node(NodeIndex x) const {
  return blank(x) ? nullptr : nodes_[x]->parent();
}

std::vector<PublicTree::NodeIndex> PublicTree::resolution(NodeIndex x) const {
  std::vector<NodeIndex> out;
  if (x >= nodes_.size()) return out;
  // Iterative walk in left-to-right order (no recursion on tree depth).
  std::vector<NodeIndex> stack{x};
  uint32_t n = leaf_count();
  while (!stack.empty()) {
    NodeIndex y = stack.back();
    stack.pop_back();
    if (!blank(y)) {
      out.push_back(y);
      if (const ParentNode* p = nodes_[y]->parent())
        for (uint32_t l : p->unmerged_leaves) out.push_back(tree_math::leaf_to_node(l));
      continue;
    }
    if (tree_math::is_leaf(y)) continue;
    stack.push_back(*tree_math::right(y, n));
    stack.push_back(*tree_math::left(y, n));
  }
  return out;
}

Bytes PublicTree::tree_hash(NodeIndex x) const {
  TlsWriter w;
  if (tree_math::is_leaf(x)) {
    w.u8(uint8_t(NodeType::leaf));
    w.u32(tree_math::node_to_leaf(x));
    const LeafNode* l = blank(x) ? nullptr : nodes_[x]->leaf();
    w.u8(l ? 1 : 0);
    if (l) tls_write(w, *l);
  } else {
    uint32_t n = leaf_count();
    // Depth is at most 31 levels: the recursion is bounded by the tree math.
    Bytes left = tree_hash(*tree_math::left(x, n));
    Bytes right = tree_hash(*tree_math::right(x, n));
    w.u8(uint8_t(NodeType::parent));
    const ParentNode* p = parent_node(x);
    w.u8(p ? 1 : 0);
    if (p) tls_write(w, *p);
    w.opaque(left);
    w.opaque(right);
  }
  auto d = crypto::sha256(w.bytes());
  return Bytes(d.begin(), d.end());
}

}  // namespace brenvik::rfc9420
