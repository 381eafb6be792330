// The device identity: start-up over empty, existing and corrupt storage,
// the identity record, the slots, signing and the stateless identity
// operations.
#include <gtest/gtest.h>

#include "crypto/sha256.h"
#include "mls/identity.h"
#include "mls/invite.h"
#include "mls/mls_manager.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

using K = MlsError::Kind;

bool logged(const ScopedLogCapture& cap, LogLevel level, std::string_view message) {
  for (const auto& e : cap.entries())
    if (e.level == level && e.target == kManagerLogTarget && e.message.starts_with(message))
      return true;
  return false;
}

std::shared_ptr<MlsManager> start(const std::shared_ptr<MemoryMlsStorage>& s) {
  auto m = MlsManager::start_up(s, false);
  EXPECT_TRUE(m.ok()) << m.error().message();
  return m.ok() ? m.value() : nullptr;
}

TEST(MlsIdentity, EmptyStorageMintsOneRecordAndRestartWritesNothing) {
  auto s = std::make_shared<MemoryMlsStorage>();
  std::string user_id;
  {
    ScopedLogCapture cap(LogLevel::Debug);
    auto m = start(s);
    ASSERT_TRUE(m);
    user_id = m->user_id();
    EXPECT_TRUE(logged(cap, LogLevel::Info, "Minted a new identity key"));
    EXPECT_TRUE(logged(cap, LogLevel::Debug, "Loaded existing MLS identity"));
    EXPECT_FALSE(logged(cap, LogLevel::Info, "Created new MLS identity"));
  }
  EXPECT_EQ(s->size(), 1u);
  auto key = start(s)->identity_public_key();
  ASSERT_TRUE(key.ok());
  EXPECT_EQ(user_id, derive_user_id_from_public_key(key.value()));

  s->record_calls(true);
  auto again = start(s);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->user_id(), user_id);
  for (const auto& c : s->calls()) EXPECT_EQ(c.op, MemoryMlsStorage::Op::Load);
}

TEST(MlsIdentity, RecordIsExactlyThePairAndReadsInAnyKeyOrder) {
  auto s = std::make_shared<MemoryMlsStorage>();
  auto m = start(s);
  ASSERT_TRUE(m);
  std::string text = to_string(*s->peek("identity", "key_pair"));
  ASSERT_TRUE(text.starts_with("{\"private\":[")) << text;
  EXPECT_NE(text.find("],\"public\":["), std::string::npos);
  EXPECT_TRUE(text.ends_with("],\"signature_scheme\":\"ED25519\"}")) << text;
  EXPECT_EQ(text.find(' '), std::string::npos);

  auto pair = read_signature_key_pair(as_bytes(text));
  ASSERT_TRUE(pair.ok()) << pair.error();
  // Keys in another order, with white space and an unknown key.
  crypto::SecretBytes priv = pair.value().private_key;
  SignatureKeyPair reordered = pair.value();
  std::string pub_json = "[", priv_json = "[";
  for (size_t i = 0; i < reordered.public_key.size(); ++i)
    pub_json += (i ? "," : "") + std::to_string(reordered.public_key[i]);
  for (size_t i = 0; i < priv.size(); ++i) priv_json += (i ? "," : "") + std::to_string(priv[i]);
  pub_json += "]";
  priv_json += "]";
  std::string other = "{ \"signature_scheme\": \"ED25519\", \"x\": 1, \"public\": " + pub_json +
                      ", \"private\": " + priv_json + " }";
  auto back = read_signature_key_pair(as_bytes(other));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back.value(), pair.value());

  // The five scheme names read (a non-Ed25519 pair is not checked for its seed).
  for (auto name :
       {"ECDSA_SECP256R1_SHA256", "ECDSA_SECP384R1_SHA384", "ECDSA_SECP521R1_SHA512", "ED448"}) {
    std::string t =
        "{\"private\":[1],\"public\":[2],\"signature_scheme\":\"" + std::string(name) + "\"}";
    auto p = read_signature_key_pair(as_bytes(t));
    ASSERT_TRUE(p.ok()) << name << ": " << p.error();
    EXPECT_EQ(signature_scheme_name(p.value().scheme), name);
  }
  const std::pair<std::string, std::string> refused[] = {
      {"{\"private\":[1],\"private\":[1],\"public\":[2],\"signature_scheme\":\"ED448\"}",
       "duplicate field `private`"},
      {"{\"private\":[1],\"public\":[2]}", "missing field `signature_scheme`"},
      {"{\"private\":[1],\"public\":[2],\"signature_scheme\":\"ed25519\"}", "unknown variant"},
      {"{\"private\":[1],\"public\":[256],\"signature_scheme\":\"ED448\"}", "invalid value"},
      {"{\"private\":[1],\"public\":" + pub_json + ",\"signature_scheme\":\"ED25519\"}",
       "ED25519 private key must be a 32-byte seed, got 1 bytes"},
      {"{\"private\":" + pub_json + ",\"public\":" + pub_json +
           ",\"signature_scheme\":\"ED25519\"}",
       "ED25519 private key does not belong to the public key"},
  };
  for (const auto& [input, text_part] : refused) {
    auto p = read_signature_key_pair(as_bytes(input));
    ASSERT_FALSE(p.ok()) << input;
    EXPECT_NE(p.error().find(text_part), std::string::npos) << p.error();
  }
}

