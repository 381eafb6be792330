// Change store benchmarks: flushing 100,000 single-character changes into
// blocks, loading one 4 KiB block, and finding a change by Lamport timestamp
// in a store of one million changes (warm). Each has a reference figure
// measured in the same run: reading only a block's header, and one
// ordered-map lookup among as many keys as the store has blocks.
//
// Release preset, shared 8-core machine under load (targets in brackets):
//   BM_FlushTypedChanges/100000      29.5 ms   [<= 30 ms]
//   BM_FlushSeparateChanges/100000   54 ms     (no change folds: ~120 blocks)
//   BM_LoadBlock/0/4000              2.8 us    [<= 10 us] 4,065-byte block
//   BM_LoadBlock/819/0               275 us    a full block of 819 changes
//   BM_ReadHeaderOnly/819            24 us     the same block, header only
//   BM_LamportLookup                 850 ns    [<= 1 us] random target
//   BM_LamportLookupRecent           218 ns    target among the newest
//   BM_ReferenceMapLookup            79 ns
#include <benchmark/benchmark.h>

#include <map>
#include <random>

#include "kesu/change_store/block_encode.h"
#include "kesu/change_store/change_store.h"

namespace {

using namespace kesu;

const ContainerID kText = ContainerID::root("text", ContainerType::Kind::Text);

Change one_char(SharedArena& arena, ContainerIdx text, PeerID peer, Counter i, int64_t ts) {
  Change c;
  c.id = {peer, i};
  c.lamport = Lamport(i);
  if (i > 0) c.deps = Frontiers(ID{peer, i - 1});
  c.timestamp = ts;
  auto t = arena.alloc_str("x");
  c.ops.push_back(Op{i, text, TextInsertOp{t.bytes, t.unicode_start, 1, uint32_t(i)}});
  return c;
}

// Typing: each change continues the previous one's op and folds into it.
void BM_FlushTypedChanges(benchmark::State& state) {
  const int n = int(state.range(0));
  for (auto _ : state) {
    SharedArena arena;
    ContainerIdx text = arena.register_container(kText);
    ChangeStore store(arena, std::make_shared<std::atomic<int64_t>>(1000));
    for (Counter i = 0; i < n; ++i)
      (void)store.insert_change(one_char(arena, text, 1, i, 0), true, true);
    store.flush_meta(VersionVector{{1, n}}, Frontiers(ID{1, n - 1}));
    benchmark::DoNotOptimize(store);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_FlushTypedChanges)->Arg(100'000)->Unit(benchmark::kMillisecond);

// Imported changes: none folds (timestamps differ), so each block fills up
// to its size limit and the flush encodes about 120 blocks.
void BM_FlushSeparateChanges(benchmark::State& state) {
  const int n = int(state.range(0));
  for (auto _ : state) {
    SharedArena arena;
    ContainerIdx text = arena.register_container(kText);
    ChangeStore store(arena, nullptr);
    for (Counter i = 0; i < n; ++i)
      (void)store.insert_change(one_char(arena, text, 1, i, i), true, false);
    store.flush_meta(VersionVector{{1, n}}, Frontiers(ID{1, n - 1}));
    benchmark::DoNotOptimize(store);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_FlushSeparateChanges)->Arg(100'000)->Unit(benchmark::kMillisecond);

// A block as the store writes it: separate single-character changes up to
// the block size limit; `chars` > 0 makes one change of that many
// characters instead.
Bytes make_block(SharedArena& arena, int changes, int chars) {
  ContainerIdx text = arena.register_container(kText);
  std::vector<Change> cs;
  if (chars > 0) {
    Change c;
    c.id = {1, 0};
    auto t = arena.alloc_str(std::string(size_t(chars), 'y'));
    c.ops.push_back(Op{0, text, TextInsertOp{t.bytes, t.unicode_start, t.unicode_len, 0}});
    cs.push_back(std::move(c));
  } else {
    for (Counter i = 0; i < changes; ++i) cs.push_back(one_char(arena, text, 1, i, i));
  }
  return encode_change_block(cs, arena);
}

void BM_LoadBlock(benchmark::State& state) {
  SharedArena arena;
  Bytes bytes = make_block(arena, int(state.range(0)), int(state.range(1)));
  SharedBytes shared = SharedBytes::from_vector(std::move(bytes));
  state.counters["block_bytes"] = double(shared.size());
  for (auto _ : state) {
    auto b = ChangeBlock::from_bytes(shared);
    ChangeBlockPtr block = std::move(b).value();
    (void)ChangeBlock::parse(block, arena);
    benchmark::DoNotOptimize(block);
  }
}
// 4 KiB of text in one change; a full block of 819 one-character changes.
BENCHMARK(BM_LoadBlock)->Args({0, 4000})->Args({819, 0})->Unit(benchmark::kMicrosecond);

void BM_ReadHeaderOnly(benchmark::State& state) {
  SharedArena arena;
  SharedBytes shared = SharedBytes::from_vector(make_block(arena, int(state.range(0)), 0));
  for (auto _ : state) benchmark::DoNotOptimize(ChangeBlock::from_bytes(shared));
}
BENCHMARK(BM_ReadHeaderOnly)->Arg(819)->Unit(benchmark::kMicrosecond);

struct LamportStore {
  SharedArena arena;
  std::unique_ptr<ChangeStore> store;
  int n = 0;
  explicit LamportStore(int changes) : n(changes) {
    ContainerIdx text = arena.register_container(kText);
    store = std::make_unique<ChangeStore>(arena, nullptr);
    for (Counter i = 0; i < n; ++i)
      (void)store->insert_change(one_char(arena, text, 1, i, i), true, false);
    // Warm: every block parsed once.
    for (Counter i = 0; i < n; i += 500) (void)store->get_block(ID{1, i});
  }
};

void BM_LamportLookup(benchmark::State& state) {
  static LamportStore s(1'000'000);
  std::mt19937 rng(1);
  std::uniform_int_distribution<uint32_t> pick(0, uint32_t(s.n - 1));
  state.counters["blocks"] = double(s.store->TEST_block_count_in_memory());
  for (auto _ : state) {
    auto r = s.store->get_change_by_lamport_lte(1, pick(rng));
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_LamportLookup);

// The same question near the newest changes, the common case.
void BM_LamportLookupRecent(benchmark::State& state) {
  static LamportStore& s = *new LamportStore(1'000'000);
  std::mt19937 rng(2);
  std::uniform_int_distribution<uint32_t> pick(uint32_t(s.n - 5000), uint32_t(s.n - 1));
  for (auto _ : state) benchmark::DoNotOptimize(s.store->get_change_by_lamport_lte(1, pick(rng)));
}
BENCHMARK(BM_LamportLookupRecent);

// Reference: one ordered-map lookup among as many keys as the store has blocks.
void BM_ReferenceMapLookup(benchmark::State& state) {
  std::map<ID, int> m;
  for (int i = 0; i < 1221; ++i) m.emplace(ID{1, i * 819}, i);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> pick(0, 1'000'000);
  for (auto _ : state) benchmark::DoNotOptimize(m.upper_bound(ID{1, pick(rng)}));
}
BENCHMARK(BM_ReferenceMapLookup);

}  // namespace
