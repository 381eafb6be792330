#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rfc9420/tree_math.h"
#include "test_support.h"

namespace brenvik::rfc9420::tree_math {
namespace {

using nlohmann::json;

std::optional<NodeIndex> from_json(const json& j) {
  if (j.is_null()) return std::nullopt;
  return j.get<NodeIndex>();
}

TEST(TreeMath, PublicVectors) {
  std::string text;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / "tree-math.json",
                                   text))
    GTEST_SKIP() << "tree-math.json not found";
  json v = json::parse(text);
  ASSERT_FALSE(v.empty());
  for (const auto& c : v) {
    uint32_t n = c["n_leaves"].get<uint32_t>();
    ASSERT_EQ(node_width(n), c["n_nodes"].get<uint64_t>());
    ASSERT_EQ(root(n), c["root"].get<NodeIndex>()) << n;
    for (NodeIndex x = 0; x < node_width(n); ++x) {
      EXPECT_EQ(left(x, n), from_json(c["left"][x])) << n << " " << x;
      EXPECT_EQ(right(x, n), from_json(c["right"][x])) << n << " " << x;
      EXPECT_EQ(parent(x, n), from_json(c["parent"][x])) << n << " " << x;
      EXPECT_EQ(sibling(x, n), from_json(c["sibling"][x])) << n << " " << x;
    }
  }
}

// The 8-leaf tree of RFC 9420 appendix C and a left-balanced 5-leaf tree
// (nodes 0..8, root 7, node 8 hanging directly under the root).
TEST(TreeMath, PathsInSmallTrees) {
  struct Case {
    uint32_t n;
    NodeIndex x;
    std::vector<NodeIndex> direct, co;
  };
  const Case cases[] = {
      {8, 0, {1, 3, 7}, {2, 5, 11}},
      {8, 10, {9, 11, 7}, {8, 13, 3}},
      {8, 7, {}, {}},
      {8, 5, {3, 7}, {1, 11}},
      {1, 0, {}, {}},
      {5, 8, {7}, {3}},
      {5, 4, {5, 3, 7}, {6, 1, 8}},
      {3, 4, {3}, {1}},
      {8, 15, {}, {}},  // outside the tree
  };
  for (const auto& c : cases) {
    EXPECT_EQ(direct_path(c.x, c.n), c.direct) << c.n << "/" << c.x;
    EXPECT_EQ(copath(c.x, c.n), c.co) << c.n << "/" << c.x;
  }
  EXPECT_EQ(root(5), 7u);
  EXPECT_EQ(right(7, 5), 8u);
  EXPECT_EQ(sibling(8, 5), 3u);
  EXPECT_EQ(root(0), std::nullopt);
  EXPECT_EQ(parent(9, 5), std::nullopt);
  EXPECT_EQ(left(4, 8), std::nullopt);
}

TEST(TreeMath, CommonAncestor) {
  struct Case {
    NodeIndex x, y;
    uint32_t n;
    std::optional<NodeIndex> want;
  };
  const Case cases[] = {
      {0, 2, 8, 1},  {0, 14, 8, 7}, {4, 6, 8, 5},
      {2, 12, 8, 7}, {6, 6, 8, 6},  {1, 2, 8, 1},
      {8, 0, 5, 7},  {4, 6, 5, 5},  {0, 16, 5, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(common_ancestor(c.x, c.y, c.n), c.want) << c.x << "," << c.y << " n=" << c.n;
}

// Structural laws for every node of every tree up to 70 leaves, power of two
// or not: children point back to their parent, siblings are mutual, paths
// end at the root and copaths run beside them.
TEST(TreeMath, ConsistentForAnyLeafCount) {
  for (uint32_t n = 1; n <= 70; ++n) {
    NodeIndex r = *root(n);
    for (NodeIndex x = 0; x < node_width(n); ++x) {
      if (auto l = left(x, n)) {
        EXPECT_EQ(parent(*l, n), x) << n << " " << x;
        EXPECT_EQ(parent(*right(x, n), n), x) << n << " " << x;
        EXPECT_LT(*l, x);
        EXPECT_GT(*right(x, n), x);
      }
      auto d = direct_path(x, n);
      auto c = copath(x, n);
      ASSERT_EQ(d.size(), c.size());
      if (x == r) {
        EXPECT_TRUE(d.empty());
        continue;
      }
      EXPECT_EQ(d.back(), r);
      EXPECT_EQ(sibling(*sibling(x, n), n), x);
      for (size_t i = 0; i < d.size(); ++i) EXPECT_EQ(parent(c[i], n), d[i]);
    }
    for (LeafIndex a = 0; a < n; a += 3)
      for (LeafIndex b = 0; b < n; b += 2) {
        auto ca = common_ancestor(leaf_to_node(a), leaf_to_node(b), n);
        ASSERT_TRUE(ca);
        EXPECT_TRUE(in_subtree(leaf_to_node(a), *ca) && in_subtree(leaf_to_node(b), *ca));
        if (a != b) {
          // Lowest: neither child of the ancestor holds both leaves.
          for (auto ch : {*left(*ca, n), *right(*ca, n)})
            EXPECT_FALSE(in_subtree(leaf_to_node(a), ch) && in_subtree(leaf_to_node(b), ch));
        }
      }
  }
}

}  // namespace
}  // namespace brenvik::rfc9420::tree_math
