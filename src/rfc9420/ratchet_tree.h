// The public ratchet tree (RFC 9420 §7): nodes in array order over a
// power-of-two number of leaves, blank nodes absent, with resolutions and
// tree hashes. Built from the `ratchet_tree` wire form, which omits trailing
// blank nodes.
#pragma once

#include "rfc9420/error.h"
#include "rfc9420/tree_math.h"
#include "rfc9420/tree_nodes.h"

namespace brenvik::rfc9420 {

class PublicTree {
 public:
  using NodeIndex = tree_math::NodeIndex;

  // Checks the wire form: its last node non-blank, leaves at even positions
  // and parents at odd ones, no more than 2^31 leaves; then pads with blank
  // nodes to a full tree.
  static Result<PublicTree, Error> from_wire(const RatchetTree& wire);
  // The wire form: trailing blank nodes dropped.
  RatchetTree to_wire() const;

  uint32_t leaf_count() const { return uint32_t((nodes_.size() + 1) / 2); }
  size_t node_count() const { return nodes_.size(); }
  bool blank(NodeIndex x) const { return x >= nodes_.size() || !nodes_[x]; }
  // The leaf's node, or nullptr when blank or outside the tree.
  const LeafNode* leaf(uint32_t leaf_index) const;
  const ParentNode* parent_node(NodeIndex x) const;

  // Resolution of a node (§4.1.1): itself (and, for a parent, its unmerged
  // leaves) when non-blank, else the resolutions of its children.
  std::vector<NodeIndex> resolution(NodeIndex x) const;

  // Tree hash of the subtree under x (§7.8); of the root for tree_hash().
  Bytes tree_hash(NodeIndex x) const;
  Bytes tree_hash() const { return tree_hash(*tree_math::root(leaf_count())); }

 private:
  std::vector<OptionalBox<Node>> nodes_;
};

}  // namespace brenvik::rfc9420
