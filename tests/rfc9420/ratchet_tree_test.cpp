#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rfc9420/proposal.h"
#include "rfc9420/ratchet_tree.h"
#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

TEST(PublicTree, TreeValidationVectorsHashesAndResolutions) {
  std::string text;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / "tree-validation.json",
                                   text))
    GTEST_SKIP() << "tree-validation.json not found";
  size_t cases = 0, tampered_parents = 0;
  for (const auto& c : json::parse(text)) {
    if (c["cipher_suite"].get<int>() != 1) continue;
    auto wire = tls_decode<RatchetTree>(*hex_decode(c["tree"].get<std::string>()));
    ASSERT_TRUE(wire.ok());
    auto tree = PublicTree::from_wire(*wire);
    ASSERT_TRUE(tree.ok()) << tree.error().message();
    ASSERT_EQ(tree->node_count(), c["tree_hashes"].size());
    for (uint32_t x = 0; x < tree->node_count(); ++x) {
      EXPECT_EQ(hex_encode(tree->tree_hash(x)), c["tree_hashes"][x].get<std::string>())
          << "case " << cases << " node " << x;
      EXPECT_EQ(tree->resolution(x), c["resolutions"][x].get<std::vector<uint32_t>>())
          << "case " << cases << " node " << x;
    }
    EXPECT_EQ(tree->to_wire(), *wire);
    EXPECT_TRUE(tree->parent_hashes_valid()) << "case " << cases;
    Bytes group_id = *hex_decode(c["group_id"].get<std::string>());
    for (uint32_t l = 0; l < tree->leaf_count(); ++l) {
      const LeafNode* leaf = tree->leaf(l);
      if (!leaf) continue;
      EXPECT_TRUE(verify_leaf_node_signature(*leaf, group_id, l).ok()) << cases << "/" << l;
      // Bound to its position in update/commit leaves, and to its content.
      if (leaf->leaf_node_source() != LeafNodeSource::key_package) {
        EXPECT_FALSE(verify_leaf_node_signature(*leaf, group_id, l + 1).ok());
      }
      LeafNode changed = *leaf;
      changed.encryption_key[0] ^= 1;
      EXPECT_FALSE(verify_leaf_node_signature(changed, group_id, l).ok());
    }

    // Changing any parent's key breaks the chain that authenticates it.
    for (uint32_t x = 1; x < tree->node_count(); x += 2) {
      const ParentNode* p = tree->parent_node(x);
      if (!p) continue;
      PublicTree tampered = *tree;
      ParentNode changed = *p;
      changed.encryption_key[0] ^= 1;
      tampered.set_node(x, Node{tls::Case<NodeType::parent, ParentNode>{changed}});
      EXPECT_FALSE(tampered.parent_hashes_valid()) << "case " << cases << " node " << x;
      ++tampered_parents;
    }
    ++cases;
  }
  EXPECT_GT(cases, 0u);
  EXPECT_GT(tampered_parents, 10u);
}

TEST(PublicTree, TreeOperationVectors) {
  std::string text;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / "tree-operations.json",
                                   text))
    GTEST_SKIP() << "tree-operations.json not found";
  size_t cases = 0;
  for (const auto& c : json::parse(text)) {
    if (c["cipher_suite"].get<int>() != 1) continue;
    auto h = [&](const char* k) { return *hex_decode(c[k].get<std::string>()); };
    auto original = PublicTree::from_wire(*tls_decode<RatchetTree>(h("tree_before")));
    ASSERT_TRUE(original.ok());
    EXPECT_EQ(original->tree_hash(), h("tree_hash_before"));  // and warms its hash cache
    // Copies share nodes: the operation on a copy must leave the original
    // (its nodes, unmerged leaves and cached hashes) as it was.
    PublicTree copy = *original;
    PublicTree* tree = &copy;
    auto proposal = tls_decode<Proposal>(h("proposal"));
    ASSERT_TRUE(proposal.ok());
    uint32_t sender = c["proposal_sender"].get<uint32_t>();
    if (const auto* add = std::get_if<Add>(&proposal->body)) {
      tree->add_leaf(add->key_package->leaf_node);
    } else if (const auto* upd = std::get_if<Update>(&proposal->body)) {
      ASSERT_TRUE(tree->update_leaf(sender, *upd->leaf_node).ok());
    } else if (const auto* rem = std::get_if<Remove>(&proposal->body)) {
      ASSERT_TRUE(tree->remove_leaf(rem->removed).ok());
    } else {
      FAIL() << "unexpected proposal type " << proposal->type();
    }
    EXPECT_EQ(tls_encode(tree->to_wire()), h("tree_after")) << "case " << cases;
    EXPECT_EQ(tree->tree_hash(), h("tree_hash_after")) << "case " << cases;
    EXPECT_EQ(tls_encode(original->to_wire()), h("tree_before")) << "case " << cases;
    EXPECT_EQ(original->tree_hash(), h("tree_hash_before")) << "case " << cases;
    ++cases;
  }
  EXPECT_GT(cases, 0u);
}

