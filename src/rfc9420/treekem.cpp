#include "rfc9420/treekem.h"

#include <algorithm>

#include "crypto/hpke.h"
#include "crypto/random.h"
#include "rfc9420/cipher_suite.h"

namespace brenvik::rfc9420 {

namespace {

Error invalid(std::string detail) {
  return Error(ErrorCode::InvalidContent, std::move(detail));
}

// The public encryption key of a non-blank node.
ByteView node_public_key(const PublicTree& tree, NodeIndex x) {
  if (tree_math::is_leaf(x)) return tree.leaf(tree_math::node_to_leaf(x))->encryption_key;
  return tree.parent_node(x)->encryption_key;
}

Node parent_node_value(ParentNode p) {
  return Node{tls::Case<NodeType::parent, ParentNode>{std::move(p)}};
}
Node leaf_node_value(LeafNode l) {
  return Node{tls::Case<NodeType::leaf, LeafNode>{std::move(l)}};
}

// Sets the parent hash of each filtered-direct-path node from the root down
// (each hash covers the nodes above it) and returns the parent hash the
// leaf must carry. The nodes' keys are already in the tree.
Bytes chain_parent_hashes(PublicTree& tree, uint32_t leaf, const std::vector<NodeIndex>& fdp) {
  Bytes above;  // the root's parent hash is empty
  for (size_t i = fdp.size(); i-- > 0;) {
    ParentNode p = *tree.parent_node(fdp[i]);
    p.parent_hash = above;
    tree.set_node(fdp[i], parent_node_value(std::move(p)));
    above = tree.parent_hash(fdp[i], copath_child(tree, fdp[i], leaf));
  }
  return above;
}

}  // namespace

std::vector<NodeIndex> resolution_excluding(const PublicTree& tree, NodeIndex x,
                                            std::span<const uint32_t> excluded) {
  std::vector<NodeIndex> res = tree.resolution(x);
  if (!excluded.empty())
    std::erase_if(res, [&](NodeIndex y) {
      return tree_math::is_leaf(y) && std::find(excluded.begin(), excluded.end(),
                                                tree_math::node_to_leaf(y)) != excluded.end();
    });
  return res;
}

NodeIndex copath_child(const PublicTree& tree, NodeIndex parent, uint32_t leaf) {
  NodeIndex l = *tree_math::left(parent, tree.leaf_count());
  NodeIndex r = *tree_math::right(parent, tree.leaf_count());
  return tree_math::in_subtree(tree_math::leaf_to_node(leaf), l) ? r : l;
}

std::vector<NodeIndex> filtered_direct_path(const PublicTree& tree, uint32_t leaf) {
  std::vector<NodeIndex> out;
  for (NodeIndex p : tree_math::direct_path(tree_math::leaf_to_node(leaf), tree.leaf_count()))
    if (!tree.resolution(copath_child(tree, p, leaf)).empty()) out.push_back(p);
  return out;
}

Result<crypto::X25519PrivateKey, Error> node_key_from_path_secret(ByteView path_secret) {
  auto node_secret = derive_secret(path_secret, "node");
  if (!node_secret.ok()) return Err(Error::crypto(node_secret.error()));
  auto key = crypto::hpke::derive_key_pair(node_secret->view());
  if (!key.ok()) return Err(Error::crypto(key.error()));
  return std::move(*key);
}

const crypto::X25519PrivateKey* TreePrivateKeys::find(NodeIndex x) const {
  auto it = keys_.find(x);
  return it == keys_.end() ? nullptr : &it->second;
}

void TreePrivateKeys::set(NodeIndex x, crypto::X25519PrivateKey key) {
  keys_.insert_or_assign(x, std::move(key));
}

void TreePrivateKeys::prune(const PublicTree& tree) {
  std::erase_if(keys_, [&](const auto& entry) {
    NodeIndex x = entry.first;
    if (tree.blank(x)) return true;
    ByteView pub = node_public_key(tree, x);
    const auto& mine = entry.second.public_key();
    return !std::equal(pub.begin(), pub.end(), mine.begin(), mine.end());
  });
}

Result<crypto::SecretBytes, Error> TreePrivateKeys::implant(const PublicTree& tree, uint32_t sender,
                                                            NodeIndex start, ByteView path_secret) {
  std::vector<NodeIndex> fdp = filtered_direct_path(tree, sender);
  auto pos = std::find(fdp.begin(), fdp.end(), start);
  if (pos == fdp.end()) return Err(invalid("path secret for a node off the sender's path"));
  crypto::SecretBytes secret(path_secret);
  for (; pos != fdp.end(); ++pos) {
    BRENVIK_TRY(auto key, node_key_from_path_secret(secret.view()));
    const ParentNode* p = tree.parent_node(*pos);
    if (!p || !std::equal(p->encryption_key.begin(), p->encryption_key.end(),
                          key.public_key().begin(), key.public_key().end()))
      return Err(invalid("derived node key does not match the tree"));
    set(*pos, std::move(key));
    auto next = derive_secret(secret.view(), "path");
    if (!next.ok()) return Err(Error::crypto(next.error()));
    secret = std::move(*next);
  }
  return secret;
}

Result<GeneratedPath, Error> generate_update_path(PublicTree& tree, uint32_t leaf,
                                                  const LeafTemplate& leaf_template,
                                                  const crypto::Ed25519PrivateKey& signer,
                                                  GroupContext& context, TreePrivateKeys& keys,
                                                  std::span<const uint32_t> excluded) {
  if (!tree.leaf(leaf)) return Err(Error(ErrorCode::InvalidSender, "committer's leaf is blank"));
  tree.blank_direct_path(leaf);
  std::vector<NodeIndex> fdp = filtered_direct_path(tree, leaf);

  GeneratedPath out;
  auto seed = crypto::random_bytes(kNh);
  if (!seed.ok()) return Err(Error::crypto(seed.error()));
  crypto::SecretBytes secret(*seed);
  crypto::secure_wipe(seed->data(), seed->size());
  std::vector<crypto::X25519PrivateKey> node_keys;
  for (size_t i = 0; i < fdp.size(); ++i) {
    if (i > 0) {
      auto next = derive_secret(secret.view(), "path");
      if (!next.ok()) return Err(Error::crypto(next.error()));
      secret = std::move(*next);
    }
    BRENVIK_TRY(auto key, node_key_from_path_secret(secret.view()));
    const auto& pub = key.public_key();
    tree.set_node(fdp[i], parent_node_value(ParentNode{Bytes(pub.begin(), pub.end()), {}, {}}));
    node_keys.push_back(std::move(key));
    out.path_secrets.emplace_back(fdp[i], secret);
  }
  auto commit_secret = derive_secret(secret.view(), "path");
  if (!commit_secret.ok()) return Err(Error::crypto(commit_secret.error()));
  out.commit_secret = std::move(*commit_secret);

  Bytes leaf_parent_hash = chain_parent_hashes(tree, leaf, fdp);
  auto leaf_key = crypto::X25519PrivateKey::generate();
  if (!leaf_key.ok()) return Err(Error::crypto(leaf_key.error()));
  LeafNode node;
  node.encryption_key.assign(leaf_key->public_key().begin(), leaf_key->public_key().end());
  node.signature_key.assign(signer.public_key().begin(), signer.public_key().end());
  node.credential = leaf_template.credential;
  node.capabilities = leaf_template.capabilities;
  node.source = CommitSource{std::move(leaf_parent_hash)};
  node.extensions = leaf_template.extensions;
  auto sig = sign_with_label(signer, "LeafNodeTBS",
                             leaf_node_tbs(node, LeafNodeGroupContext{context.group_id, leaf}));
  if (!sig.ok()) return Err(Error::crypto(sig.error()));
  node.signature = std::move(*sig);
  tree.set_node(tree_math::leaf_to_node(leaf), leaf_node_value(node));
  out.path.leaf_node = std::move(node);

  context.tree_hash = tree.tree_hash();
  Bytes context_bytes = tls_encode(context);
  for (size_t i = 0; i < fdp.size(); ++i) {
    UpdatePathNode upn;
    upn.encryption_key = tree.parent_node(fdp[i])->encryption_key;
    for (NodeIndex r : resolution_excluding(tree, copath_child(tree, fdp[i], leaf), excluded)) {
      auto ct = encrypt_with_label(node_public_key(tree, r), "UpdatePathNode", context_bytes,
                                   out.path_secrets[i].second.view());
      if (!ct.ok()) return Err(Error::crypto(ct.error()));
      upn.encrypted_path_secret.push_back(std::move(*ct));
    }
    out.path.nodes.push_back(std::move(upn));
  }

  keys.prune(tree);
  keys.set(tree_math::leaf_to_node(leaf), std::move(*leaf_key));
  for (size_t i = 0; i < fdp.size(); ++i) keys.set(fdp[i], std::move(node_keys[i]));
  return out;
}

Result<void, Error> merge_update_path(PublicTree& tree, uint32_t sender, const UpdatePath& path,
                                      GroupContext& context, std::span<const uint32_t> excluded) {
  if (!tree.leaf(sender)) return Err(Error(ErrorCode::InvalidSender, "committer's leaf is blank"));
  const LeafNode& leaf = path.leaf_node;
  if (leaf.leaf_node_source() != LeafNodeSource::commit)
    return Err(invalid("path leaf is not commit-sourced"));
  BRENVIK_TRY_VOID(verify_leaf_node_signature(leaf, context.group_id, sender));

  // Every key the path brings must be new to the tree, the sender's old
  // leaf included.
  auto in_tree = [&](ByteView key) {
    for (NodeIndex x = 0; x < tree.node_count(); ++x) {
      if (tree.blank(x)) continue;
      ByteView k = node_public_key(tree, x);
      if (std::equal(k.begin(), k.end(), key.begin(), key.end())) return true;
    }
    return false;
  };
  if (in_tree(leaf.encryption_key)) return Err(invalid("path leaf reuses an encryption key"));

  tree.blank_direct_path(sender);
  std::vector<NodeIndex> fdp = filtered_direct_path(tree, sender);
  if (path.nodes.size() != fdp.size()) return Err(invalid("path length does not match the tree"));
  for (size_t i = 0; i < fdp.size(); ++i) {
    const UpdatePathNode& n = path.nodes[i];
    if (n.encryption_key.size() != crypto::kX25519KeySize)
      return Err(invalid("path node key has the wrong size"));
    if (n.encryption_key == leaf.encryption_key || in_tree(n.encryption_key))
      return Err(invalid("path node reuses an encryption key"));
    size_t expected =
        resolution_excluding(tree, copath_child(tree, fdp[i], sender), excluded).size();
    if (n.encrypted_path_secret.size() != expected)
      return Err(invalid("path node has the wrong number of ciphertexts"));
    tree.set_node(fdp[i], parent_node_value(ParentNode{n.encryption_key, {}, {}}));
  }
  Bytes expected_leaf_hash = chain_parent_hashes(tree, sender, fdp);
  if (!leaf.parent_hash() || *leaf.parent_hash() != expected_leaf_hash)
    return Err(invalid("path leaf's parent hash does not match"));
  tree.set_node(tree_math::leaf_to_node(sender), leaf_node_value(leaf));
  context.tree_hash = tree.tree_hash();
  return {};
}

Result<crypto::SecretBytes, Error> process_update_path(PublicTree& tree, uint32_t sender,
                                                       const UpdatePath& path,
                                                       GroupContext& context, TreePrivateKeys& keys,
                                                       std::span<const uint32_t> excluded) {
  uint32_t me = keys.own_leaf();
  if (me == sender) return Err(Error(ErrorCode::InvalidSender, "a member's own path"));
  BRENVIK_TRY_VOID(merge_update_path(tree, sender, path, context, excluded));
  keys.prune(tree);

  std::vector<NodeIndex> fdp = filtered_direct_path(tree, sender);
  NodeIndex my_node = tree_math::leaf_to_node(me);
  for (size_t i = 0; i < fdp.size(); ++i) {
    NodeIndex child = copath_child(tree, fdp[i], sender);
    if (!tree_math::in_subtree(my_node, child)) continue;
    std::vector<NodeIndex> res = resolution_excluding(tree, child, excluded);
    for (size_t j = 0; j < res.size(); ++j) {
      const crypto::X25519PrivateKey* key = keys.find(res[j]);
      if (!key) continue;
      const HpkeCiphertext& ct = path.nodes[i].encrypted_path_secret[j];
      auto secret = decrypt_with_label(*key, "UpdatePathNode", tls_encode(context), ct.kem_output,
                                       ct.ciphertext);
      if (!secret.ok())
        return Err(Error(ErrorCode::DecryptionFailed, "path secret does not decrypt"));
      if (secret->size() != kNh) return Err(invalid("path secret has the wrong size"));
      return keys.implant(tree, sender, fdp[i], secret->view());
    }
    return Err(invalid("no key for the path secret addressed to this member"));
  }
  return Err(invalid("this member is not below the sender's path"));
}

}  // namespace brenvik::rfc9420

