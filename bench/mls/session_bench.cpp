// Sessions, groups and the key-package pool of the MLS layer over in-memory
// storage (marker writes included), each beside the engine operation it
// stands on, measured in the same run over the engine's own in-memory
// provider: session encrypt and decrypt at 1 KiB, add_member in a 2-member
// group, self_update at 128 members, create_session plus the peer's join,
// and key_package_for_push with 64 live entries.
#include <benchmark/benchmark.h>

#include "mls/mls_manager.h"
#include "rfc9420/stored_group.h"
#include "rfc9420/tls_codec.h"

namespace brenvik::mls {
namespace {

template <typename T, typename E>
T must(Result<T, E> r) {
  if (!r.ok()) std::abort();
  return std::move(r).value();
}
inline void must_void(const Result<void, MlsError>& r) {
  if (!r.ok()) std::abort();
}

struct Dev {
  std::shared_ptr<MemoryMlsStorage> storage = std::make_shared<MemoryMlsStorage>();
  std::shared_ptr<MlsManager> m = must(MlsManager::start_up(storage, true));
  const std::string& id() const { return m->user_id(); }
  Bytes kp() { return must(m->generate_key_package(false)).key_package_data; }
};

// A with a session to B, both joined.
struct Pair {
  Dev a, b;
  Pair() {
    must_void(a.m->import_key_package(b.id(), b.kp()));
    WelcomeMessage w = must(a.m->create_session(b.id()));
    must(b.m->process_welcome(w));
  }
};

const Bytes kKiB(1024, 0x5a);

// ---- engine references

struct EngineMember {
  rfc9420::MemoryStorageProvider storage;
  crypto::Ed25519PrivateKey signer = *crypto::Ed25519PrivateKey::generate();
  rfc9420::CredentialWithKey cred;
  explicit EngineMember(std::string name)
      : cred(rfc9420::basic_credential(as_bytes(name), signer)) {}
};
constexpr uint64_t kNow = 1'700'000'000;

// Alice's group with `n` members; Bob (the second) joined.
struct EngineGroup {
  EngineMember alice{"alice"}, bob{"bob"};
  Bytes gid = to_bytes("group:bench");
  explicit EngineGroup(size_t n) {
    auto g = *rfc9420::StoredGroup::create(alice.storage, gid, alice.cred, alice.signer, kNow);
    auto bob_kp = *rfc9420::generate_stored_key_package(bob.storage, bob.cred, bob.signer, kNow);
    std::vector<rfc9420::KeyPackage> kps{bob_kp.key_package};
    for (size_t i = 2; i < n; ++i) {
      EngineMember other("m" + std::to_string(i));
      kps.push_back((*rfc9420::build_key_package(other.cred, other.signer, kNow)).key_package);
    }
    auto out = *g.add_members(kps, alice.signer, kNow);
    auto welcome = *out.welcome->get<rfc9420::Welcome>();
    rfc9420::WelcomeOptions opts;
    opts.now = kNow;
    auto staged = *rfc9420::stage_stored_welcome(bob.storage, welcome, opts);
    *rfc9420::StoredGroup::join(bob.storage, std::move(staged.staged), staged.key_package_ref);
  }
};

void BM_EngineStoredEncrypt1KiB(benchmark::State& state) {
  EngineGroup eg(2);
  for (auto _ : state) {
    auto g = **rfc9420::StoredGroup::open(eg.alice.storage, eg.gid);
    benchmark::DoNotOptimize(*g.create_application_message(kKiB, eg.alice.signer));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineStoredEncrypt1KiB);

void BM_SessionEncrypt1KiB(benchmark::State& state) {
  Pair p;
  for (auto _ : state) benchmark::DoNotOptimize(must(p.a.m->session_encrypt(p.b.id(), kKiB)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SessionEncrypt1KiB);

constexpr int kDecryptBatch = 900;  // inside the forward distance of the ratchet

void BM_EngineStoredDecrypt1KiB(benchmark::State& state) {
  EngineGroup eg(2);
  std::vector<rfc9420::MlsMessage> msgs;
  {
    auto g = **rfc9420::StoredGroup::open(eg.alice.storage, eg.gid);
    for (int i = 0; i < kDecryptBatch; ++i)
      msgs.push_back(*g.create_application_message(kKiB, eg.alice.signer));
  }
  size_t i = 0;
  for (auto _ : state) {
    auto g = **rfc9420::StoredGroup::open(eg.bob.storage, eg.gid);
    benchmark::DoNotOptimize(*g.process_message(msgs[i++], kNow));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineStoredDecrypt1KiB)->Iterations(kDecryptBatch);

void BM_SessionDecrypt1KiB(benchmark::State& state) {
  Pair p;
  std::vector<EncryptedMessage> msgs;
  for (int i = 0; i < kDecryptBatch; ++i)
    msgs.push_back(must(p.a.m->session_encrypt(p.b.id(), kKiB)));
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(must(p.b.m->decrypt_from_user(msgs[i++], p.a.id())));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SessionDecrypt1KiB)->Iterations(kDecryptBatch);

void BM_EngineAddMembersTo2(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    EngineGroup eg(2);
    EngineMember carol("carol");
    auto kp = (*rfc9420::build_key_package(carol.cred, carol.signer, kNow)).key_package;
    auto g = **rfc9420::StoredGroup::open(eg.alice.storage, eg.gid);
    state.ResumeTiming();
    benchmark::DoNotOptimize(*g.add_members(std::span(&kp, 1), eg.alice.signer, kNow));
  }
}
BENCHMARK(BM_EngineAddMembersTo2)->Unit(benchmark::kMillisecond);

void BM_AddMemberTo2(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Dev a, b, c;
    const std::string gid = must(a.m->create_group("g")).group_id;
    must(a.m->add_member(gid, b.id(), b.kp()));
    const Bytes kp = c.kp();
    state.ResumeTiming();
    benchmark::DoNotOptimize(must(a.m->add_member(gid, c.id(), kp)));
  }
}
BENCHMARK(BM_AddMemberTo2)->Unit(benchmark::kMillisecond);

void BM_EngineSelfUpdate128(benchmark::State& state) {
  EngineGroup eg(128);
  for (auto _ : state) {
    auto g = **rfc9420::StoredGroup::open(eg.alice.storage, eg.gid);
    benchmark::DoNotOptimize(*g.self_update(eg.alice.signer));
  }
}
BENCHMARK(BM_EngineSelfUpdate128)->Unit(benchmark::kMillisecond);

void BM_SelfUpdate128(benchmark::State& state) {
  Dev a;
  const std::string gid = must(a.m->create_group("g")).group_id;
  for (int i = 1; i < 128; ++i) {
    Dev other;
    must(a.m->add_member(gid, other.id(), other.kp()));
  }
  for (auto _ : state) benchmark::DoNotOptimize(must(a.m->self_update(gid)));
}
BENCHMARK(BM_SelfUpdate128)->Unit(benchmark::kMillisecond);

void BM_CreateSessionAndJoin(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Dev a, b;
    must_void(a.m->import_key_package(b.id(), b.kp()));
    state.ResumeTiming();
    WelcomeMessage w = must(a.m->create_session(b.id()));
    benchmark::DoNotOptimize(must(b.m->process_welcome(w)));
  }
}
BENCHMARK(BM_CreateSessionAndJoin)->Unit(benchmark::kMillisecond);

void BM_KeyPackageForPush64Live(benchmark::State& state) {
  Dev a;
  for (int i = 0; i < 64; ++i) must(a.m->key_package_for_push("peer-" + std::to_string(i)));
  for (auto _ : state) benchmark::DoNotOptimize(must(a.m->key_package_for_push("peer-7")));
}
BENCHMARK(BM_KeyPackageForPush64Live)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brenvik::mls
