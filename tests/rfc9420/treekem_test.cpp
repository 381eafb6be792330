#include "rfc9420/treekem.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include <nlohmann/json.hpp>

#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

Bytes hx(const json& j) {
  return *hex_decode(j.get<std::string>());
}

struct VectorMember {
  uint32_t leaf = 0;
  TreePrivateKeys keys;
  crypto::Ed25519PrivateKey signer;
};

// The keys a member holds according to the vector: its leaf key and the
// path secrets of the parents above it.
VectorMember load_member(const json& lp) {
  uint32_t leaf = lp["index"].get<uint32_t>();
  TreePrivateKeys keys(leaf);
  keys.set(tree_math::leaf_to_node(leaf),
           *crypto::X25519PrivateKey::from_bytes(hx(lp["encryption_priv"])));
  for (const auto& ps : lp["path_secrets"])
    keys.set(ps["node"].get<uint32_t>(), *node_key_from_path_secret(hx(ps["path_secret"])));
  return {leaf, std::move(keys), *crypto::Ed25519PrivateKey::from_seed(hx(lp["signature_priv"]))};
}

GroupContext vector_context(const json& c) {
  GroupContext ctx;
  ctx.cipher_suite = kSuite;
  ctx.group_id = hx(c["group_id"]);
  ctx.epoch = c["epoch"].get<uint64_t>();
  ctx.confirmed_transcript_hash = hx(c["confirmed_transcript_hash"]);
  return ctx;
}

TEST(TreeKem, VectorsProcessAndRegenerate) {
  std::string text;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / "treekem.json", text))
    GTEST_SKIP() << "treekem.json not found";
  size_t processed = 0, regenerated = 0;
  for (const auto& c : json::parse(text)) {
    if (c["cipher_suite"].get<int>() != 1) continue;
    auto base = PublicTree::from_wire(*tls_decode<RatchetTree>(hx(c["ratchet_tree"])));
    ASSERT_TRUE(base.ok());
    for (const auto& u : c["update_paths"]) {
      uint32_t sender = u["sender"].get<uint32_t>();
      auto path = tls_decode<UpdatePath>(hx(u["update_path"]));
      ASSERT_TRUE(path.ok());
      for (const auto& lp : c["leaves_private"]) {
        VectorMember m = load_member(lp);
        if (m.leaf == sender) continue;
        PublicTree tree = *base;
        GroupContext ctx = vector_context(c);
        auto commit_secret = process_update_path(tree, sender, *path, ctx, m.keys);
        ASSERT_TRUE(commit_secret.ok()) << commit_secret.error().message();
        EXPECT_EQ(Bytes(commit_secret->view().begin(), commit_secret->view().end()),
                  hx(u["commit_secret"]));
        EXPECT_EQ(tree.tree_hash(), hx(u["tree_hash_after"]));
        EXPECT_EQ(ctx.tree_hash, hx(u["tree_hash_after"]));
        // The vector's path secret for this member, implanted at the lowest
        // path node above it, leads to the same commit secret.
        const json& ps = u["path_secrets"][m.leaf];
        ASSERT_FALSE(ps.is_null());
        NodeIndex start = 0;
        for (NodeIndex x : filtered_direct_path(tree, sender))
          if (tree_math::in_subtree(tree_math::leaf_to_node(m.leaf), x)) {
            start = x;
            break;
          }
        TreePrivateKeys fresh(m.leaf);
        auto again = fresh.implant(tree, sender, start, hx(ps));
        ASSERT_TRUE(again.ok()) << again.error().message();
        EXPECT_TRUE(*again == *commit_secret);
        ++processed;
      }

      // A path we generate for the same sender is processed by everyone.
      const json* sender_private = nullptr;
      for (const auto& lp : c["leaves_private"])
        if (lp["index"].get<uint32_t>() == sender) sender_private = &lp;
      ASSERT_NE(sender_private, nullptr);
      VectorMember s = load_member(*sender_private);
      PublicTree sender_tree = *base;
      const LeafNode* old = sender_tree.leaf(sender);
      LeafTemplate tmpl{old->credential, old->capabilities, old->extensions};
      GroupContext sctx = vector_context(c);
      auto gen = generate_update_path(sender_tree, sender, tmpl, s.signer, sctx, s.keys);
      ASSERT_TRUE(gen.ok()) << gen.error().message();
      EXPECT_TRUE(sender_tree.parent_hashes_valid());
      for (const auto& lp : c["leaves_private"]) {
        VectorMember m = load_member(lp);
        if (m.leaf == sender) continue;
        PublicTree tree = *base;
        GroupContext ctx = vector_context(c);
        auto commit_secret = process_update_path(tree, sender, gen->path, ctx, m.keys);
        ASSERT_TRUE(commit_secret.ok()) << commit_secret.error().message();
        EXPECT_TRUE(*commit_secret == gen->commit_secret);
        EXPECT_EQ(tree.tree_hash(), sender_tree.tree_hash());
        EXPECT_EQ(ctx, sctx);
      }
      ++regenerated;
    }
  }
  EXPECT_GT(processed, 50u);
  EXPECT_GT(regenerated, 10u);
}

}  // namespace
}  // namespace brenvik::rfc9420

