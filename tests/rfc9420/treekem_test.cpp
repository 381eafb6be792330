#include "rfc9420/treekem.h"

#include <gtest/gtest.h>

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
