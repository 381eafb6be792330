// The engine writing through the MLS storage: one storage call per value,
// the labels and key digests of the group store, and storage failures that
// come back to the caller as the storage's own error.
#include <gtest/gtest.h>

#include <set>

#include "mls/mls_storage.h"
#include "rfc9420/stored_group.h"

namespace brenvik::mls {
namespace {

constexpr uint64_t kNow = 1'800'000'000;
const std::string kG1Digest = "6fc6379eeb260ef75ddf0b5e45b83b31dbf1ac4052e4aea7f076c154d023184f";

struct Fixture {
  std::shared_ptr<MemoryMlsStorage> memory = std::make_shared<MemoryMlsStorage>();
  EngineStorage engine{memory};
  crypto::Ed25519PrivateKey signer = *crypto::Ed25519PrivateKey::generate();
  Bytes group_id = to_bytes("g1");

  void create() {
    auto g = rfc9420::StoredGroup::create(
        engine, group_id, rfc9420::basic_credential(as_bytes("alice"), signer), signer, kNow);
    ASSERT_TRUE(g.ok()) << g.error().message();
  }
};

TEST(EngineStorage, DigestsOfTheGroupAndEpochKeys) {
  EXPECT_EQ(rfc9420::group_key_digest(as_bytes("g1")), kG1Digest);
  EXPECT_EQ(rfc9420::epoch_key_digest(as_bytes("g1"), 3, 1),
            "791d2d5e2129b4d3fda7abdb7db270a73ce9053caee46a4eb36c9e32ba8c890d");

  Fixture f;
  f.memory->record_calls(true);
  f.create();
  std::set<std::string> group_keys;
  size_t group_stores = 0;
  for (const auto& c : f.memory->calls()) {
    if (c.op != MemoryMlsStorage::Op::Store || c.type == "encryption_epoch_key_pairs") continue;
    ++group_stores;
    group_keys.insert(c.key);
  }
  EXPECT_EQ(group_stores, 10u);  // one storage call per label of the group store
  EXPECT_EQ(group_keys, std::set<std::string>{kG1Digest});
  // The engine reads back what it wrote through the same bridge.
  auto loaded = rfc9420::load_group(f.engine, f.group_id);
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  EXPECT_TRUE(loaded.value().has_value());
}

TEST(EngineStorage, FailingTheFourthStoreLeavesThreeLabelsAndTheStorageError) {
  Fixture source;
  source.create();
  auto loaded = rfc9420::load_group(source.engine, source.group_id);
  ASSERT_TRUE(loaded.ok() && loaded.value());

  Fixture target;
  target.memory->fail_nth_call(4, {MlsStorageError::Kind::StoreFailed, "disk full"});
  auto r = rfc9420::store_group(target.engine, (*loaded.value()).group);
  ASSERT_FALSE(r.ok());
  MlsError e = mls_error_from_engine(r.error());
  EXPECT_EQ(e.kind(), MlsError::Kind::Storage);
  EXPECT_EQ(e.storage_error(), (MlsStorageError{MlsStorageError::Kind::StoreFailed, "disk full"}));
  EXPECT_EQ(e.message(), "Storage error: Failed to store data: disk full");
  EXPECT_EQ(target.memory->size(), 3u);
  for (auto label : {"tree", "confirmation_tag", "group_context"})
    EXPECT_TRUE(target.memory->peek(label, kG1Digest)) << label;
}

TEST(EngineStorage, UnreadableValueIsDeserializationAndMissingListsAreEmpty) {
  Fixture f;
  f.create();
  f.memory->poke("tree", kG1Digest, as_bytes("{not json"));
  auto r = rfc9420::load_group(f.engine, f.group_id);
  ASSERT_FALSE(r.ok());
  MlsError e = mls_error_from_engine(r.error());
  EXPECT_EQ(e.kind(), MlsError::Kind::Deserialization);
  EXPECT_TRUE(e.message().starts_with("Deserialization failed: ")) << e.message();

  auto leaves = rfc9420::read_own_leaf_nodes(f.engine, as_bytes("nothing"));
  ASSERT_TRUE(leaves.ok());
  EXPECT_TRUE(leaves.value().empty());
  auto pairs = rfc9420::read_epoch_key_pairs(f.engine, as_bytes("nothing"), 0, 0);
  ASSERT_TRUE(pairs.ok());
  EXPECT_TRUE(pairs.value().empty());
}

}  // namespace
}  // namespace brenvik::mls
