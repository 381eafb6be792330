// The shared container registry: registration, parents and depths, lookups,
// and restoring a checkpoint.
#include <gtest/gtest.h>

#include "kesu/shared_arena/shared_arena.h"

namespace kesu {
namespace {

const ContainerID kRootMap = ContainerID::root("root", ContainerType::Kind::Map);

TEST(SharedArena, RegistrationIsIdempotentAndIndicesCarryTheType) {
  SharedArena a;
  ContainerIdx m = a.register_container(kRootMap);
  ContainerIdx t = a.register_container(ContainerID::normal(3, 4, ContainerType::Kind::Text));
  EXPECT_EQ(a.register_container(kRootMap), m);
  EXPECT_EQ(a.container_count(), 2u);
  EXPECT_EQ(t.slot(), 1u);
  EXPECT_EQ(t.type(), ContainerType(ContainerType::Kind::Text));
  EXPECT_EQ(a.idx_to_id(ContainerIdx::make(1, ContainerType::Kind::Counter)),
            std::optional<ContainerID>(ContainerID::normal(3, 4, ContainerType::Kind::Text)));
  EXPECT_EQ(a.idx_to_id(ContainerIdx::make(2, ContainerType::Kind::Map)), std::nullopt);
  EXPECT_EQ(a.get_depth(m), 1);
  EXPECT_EQ(a.get_depth(t), 0);  // no parent known
  ContainerIdx unknown = ContainerIdx::make(5, ContainerType::unknown(9));
  EXPECT_EQ(unknown.raw() >> 31, 1u);
  EXPECT_EQ(unknown.type(), ContainerType::unknown(9));
}

TEST(SharedArena, AMergeableChildRegistersItsParentAfterItself) {
  SharedArena a;
  ContainerID child = ContainerID::new_mergeable_child_id(kRootMap, "k", ContainerType::Kind::List);
  ContainerIdx c = a.register_container(child);
  auto p = a.id_to_idx(kRootMap);
  ASSERT_TRUE(p);
  EXPECT_EQ(c.slot(), 0u);
  EXPECT_EQ(p->slot(), 1u);
  EXPECT_EQ(a.get_depth(*p), 1);
  EXPECT_EQ(a.get_depth(c), 2);
  EXPECT_EQ(a.root_containers(), std::vector<ContainerIdx>{*p});
}

TEST(SharedArena, DepthFollowsTheResolverUpToARoot) {
  SharedArena a;
  ContainerID n1 = ContainerID::normal(1, 1, ContainerType::Kind::Map);
  ContainerID n2 = ContainerID::normal(1, 2, ContainerType::Kind::List);
  ContainerIdx i2 = a.register_container(n2);
  a.set_parent_resolver([&](const ContainerID& id) -> std::optional<ContainerID> {
    if (id == n2) return n1;
    if (id == n1) return kRootMap;
    return std::nullopt;
  });
  EXPECT_EQ(a.get_depth(i2), 3);
  EXPECT_EQ(a.get_depth(*a.id_to_idx(n1)), 2);
}

TEST(SharedArena, RestoringACheckpointRemovesLaterEntriesAndKeepsOldText) {
  SharedArena a;
  a.register_container(kRootMap);
  auto kept = a.alloc_str("keep");
  a.alloc_values({KesuValue(true)});
  ArenaCheckpoint cp = a.checkpoint();
  ContainerIdx later = a.register_container(ContainerID::normal(9, 9, ContainerType::Kind::Text));
  a.set_parent(later, a.id_to_idx(kRootMap));
  auto dropped = a.alloc_str("gone");
  a.alloc_values({KesuValue(false)});
  a.restore_checkpoint(cp);
  EXPECT_EQ(a.container_count(), 1u);
  EXPECT_EQ(a.id_to_idx(ContainerID::normal(9, 9, ContainerType::Kind::Text)), std::nullopt);
  EXPECT_EQ(a.get_value(1), std::nullopt);
  auto again = a.alloc_str("new!");
  EXPECT_EQ(brenvik::as_chars(dropped.bytes.bytes()), "gone");
  EXPECT_EQ(brenvik::as_chars(kept.bytes.bytes()), "keep");
  EXPECT_EQ(again.unicode_start, 4u);
  EXPECT_EQ(brenvik::as_chars(again.bytes.bytes()), "new!");
  a.restore_checkpoint(SharedArena().checkpoint());
  EXPECT_EQ(a.container_count(), 0u);
  EXPECT_EQ(a.alloc_str("x").unicode_start, 0u);
}

}  // namespace
}  // namespace kesu