TEST(MlsIdentity, CorruptOrUnreadableRecordStopsStartUpAndStaysAsItIs) {
  auto s = std::make_shared<MemoryMlsStorage>();
  s->poke("identity", "key_pair", as_bytes("not json"));
  auto m = MlsManager::start_up(s, false);
  ASSERT_FALSE(m.ok());
  EXPECT_TRUE(m.error().message().starts_with(
      "Deserialization failed: Failed to deserialize signature keys: expected ident"))
      << m.error().message();
  EXPECT_EQ(to_string(*s->peek("identity", "key_pair")), "not json");
  EXPECT_EQ(s->size(), 1u);

  auto failing = std::make_shared<MemoryMlsStorage>();
  failing->fail_nth_call(1, {MlsStorageError::Kind::LoadFailed, "io"});
  auto f = MlsManager::start_up(failing, false);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().message(), "Storage error: Failed to load data: io");

  auto unwritable = std::make_shared<MemoryMlsStorage>();
  unwritable->fail_nth_call(2, {MlsStorageError::Kind::StoreFailed, "full"});
  auto u = MlsManager::start_up(unwritable, false);
  ASSERT_FALSE(u.ok());
  EXPECT_EQ(u.error().message(), "Storage error: Failed to store data: full");
  EXPECT_EQ(unwritable->size(), 0u);
}

TEST(MlsIdentity, ManagerChecksItsAddressAgainstTheStoredKey) {
  auto s = std::make_shared<MemoryMlsStorage>();
  auto key = MlsManager::load_or_mint_identity_key(*s);
  ASSERT_TRUE(key.ok());
  const std::string own = encode_address(key.value().address);

  MlsManager right(own, MlsProvider::create(s), true);
  EXPECT_TRUE(right.initialize_identity().ok());
  EXPECT_TRUE(right.enforce_commit_authorization());

  // Another address: refused, naming both (the derived one first).
  Address other{};
  other.bytes[0] = 7;
  MlsManager wrong(encode_address(other), MlsProvider::create(s), false);
  auto r = wrong.initialize_identity();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Stored identity key derives to '" + own +
                                     "', but this manager is '" + encode_address(other) + "'");
  EXPECT_EQ(wrong.sign_data(as_bytes("x")).error(), MlsError::not_initialized());

  // A user id that is not an address binds the key to nothing.
  MlsManager named("alice", MlsProvider::create(s), false);
  EXPECT_TRUE(named.initialize_identity().ok());
  auto cred = named.credential_with_key();
  ASSERT_TRUE(cred.ok());
  EXPECT_EQ(*cred.value().credential.basic_identity(), to_bytes("alice"));
  EXPECT_EQ(cred.value().signature_key, named.identity_public_key().value());

  EXPECT_EQ(MlsManager::check_identity_address(own, Bytes(31, 1)).error().message(),
            "Invalid public key: Ed25519 public key must be 32 bytes, got 31");
}

