// One group store and one group load through the in-memory provider, for a
// 2-member and a 128-member group (full tree: every parent node set, as after
// a commit with a path from each side), and the single "message_secrets"
// write that follows every protected or unprotected message.
#include <benchmark/benchmark.h>

#include "crypto/random.h"
#include "rfc9420/group_store.h"

namespace brenvik::rfc9420 {
namespace {

Bytes rnd(size_t n) {
  return *crypto::random_bytes(n);
}

LeafNode leaf(uint32_t i) {
  LeafNode l;
  l.encryption_key = rnd(32);
  l.signature_key = rnd(32);
  std::string id = "brv1qmemberaddress" + std::to_string(i) + "xxxxxxxxxxxxxxxxxxxxxxxx";
  l.credential = Credential::basic(Bytes(id.begin(), id.end()));
  l.capabilities.versions = {ProtocolVersion::mls10};
  l.capabilities.cipher_suites = {kCipherSuiteX25519Aes128Sha256Ed25519};
  l.capabilities.credentials = {credential_type::basic};
  l.source = Lifetime{1700000000, 1702592000};
  l.signature = rnd(64);
  return l;
}

PersistedGroup make_group(uint32_t members) {
  PublicTree tree;
  for (uint32_t i = 0; i < members; ++i) tree.add_leaf(leaf(i));
  for (uint64_t x = 1; x < tree.node_count(); x += 2)
    tree.set_node(x, Node{tls::Case<NodeType::parent, ParentNode>{{rnd(32), rnd(32), {}}}});
  PersistedGroup g;
  g.group_context.cipher_suite = kCipherSuiteX25519Aes128Sha256Ed25519;
  g.group_context.group_id = Bytes(42, 'g');
  g.group_context.epoch = 12;
  g.group_context.tree_hash = tree.tree_hash();
  g.group_context.confirmed_transcript_hash = rnd(32);
  g.tree = std::move(tree);
  g.confirmation_tag = rnd(32);
  g.interim_transcript_hash =
      interim_transcript_hash(g.group_context.confirmed_transcript_hash, g.confirmation_tag);
  for (auto m : {&EpochSecrets::sender_data_secret, &EpochSecrets::exporter_secret,
                 &EpochSecrets::external_secret, &EpochSecrets::confirmation_key,
                 &EpochSecrets::membership_key, &EpochSecrets::resumption_psk,
                 &EpochSecrets::epoch_authenticator, &EpochSecrets::init_secret})
    g.epoch_secrets.*m = crypto::SecretBytes(rnd(32));
  g.message_secrets.message_secrets.epoch = 12;
  g.message_secrets.message_secrets.sender_data_secret = crypto::SecretBytes(rnd(32));
  g.message_secrets.message_secrets.secret_tree = SecretTree(rnd(32), g.tree.leaf_count());
  // The own leaf has sent a few messages and received from one peer.
  auto& st = g.message_secrets.message_secrets.secret_tree;
  for (int i = 0; i < 3; ++i) st.commit(*st.prepare_next(0, RatchetKind::application));
  st.commit(*st.prepare(1, RatchetKind::application, 4));
  return g;
}

void BM_StoreGroup(benchmark::State& state) {
  PersistedGroup g = make_group(uint32_t(state.range(0)));
  MemoryStorageProvider s;
  for (auto _ : state) {
    auto r = store_group(s, g);
    if (!r.ok()) state.SkipWithError(r.error().message().c_str());
  }
}
BENCHMARK(BM_StoreGroup)->Arg(2)->Arg(128)->Unit(benchmark::kMicrosecond);

void BM_LoadGroup(benchmark::State& state) {
  PersistedGroup g = make_group(uint32_t(state.range(0)));
  MemoryStorageProvider s;
  if (!store_group(s, g).ok()) state.SkipWithError("store failed");
  for (auto _ : state) {
    auto r = load_group(s, g.group_id());
    if (!r.ok() || !r->has_value()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_LoadGroup)->Arg(2)->Arg(128)->Unit(benchmark::kMicrosecond);

void BM_WriteMessageSecrets(benchmark::State& state) {
  PersistedGroup g = make_group(uint32_t(state.range(0)));
  MemoryStorageProvider s;
  for (auto _ : state) {
    auto r = write_message_secrets(s, g);
    if (!r.ok()) state.SkipWithError(r.error().message().c_str());
  }
}
BENCHMARK(BM_WriteMessageSecrets)->Arg(2)->Arg(128)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace brenvik::rfc9420
