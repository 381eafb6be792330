// The public ratchet tree (RFC 9420 §7): nodes in array order over a
// power-of-two number of leaves, blank nodes absent, with resolutions and
// tree hashes. Built from the `ratchet_tree` wire form, which omits trailing
// blank nodes.
#pragma once

#include <array>
#include <memory>

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

  // Parent hash of parent node p with copath child s (§7.9):
  // Hash(ParentHashInput{p.encryption_key, p.parent_hash,
  // original_sibling_tree_hash}), the sibling's tree hash taken with p's
  // unmerged leaves blanked. Requires p non-blank and s a child of p.
  Bytes parent_hash(NodeIndex p, NodeIndex s) const;
  // Whether every non-blank parent node is parent-hash valid: exactly one
  // descendant chains to it (§7.9.2, checked top down).
  bool parent_hashes_valid() const;

  // Applies an Add (§12.1.1): the leftmost blank leaf, or a new one after
  // extending the tree; the leaf joins the unmerged leaves of every
  // non-blank parent above it. Returns its leaf index.
  uint32_t add_leaf(LeafNode leaf);
  // Applies an Update (§12.1.2): replaces the leaf and blanks its direct
  // path. Requires an occupied leaf (InvalidSender otherwise).
  Result<void, Error> update_leaf(uint32_t leaf_index, LeafNode leaf);
  // Applies a Remove (§12.1.3): blanks the leaf and its direct path, then
  // truncates while the right half holds no member. Requires an occupied leaf.
  Result<void, Error> remove_leaf(uint32_t leaf_index);

  // Replaces a node.
  void set_node(NodeIndex x, OptionalBox<Node> node);
  // Blanks every node of a leaf's direct path.
  void blank_direct_path(uint32_t leaf_index);

 private:
  // Drops the cached tree hashes of x and its ancestors.
  void changed(NodeIndex x);
  // Tree hash with the given leaves blanked and dropped from every
  // unmerged_leaves list.
  Bytes tree_hash_excluding(NodeIndex x, const std::vector<uint32_t>& excluded) const;
  // Whether d's parent_hash is valid with respect to parent node p.
  bool parent_hash_valid_for(NodeIndex d, NodeIndex p) const;

  // Nodes are immutable once built and shared between copies of a tree, so
  // that copying a tree (every commit starts from one) costs a pointer per
  // node rather than a deep copy of every leaf; a change replaces the node.
  std::vector<std::shared_ptr<const Node>> nodes_;
  // Tree hash of each node, when computed. Kept flat so that a copy of a
  // warm tree stays warm at the price of one memcpy. A tree is used by one
  // thread at a time (the group lock), so the cache needs no lock of its own.
  struct CachedHash {
    std::array<uint8_t, 32> hash{};
    bool valid = false;
  };
  mutable std::vector<CachedHash> hash_cache_;
};

// VerifyWithLabel(leaf.signature_key, "LeafNodeTBS", LeafNodeTBS) for the
// leaf at leaf_index of the group (the group context is ignored for
// key-package leaves). InvalidSignature when it does not verify.
Result<void, Error> verify_leaf_node_signature(const LeafNode& leaf, ByteView group_id,
                                               uint32_t leaf_index);

}  // namespace brenvik::rfc9420
