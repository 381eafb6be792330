// Group operations end to end: adding a member (commit + Welcome + join),
// commits with an update path in full trees of 128 and 1024 members, and
// 1 KiB application messages sent and received through a group loaded from
// and saved to the in-memory storage provider for every message.
#include <benchmark/benchmark.h>

#include "crypto/random.h"
#include "rfc9420/stored_group.h"

namespace brenvik::rfc9420 {
namespace {

constexpr uint64_t kNow = 1'800'000'000;

struct Member {
  std::string name;
  crypto::Ed25519PrivateKey signer = *crypto::Ed25519PrivateKey::generate();
  CredentialWithKey credential() const { return basic_credential(as_bytes(name), signer); }
};

// A two-member group (alice, bob) in memory.
struct TwoMembers {
  Member alice{"alice"}, bob{"bob"};
  std::optional<Group> a, b;
  TwoMembers() {
    a.emplace(*Group::create(as_bytes("bench"), alice.credential(), alice.signer, kNow));
    auto kp = *build_key_package(bob.credential(), bob.signer, kNow);
    std::vector<KeyPackage> kps{kp.key_package};
    auto out = *a->add_members(kps, alice.signer, kNow);
    b.emplace(*std::move(*stage_welcome(*out.welcome->get<Welcome>(), kp,
                                        WelcomeOptions{kNow, {}, std::nullopt, {}}))
                   .into_group());
  }
};

// Alice adds Carol to the two-member group (commit with path and Welcome),
// Carol stages and joins. Each iteration starts from the same state.
void BM_AddMemberCommitAndJoin(benchmark::State& state) {
  TwoMembers g;
  Member carol{"carol"};
  auto kp = *build_key_package(carol.credential(), carol.signer, kNow);
  std::vector<KeyPackage> kps{kp.key_package};
  GroupMemberState start = g.a->snapshot();
  for (auto _ : state) {
    Group a(start);
    auto out = a.add_members(kps, g.alice.signer, kNow);
    auto staged = stage_welcome(*out->welcome->get<Welcome>(), kp,
                                WelcomeOptions{kNow, {}, std::nullopt, {}});
    auto joined = std::move(*staged).into_group();
    if (!joined.ok()) state.SkipWithError(joined.error().message().c_str());
    benchmark::DoNotOptimize(joined);
  }
}

// A member of a full tree (every node set) of n members, holding its own
// leaf and direct-path keys, with random epoch secrets.
GroupMemberState full_tree_member(uint32_t n, const crypto::Ed25519PrivateKey& signer) {
  RatchetTree wire(2 * n - 1);
  std::map<NodeIndex, crypto::X25519PrivateKey> privates;
  for (NodeIndex x = 0; x < wire.size(); ++x) {
    auto k = *crypto::X25519PrivateKey::generate();
    Bytes pub(k.public_key().begin(), k.public_key().end());
    if (tree_math::is_leaf(x)) {
      LeafNode l;
      l.encryption_key = pub;
      l.signature_key.assign(signer.public_key().begin(), signer.public_key().end());
      l.credential = Credential::basic(to_bytes("member-" + std::to_string(x / 2)));
      l.capabilities = default_capabilities();
      l.source = Lifetime{0, ~uint64_t{0}};
      l.signature.assign(64, 0);
      wire[x] = Node{tls::Case<NodeType::leaf, LeafNode>{std::move(l)}};
    } else {
      wire[x] = Node{tls::Case<NodeType::parent, ParentNode>{ParentNode{pub, {}, {}}}};
    }
    privates.emplace(x, std::move(k));
  }
  GroupMemberState s;
  s.tree = *PublicTree::from_wire(wire);
  s.keys = TreePrivateKeys(0);
  s.keys.set(0, privates.at(0));
  for (NodeIndex p : tree_math::direct_path(0, n)) s.keys.set(p, privates.at(p));
  s.context.cipher_suite = kSuite;
  s.context.group_id = to_bytes("benchmark group");
  s.context.epoch = 7;
  s.context.tree_hash = s.tree.tree_hash();  // also fills the hash cache
  s.context.confirmed_transcript_hash = *crypto::random_bytes(32);
  auto rnd = [] { return crypto::SecretBytes(*crypto::random_bytes(32)); };
  s.secrets.sender_data_secret = rnd();
  s.secrets.init_secret = rnd();
  s.secrets.exporter_secret = rnd();
  s.secrets.confirmation_key = rnd();
  s.secrets.membership_key = rnd();
  s.secret_tree = SecretTree(rnd().view(), n);
  s.interim_transcript_hash = *crypto::random_bytes(32);
  return s;
}

// A self-update commit (update path to every copath resolution, signed,
// encrypted, new epoch derived and merged) by member 0.
void BM_CommitWithPath(benchmark::State& state) {
  auto signer = *crypto::Ed25519PrivateKey::generate();
  GroupMemberState start = full_tree_member(uint32_t(state.range(0)), signer);
  for (auto _ : state) {
    Group g(start);
    auto out = g.self_update(signer);
    if (!out.ok()) state.SkipWithError(out.error().message().c_str());
    benchmark::DoNotOptimize(out);
  }
}

// The state copy alone, which BM_CommitWithPath includes.
void BM_StateCopy(benchmark::State& state) {
  auto signer = *crypto::Ed25519PrivateKey::generate();
  GroupMemberState start = full_tree_member(uint32_t(state.range(0)), signer);
  for (auto _ : state) {
    GroupMemberState copy = start;
    benchmark::DoNotOptimize(copy);
  }
}

// Two members each with their own storage, the group stored in both.
struct StoredPair {
  Member alice{"alice"}, bob{"bob"};
  MemoryStorageProvider sa, sb;
  Bytes id = to_bytes("bench-stored");
  StoredPair() {
    auto ga = *StoredGroup::create(sa, id, alice.credential(), alice.signer, kNow);
    auto kp = *generate_stored_key_package(sb, bob.credential(), bob.signer, kNow);
    std::vector<KeyPackage> kps{kp.key_package};
    auto out = *ga.add_members(kps, alice.signer, kNow);
    auto staged = *stage_stored_welcome(sb, *out.welcome->get<Welcome>(),
                                        WelcomeOptions{kNow, {}, std::nullopt, {}});
    (void)*StoredGroup::join(sb, std::move(staged.staged), staged.key_package_ref);
  }
};

// Load the group, sign + encrypt 1 KiB, save the message secrets, encode.
void BM_ProtectStored1KiB(benchmark::State& state) {
  StoredPair p;
  Bytes data = *crypto::random_bytes(1024);
  size_t n = 0;
  for (auto _ : state) {
    // The provider logs every call for tests; keep the log from growing
    // into the measurement.
    if (++n % 1024 == 0) {
      state.PauseTiming();
      p.sa.clear_calls();
      state.ResumeTiming();
    }
    auto g = StoredGroup::open(p.sa, p.id);
    auto m = (*g)->create_application_message(data, p.alice.signer);
    Bytes wire = encode_mls_message(*m);
    benchmark::DoNotOptimize(wire);
  }
  state.SetItemsProcessed(state.iterations());
}

// Decode, load the group, decrypt + verify, save the message secrets. The
// receiver's ratchet is wound back after each batch of 1000 messages so
// that the same messages can be received again.
void BM_UnprotectStored1KiB(benchmark::State& state) {
  StoredPair p;
  Bytes data = *crypto::random_bytes(1024);
  constexpr size_t kBatch = 1000;
  std::vector<Bytes> wire;
  {
    auto g = StoredGroup::open(p.sa, p.id);
    for (size_t i = 0; i < kBatch; ++i)
      wire.push_back(encode_mls_message(*(*g)->create_application_message(data, p.alice.signer)));
  }
  std::string key = group_key_digest(p.id);
  Bytes rewind = *p.sb.peek(store_label::message_secrets, key);
  size_t next = 0;
  for (auto _ : state) {
    if (next == kBatch) {
      state.PauseTiming();
      p.sb.poke(store_label::message_secrets, key, rewind);
      p.sb.clear_calls();  // the provider's call log is for tests
      next = 0;
      state.ResumeTiming();
    }
    auto m = decode_mls_message(wire[next++]);
    auto g = StoredGroup::open(p.sb, p.id);
    auto r = (*g)->process_message(*m, kNow);
    if (!r.ok()) state.SkipWithError(r.error().message().c_str());
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_AddMemberCommitAndJoin)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommitWithPath)->Arg(128)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StateCopy)->Arg(128)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProtectStored1KiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnprotectStored1KiB)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace brenvik::rfc9420
