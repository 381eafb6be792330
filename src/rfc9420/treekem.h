// TreeKEM (RFC 9420 §7.4-§7.6): the private keys a member holds in the
// ratchet tree, generating an UpdatePath for one's own leaf, and merging and
// decrypting an UpdatePath received from another member.
#pragma once

#include <map>
#include <span>

#include "crypto/ed25519.h"
#include "crypto/x25519.h"
#include "rfc9420/commit.h"
#include "rfc9420/error.h"
#include "rfc9420/group_context.h"
#include "rfc9420/key_schedule.h"
#include "rfc9420/ratchet_tree.h"

namespace brenvik::rfc9420 {

using tree_math::NodeIndex;

// The nodes of a leaf's direct path whose copath child has a non-empty
// resolution (§4.1.2), leaf to root. Members added by the same commit count
// here: their path node stays, with no ciphertext for them (they receive its
// secret in the Welcome).
std::vector<NodeIndex> filtered_direct_path(const PublicTree& tree, uint32_t leaf);
// The copath child of `parent` seen from `leaf` (the child not above the leaf).
NodeIndex copath_child(const PublicTree& tree, NodeIndex parent, uint32_t leaf);
// resolution(x) without the given leaves.
std::vector<NodeIndex> resolution_excluding(const PublicTree& tree, NodeIndex x,
                                            std::span<const uint32_t> excluded);

// The private halves of the tree keys one member knows: its leaf's and those
// of the parent nodes on its direct path it received or generated.
class TreePrivateKeys {
 public:
  TreePrivateKeys() = default;
  explicit TreePrivateKeys(uint32_t own_leaf) : own_leaf_(own_leaf) {}

  uint32_t own_leaf() const { return own_leaf_; }
  const crypto::X25519PrivateKey* find(NodeIndex x) const;
  void set(NodeIndex x, crypto::X25519PrivateKey key);
  const std::map<NodeIndex, crypto::X25519PrivateKey>& all() const { return keys_; }
  // Drops every key whose node is now blank or carries another public key
  // (nodes replaced by a path, blanked by a removal, cut by truncation).
  void prune(const PublicTree& tree);

  // Derives the keys of `start` and of every node above it on `sender`'s
  // filtered direct path from `path_secret` (the secret of `start`), checking
  // each derived public key against the tree. Returns the secret one step
  // beyond the root (the commit secret). InvalidContent when `start` is not
  // on that path or a derived key does not match.
  Result<crypto::SecretBytes, Error> implant(const PublicTree& tree, uint32_t sender,
                                             NodeIndex start, ByteView path_secret);

 private:
  uint32_t own_leaf_ = 0;
  std::map<NodeIndex, crypto::X25519PrivateKey> keys_;
};

// node_secret = DeriveSecret(path_secret, "node"); the key pair DeriveKeyPair(node_secret).
Result<crypto::X25519PrivateKey, Error> node_key_from_path_secret(ByteView path_secret);

// What the leaf's owner changes in its leaf when it commits with a path;
// the encryption key, source and signature are set by the generation.
struct LeafTemplate {
  Credential credential;
  Capabilities capabilities;
  std::vector<Extension> extensions;
};

struct GeneratedPath {
  UpdatePath path;
  // The path secret of each node of the filtered direct path, leaf to root.
  std::vector<std::pair<NodeIndex, crypto::SecretBytes>> path_secrets;
  crypto::SecretBytes commit_secret;
};

// Generates an UpdatePath for `leaf` in `tree` (the tree after the commit's
// proposals) and merges it into the tree: new node keys, parent hashes, a
// re-signed leaf. `context` comes in as the provisional GroupContext without
// its tree hash and leaves with the tree hash of the new tree; path secrets
// are encrypted under it. `keys` (the committer's) receive the new private
// keys. `excluded` are the leaves added by the same commit.
Result<GeneratedPath, Error> generate_update_path(PublicTree& tree, uint32_t leaf,
                                                  const LeafTemplate& leaf_template,
                                                  const crypto::Ed25519PrivateKey& signer,
                                                  GroupContext& context, TreePrivateKeys& keys,
                                                  std::span<const uint32_t> excluded = {});

// Merges a received UpdatePath from `sender` into `tree` (the tree after the
// commit's proposals) after checking it: a commit-sourced leaf whose
// signature verifies, one node per filtered-direct-path entry, one
// ciphertext per copath resolution node, fresh encryption keys, and the
// leaf's parent hash. Then sets context.tree_hash, decrypts the path secret
// meant for `keys.own_leaf()` and derives and checks the keys above it.
// Returns the commit secret. On error `tree` and `keys` may be half-changed:
// callers work on copies.
Result<crypto::SecretBytes, Error> process_update_path(PublicTree& tree, uint32_t sender,
                                                       const UpdatePath& path,
                                                       GroupContext& context, TreePrivateKeys& keys,
                                                       std::span<const uint32_t> excluded = {});

// Only the public half of process_update_path: checks and merges the path
// and sets context.tree_hash (for a member that holds no key below it, and
// for tests).
Result<void, Error> merge_update_path(PublicTree& tree, uint32_t sender, const UpdatePath& path,
                                      GroupContext& context,
                                      std::span<const uint32_t> excluded = {});

}  // namespace brenvik::rfc9420

namespace brenvik::rfc9420 {

// The checks a joiner runs on a received tree before trusting it (RFC 9420
// §12.4.3.1, §7.9.2, §7.3): parent-hash chains, every leaf's signature,
// key-package lifetimes containing `now` (seconds since the Unix epoch),
// unique encryption keys over
// all nodes and unique signature keys over leaves, credentials each member
// supports and capabilities that list the group's suite and version.
Result<void, Error> validate_tree_for_join(const PublicTree& tree, ByteView group_id, uint64_t now);
// The same, skipping the lifetime check when `check_lifetimes` is false.
Result<void, Error> validate_tree_for_join(const PublicTree& tree, ByteView group_id, uint64_t now,
                                           bool check_lifetimes);

}  // namespace brenvik::rfc9420
