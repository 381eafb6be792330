// Long random sequences of edits against a plain string model, with every
// structural invariant checked after each operation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "btree_test_chunks.h"

namespace kesu::testing {
namespace {

struct Model {
  ChunkTree tree;
  std::string s;
  std::mt19937_64 rng;

  explicit Model(uint64_t seed) : rng(seed) {}

  size_t rnd(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  std::string text(size_t max_len) {
    static const char kAlphabet[] = "axbx";
    std::string t(1 + rnd(max_len), ' ');
    for (auto& c : t) c = kAlphabet[rnd(4)];
    return t;
  }
  std::optional<QueryResult> at(size_t pos) {
    ChunkFinder f(pos);
    return tree.query(f);
  }
  LeafIndex random_leaf() { return at(rnd(s.size()))->cursor.leaf; }
  size_t start_of(LeafIndex l) {
    return tree.index_of_leaf(l, [](const ChunkCache& c) { return size_t(c.len); });
  }

  void insert() {
    size_t pos = rnd(s.size() + 1);
    std::string t = text(5);
    if (tree.is_empty()) {
      tree.push(Chunk{t});
    } else {
      auto q = at(pos);
      ASSERT_TRUE(q);
      auto [cur, split] = tree.insert_by_path(q->cursor, Chunk{t});
      (void)split;
      // The returned cursor marks where the new content starts.
      EXPECT_EQ(start_of(cur.leaf) + cur.offset, pos);
    }
    s.insert(pos, t);
  }

  // The same insertion through the place a descent reports, at either end of
  // the element when the position falls on a border (the path that needs no
  // lookup) and inside it otherwise.
  void insert_at_place() {
    size_t pos = rnd(s.size() + 1);
    std::string t = text(5);
    if (tree.is_empty()) {
      tree.push(Chunk{t});
    } else {
      // Left-biased half the time, so that borders land at an element's end.
      std::optional<ChunkTree::LeafPlace> p;
      size_t offset = 0;
      // With the descent's path a third of the time: the cache change then
      // goes up through the nodes it names. Another third passes the path of
      // a descent to some other position, which ends elsewhere more often
      // than not and must then be ignored.
      ChunkTree::DescentPath path;
      int path_mode = int(rnd(3));
      // Asking for following leaves to be loaded, up to past the bottom
      // node's end, leaves the place unchanged. (Taken from the position so
      // that the random sequence, and so the trees the seeds grow, stay.)
      size_t leaves_after = (pos % 3) * 7;
      if (rnd(2) == 0) {
        ChunkFinder f(pos);
        p = tree.descend(f, &path, leaves_after);
        ASSERT_TRUE(p);
        offset = f.confirm_elem(tree.elem_at(*p)).index;
      } else {
        LengthFinder<ChunkTrait, RleMeasure<ChunkTrait>, true> f(pos);
        p = tree.descend(f, &path);
        ASSERT_TRUE(p);
        offset = f.confirm_elem(tree.elem_at(*p)).index;
      }
      ASSERT_EQ(start_of(p->leaf) + offset, pos);
      ASSERT_EQ(*p, tree.place_of(p->leaf));
      if (path_mode == 2) {
        ChunkFinder other(rnd(s.size() + 1));
        ASSERT_TRUE(tree.descend(other, &path));
      }
      auto [cur, split] =
          tree.insert_at_place(*p, offset, Chunk{t}, path_mode == 0 ? nullptr : &path);
      (void)split;
      EXPECT_EQ(start_of(cur.leaf) + cur.offset, pos);
    }
    s.insert(pos, t);
  }

  // Stepping from a leaf's place to its neighbours agrees with document order.
  void walk_places() {
    if (s.empty()) return;
    LeafIndex l = random_leaf();
    ChunkTree::LeafPlace p = tree.place_of(l);
    size_t start = start_of(l), len = tree.elem_at(p).s.size();
    EXPECT_EQ(tree.elem_at(p).s, s.substr(start, len));
    std::optional<ChunkTree::LeafPlace> next = tree.next_place(p);
    if (start + len == s.size()) {
      EXPECT_FALSE(next);
    } else {
      ASSERT_TRUE(next);
      EXPECT_EQ(*next, tree.place_of(next->leaf));
      EXPECT_EQ(start_of(next->leaf), start + len);
    }
    std::optional<ChunkTree::LeafPlace> prev = tree.prev_place(p);
    if (start == 0) {
      EXPECT_FALSE(prev);
    } else {
      ASSERT_TRUE(prev);
      EXPECT_EQ(*prev, tree.place_of(prev->leaf));
      EXPECT_EQ(start_of(prev->leaf) + tree.elem_at(*prev).s.size(), start);
    }
  }

  void push() {
    std::string t = text(6);
    tree.push(Chunk{t});
    s += t;
  }

  void drain(bool take_all) {
    // Mostly short ranges, now and then a large one.
    size_t a = rnd(s.size() + 1);
    size_t span = rnd(30) == 0 ? s.size() - a : std::min<size_t>(s.size() - a, 60);
    size_t b = a + rnd(span + 1);
    std::string got;
    {
      auto d = tree.drain(at(a), at(b));
      while (auto e = d.next()) {
        got += e->s;
        if (!take_all && rnd(3) == 0) break;
      }
    }
    if (take_all) {
      EXPECT_EQ(got, s.substr(a, b - a));
    }
    EXPECT_EQ(s.substr(a, got.size()), got);
    s.erase(a, b - a);
  }

  // Swaps 'a' and 'x' and drops 'b' over [a, b).
  void update_range() {
    if (s.empty()) return;
    size_t a = rnd(s.size());
    size_t b = a + rnd(std::min<size_t>(s.size() - a, 200) + 1);
    tree.update_range(at(a)->cursor, b < s.size() ? at(b)->cursor : *tree.end_cursor(),
                      [](Chunk& c) -> std::optional<ChunkCache> {
                        ChunkCache before = ChunkTrait::elem_cache(c);
                        std::string out;
                        for (char ch : c.s) {
                          if (ch == 'b') continue;
                          out += ch == 'a' ? 'x' : ch == 'x' ? 'a' : ch;
                        }
                        c.s = out;
                        ChunkCache after = ChunkTrait::elem_cache(c);
                        if (after == before) return std::nullopt;
                        return ChunkCache{after.len - before.len, after.xs - before.xs};
                      });
    std::string out;
    for (size_t i = a; i < b; ++i) {
      char ch = s[i];
      if (ch == 'b') continue;
      out += ch == 'a' ? 'x' : ch == 'x' ? 'a' : ch;
    }
    s = s.substr(0, a) + out + s.substr(b);
  }

  // Cuts the element in two around a new piece, or empties it.
  void update_leaf() {
    if (s.empty()) return;
    LeafIndex l = random_leaf();
    size_t start = start_of(l);
    std::string old = tree.get_elem(l).s;
    int mode = int(rnd(4));
    size_t k = rnd(old.size() + 1);
    std::string mid = text(3);
    auto [alive, leaves] = tree.update_leaf(l, [&](Chunk& c) {
      std::pair<std::optional<Chunk>, std::optional<Chunk>> r;
      switch (mode) {
        case 0:  // empty it
          c.s.clear();
          break;
        case 1:  // head, then a new piece, then the tail
          r.first = Chunk{mid};
          r.second = Chunk{c.s.substr(k)};
          c.s.resize(k);
          break;
        case 2:  // a piece after it
          r.first = Chunk{mid};
          break;
        default:  // emptied, replaced by what follows
          r.first = Chunk{mid};
          r.second = Chunk{c.s};
          c.s.clear();
          break;
      }
      return r;
    });
    (void)leaves;
    std::string repl;
    switch (mode) {
      case 0:
        repl = "";
        EXPECT_FALSE(alive);
        break;
      case 1:
        repl = old.substr(0, k) + mid + old.substr(k);
        break;
      case 2:
        repl = old + mid;
        break;
      default:
        repl = mid + old;
        break;
    }
    s = s.substr(0, start) + repl + s.substr(start + old.size());
  }

  // Changes an element in place and reports it: with the difference, which
  // is added to every entry above the leaf, or without, which recomputes the
  // leaf's entry and carries the change up from there. Swapping 'a' and 'x'
  // moves the count of 'x' and keeps the length.
  void edit_in_place() {
    if (s.empty()) return;
    LeafIndex l = random_leaf();
    size_t start = start_of(l);
    Chunk& c = tree.get_elem_mut(l);
    ChunkCache before = ChunkTrait::elem_cache(c);
    for (char& ch : c.s) ch = ch == 'a' ? 'x' : ch == 'x' ? 'a' : ch;
    ChunkCache after = ChunkTrait::elem_cache(c);
    s.replace(start, c.s.size(), c.s);
    if (rnd(2) == 0) {
      tree.recursive_update_cache(l, ChunkCache{after.len - before.len, after.xs - before.xs});
    } else {
      tree.recursive_update_cache(l, std::nullopt);
    }
  }

  void remove_leaf() {
    if (s.empty()) return;
    LeafIndex l = random_leaf();
    size_t start = start_of(l);
    auto e = tree.remove_leaf(l);
    ASSERT_TRUE(e);
    EXPECT_EQ(s.substr(start, e->s.size()), e->s);
    s.erase(start, e->s.size());
    EXPECT_FALSE(tree.remove_leaf(l));
  }

  void rebuild() {
    std::vector<Chunk> parts;
    for (size_t i = 0; i < s.size();) {
      size_t n = 1 + rnd(ChunkTrait::kMax);
      parts.push_back(Chunk{s.substr(i, n)});
      i += n;
    }
    tree = ChunkTree::build_from_elems(std::move(parts));
  }

  void verify(size_t step, int op) {
    std::string err = tree.check_invariants();
    ASSERT_EQ(err, "") << "step " << step << " op " << op;
    ASSERT_EQ(contents(tree), s) << "step " << step << " op " << op;
    ASSERT_EQ(size_t(tree.root_cache().len), s.size());
    ASSERT_EQ(tree.root_cache().xs, std::count(s.begin(), s.end(), 'x'));
  }
};

class BTreeModel : public ::testing::TestWithParam<uint64_t> {};

// Runs `steps` random edits, each chosen and made by `pick(r, grow)` (r in
// [0, 100), grow while the sequence is under a few thousand characters),
// which returns the edit's number for the failure message; the tree is
// checked against the model after every edit.
struct RunStats {
  size_t max_depth = 0, max_size = 0;
};
template <typename Pick>
RunStats run_edits(Model& m, size_t steps, Pick pick) {
  RunStats st;
  for (size_t i = 0; i < steps; ++i) {
    size_t r = m.rnd(100);
    int op = pick(r, m.s.size() < 3000);
    m.verify(i, op);
    st.max_depth = std::max(st.max_depth, m.tree.depth());
    st.max_size = std::max(st.max_size, m.s.size());
    if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) break;
  }
  return st;
}

TEST_P(BTreeModel, RandomEditsMatchStringModel) {
  Model m(GetParam());
  RunStats st = run_edits(m, 6000, [&](size_t r, bool grow) {
    if (r < (grow ? 50u : 30u)) {
      m.insert();
      return 0;
    }
    if (r < 60) {
      m.push();
      return 1;
    }
    if (r < (grow ? 62u : 72u)) {
      m.drain(m.rnd(2) == 0);
      return 2;
    }
    if (r < 80) {
      m.update_range();
      return 3;
    }
    if (r < 90) {
      m.update_leaf();
      return 4;
    }
    if (r < 99) {
      m.remove_leaf();
      return 5;
    }
    m.rebuild();
    return 6;
  });
  // The sequence must have grown deep enough to exercise splits and merges of
  // internal nodes, not only of leaf parents.
  EXPECT_GE(st.max_depth, 4u) << "largest sequence " << st.max_size;
}

// Insertions at places a descent reported, mixed with the edits that reshape
// the tree, and walks between neighbouring places.
TEST_P(BTreeModel, InsertionsAtPlacesMatchStringModel) {
  Model m(GetParam());
  RunStats st = run_edits(m, 5000, [&](size_t r, bool grow) {
    if (r < (grow ? 60u : 35u)) {
      m.insert_at_place();
      return 0;
    }
    if (r < 75) {
      m.walk_places();
      return 1;
    }
    if (r < 85) {
      m.remove_leaf();
      return 2;
    }
    if (r < 95) {
      m.update_range();
      return 3;
    }
    m.drain(true);
    return 4;
  });
  EXPECT_GE(st.max_depth, 4u);
}

// Elements changed in place between the edits that grow, split, merge and
// lower the tree: every entry above a changed leaf must follow, whichever
// way the change is reported.
TEST_P(BTreeModel, InPlaceEditsMatchStringModel) {
  Model m(GetParam());
  RunStats st = run_edits(m, 5000, [&](size_t r, bool grow) {
    if (r < (grow ? 65u : 30u)) {
      m.insert_at_place();
      return 0;
    }
    if (r < 85) {
      m.edit_in_place();
      return 1;
    }
    if (r < 95) {
      m.remove_leaf();
      return 2;
    }
    if (r < 99) {
      m.drain(true);
      return 3;
    }
    m.rebuild();
    return 4;
  });
  EXPECT_GE(st.max_depth, 4u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BTreeModel, ::testing::Values(1, 2, 3, 42, 1234567));

}  // namespace
}  // namespace kesu::testing