namespace brenvik::rfc9420 {
namespace {

// A simulated member: its own view of the tree and its private keys.
struct SimMember {
  crypto::Ed25519PrivateKey signer;
  PublicTree tree;
  TreePrivateKeys keys;
};

LeafNode fresh_key_package_leaf(const crypto::Ed25519PrivateKey& signer,
                                crypto::X25519PrivateKey& enc, int id) {
  LeafNode l;
  l.encryption_key.assign(enc.public_key().begin(), enc.public_key().end());
  l.signature_key.assign(signer.public_key().begin(), signer.public_key().end());
  l.credential = Credential::basic(to_bytes("member-" + std::to_string(id)));
  l.capabilities.versions = {ProtocolVersion::mls10};
  l.capabilities.cipher_suites = {kSuite};
  l.source = Lifetime{0, ~uint64_t{0}};
  l.signature = *sign_with_label(signer, "LeafNodeTBS", leaf_node_tbs(l, std::nullopt));
  return l;
}

// Random adds, self-updates and removals, each committed with a path by a
// random member: afterwards every member holds the same tree and derived the
// committer's commit secret, and a new member can start from the path
// secret of its common ancestor with the committer.
TEST(TreeKem, RandomMembershipChangesKeepEveryViewInStep) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::map<uint32_t, SimMember> members;  // by leaf index
    int next_id = 0;
    GroupContext ctx;
    ctx.cipher_suite = kSuite;
    ctx.group_id = to_bytes("group");
    {
      auto signer = *crypto::Ed25519PrivateKey::generate();
      auto enc = *crypto::X25519PrivateKey::generate();
      RatchetTree wire{Node{
          tls::Case<NodeType::leaf, LeafNode>{fresh_key_package_leaf(signer, enc, next_id++)}}};
      SimMember first{signer, *PublicTree::from_wire(wire), TreePrivateKeys(0)};
      first.keys.set(0, enc);
      members.emplace(0, std::move(first));
    }
    size_t max_seen = 1;
    for (int step = 0; step < 100; ++step) {
      std::vector<uint32_t> leaves;
      for (const auto& [l, m] : members) leaves.push_back(l);
      uint32_t committer = leaves[rng() % leaves.size()];
      // Mostly adds while the group grows (up to 64), then updates and
      // removals: 0 = add, 1 = self-update, 2 = remove.
      uint32_t r = rng() % 10;
      int op = step < 60 ? (r < 8 ? 0 : r < 9 ? 1 : 2) : (r < 4 ? 1 : 2);
      if (members.size() < 2) op = 0;
      if (members.size() >= 64 && op == 0) op = 2;

      std::vector<uint32_t> added;
      std::optional<std::pair<uint32_t, SimMember>> joiner;
      if (op == 0) {
        auto signer = *crypto::Ed25519PrivateKey::generate();
        auto enc = *crypto::X25519PrivateKey::generate();
        LeafNode leaf = fresh_key_package_leaf(signer, enc, next_id++);
        uint32_t index = 0;
        for (auto& [l, m] : members) index = m.tree.add_leaf(leaf);
        added.push_back(index);
        SimMember j{signer, {}, TreePrivateKeys(index)};
        j.keys.set(tree_math::leaf_to_node(index), enc);
        joiner.emplace(index, std::move(j));
      } else if (op == 2) {
        uint32_t victim = committer;
        while (victim == committer) victim = leaves[rng() % leaves.size()];
        members.erase(victim);
        for (auto& [l, m] : members) ASSERT_TRUE(m.tree.remove_leaf(victim).ok());
      }
      ++ctx.epoch;
      SimMember& c = members.at(committer);
      const LeafNode* old = c.tree.leaf(committer);
      LeafTemplate tmpl{old->credential, old->capabilities, old->extensions};
      GroupContext cctx = ctx;
      auto gen = generate_update_path(c.tree, committer, tmpl, c.signer, cctx, c.keys, added);
      ASSERT_TRUE(gen.ok()) << gen.error().message();
      ASSERT_TRUE(c.tree.parent_hashes_valid()) << "seed " << seed << " step " << step;
      for (auto& [l, m] : members) {
        if (l == committer) continue;
        GroupContext mctx = ctx;
        auto secret = process_update_path(m.tree, committer, gen->path, mctx, m.keys, added);
        ASSERT_TRUE(secret.ok()) << "seed " << seed << " step " << step << " member " << l << ": "
                                 << secret.error().message();
        EXPECT_TRUE(*secret == gen->commit_secret);
        EXPECT_EQ(m.tree.tree_hash(), c.tree.tree_hash());
        EXPECT_EQ(mctx, cctx);
      }
      if (joiner) {
        auto& [index, j] = *joiner;
        j.tree = c.tree;
        NodeIndex ancestor =
            *tree_math::common_ancestor(tree_math::leaf_to_node(index),
                                        tree_math::leaf_to_node(committer), c.tree.leaf_count());
        const crypto::SecretBytes* secret = nullptr;
        for (const auto& [x, s] : gen->path_secrets)
          if (x == ancestor) secret = &s;
        ASSERT_NE(secret, nullptr) << "the common ancestor is on the committer's path";
        auto commit_secret = j.keys.implant(j.tree, committer, ancestor, secret->view());
        ASSERT_TRUE(commit_secret.ok()) << commit_secret.error().message();
        EXPECT_TRUE(*commit_secret == gen->commit_secret);
        members.emplace(index, std::move(j));
      }
      ctx.tree_hash = cctx.tree_hash;
      max_seen = std::max(max_seen, members.size());
    }
    EXPECT_GE(max_seen, 35u) << "seed " << seed;
  }
}

