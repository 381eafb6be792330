// Cost of the MLS layer's identity operations over in-memory storage, each
// beside the OpenSSL Ed25519 primitive it is built on, measured in the same
// run: signing, verification, the identity assertion check, signed-invite
// decoding, discovery verification, the group key digest, a metadata read
// with 50 roles and MLS initialisation over an existing identity.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "mls/discovery_record.h"
#include "mls/identity.h"
#include "mls/invite.h"
#include "mls/mls_manager.h"
#include "protocol/core/protocol_core.h"
#include "rfc9420/group_store.h"

namespace brenvik::mls {
namespace {

template <typename T, typename E>
T must(Result<T, E> r) {
  if (!r.ok()) std::abort();
  return std::move(r).value();
}

struct Identity {
  std::shared_ptr<MemoryMlsStorage> storage = std::make_shared<MemoryMlsStorage>();
  std::shared_ptr<MlsManager> manager = must(MlsManager::start_up(storage, false));
  Bytes key = must(manager->identity_public_key());
};

Identity& identity() {
  static Identity id;
  return id;
}

// ---- OpenSSL references

struct OpenSslKey {
  EVP_PKEY* priv = nullptr;
  EVP_PKEY* pub = nullptr;
  OpenSslKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &priv);
    EVP_PKEY_CTX_free(ctx);
    uint8_t raw[32];
    size_t n = 32;
    EVP_PKEY_get_raw_public_key(priv, raw, &n);
    pub = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, 32);
  }
  ~OpenSslKey() {
    EVP_PKEY_free(priv);
    EVP_PKEY_free(pub);
  }
};

void BM_Reference_OpenSslEd25519Sign(benchmark::State& st) {
  OpenSslKey k;
  const Bytes msg(64, 7);
  uint8_t sig[64];
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : st) {
    size_t n = 64;
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, k.priv);
    EVP_DigestSign(ctx, sig, &n, msg.data(), msg.size());
    benchmark::DoNotOptimize(sig);
  }
  EVP_MD_CTX_free(ctx);
}
BENCHMARK(BM_Reference_OpenSslEd25519Sign);

void BM_Reference_OpenSslEd25519Verify(benchmark::State& st) {
  OpenSslKey k;
  const Bytes msg(64, 7);
  uint8_t sig[64];
  size_t n = 64;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, k.priv);
  EVP_DigestSign(ctx, sig, &n, msg.data(), msg.size());
  for (auto _ : st) {
    EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, k.pub);
    benchmark::DoNotOptimize(EVP_DigestVerify(ctx, sig, 64, msg.data(), msg.size()));
  }
  EVP_MD_CTX_free(ctx);
}
BENCHMARK(BM_Reference_OpenSslEd25519Verify);

// ---- the MLS layer

void BM_SignData(benchmark::State& st) {
  const Bytes msg(64, 7);
  for (auto _ : st) benchmark::DoNotOptimize(identity().manager->sign_data(msg));
}
BENCHMARK(BM_SignData);

void BM_VerifySignature(benchmark::State& st) {
  const Bytes msg(64, 7);
  const Bytes sig = must(identity().manager->sign_data(msg));
  for (auto _ : st) benchmark::DoNotOptimize(verify_ed25519_signature(identity().key, msg, sig));
}
BENCHMARK(BM_VerifySignature);

void BM_CheckIdentityAssertion(benchmark::State& st) {
  const Bytes assertion = must(identity().manager->identity_assertion(Bytes(64, 7)));
  for (auto _ : st) benchmark::DoNotOptimize(check_identity_assertion(assertion));
}
BENCHMARK(BM_CheckIdentityAssertion);

void BM_DecodeSignedInvite(benchmark::State& st) {
  const std::string code = must(identity().manager->make_invite(std::string("Alice"), true));
  for (auto _ : st) benchmark::DoNotOptimize(decode_invite(code));
}
BENCHMARK(BM_DecodeSignedInvite);

void BM_DiscoveryParseAndVerify(benchmark::State& st) {
  DiscoveryRecordV1 r;
  r.username = "alice";
  r.pubkey = identity().key;
  r.address = must(address_from_public_key(r.pubkey));
  r.nostr_author = Bytes(32, 0xA5);
  r.issued_at_ms = 1'700'000'000'000;
  r.sig = must(identity().manager->sign_data(must(
      discovery_signing_payload(r.username, r.address, r.pubkey, r.nostr_author, r.issued_at_ms))));
  const std::string doc = write_discovery_record(r);
  const Bytes author(32, 0xA5);
  for (auto _ : st) {
    auto d = must(parse_discovery_record(as_bytes(doc)));
    benchmark::DoNotOptimize(
        verify_discovery_record(std::get<DiscoveryRecordV1>(d), "alice", author));
  }
}
BENCHMARK(BM_DiscoveryParseAndVerify);

void BM_GroupKeyDigest(benchmark::State& st) {
  const Bytes group_id(32, 0x42);
  for (auto _ : st) benchmark::DoNotOptimize(rfc9420::group_key_digest(group_id));
}
BENCHMARK(BM_GroupKeyDigest);

void BM_GroupMetadataRead50Roles(benchmark::State& st) {
  GroupMetadata m = GroupMetadata::new_for_creator("Team", "creator", 1);
  for (int i = 0; i < 50; ++i)
    m.roles[derive_user_id_from_public_key(Bytes(1, uint8_t(i)))] =
        i % 5 ? GroupRole::Member : GroupRole::Admin;
  if (!identity().manager->store_group_metadata("g", m).ok()) std::abort();
  for (auto _ : st) benchmark::DoNotOptimize(identity().manager->group_metadata("g"));
}
BENCHMARK(BM_GroupMetadataRead50Roles);

// The core's half of initialize_mls over storage that already holds an
// identity; building the core is not timed.
void BM_InitializeMlsExistingIdentity(benchmark::State& st) {
  ProtocolConfig config;
  config.app_id = "demo.chat";
  config.local_user_id = "alice";
  config.transports.ble = true;
  config.initial_ttl = 8;
  config.encryption.enabled = true;
  config.encryption.pending_queue.max_pending_per_peer = 32;
  config.encryption.pending_queue.max_pending_global = 256;
  config.encryption.pending_queue.pending_ttl_ms = 60'000;
  config.group.max_group_members = 64;
  for (auto _ : st) {
    st.PauseTiming();
    auto core = must(ProtocolCore::create(config));
    st.ResumeTiming();
    benchmark::DoNotOptimize(core->restore_protocol_state(identity().storage, nullptr));
    st.PauseTiming();
    core.reset();
    st.ResumeTiming();
  }
}
BENCHMARK(BM_InitializeMlsExistingIdentity);

}  // namespace
}  // namespace brenvik::mls
