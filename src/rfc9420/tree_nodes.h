// The wire form of ratchet tree nodes (RFC 9420 §7.1, §12.4.3.3): parent
// nodes, the Node select and the `ratchet_tree` extension's node list.
#pragma once

#include "rfc9420/leaf_node.h"

namespace brenvik::rfc9420 {

struct ParentNode {
  HpkePublicKey encryption_key;
  Bytes parent_hash;
  std::vector<uint32_t> unmerged_leaves;
  bool operator==(const ParentNode&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&ParentNode::encryption_key), tls::field(&ParentNode::parent_hash),
                      tls::field(&ParentNode::unmerged_leaves)};
  }
};

struct Node {
  std::variant<tls::Case<NodeType::leaf, LeafNode>, tls::Case<NodeType::parent, ParentNode>> body;
  bool operator==(const Node&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Node::body)}; }

  const LeafNode* leaf() const {
    const auto* l = std::get_if<0>(&body);
    return l ? &l->value : nullptr;
  }
  const ParentNode* parent() const {
    const auto* p = std::get_if<1>(&body);
    return p ? &p->value : nullptr;
  }
};

// optional<Node> ratchet_tree<V>: nodes in array order, blank ones absent
// (boxed: a blank node costs one byte on the wire and a pointer in memory).
// Structural checks (last node non-blank, leaves at even positions) belong
// to the ratchet tree, not to the codec.
using RatchetTree = std::vector<OptionalBox<Node>>;

}  // namespace brenvik::rfc9420
