// The list, movable-list and tree-children instances with their finders.
// Identifier and key types are small stand-ins for the engine's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kesu/btree/state_trees.h"

namespace kesu::testing {
namespace {

struct TestIdFull {
  uint64_t peer = 0;
  uint32_t lamport = 0;
  int32_t counter = 0;
};
std::string debug_string(const TestIdFull& id) {
  return "IdFull { peer: " + std::to_string(id.peer) + ", lamport: " + std::to_string(id.lamport) +
         ", counter: " + std::to_string(id.counter) + " }";
}

struct TestIdLp {
  uint64_t peer = 0;
  uint32_t lamport = 1;
};

// Sort key: position bytes (unsigned, a proper prefix first), then lamport, then peer.
struct TestNodePosition {
  std::string position;
  uint32_t lamport = 0;
  uint64_t peer = 0;
  std::strong_ordering operator<=>(const TestNodePosition& o) const {
    if (auto c = position.compare(o.position); c != 0) return c <=> 0;
    if (auto c = lamport <=> o.lamport; c != 0) return c;
    return peer <=> o.peer;
  }
  bool operator==(const TestNodePosition& o) const = default;
};

struct TestTreeId {
  uint64_t peer = 0;
  int32_t counter = 0;
};

using List = ListStateTree<std::string, TestIdFull>;
using ListFinder = ListIndexFinder<std::string, TestIdFull>;
using Movable = MovableListTree<TestIdLp, TestIdFull>;
using Slots = IncludeDeadLenFinder<TestIdLp, TestIdFull>;
using Users = UserLenFinder<TestIdLp, TestIdFull>;
using Children = TreeChildrenTree<TestNodePosition, TestTreeId>;
using KeyFinder = NodePositionFinder<TestNodePosition, TestTreeId>;

List list_of(std::vector<std::string> vs) {
  List t;
  int32_t c = 0;
  for (auto& v : vs) t.push({v, TestIdFull{1, uint32_t(c), c}}), ++c;
  return t;
}

TEST(ListStateTree, IndexFinderTable) {
  List t = list_of({"a", "b", "c"});
  struct Case {
    size_t index;
    std::string item;
    size_t offset;
    bool found;
  };
  const Case cases[] = {
      {0, "a", 0, true}, {2, "c", 0, true}, {3, "c", 1, false}, {4, "c", 2, false}};
  for (const auto& c : cases) {
    ListFinder f(c.index);
    auto r = t.query(f);
    ASSERT_TRUE(r);
    EXPECT_EQ(t.get_elem(r->cursor.leaf).v, c.item) << c.index;
    EXPECT_EQ(r->cursor.offset, c.offset) << c.index;
    EXPECT_EQ(r->found, c.found) << c.index;
  }
}

TEST(ListStateTree, InsertionAtAndPastTheEnd) {
  List t = list_of({"a", "b", "c"});
  ListFinder f(3);
  t.insert_by_path(t.query(f)->cursor, {"d", {}});
  std::string all;
  for (const auto& e : t) all += e.v;
  EXPECT_EQ(all, "abcd");
  EXPECT_EQ(t.root_cache(), 4u);
  ListFinder g(5);  // two past the last item
  auto r = t.query(g);
  try {
    t.insert_by_path(r->cursor, {"e", {}});
    FAIL();
  } catch (const InvariantViolation& p) {
    EXPECT_STREQ(p.what(),
                 "elem.rle_len=1 but pos.offset=2 Elem:Elem { v: .., id: IdFull { peer: 0, "
                 "lamport: 0, counter: 0 } }");
  }
  List e;
  e.push({"x", {}});
  EXPECT_EQ(e.root_cache(), 1u);
}

TEST(ListStateTree, RandomInsertRemoveAgainstVector) {
  List t;
  std::vector<int> model;
  std::mt19937 rng(7);
  int next = 0;
  for (int step = 0; step < 3000; ++step) {
    if (model.empty() || rng() % 3 != 0) {
      size_t i = rng() % (model.size() + 1);
      if (t.is_empty()) {
        t.push({std::to_string(next), {}});
      } else {
        ListFinder f(i);
        t.insert_by_path(t.query(f)->cursor, {std::to_string(next), {}});
      }
      model.insert(model.begin() + i, next++);
    } else {
      size_t i = rng() % model.size();
      ListFinder f(i);
      LeafIndex l = t.query(f)->cursor.leaf;
      EXPECT_EQ(t.index_of_leaf(l, [](uint64_t c) { return size_t(c); }), i);
      auto e = t.remove_leaf(l);
      ASSERT_EQ(e->v, std::to_string(model[i]));
      model.erase(model.begin() + i);
    }
    ASSERT_EQ(t.check_invariants(), "") << step;
    ASSERT_EQ(t.root_cache(), model.size());
  }
  size_t k = 0;
  for (const auto& e : t) EXPECT_EQ(e.v, std::to_string(model[k++]));
}

Movable slots(const std::vector<bool>& alive) {
  Movable t;
  uint64_t p = 0;
  for (bool a : alive) {
    MovableListItem<TestIdLp, TestIdFull> it;
    if (a) it.pointed_by = TestIdLp{++p, 1};
    t.push(std::move(it));
  }
  return t;
}

TEST(MovableListTree, FinderTable) {
  Movable t = slots({true, false, true});
  EXPECT_EQ(t.root_cache(), (MovableListCache{3, 2}));
  EXPECT_EQ(debug_string(t.root_cache()), "Cache { include_dead_len: 3, user_len: 2 }");
  auto slot_of = [&](LeafIndex l) {
    return t.index_of_leaf(l, [](const MovableListCache& c) { return size_t(c.include_dead_len); });
  };
  struct Case {
    bool by_user;
    size_t index;
    size_t slot;
    size_t offset;
    bool found;
  };
  const Case cases[] = {
      {true, 0, 0, 0, true},  {true, 1, 2, 0, true},  {true, 2, 2, 1, false},
      {false, 1, 1, 0, true}, {false, 2, 2, 0, true}, {false, 3, 2, 1, false},
  };
  for (const auto& c : cases) {
    std::optional<QueryResult> r;
    if (c.by_user) {
      Users f(c.index);
      r = t.query(f);
    } else {
      Slots f(c.index);
      r = t.query(f);
    }
    ASSERT_TRUE(r);
    EXPECT_EQ(slot_of(r->cursor.leaf), c.slot) << c.by_user << c.index;
    EXPECT_EQ(r->cursor.offset, c.offset) << c.by_user << c.index;
    EXPECT_EQ(r->found, c.found) << c.by_user << c.index;
  }
  Movable vacant = slots({false, false, false});
  Users f(0);
  auto r = vacant.query(f);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->cursor.leaf, *vacant.last_leaf());
  EXPECT_EQ(r->cursor.offset, 1u);
  EXPECT_FALSE(r->found);
}

TEST(MovableListTree, SettingAndClearingPointedByMovesOnlyUserLen) {
  std::vector<bool> alive(200);
  for (size_t i = 0; i < alive.size(); ++i) alive[i] = i % 3 != 0;
  Movable t = slots(alive);
  MovableListCache before = t.root_cache();
  Users f(50);
  LeafIndex l = t.query(f)->cursor.leaf;
  t.get_elem_mut(l).pointed_by.reset();
  t.recursive_update_cache(l, MovableListCache{0, -1});
  EXPECT_EQ(t.root_cache(), (MovableListCache{before.include_dead_len, before.user_len - 1}));
  EXPECT_EQ(t.check_invariants(), "");
  t.get_elem_mut(l).pointed_by = TestIdLp{9, 9};
  t.recursive_update_cache(l, std::nullopt);  // recomputed from the leaf instead
  EXPECT_EQ(t.root_cache(), before);
  EXPECT_EQ(t.check_invariants(), "");
  // A slot inserted at a slot index is vacant: {1, 0} goes up.
  Slots s(17);
  t.insert_by_path(t.query(s)->cursor, MovableListItem<TestIdLp, TestIdFull>{});
  EXPECT_EQ(t.root_cache(), (MovableListCache{before.include_dead_len + 1, before.user_len}));
  EXPECT_EQ(t.check_invariants(), "");
}

std::shared_ptr<const TestNodePosition> key(std::string pos, uint32_t lamport = 1,
                                            uint64_t peer = 1) {
  return std::make_shared<const TestNodePosition>(TestNodePosition{pos, lamport, peer});
}

LeafIndex insert_child(Children& t, std::shared_ptr<const TestNodePosition> k, int32_t id) {
  if (t.is_empty()) return t.push({k, TestTreeId{1, id}}).leaf;
  KeyFinder f(*k);
  auto r = t.query(f);
  return t.insert_by_path(r->cursor, {k, TestTreeId{1, id}}).first.leaf;
}

TEST(TreeChildrenTree, KeyFinderTable) {
  Children t;
  for (const char* p : {"d", "b", "f"}) insert_child(t, key(p), 0);
  struct Case {
    const char* pos;
    uint32_t lamport;
    uint64_t peer;
    const char* at;
    size_t offset;
    bool found;
  };
  const Case cases[] = {
      {"a", 1, 1, "b", 0, false}, {"b", 1, 1, "b", 0, true},  {"c", 1, 1, "d", 0, false},
      {"d", 0, 1, "d", 0, false}, {"d", 1, 2, "f", 0, false}, {"z", 1, 1, "f", 1, false},
      {"", 0, 0, "b", 0, false},  {"f", 1, 1, "f", 0, true},
  };
  for (const auto& c : cases) {
    TestNodePosition target{c.pos, c.lamport, c.peer};
    KeyFinder f(target);
    auto r = t.query(f);
    ASSERT_TRUE(r);
    EXPECT_EQ(t.get_elem(r->cursor.leaf).pos->position, c.at) << c.pos;
    EXPECT_EQ(r->cursor.offset, c.offset) << c.pos;
    EXPECT_EQ(r->found, c.found) << c.pos;
  }
  // An insertion with an equal key goes before the existing child.
  LeafIndex dup = insert_child(t, key("d"), 99);
  EXPECT_EQ(t.index_of_leaf(dup, [](const auto& c) { return c.len; }), 1u);
}

TEST(TreeChildrenTree, ChildrenInAnyOrderComeOutSorted) {
  Children t;
  std::vector<std::string> keys;
  std::mt19937 rng(3);
  std::vector<std::pair<LeafIndex, std::string>> leaves;
  for (int i = 0; i < 400; ++i) {
    std::string k(1 + rng() % 4, ' ');
    for (auto& ch : k) ch = char('a' + rng() % 6);
    keys.push_back(k);
    leaves.push_back({insert_child(t, key(k, uint32_t(i)), i), k});
    ASSERT_EQ(t.check_invariants(), "") << i;
  }
  std::vector<std::string> sorted = keys, seen;
  std::sort(sorted.begin(), sorted.end());
  for (const auto& e : t) seen.push_back(e.pos->position);
  EXPECT_EQ(seen, sorted);
  EXPECT_EQ(t.root_cache().len, 400u);
  EXPECT_EQ(t.root_cache().range->first->position, sorted.front());
  EXPECT_EQ(t.root_cache().range->second->position, sorted.back());
  // Delete every child in random order; ranks stay exact.
  std::shuffle(leaves.begin(), leaves.end(), rng);
  for (size_t i = 0; i < leaves.size(); ++i) {
    auto [l, k] = leaves[i];
    size_t rank = t.index_of_leaf(l, [](const auto& c) { return c.len; });
    EXPECT_EQ(t.get_elem(l).pos->position, k);
    size_t below = 0;
    for (const auto& e : t)
      below += e.pos->position < k || (e.pos->position == k && &e != &t.get_elem(l) &&
                                       e.pos->lamport < t.get_elem(l).pos->lamport);
    EXPECT_EQ(rank, below);
    ASSERT_TRUE(t.remove_leaf(l));
    ASSERT_EQ(t.check_invariants(), "") << i;
  }
  EXPECT_TRUE(t.is_empty());
  EXPECT_FALSE(t.root_cache().range);
  EXPECT_EQ(t.root_cache().len, 0u);
}

TEST(TreeChildrenTree, TwelfthChildSplitsTheRootAndKeysAreShared) {
  Children t;
  auto first = key("a");
  insert_child(t, first, 0);
  for (int i = 1; i < 12; ++i) insert_child(t, key(std::string(1, char('a' + i))), i);
  const auto& root = t.node(t.root());
  ASSERT_EQ(root.len, 2);
  EXPECT_EQ(t.node(t.child_index(root, 0).index).len, 6);
  EXPECT_EQ(t.node(t.child_index(root, 1).index).len, 6);
  EXPECT_EQ(t.root_cache().len, 12u);
  EXPECT_EQ(t.root_cache().range->first, first);  // the very key, not a copy
  EXPECT_EQ(t.root_cache().range->second->position, "l");
  EXPECT_GT(first.use_count(), 2);
  // Removing every child releases every cache reference to the key.
  while (auto l = t.first_leaf()) t.remove_leaf(*l);
  EXPECT_EQ(first.use_count(), 1);
  EXPECT_FALSE(t.root_cache().range);
}

}  // namespace
}  // namespace kesu::testing
