// Commit and UpdatePath (RFC 9420 §12.4, §7.6).
#pragma once

#include "rfc9420/proposal.h"

namespace brenvik::rfc9420 {

struct UpdatePathNode {
  HpkePublicKey encryption_key;
  std::vector<HpkeCiphertext> encrypted_path_secret;
  bool operator==(const UpdatePathNode&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&UpdatePathNode::encryption_key),
                      tls::field(&UpdatePathNode::encrypted_path_secret)};
  }
};

struct UpdatePath {
  LeafNode leaf_node;
  std::vector<UpdatePathNode> nodes;
  bool operator==(const UpdatePath&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&UpdatePath::leaf_node), tls::field(&UpdatePath::nodes)};
  }
};

struct Commit {
  std::vector<ProposalOrRef> proposals;
  std::optional<UpdatePath> path;
  bool operator==(const Commit&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&Commit::proposals), tls::field(&Commit::path)};
  }
};

}  // namespace brenvik::rfc9420
