// Appending through the right edge (push_back_with) against a plain vector of
// elements, interleaved with the edits that reshape that edge: removals of the
// last leaves (merging and borrowing along it, dropping levels), drains of a
// suffix, insertions in the middle, rebuilds, and an emptied last element.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "btree_test_chunks.h"

namespace kesu::testing {
namespace {

// The same chunks with caches recomputed level by level instead of carried
// as differences, so that both ways of repairing the right edge are run.
struct RecomputeTrait : ChunkTrait {
  static constexpr bool kUseDiff = false;
};

// The joining rule handed to push_back_with: unlike can_merge it also wants
// the new chunk to start with the last chunk's final character, so a test can
// tell the two rules apart.
bool joins(const Chunk& last, const Chunk& n) {
  return !last.s.empty() && last.s.back() == n.s.front() &&
         last.s.size() + n.s.size() <= ChunkTrait::kMax;
}

template <typename Trait>
struct EdgeModel {
  using Tree = BTree<Trait>;
  Tree tree;
  std::vector<std::string> elems;  // the elements, in order, as they must be
  std::mt19937_64 rng;

  explicit EdgeModel(uint64_t seed) : rng(seed) {}

  size_t rnd(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  std::string text() {
    std::string t(1 + rnd(4), ' ');
    for (auto& c : t) c = "axb"[rnd(3)];
    return t;
  }
  std::string joined() const {
    std::string s;
    for (const auto& e : elems) s += e;
    return s;
  }
  // After an edit whose element-level result is not modelled: the contents
  // must be `want`, and the tree's elements become the model.
  void resync(const std::string& want) {
    ASSERT_EQ(contents(tree), want);
    elems.clear();
    for (const auto& e : tree) elems.push_back(e.s);
  }
  std::optional<QueryResult> at(size_t pos) {
    LengthFinder<Trait> f(pos);
    return tree.query(f);
  }

  void push_back() {
    std::string t = text();
    tree.push_back_with(Chunk{t}, [](Chunk& last, Chunk& n) -> std::optional<ChunkCache> {
      if (!joins(last, n)) return std::nullopt;
      ChunkCache d = Trait::elem_cache(n);
      last.s += n.s;
      return d;
    });
    if (!elems.empty() && joins(Chunk{elems.back()}, Chunk{t})) {
      elems.back() += t;
      return;
    }
    if (!elems.empty() && elems.back().empty()) {
      // The empty last element goes; then the plain push rule applies.
      elems.pop_back();
      if (!elems.empty() && Trait::can_merge(Chunk{elems.back()}, Chunk{t})) {
        elems.back() += t;
        return;
      }
    }
    elems.push_back(t);
  }

  // Leaves an empty last element behind, as an edit in place may.
  void empty_last() {
    auto l = tree.last_leaf();
    if (!l) return;
    tree.get_elem_mut(*l).s.clear();
    tree.recursive_update_cache(*l, std::nullopt);
    elems.back().clear();
  }

  void remove_last() {
    auto l = tree.last_leaf();
    if (!l) return;
    auto e = tree.remove_leaf(*l);
    ASSERT_TRUE(e);
    ASSERT_EQ(e->s, elems.back());
    elems.pop_back();
  }

  void drain_suffix() {
    std::string s = joined();
    if (s.empty()) return;
    // Mostly a few elements, now and then hundreds: whole nodes of the right
    // edge go.
    size_t a = s.size() - rnd(std::min<size_t>(s.size(), rnd(5) == 0 ? 400 : 40) + 1);
    { auto d = tree.drain(at(a), at(s.size())); }
    resync(s.substr(0, a));
  }

  void insert_inside() {
    std::string s = joined();
    if (s.empty()) return;
    // Half of them near the end, where a split moves the last leaves into a
    // new node that takes over the right edge.
    size_t pos = rnd(2) == 0 ? s.size() - 1 - rnd(std::min<size_t>(s.size(), 12)) : rnd(s.size());
    std::string t = text();
    tree.insert_by_path(at(pos)->cursor, Chunk{t});
    resync(s.substr(0, pos) + t + s.substr(pos));
  }

  void rebuild() {
    std::vector<Chunk> parts;
    for (const auto& e : elems) parts.push_back(Chunk{e});
    tree = Tree::build_from_elems(std::move(parts));
  }

  void verify(size_t step, int op) {
    ASSERT_EQ(tree.check_invariants(), "") << "step " << step << " op " << op;
    std::vector<std::string> got;
    for (const auto& e : tree) got.push_back(e.s);
    ASSERT_EQ(got, elems) << "step " << step << " op " << op;
  }
};

template <typename Trait>
void run(uint64_t seed) {
  EdgeModel<Trait> m(seed);
  size_t max_depth = 0;
  for (size_t i = 0; i < 5000; ++i) {
    // Grow to about 1500 elements, then hold the size there, so that the
    // right edge is split, merged and borrowed from at every level.
    bool grow = m.elems.size() < 1500;
    size_t r = m.rnd(100);
    int op;
    if (r < (grow ? 80u : 45u)) {
      op = 0;
      m.push_back();
    } else if (r < (grow ? 83u : 50u)) {
      op = 1;
      m.empty_last();
    } else if (r < (grow ? 91u : 85u)) {
      op = 2;
      m.remove_last();
    } else if (r < (grow ? 93u : 92u)) {
      op = 3;
      m.drain_suffix();
    } else if (r < 99) {
      op = 4;
      m.insert_inside();
    } else {
      op = 5;
      m.rebuild();
    }
    m.verify(i, op);
    if (::testing::Test::HasFailure()) return;
    max_depth = std::max(max_depth, m.tree.depth());
  }
  EXPECT_GE(max_depth, 4u);
}

class BTreePushBack : public ::testing::TestWithParam<uint64_t> {};

TEST_P(BTreePushBack, MatchesVectorModelWithCarriedDifferences) {
  run<ChunkTrait>(GetParam());
}

TEST_P(BTreePushBack, MatchesVectorModelWithRecomputedCaches) {
  run<RecomputeTrait>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Seeds, BTreePushBack, ::testing::Values(7, 99, 2024));

// The first append of an empty tree, and the joining rule replacing can_merge:
// a chunk that can_merge would take but absorb refuses gets its own leaf.
TEST(BTreePushBack, AbsorbIsTheOnlyJoiningRule) {
  ChunkTree t;
  auto never = [](Chunk&, Chunk&) -> std::optional<ChunkCache> { return std::nullopt; };
  t.push_back_with(Chunk{"ab"}, never);
  t.push_back_with(Chunk{"cd"}, never);
  EXPECT_EQ(shape(t), "2,2");
  EXPECT_EQ(t.root_cache().len, 4);
  EXPECT_EQ(t.check_invariants(), "");
}

}  // namespace
}  // namespace kesu::testing
