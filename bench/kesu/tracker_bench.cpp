// Tracker: integrating concurrent inserts and moving between versions.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "kesu/tracker/tracker.h"

namespace {

using kesu::ID;
using kesu::IdFull;
using kesu::RichtextChunk;
using kesu::Tracker;
using kesu::VersionVector;

struct Op {
  IdFull id;
  VersionVector deps;
  size_t pos;
};

// Rounds in which each peer types `per_round` single characters at random
// places, concurrently with the other peers, on top of everything from the
// rounds before.
std::vector<Op> concurrent_inserts(size_t total, size_t peers, size_t per_round, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Op> ops;
  ops.reserve(total);
  VersionVector base;
  size_t base_len = 0;
  kesu::Lamport lamport = 0;
  while (ops.size() < total) {
    VersionVector next = base;
    for (size_t p = 0; p < peers && ops.size() < total; ++p) {
      kesu::PeerID peer = 1 + p;
      VersionVector deps = base;
      size_t len = base_len;
      for (size_t k = 0; k < per_round && ops.size() < total; ++k) {
        kesu::Counter c = deps.get(peer);
        ops.push_back(Op{IdFull{peer, lamport + kesu::Lamport(k), c}, deps, rng() % (len + 1)});
        deps.set(peer, c + 1);
        ++len;
      }
      next.set(peer, deps.get(peer));
    }
    base_len = ops.size();
    base = next;
    lamport += kesu::Lamport(per_round);
  }
  return ops;
}

void replay(Tracker& t, const std::vector<Op>& ops) {
  uint32_t content = 0;
  for (const Op& op : ops) {
    t.checkout_to(op.deps, false);
    t.insert(op.id, op.pos, RichtextChunk::text(content, content + 1));
    ++content;
  }
}

void BM_IntegrateConcurrentInserts(benchmark::State& state) {
  const size_t total = size_t(state.range(0));
  const size_t per_round = size_t(state.range(1));
  std::vector<Op> ops = concurrent_inserts(total, 3, per_round, 42);
  for (auto _ : state) {
    Tracker t;
    replay(t, ops);
    benchmark::DoNotOptimize(t.rope().active_len());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(total));
}
BENCHMARK(BM_IntegrateConcurrentInserts)
    ->Args({100000, 1})
    ->Args({100000, 10})
    ->Args({100000, 100})
    ->Unit(benchmark::kMillisecond);

// Checkout between two versions 10,000 operations apart (inserts and deletes).
void BM_CheckoutAcrossOperations(benchmark::State& state) {
  const size_t span = size_t(state.range(0));
  std::mt19937 rng(7);
  Tracker t;
  size_t len = 0;
  kesu::Counter c = 0;
  VersionVector mid;
  for (size_t i = 0; i < 2 * span; ++i) {
    if (i == span) mid = t.current_version();
    if (len > 10 && rng() % 4 == 0) {
      size_t pos = rng() % len;
      t.remove(ID{2, c}, ID{1, 0}, pos, 1, false);
      --len;
      ++c;
    } else {
      t.insert(IdFull{1, kesu::Lamport(i), kesu::Counter(i)}, rng() % (len + 1),
               RichtextChunk::text(uint32_t(i), uint32_t(i) + 1));
      ++len;
    }
  }
  VersionVector full = t.current_version();
  bool at_full = true;
  for (auto _ : state) {
    t.checkout_to(at_full ? mid : full, false);
    at_full = !at_full;
    benchmark::DoNotOptimize(t.rope().active_len());
  }
}
BENCHMARK(BM_CheckoutAcrossOperations)->Arg(10000)->Unit(benchmark::kMillisecond);

// Diff between two versions 10,000 operations apart.
void BM_DiffAcrossOperations(benchmark::State& state) {
  const size_t span = size_t(state.range(0));
  std::vector<Op> ops = concurrent_inserts(2 * span, 3, 10, 9);
  Tracker t;
  replay(t, ops);
  VersionVector mid = ops[span].deps, full = t.current_version();
  for (auto _ : state) {
    auto d = t.diff(mid, full);
    benchmark::DoNotOptimize(d.size());
  }
}
BENCHMARK(BM_DiffAcrossOperations)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
