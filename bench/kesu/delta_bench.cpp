// Delta ropes: composing two long deltas and building long deltas item by
// item. Targets: composing two 10,000-item deltas within 2 ms; building a
// delta of 100,000 single-character inserts within 10 ms.
#include <benchmark/benchmark.h>

#include <string>

#include "kesu/delta/delta_ropes.h"

namespace {

using namespace kesu;

TextMeta style(int i) {
  TextMeta m;
  m.map.emplace("k", KesuValue(int64_t(i)));
  return m;
}

// 10,000 items that cannot merge: retains and styled inserts alternate.
TextDelta text_a() {
  TextDelta a;
  for (int i = 0; i < 5000; ++i) {
    a.push_retain(2);
    a.push_insert(StringSlice::owned("xy"), style(i));
  }
  return a;
}

// 10,000 items spread over all of A: retains, deletes, styled retains and inserts.
TextDelta text_b() {
  TextDelta b;
  for (int i = 0; i < 2500; ++i) {
    b.push_retain(3);
    b.push_delete(1);
    b.push_retain(1, style(-i));
    b.push_insert(StringSlice::owned("z"), style(i));
  }
  return b;
}

void BM_ComposeText10k(benchmark::State& state) {
  TextDelta a0 = text_a();
  TextDelta b = text_b();
  for (auto _ : state) {
    state.PauseTiming();
    TextDelta a = a0.clone();
    state.ResumeTiming();
    a.compose(b);
    benchmark::DoNotOptimize(a.len());
    state.PauseTiming();
    { TextDelta drop = std::move(a); }
    state.ResumeTiming();
  }
  state.counters["items_a"] = double(a0.tree().size());
  state.counters["items_b"] = double(b.tree().size());
}
BENCHMARK(BM_ComposeText10k)->Unit(benchmark::kMicrosecond);

void BM_ComposeList10k(benchmark::State& state) {
  ListDelta a0, b;
  for (int i = 0; i < 5000; ++i) {
    a0.push_retain(2);
    a0.push_insert(ArrayVec{KesuValue(i), KesuValue(i + 1)}, {i % 2 == 0});
  }
  for (int i = 0; i < 3333; ++i) {
    b.push_retain(2);
    b.push_delete(1);
    b.push_insert(ArrayVec{KesuValue(-i)});
  }
  for (auto _ : state) {
    state.PauseTiming();
    ListDelta a = a0.clone();
    state.ResumeTiming();
    a.compose(b);
    benchmark::DoNotOptimize(a.len());
    state.PauseTiming();
    { ListDelta drop = std::move(a); }
    state.ResumeTiming();
  }
  state.counters["items_a"] = double(a0.tree().size());
  state.counters["items_b"] = double(b.tree().size());
}
BENCHMARK(BM_ComposeList10k)->Unit(benchmark::kMicrosecond);

// Worst case for text: 100,000 owned one-character strings with no spare
// room, so every insert becomes its own leaf.
void BM_Push100kOwnedChars(benchmark::State& state) {
  for (auto _ : state) {
    TextDelta d;
    for (int i = 0; i < 100000; ++i) d.push_insert(StringSlice::owned("a"));
    benchmark::DoNotOptimize(d.len());
  }
}
BENCHMARK(BM_Push100kOwnedChars)->Unit(benchmark::kMillisecond);

// The same 100,000 owned one-character strings collected by the builder: it
// keeps them as 100,000 items too, but builds the tree in one pass.
void BM_Build100kOwnedChars(benchmark::State& state) {
  for (auto _ : state) {
    TextDeltaBuilder b;
    for (int i = 0; i < 100000; ++i) b.insert(StringSlice::owned("a"));
    TextDelta d = b.build();
    benchmark::DoNotOptimize(d.len());
  }
}
BENCHMARK(BM_Build100kOwnedChars)->Unit(benchmark::kMillisecond);

// The usual case: consecutive characters of the shared text buffer join the
// last item.
void BM_Push100kSliceChars(benchmark::State& state) {
  std::string text(100000, 'a');
  auto buf = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view(text)));
  for (auto _ : state) {
    TextDelta d;
    for (size_t i = 0; i < 100000; ++i) d.push_insert(StringSlice::slice(buf.slice(i, i + 1)));
    benchmark::DoNotOptimize(d.len());
  }
}
BENCHMARK(BM_Push100kSliceChars)->Unit(benchmark::kMillisecond);

// List builder with one entry per insert: eight entries per item.
void BM_Build100kListInserts(benchmark::State& state) {
  for (auto _ : state) {
    ListDeltaBuilder b;
    for (int i = 0; i < 100000; ++i) b.insert(ArrayVec{KesuValue(i)});
    ListDelta d = b.build();
    benchmark::DoNotOptimize(d.len());
  }
}
BENCHMARK(BM_Build100kListInserts)->Unit(benchmark::kMillisecond);

}  // namespace
