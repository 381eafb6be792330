// The identity and MLS set-up bodies of the facade: the direct path's errors,
// initialize_mls over a host's storage (first call, repeats, another storage,
// after start) and what the host sees of the identity afterwards.
#include <gtest/gtest.h>

#include "bindings/mls_access.h"
#include "facade_fixture.h"
#include "fake_host.h"
#include "mls/identity.h"

namespace brenvik::ffi::testing {
namespace {

class MlsBodiesTest : public ::testing::Test {
 protected:
  void SetUp() override { host.register_all(); }
  Result<void, InterfaceError> init() {
    return body::brenvikprotocol_initialize_mls(*dev, make_proxy<MlsStorageProviderProxy>(1),
                                                make_proxy<ProtocolStateStorageProviderProxy>(2));
  }

  ManualClock clock;
  FakeHost host;
  Device dev{"alice", clock};
};

TEST_F(MlsBodiesTest, BeforeInitialisation) {
  EXPECT_FALSE(body::brenvikprotocol_is_mls_initialized(*dev));
  EXPECT_FALSE(body::brenvikprotocol_local_address(*dev));
  for (auto kind : {body::brenvikprotocol_get_identity_public_key(*dev).error().kind(),
                    body::brenvikprotocol_sign_data(*dev, to_bytes("x")).error().kind(),
                    body::brenvikprotocol_identity_assertion(*dev, {}).error().kind(),
                    body::brenvikprotocol_create_invite(*dev, std::nullopt, true).error().kind()})
    EXPECT_EQ(kind, InterfaceError::Kind::MlsNotInitialized);
  // The stateless methods work in every state.
  EXPECT_EQ(body::brenvikprotocol_derive_user_id_from_public_key(*dev, {}),
            mls::derive_user_id_from_public_key({}));
  auto v = body::brenvikprotocol_verify_signature(*dev, Bytes(31, 0), {}, Bytes(64, 0));
  EXPECT_EQ(v.error().display(),
            "MLS error: Invalid public key: Invalid Ed25519 public key: signature error");
}

TEST_F(MlsBodiesTest, InitialisationBindsTheIdentityAndRefusesAnotherStorage) {
  ASSERT_TRUE(init().ok());
  EXPECT_TRUE(body::brenvikprotocol_is_mls_initialized(*dev));
  auto address = body::brenvikprotocol_local_address(*dev);
  ASSERT_TRUE(address);
  Bytes key = body::brenvikprotocol_get_identity_public_key(*dev).value();
  EXPECT_EQ(*address, mls::derive_user_id_from_public_key(key));
  EXPECT_EQ(host.data.size(), 1u);
  auto events = dev.drain_events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().at("type"), "identity_ready");
  EXPECT_EQ(lock_or_recover((*dev).visualizer())->local_node_id, *address);

  // The same storage again: success, nothing written.
  host.calls.clear();
  ASSERT_TRUE(init().ok());
  for (const auto& c : host.calls) EXPECT_TRUE(c.starts_with("load ")) << c;

  // Another storage (another identity, or none): refused, nothing written.
  auto saved = host.data;
  host.data.clear();
  auto r = init();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(),
            "Invalid state: initialize_mls was called again with a different storage: this "
            "instance is bound to the storage of its first initialisation; create a new instance "
            "to use another");
  EXPECT_TRUE(host.data.empty());
  host.data = saved;
  EXPECT_EQ(body::brenvikprotocol_local_address(*dev), address);

  // A storage that cannot answer is not the bound one either.
  host.script.push_back(Reply{2, to_bytes("io"), std::nullopt});
  EXPECT_EQ(init().error().kind(), InterfaceError::Kind::InvalidState);
}

TEST_F(MlsBodiesTest, RefusedAfterStartAndOnACorruptIdentity) {
  ASSERT_TRUE(body::brenvikprotocol_start(*dev).ok());
  auto r = init();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(),
            "Invalid state: initialize_mls must be called before start(): the protocol is "
            "Running, and deriving this device's address here would replace transports the "
            "platform has already connected");
  ASSERT_TRUE(body::brenvikprotocol_stop(*dev).ok());

  host.data["key_pair"] = to_bytes("{}");
  auto c = init();
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().display(),
            "MLS error: Deserialization failed: Failed to deserialize signature keys: missing "
            "field `private` at line 1 column 2");
  EXPECT_FALSE(body::brenvikprotocol_is_mls_initialized(*dev));
  EXPECT_EQ(host.data["key_pair"], to_bytes("{}"));
}

TEST_F(MlsBodiesTest, TransportsAreMadeAgainForTheIdentity) {
  auto ble = [&] {
    return (*dev).lock_inner_or_recover()->get()->transports().get(brenvik::TransportType::Ble);
  };
  auto before = ble();
  ASSERT_TRUE(before);
  ASSERT_TRUE(init().ok());
  auto after = ble();
  ASSERT_TRUE(after);
  EXPECT_NE(before, after);
  // A repeat leaves the transports alone.
  ASSERT_TRUE(init().ok());
  EXPECT_EQ(ble(), after);
}

TEST_F(MlsBodiesTest, PoisonedLocksOnTheDirectPath) {
  ASSERT_TRUE(init().ok());
  auto cell = (*dev).lock_inner_or_recover()->get()->mls_state().manager_handle();
  try {
    auto w = cell->write();
    throw 0;
  } catch (int) {
  }
  auto m = body::brenvikprotocol_get_identity_public_key(*dev);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().kind(), InterfaceError::Kind::LockPoisoned);
  EXPECT_TRUE(m.error().message().starts_with("mls_manager: ")) << m.error().message();
  (*dev).poison_inner_for_test();
  auto r = body::brenvikprotocol_sign_data(*dev, to_bytes("x"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), InterfaceError::Kind::LockPoisoned);
  EXPECT_TRUE(r.error().message().starts_with("inner: ")) << r.error().message();
  // The readers of `inner` take it over and answer.
  EXPECT_TRUE(body::brenvikprotocol_is_mls_initialized(*dev));
  EXPECT_TRUE(body::brenvikprotocol_local_address(*dev));
}

}  // namespace
}  // namespace brenvik::ffi::testing
