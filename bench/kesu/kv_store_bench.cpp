// Key/value store benchmarks on a table of one million small entries:
// point lookups (cached block and cold), full scans, and export with and
// without LZ4.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>

#include "kesu/kv_store/kv_wrapper.h"
#include "kesu/kv_store/mem_store.h"

namespace {

using kesu::CompressionType;
using kesu::KeyBound;
using kesu::MemKvStore;
using kesu::MemKvStoreOptions;
using kesu::SharedBytes;

constexpr int kEntries = 1'000'000;

std::string key_of(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "key%09d", i);
  return buf;
}

std::string value_of(int i) {
  // 16 bytes, partly repetitive, like small encoded records.
  char buf[24];
  std::snprintf(buf, sizeof buf, "v%07d-%07d", i, i * 7 % 1000003);
  return buf;
}

void fill(MemKvStore& s, int n) {
  for (int i = 0; i < n; ++i) {
    s.set(SharedBytes::copy_of(std::string_view(key_of(i))),
          SharedBytes::copy_of(std::string_view(value_of(i))));
  }
}

// One exported and re-imported table of 1M entries per compression.
const MemKvStore& imported_store(CompressionType c) {
  static MemKvStore* stores[2] = {nullptr, nullptr};
  MemKvStore*& s = stores[int(c)];
  if (s == nullptr) {
    MemKvStore w(MemKvStoreOptions{4096, c, false});
    fill(w, kEntries);
    const SharedBytes file = w.export_all();
    s = new MemKvStore(MemKvStoreOptions{4096, c, false});
    if (!s->import_all(file).ok()) std::abort();
  }
  return *s;
}

void BM_KvPointLookupCachedBlock(benchmark::State& state) {
  const MemKvStore& s = imported_store(CompressionType(state.range(0)));
  // Keys of a few blocks only, so that every lookup finds its block cached.
  std::vector<std::string> keys;
  for (int i = 500'000; i < 500'000 + 800; ++i) keys.push_back(key_of(i));
  for (const auto& k : keys) benchmark::DoNotOptimize(s.get(brenvik::as_bytes(k)));
  size_t i = 0;
  for (auto _ : state) {
    auto v = s.get(brenvik::as_bytes(keys[i]));
    benchmark::DoNotOptimize(v);
    if (++i == keys.size()) i = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_KvPointLookupCachedBlock)->Arg(0)->Arg(1);

void BM_KvPointLookupRandom(benchmark::State& state) {
  const MemKvStore& s = imported_store(CompressionType(state.range(0)));
  std::mt19937 rng(1);
  std::vector<std::string> keys;
  for (int i = 0; i < 4096; ++i) keys.push_back(key_of(int(rng() % kEntries)));
  size_t i = 0;
  for (auto _ : state) {
    auto v = s.get(brenvik::as_bytes(keys[i]));
    benchmark::DoNotOptimize(v);
    if (++i == keys.size()) i = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_KvPointLookupRandom)->Arg(0)->Arg(1);

void BM_KvFullScan(benchmark::State& state) {
  const MemKvStore& s = imported_store(CompressionType(state.range(0)));
  int64_t bytes = 0;
  for (auto _ : state) {
    auto it = s.scan(KeyBound::unbounded(), KeyBound::unbounded());
    int64_t n = 0;
    while (auto kv = it->next()) n += int64_t(kv->key.size() + kv->value.size());
    bytes += n;
  }
  state.SetBytesProcessed(bytes);
  state.counters["entries"] = kEntries;
}
BENCHMARK(BM_KvFullScan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_KvExport(benchmark::State& state) {
  const auto c = CompressionType(state.range(0));
  size_t out_size = 0;
  for (auto _ : state) {
    state.PauseTiming();
    MemKvStore s(MemKvStoreOptions{4096, c, false});
    fill(s, kEntries);
    state.ResumeTiming();
    out_size = s.export_all().size();
    state.PauseTiming();
    { MemKvStore drop = std::move(s); }
    state.ResumeTiming();
  }
  state.counters["file_bytes"] = double(out_size);
  state.counters["raw_bytes"] = double(kEntries) * (12 + 16);
}
BENCHMARK(BM_KvExport)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// Re-export after one new key: the path that copies untouched blocks.
void BM_KvReexportOneNewKey(benchmark::State& state) {
  const MemKvStore& base = imported_store(CompressionType::LZ4);
  for (auto _ : state) {
    state.PauseTiming();
    auto w = base.clone_store();
    w.with_store([](kesu::KvStore& s) {
      s.set(SharedBytes::copy_of(std::string_view("zzzz")),
            SharedBytes::copy_of(std::string_view("x")));
    });
    state.ResumeTiming();
    benchmark::DoNotOptimize(w.export_all());
  }
}
BENCHMARK(BM_KvReexportOneNewKey)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

namespace {

// Import of the 1M-entry file: checksums plus the decode of every block that
// refuses undecodable tables at import.
void BM_KvImport(benchmark::State& state) {
  const auto c = kesu::CompressionType(state.range(0));
  const kesu::SharedBytes file = imported_store(c).tables()[0]->data();
  for (auto _ : state) {
    kesu::MemKvStore s(kesu::MemKvStoreOptions{4096, c, false});
    if (!s.import_all(file).ok()) std::abort();
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
}
BENCHMARK(BM_KvImport)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
