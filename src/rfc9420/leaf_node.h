// LeafNode and its parts (RFC 9420 §7.2): the signed description of one
// member, carried in key packages, Update proposals, UpdatePaths and trees.
#pragma once

#include "rfc9420/wire_common.h"

namespace brenvik::rfc9420 {

struct Capabilities {
  std::vector<ProtocolVersion> versions;
  std::vector<CipherSuite> cipher_suites;
  std::vector<ExtensionType> extensions;
  std::vector<ProposalType> proposals;
  std::vector<CredentialType> credentials;
  bool operator==(const Capabilities&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&Capabilities::versions), tls::field(&Capabilities::cipher_suites),
                      tls::field(&Capabilities::extensions), tls::field(&Capabilities::proposals),
                      tls::field(&Capabilities::credentials)};
  }
};

// Seconds since the Unix epoch.
struct Lifetime {
  static constexpr LeafNodeSource tls_tag = LeafNodeSource::key_package;
  uint64_t not_before = 0;
  uint64_t not_after = 0;
  bool operator==(const Lifetime&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&Lifetime::not_before), tls::field(&Lifetime::not_after)};
  }
};

using UpdateSource = tls::Empty<LeafNodeSource::update>;
// The parent hash of a leaf set by a commit's UpdatePath.
using CommitSource = tls::Case<LeafNodeSource::commit, Bytes>;

struct LeafNode {
  HpkePublicKey encryption_key;
  SignaturePublicKey signature_key;
  Credential credential;
  Capabilities capabilities;
  std::variant<Lifetime, UpdateSource, CommitSource> source;
  std::vector<Extension> extensions;
  Bytes signature;  // SignWithLabel(., "LeafNodeTBS", LeafNodeTBS)

  bool operator==(const LeafNode&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&LeafNode::encryption_key), tls::field(&LeafNode::signature_key),
                      tls::field(&LeafNode::credential),     tls::field(&LeafNode::capabilities),
                      tls::field(&LeafNode::source),         tls::field(&LeafNode::extensions),
                      tls::field(&LeafNode::signature)};
  }

  LeafNodeSource leaf_node_source() const {
    return std::visit([](const auto& s) { return std::remove_cvref_t<decltype(s)>::tls_tag; },
                      source);
  }
  const Lifetime* lifetime() const { return std::get_if<Lifetime>(&source); }
  // The parent hash of a commit-sourced leaf, nullptr otherwise.
  const Bytes* parent_hash() const {
    const auto* c = std::get_if<CommitSource>(&source);
    return c ? &c->value : nullptr;
  }
};

// LeafNodeTBS: the leaf's fields without the signature, followed for leaves
// made inside a group (update, commit) by the group id and leaf index.
struct LeafNodeGroupContext {
  ByteView group_id;
  uint32_t leaf_index = 0;
};
Bytes leaf_node_tbs(const LeafNode& leaf, const std::optional<LeafNodeGroupContext>& group);

}  // namespace brenvik::rfc9420