// A path that was tampered with is refused by its receiver.
TEST(TreeKem, RefusesTamperedPaths) {
  std::vector<SimMember> m;
  RatchetTree wire;
  std::vector<crypto::X25519PrivateKey> encs;
  for (int i = 0; i < 4; ++i) {
    auto signer = *crypto::Ed25519PrivateKey::generate();
    encs.push_back(*crypto::X25519PrivateKey::generate());
    if (i > 0) wire.emplace_back();
    wire.push_back(
        Node{tls::Case<NodeType::leaf, LeafNode>{fresh_key_package_leaf(signer, encs[i], i)}});
    m.push_back({signer, {}, TreePrivateKeys(uint32_t(i))});
  }
  auto base = *PublicTree::from_wire(wire);
  for (int i = 0; i < 4; ++i) m[i].keys.set(tree_math::leaf_to_node(i), encs[i]);
  GroupContext ctx;
  ctx.cipher_suite = kSuite;
  ctx.group_id = to_bytes("g");
  PublicTree sender_tree = base;
  const LeafNode* old = base.leaf(0);
  GroupContext sctx = ctx;
  auto gen = generate_update_path(sender_tree, 0, {old->credential, old->capabilities, {}},
                                  m[0].signer, sctx, m[0].keys);
  ASSERT_TRUE(gen.ok());
  using Mutation = void (*)(UpdatePath&);
  const std::pair<const char*, Mutation> cases[] = {
      {"node key", [](UpdatePath& p) { p.nodes[1].encryption_key[0] ^= 1; }},
      {"ciphertext", [](UpdatePath& p) { p.nodes[1].encrypted_path_secret[0].ciphertext[0] ^= 1; }},
      {"kem output", [](UpdatePath& p) { p.nodes[1].encrypted_path_secret[0].kem_output[3] ^= 1; }},
      {"missing node", [](UpdatePath& p) { p.nodes.pop_back(); }},
      {"extra ciphertext",
       [](UpdatePath& p) {
         p.nodes[0].encrypted_path_secret.push_back(p.nodes[0].encrypted_path_secret[0]);
       }},
      {"leaf key (signature)", [](UpdatePath& p) { p.leaf_node.encryption_key[0] ^= 1; }},
      {"leaf source", [](UpdatePath& p) { p.leaf_node.source = UpdateSource{}; }},
      {"swapped nodes", [](UpdatePath& p) { std::swap(p.nodes[0], p.nodes[1]); }},
  };
  for (const auto& [what, mutate] : cases) {
    UpdatePath path = gen->path;
    mutate(path);
    PublicTree tree = base;
    GroupContext c = ctx;
    TreePrivateKeys keys = m[2].keys;  // below the root's copath child
    EXPECT_FALSE(process_update_path(tree, 0, path, c, keys).ok()) << what;
  }
  // The unmodified path is accepted (the cases above fail for their reason).
  PublicTree tree = base;
  GroupContext c = ctx;
  TreePrivateKeys keys = m[2].keys;
  EXPECT_TRUE(process_update_path(tree, 0, gen->path, c, keys).ok());
  // The joiner's checks: the generated tree passes; each damaged copy
  // fails for its own reason (leaves re-signed so that only one thing is wrong).
  ASSERT_TRUE(validate_tree_for_join(sender_tree, ctx.group_id, 1000).ok());
  auto resign = [&](LeafNode& l, int signer) {
    l.signature = *sign_with_label(m[signer].signer, "LeafNodeTBS", leaf_node_tbs(l, std::nullopt));
  };
  struct Damage {
    const char* expected;
    std::function<void(LeafNode&)> change;  // applied to leaf 3
  };
  const Damage damages[] = {
      {"lifetime",
       [&](LeafNode& l) {
         l.source = Lifetime{0, 10}, resign(l, 3);
       }},
      {"lifetime",
       [&](LeafNode& l) {
         l.source = Lifetime{2000, 3000}, resign(l, 3);
       }},
      {"encryption key appears twice",
       [&](LeafNode& l) { l.encryption_key = sender_tree.leaf(2)->encryption_key, resign(l, 3); }},
      {"signature key appears twice",
       [&](LeafNode& l) { l.signature_key = sender_tree.leaf(2)->signature_key, resign(l, 2); }},
      {"version or cipher suite",
       [&](LeafNode& l) { l.capabilities.cipher_suites = {2}, resign(l, 3); }},
      {"credential type",
       [&](LeafNode& l) {
         l.credential = Credential{X509Credential{{Certificate{to_bytes("cert")}}}};
         l.capabilities.credentials = {credential_type::x509};
         resign(l, 3);
       }},
      {"leaf node", [&](LeafNode& l) { l.encryption_key[0] ^= 1; }},  // signature
      {"parent hashes",
       [&](LeafNode& l) {
         l.extensions.push_back({9, {}}), resign(l, 3);
       }},
  };
  for (const auto& d : damages) {
    PublicTree damaged = sender_tree;
    LeafNode l = *damaged.leaf(3);
    d.change(l);
    damaged.set_node(6, Node{tls::Case<NodeType::leaf, LeafNode>{l}});
    auto r = validate_tree_for_join(damaged, ctx.group_id, 1000);
    ASSERT_FALSE(r.ok()) << d.expected;
    EXPECT_NE(r.error().message().find(d.expected), std::string::npos) << r.error().message();
  }

  // A member's own path, or a blank sender, is refused.
  TreePrivateKeys own = m[0].keys;
  EXPECT_FALSE(process_update_path(tree, 0, gen->path, c, own).ok());
}

}  // namespace
}  // namespace brenvik::rfc9420