TEST(PublicTree, RefusesMalformedWireTrees) {
  LeafNode leaf;
  leaf.credential = Credential::basic(to_bytes("a"));
  Node leaf_node{tls::Case<NodeType::leaf, LeafNode>{leaf}};
  Node parent_node{tls::Case<NodeType::parent, ParentNode>{}};
  const std::pair<const char*, RatchetTree> cases[] = {
      {"empty", {}},
      {"ends blank", {leaf_node, {}, {}}},
      {"parent at a leaf position", {parent_node}},
      {"leaf at a parent position", {leaf_node, leaf_node}},
  };
  for (const auto& [what, wire] : cases) EXPECT_FALSE(PublicTree::from_wire(wire).ok()) << what;
  // Five nodes (three leaves) pad to the seven of a four-leaf tree.
  auto t = PublicTree::from_wire({leaf_node, {}, leaf_node, {}, leaf_node});
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->node_count(), 7u);
  EXPECT_EQ(t->leaf_count(), 4u);
  EXPECT_EQ(t->resolution(5), std::vector<uint32_t>{4});
  EXPECT_EQ(t->resolution(3), (std::vector<uint32_t>{0, 2, 4}));
  // Leaf 3 is blank: updating or removing it is refused.
  auto removed = t->remove_leaf(3);
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error().code(), ErrorCode::InvalidSender);
  auto updated = t->update_leaf(3, leaf);
  ASSERT_FALSE(updated.ok());
  EXPECT_EQ(updated.error().code(), ErrorCode::InvalidSender);
  ASSERT_TRUE(t->remove_leaf(1).ok());
  EXPECT_EQ(t->leaf_count(), 4u);    // leaf 2 still holds the right half
  EXPECT_EQ(t->add_leaf(leaf), 1u);  // leftmost blank
  EXPECT_EQ(t->add_leaf(leaf), 3u);
  EXPECT_EQ(t->add_leaf(leaf), 4u);  // extends to eight leaves
  EXPECT_EQ(t->leaf_count(), 8u);
  ASSERT_TRUE(t->remove_leaf(4).ok());  // right half empty again: truncated
  EXPECT_EQ(t->leaf_count(), 4u);
}

// Copies of a tree share their nodes: an Add (which extends the unmerged
// leaves of the parents above it), an Update and a Remove on a copy leave
// the original's nodes and cached hashes as they were.
TEST(PublicTree, ChangingACopyLeavesTheOriginal) {
  auto leaf = [](uint8_t k) {
    LeafNode l;
    l.credential = Credential::basic(to_bytes("a"));
    l.encryption_key.assign(32, k);
    return l;
  };
  auto L = [&](uint8_t k) {
    return OptionalBox<Node>(Node{tls::Case<NodeType::leaf, LeafNode>{leaf(k)}});
  };
  auto P = [](uint8_t k) {
    return OptionalBox<Node>(
        Node{tls::Case<NodeType::parent, ParentNode>{ParentNode{Bytes(32, k), {}, {}}}});
  };
  const RatchetTree wire{L(1), P(2), {}, P(3), L(4), P(5), L(6)};  // leaf 1 blank
  auto original = PublicTree::from_wire(wire);
  ASSERT_TRUE(original.ok());
  const Bytes hash = original->tree_hash();

  PublicTree added = *original;
  EXPECT_EQ(added.add_leaf(leaf(7)), 1u);
  EXPECT_EQ(added.parent_node(1)->unmerged_leaves, std::vector<uint32_t>{1});
  EXPECT_EQ(added.parent_node(3)->unmerged_leaves, std::vector<uint32_t>{1});
  PublicTree updated = *original;
  ASSERT_TRUE(updated.update_leaf(2, leaf(8)).ok());
  PublicTree removed = *original;
  ASSERT_TRUE(removed.remove_leaf(3).ok());
  for (const PublicTree* changed : {&added, &updated, &removed})
    EXPECT_NE(changed->tree_hash(), hash);

  EXPECT_EQ(original->to_wire(), wire);
  EXPECT_EQ(original->tree_hash(), hash);
  EXPECT_EQ(PublicTree::from_wire(wire)->tree_hash(), hash);  // a cold tree agrees
}

}  // namespace
}  // namespace brenvik::rfc9420
