// MLS initialisation inside the core: the identity binds the local user id,
// the manager is installed last with IdentityReady, a repeat changes nothing
// and a failed identity leaves the core as it was.
#include <gtest/gtest.h>

#include "core_test_support.h"
#include "mls/identity.h"
#include "mls/mls_storage.h"

namespace brenvik::testing {
namespace {

class MlsRestoreTest : public CoreFixture {
 protected:
  void SetUp() override {
    ProtocolConfig c = plaintext_config();
    c.group.group_switch = true;
    make_core(c);
  }
  std::shared_ptr<mls::MemoryMlsStorage> storage = std::make_shared<mls::MemoryMlsStorage>();
};

TEST_F(MlsRestoreTest, InstallsTheManagerUnderTheDerivedAddress) {
  const std::string configured = core->local_user_id();
  EXPECT_FALSE(core->mls_initialized());
  EXPECT_FALSE(core->mls_state().identity_established());
  ASSERT_TRUE(core->restore_protocol_state(storage, nullptr).ok());
  ASSERT_TRUE(core->mls_initialized());
  EXPECT_TRUE(core->mls_state().identity_established());
  auto cell = core->mls_state().manager_handle();
  auto m = cell->read();
  EXPECT_TRUE((*m)->enforce_commit_authorization());
  EXPECT_EQ(core->local_user_id(), (*m)->user_id());
  EXPECT_NE(core->local_user_id(), configured);
  EXPECT_EQ(core->local_user_id(),
            mls::derive_user_id_from_public_key((*m)->identity_public_key().value()));
  auto ready = events_of<event::IdentityReady>();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].address, core->local_user_id());
  EXPECT_TRUE(core->mls_state().holds_bound_identity(*storage));
  EXPECT_FALSE(core->mls_state().holds_bound_identity(*std::make_shared<mls::MemoryMlsStorage>()));

  // A repeat leaves everything as it is, whatever storage it is given.
  auto other = std::make_shared<mls::MemoryMlsStorage>();
  ASSERT_TRUE(core->restore_protocol_state(other, nullptr).ok());
  EXPECT_EQ(other->size(), 0u);
  EXPECT_EQ(core->mls_state().mls_storage(), storage);
  EXPECT_EQ(events_of<event::IdentityReady>().size(), 1u);
}

TEST_F(MlsRestoreTest, FailedIdentityLeavesTheCoreUnchanged) {
  const std::string configured = core->local_user_id();
  storage->poke("identity", "key_pair", as_bytes("[]"));
  auto r = core->restore_protocol_state(storage, nullptr);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ProtocolError::Kind::Mls);
  EXPECT_TRUE(r.error().message().starts_with(
      "MLS error: Deserialization failed: Failed to deserialize signature keys: "))
      << r.error().message();
  EXPECT_FALSE(core->mls_initialized());
  EXPECT_FALSE(core->mls_state().identity_established());
  EXPECT_EQ(core->local_user_id(), configured);
  EXPECT_TRUE(events_of<event::IdentityReady>().empty());
}

}  // namespace
}  // namespace brenvik::testing