namespace brenvik::rfc9420 {

Result<void, Error> validate_tree_for_join(const PublicTree& tree, ByteView group_id,
                                           uint64_t now) {
  return validate_tree_for_join(tree, group_id, now, true);
}

Result<void, Error> validate_tree_for_join(const PublicTree& tree, ByteView group_id, uint64_t now,
                                           bool check_lifetimes) {
  std::vector<Bytes> encryption_keys, signature_keys;
  std::vector<CredentialType> used_credentials;
  for (uint32_t l = 0; l < tree.leaf_count(); ++l) {
    const LeafNode* leaf = tree.leaf(l);
    if (!leaf) continue;
    BRENVIK_TRY_VOID(verify_leaf_node_signature(*leaf, group_id, l));
    if (const Lifetime* lt = leaf->lifetime();
        check_lifetimes && lt && (now < lt->not_before || now > lt->not_after))
      return Err(invalid("leaf lifetime does not contain the current time"));
    const Capabilities& caps = leaf->capabilities;
    if (std::find(caps.versions.begin(), caps.versions.end(), ProtocolVersion::mls10) ==
            caps.versions.end() ||
        std::find(caps.cipher_suites.begin(), caps.cipher_suites.end(), kSuite) ==
            caps.cipher_suites.end())
      return Err(invalid("leaf capabilities lack the group's version or cipher suite"));
    encryption_keys.push_back(leaf->encryption_key);
    signature_keys.push_back(leaf->signature_key);
    used_credentials.push_back(leaf->credential.type());
  }
  // Every member must support every credential type in use; basic is
  // supported by default.
  for (uint32_t l = 0; l < tree.leaf_count(); ++l) {
    const LeafNode* leaf = tree.leaf(l);
    if (!leaf) continue;
    const auto& supported = leaf->capabilities.credentials;
    for (CredentialType t : used_credentials)
      if (t != credential_type::basic &&
          std::find(supported.begin(), supported.end(), t) == supported.end())
        return Err(invalid("a member does not support a credential type in use"));
  }
  for (NodeIndex x = 1; x < tree.node_count(); x += 2)
    if (const ParentNode* p = tree.parent_node(x)) encryption_keys.push_back(p->encryption_key);
  auto unique = [](std::vector<Bytes>& v) {
    std::sort(v.begin(), v.end());
    return std::adjacent_find(v.begin(), v.end()) == v.end();
  };
  if (!unique(encryption_keys)) return Err(invalid("an encryption key appears twice in the tree"));
  if (!unique(signature_keys)) return Err(invalid("a signature key appears twice in the tree"));
  if (!tree.parent_hashes_valid()) return Err(invalid("tree parent hashes do not chain"));
  return {};
}

}  // namespace brenvik::rfc9420