TEST(MlsIdentity, SlotsAreEmptyUntilInitialisedAndPoisonReadsAsNotInitialised) {
  auto s = std::make_shared<MemoryMlsStorage>();
  MlsManager m("alice", MlsProvider::create(s), false);
  EXPECT_EQ(m.identity_public_key().error(), MlsError::not_initialized());
  EXPECT_EQ(m.sign_data(as_bytes("x")).error(), MlsError::not_initialized());
  EXPECT_EQ(m.signer().error(), MlsError::not_initialized());
  EXPECT_EQ(m.credential_with_key().error(), MlsError::not_initialized());
  EXPECT_EQ(m.identity_assertion({}).error(), MlsError::not_initialized());
  EXPECT_EQ(m.make_invite(std::nullopt, true).error(), MlsError::not_initialized());
  ASSERT_TRUE(m.initialize_identity().ok());  // created: a fresh pair is stored
  EXPECT_EQ(s->size(), 1u);

  auto signer = m.signer();
  ASSERT_TRUE(signer.ok());
  EXPECT_EQ(signer.value().public_key, m.identity_public_key().value());

  m.TEST_poison_slots();
  EXPECT_EQ(m.identity_public_key().error(), MlsError::not_initialized());
  EXPECT_EQ(m.signer().error(), MlsError::not_initialized());
  EXPECT_EQ(m.credential_with_key().error(), MlsError::not_initialized());
  EXPECT_EQ(m.initialize_identity().error(), MlsError::not_initialized());
}

TEST(MlsIdentity, SignaturesAndAssertionsOfTheIdentity) {
  auto s = std::make_shared<MemoryMlsStorage>();
  auto m = start(s);
  ASSERT_TRUE(m);
  Bytes key = m->identity_public_key().value();
  ASSERT_EQ(key.size(), 32u);
  Bytes data = to_bytes("payload");
  Bytes sig = m->sign_data(data).value();
  ASSERT_EQ(sig.size(), 64u);
  EXPECT_TRUE(verify_ed25519_signature(key, data, sig).value());
  data[0] ^= 1;
  EXPECT_FALSE(verify_ed25519_signature(key, data, sig).value());

  Bytes empty = m->identity_assertion({}).value();
  EXPECT_EQ(empty.size(), 96u);
  Bytes ten = m->identity_assertion(Bytes(10, 0xAB)).value();
  ASSERT_EQ(ten.size(), 106u);
  EXPECT_TRUE(std::equal(key.begin(), key.end(), ten.begin()));
  auto proven = check_identity_assertion(ten);
  ASSERT_TRUE(proven.ok()) << proven.error().message();
  EXPECT_EQ(encode_address(proven.value()), m->user_id());
  EXPECT_TRUE(check_identity_assertion(empty).ok());
}

TEST(MlsIdentity, StatelessOperationsTestTheKeyFirst) {
  auto m = start(std::make_shared<MemoryMlsStorage>());
  Bytes key = m->identity_public_key().value();
  Bytes sig = m->sign_data(as_bytes("m")).value();
  Bytes not_point(32, 0);
  not_point[0] = 2;  // y = 2 is not the y of any curve point
  const std::string bad_key = "Invalid public key: Invalid Ed25519 public key: signature error";
  const std::string bad_sig =
      "Signature verification failed: Invalid signature format: signature error";
  struct Case {
    Bytes key, sig;
    std::string error;  // empty: a verdict
    bool verdict = false;
  };
  const Case cases[] = {
      {key, sig, "", true},
      {key, Bytes(64, 0), "", false},
      {Bytes(31, 1), sig, bad_key},
      {not_point, sig, bad_key},
      {key, Bytes(63, 0), bad_sig},
      {key, Bytes(65, 0), bad_sig},
      {not_point, Bytes(63, 0), bad_key},
      {Bytes(33, 1), Bytes(1, 0), bad_key},
  };
  for (const auto& c : cases) {
    auto r = verify_ed25519_signature(c.key, as_bytes("m"), c.sig);
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r.value(), c.verdict);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message(), c.error);
    }
  }

  EXPECT_EQ(address_from_public_key(Bytes(31, 1)).error().message(),
            "Invalid public key: Ed25519 public key must be 32 bytes, got 31");
  EXPECT_TRUE(address_from_public_key(not_point).ok());
  EXPECT_EQ(derive_user_id_from_public_key(key),
            encode_address(address_from_public_key(key).value()));
  auto digest = crypto::sha256(ByteView());
  Address empty{};
  std::copy_n(digest.begin(), 20, empty.bytes.begin());
  EXPECT_EQ(derive_user_id_from_public_key({}), encode_address(empty));
  EXPECT_FALSE(derive_user_id_from_public_key(Bytes(31, 1)).empty());
}

}  // namespace
}  // namespace brenvik::mls
