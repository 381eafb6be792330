// UpdatePath generation and processing over full trees of 2 to 1024 members
// (every parent node set, so every copath resolution is one node). Each
// iteration starts from a copy of the tree, as a commit does, and the tree
// is warm as a member holds it: its tree hashes were computed when it was
// joined or last changed.
#include <benchmark/benchmark.h>

#include <map>

#include "rfc9420/cipher_suite.h"
#include "rfc9420/treekem.h"

namespace brenvik::rfc9420 {
namespace {

struct FullTree {
  PublicTree tree;
  std::map<NodeIndex, crypto::X25519PrivateKey> privates;
  crypto::Ed25519PrivateKey signer0 = *crypto::Ed25519PrivateKey::generate();
  GroupContext ctx;

  explicit FullTree(uint32_t n) {
    RatchetTree wire(2 * n - 1);
    for (NodeIndex x = 0; x < wire.size(); ++x) {
      auto k = *crypto::X25519PrivateKey::generate();
      Bytes pub(k.public_key().begin(), k.public_key().end());
      if (tree_math::is_leaf(x)) {
        LeafNode l;
        l.encryption_key = pub;
        l.signature_key.assign(signer0.public_key().begin(), signer0.public_key().end());
        l.credential = Credential::basic(to_bytes("member-" + std::to_string(x / 2)));
        l.capabilities.versions = {ProtocolVersion::mls10};
        l.capabilities.cipher_suites = {kSuite};
        l.source = Lifetime{0, ~uint64_t{0}};
        l.signature.assign(64, 0);
        wire[x] = Node{tls::Case<NodeType::leaf, LeafNode>{std::move(l)}};
      } else {
        wire[x] = Node{tls::Case<NodeType::parent, ParentNode>{ParentNode{pub, {}, {}}}};
      }
      privates.emplace(x, std::move(k));
    }
    tree = *PublicTree::from_wire(wire);
    ctx.tree_hash = tree.tree_hash();  // fills the tree-hash cache
    ctx.cipher_suite = kSuite;
    ctx.group_id = to_bytes("benchmark group");
    ctx.epoch = 7;
    ctx.confirmed_transcript_hash.assign(32, 1);
  }
  // The keys of a member: its leaf and its direct path.
  TreePrivateKeys keys_of(uint32_t leaf) const {
    TreePrivateKeys k(leaf);
    NodeIndex x = tree_math::leaf_to_node(leaf);
    k.set(x, privates.at(x));
    for (NodeIndex p : tree_math::direct_path(x, tree.leaf_count())) k.set(p, privates.at(p));
    return k;
  }
};

void BM_UpdatePathGenerate(benchmark::State& state) {
  FullTree g(uint32_t(state.range(0)));
  const LeafNode* l = g.tree.leaf(0);
  LeafTemplate tmpl{l->credential, l->capabilities, {}};
  for (auto _ : state) {
    PublicTree t = g.tree;
    GroupContext ctx = g.ctx;
    TreePrivateKeys keys = g.keys_of(0);
    auto gen = generate_update_path(t, 0, tmpl, g.signer0, ctx, keys);
    benchmark::DoNotOptimize(gen);
  }
}

void BM_UpdatePathProcess(benchmark::State& state) {
  uint32_t n = uint32_t(state.range(0));
  FullTree g(n);
  const LeafNode* l = g.tree.leaf(0);
  LeafTemplate tmpl{l->credential, l->capabilities, {}};
  PublicTree sender_tree = g.tree;
  GroupContext sctx = g.ctx;
  TreePrivateKeys skeys = g.keys_of(0);
  auto gen = *generate_update_path(sender_tree, 0, tmpl, g.signer0, sctx, skeys);
  // The last member: its secret sits at the root, so it derives one key;
  // member 1 derives a key for every level.
  uint32_t receiver = state.range(1) ? 1 : n - 1;
  for (auto _ : state) {
    PublicTree t = g.tree;
    GroupContext ctx = g.ctx;
    TreePrivateKeys keys = g.keys_of(receiver);
    auto secret = process_update_path(t, 0, gen.path, ctx, keys);
    if (!secret.ok()) state.SkipWithError(secret.error().message().c_str());
    benchmark::DoNotOptimize(secret);
  }
}

// The tree copy alone, which both benchmarks above include.
void BM_TreeCopy(benchmark::State& state) {
  FullTree g(uint32_t(state.range(0)));
  for (auto _ : state) {
    PublicTree t = g.tree;
    benchmark::DoNotOptimize(t);
  }
}

BENCHMARK(BM_UpdatePathGenerate)
    ->Arg(2)
    ->Arg(16)
    ->Arg(128)
    ->Arg(1024)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UpdatePathProcess)
    ->ArgsProduct({{2, 16, 128, 1024}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TreeCopy)->Arg(128)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace brenvik::rfc9420
