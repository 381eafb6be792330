// Causal graph and operation log benchmarks: common ancestors of two
// versions in a history of 100,000 changes from 10 peers, importing a batch
// of 10,000 remote changes, and comparing version vectors of 1,000 peers.
// Reference figures in the same run: one ordered-map lookup among as many
// keys as the graph has nodes, and the equality test of the two vectors.
//
// Release preset, shared 8-core machine under load (load average ~15; two
// runs, figures move by up to 2x between them), targets in brackets:
//   BM_CommonAncestors/900             71-74 us   [<= 20 us] peers sync often
//   BM_CommonAncestors/100             81-84 us              peers rarely sync
//   BM_ReferenceNodeLookup            367-370 ns
//   BM_ImportBatch/10000              7.2-10.7 ms [<= 5 ms]
//   BM_ImportBatchGraphOnly/10000     2.9-5.4 ms  the graph's share
//   BM_VersionVectorCompare            15-17 us   1,000 peers
//   BM_ReferenceVersionVectorEquality  2.4-2.8 us the same vectors
#include <benchmark/benchmark.h>

#include <map>
#include <random>

#include "kesu/oplog/oplog.h"

namespace {

using namespace kesu;

const ContainerID kText = ContainerID::root("text", ContainerType::Kind::Text);

// `n` one-op changes by `peers` peers; a peer learns another's version with
// probability `merge_p` before each change.
std::vector<Change> make_history(SharedArena& arena, size_t n, size_t peers, double merge_p,
                                 uint32_t seed, std::vector<Frontiers>* heads = nullptr) {
  OpLog log(arena);
  ContainerIdx text = arena.register_container(kText);
  std::mt19937 rng(seed);
  std::vector<Frontiers> known(peers);
  std::vector<Counter> next(peers, 0);
  std::vector<Change> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    size_t p = rng() % peers;
    if (std::uniform_real_distribution<double>(0, 1)(rng) < merge_p) {
      size_t q = rng() % peers;
      Frontiers u = known[p];
      for (ID id : known[q].to_sorted_vec()) u.push(id);
      known[p] = *log.dag().shrink_frontiers(u);
    }
    Change c;
    c.id = {PeerID(1000 + p), next[p]};
    c.deps = known[p];
    c.lamport = *log.dag().frontiers_to_next_lamport(c.deps);
    c.timestamp = int64_t(i);
    auto t = arena.alloc_str("x");
    c.ops.push_back(Op{next[p], text, TextInsertOp{t.bytes, t.unicode_start, 1, 0}});
    log.insert_new_change(c, false);
    known[p] = Frontiers(c.id);
    ++next[p];
    out.push_back(std::move(c));
  }
  if (heads) *heads = known;
  return out;
}

// range(0): per mille of changes made after learning a random peer's
// version. Peers that sync often (the common case) meet a few changes back;
// peers that rarely sync make the search walk whole branches of history
// that one side lacks down to their roots.
void BM_CommonAncestors(benchmark::State& state) {
  SharedArena arena;
  std::vector<Frontiers> heads;
  auto changes = make_history(arena, 100'000, 10, double(state.range(0)) / 1000, 7, &heads);
  OpLog log(arena);
  for (const Change& c : changes) log.insert_new_change(c, false);
  // Node version vectors are a cache filled once per node on first use (any
  // version conversion does it); measured warm.
  benchmark::DoNotOptimize(log.dag().frontiers_to_vv(log.dag().frontiers()));
  size_t i = 0;
  for (auto _ : state) {
    const Frontiers& a = heads[i % heads.size()];
    const Frontiers& b = heads[(i + 3) % heads.size()];
    benchmark::DoNotOptimize(log.dag().find_common_ancestors(a, b));
    ++i;
  }
  state.counters["nodes"] = double(log.dag().TEST_node_map().size());
}
BENCHMARK(BM_CommonAncestors)->Arg(900)->Arg(100)->Unit(benchmark::kMicrosecond);

// Reference: one lookup in an ordered map with as many keys as the graph.
void BM_ReferenceNodeLookup(benchmark::State& state) {
  std::map<ID, int> m;
  std::mt19937 rng(1);
  for (int i = 0; i < 60'000; ++i) m[ID{PeerID(1000 + rng() % 10), Counter(rng() % 100'000)}] = i;
  size_t i = 0;
  for (auto _ : state) {
    ID id{PeerID(1000 + i % 10), Counter((i * 7919) % 100'000)};
    benchmark::DoNotOptimize(m.upper_bound(id));
    ++i;
  }
}
BENCHMARK(BM_ReferenceNodeLookup);

void BM_ImportBatch(benchmark::State& state) {
  SharedArena arena;
  auto changes = make_history(arena, size_t(state.range(0)), 10, 0.2, 11);
  for (auto _ : state) {
    state.PauseTiming();
    auto log = std::make_unique<OpLog>(arena);
    state.ResumeTiming();
    log->begin_import(arena.checkpoint());
    for (const Change& c : changes) log->insert_new_change(c, false);
    log->finish_import();
    state.PauseTiming();
    log.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ImportBatch)->Arg(10'000)->Unit(benchmark::kMillisecond);

// The graph's share of the batch: the same changes through the graph only.
void BM_ImportBatchGraphOnly(benchmark::State& state) {
  SharedArena arena;
  auto changes = make_history(arena, size_t(state.range(0)), 10, 0.2, 11);
  for (auto _ : state) {
    state.PauseTiming();
    auto dag = std::make_unique<AppDag>(ChangeStore(arena, nullptr));
    state.ResumeTiming();
    for (const Change& c : changes) dag->handle_new_change(c, false, nullptr);
    state.PauseTiming();
    dag.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ImportBatchGraphOnly)->Arg(10'000)->Unit(benchmark::kMillisecond);

VersionVector wide_vv(uint32_t seed) {
  std::mt19937 rng(seed);
  VersionVector v;
  for (PeerID p = 0; p < 1000; ++p) v.set(p + 1, Counter(rng() % 1000));
  return v;
}

void BM_VersionVectorCompare(benchmark::State& state) {
  VersionVector a = wide_vv(1), b = a;
  b.set(500, a.get(500) + 1);
  for (auto _ : state) benchmark::DoNotOptimize(vv_partial_cmp(a, b));
}
BENCHMARK(BM_VersionVectorCompare);

void BM_ReferenceVersionVectorEquality(benchmark::State& state) {
  VersionVector a = wide_vv(1), b = a;
  b.set(500, a.get(500) + 1);
  for (auto _ : state) benchmark::DoNotOptimize(a == b);
}
BENCHMARK(BM_ReferenceVersionVectorEquality);

}  // namespace
