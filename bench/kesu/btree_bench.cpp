// Sequence B-tree against a std::vector baseline at the same sizes.
//
// Elements are 8-byte items counted 1 each (the shape of a list state), so the
// figures show the tree's own overhead rather than the element's.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "kesu/btree/btree.h"
#include "kesu/btree/length_finder.h"
#include "kesu/btree/sum_cache.h"

namespace {

using namespace kesu;

struct ItemTrait : SumCache<uint64_t, int64_t> {
  using Elem = uint64_t;
  using Cache = uint64_t;
  using CacheDiff = int64_t;
  static constexpr bool kUseDiff = true;
  static size_t rle_len(const Elem&) { return 1; }
  static Elem split_at(Elem&, size_t) { invariant_failed(kMsgUnreachable); }
  static bool can_merge(const Elem&, const Elem&) { return false; }
  static void merge_right(Elem&, Elem&&) {}
  static void merge_left(Elem&, Elem&&) {}
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem&) { return 1; }
};
using Tree = BTree<ItemTrait>;
using Finder = LengthFinder<ItemTrait>;

struct Rng {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  size_t below(size_t n) { return n ? next() % n : 0; }
};

Tree make_tree(size_t n) {
  std::vector<uint64_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = i;
  return Tree::build_from_elems(std::move(v));
}

void insert_at(Tree& t, size_t pos, uint64_t v) {
  Finder f(pos);
  auto q = t.query(f);
  if (!q) {
    t.push(v);
    return;
  }
  t.insert_by_path(q->cursor, v);
}

void remove_at(Tree& t, size_t pos) {
  Finder f(pos);
  t.remove_leaf(t.query(f)->cursor.leaf);
}

void BM_BTreeRandomInsert(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  Tree t = make_tree(n);
  Rng r;
  size_t len = n;
  for (auto _ : st) {
    insert_at(t, r.below(len + 1), len);
    ++len;
  }
  st.SetItemsProcessed(st.iterations());
  st.counters["bytes_per_elem"] = double(t.memory_bytes()) / double(t.size());
}

void BM_VectorRandomInsert(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  std::vector<uint64_t> v(n);
  Rng r;
  for (auto _ : st) {
    v.insert(v.begin() + ptrdiff_t(r.below(v.size() + 1)), v.size());
  }
  st.SetItemsProcessed(st.iterations());
}

void BM_BTreeRandomDelete(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  Tree t = make_tree(n);
  Rng r;
  size_t len = n;
  for (auto _ : st) {
    if (len < n * 9 / 10) {
      st.PauseTiming();
      t = make_tree(n);
      len = n;
      st.ResumeTiming();
    }
    remove_at(t, r.below(len));
    --len;
  }
  st.SetItemsProcessed(st.iterations());
}

void BM_VectorRandomDelete(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  std::vector<uint64_t> v(n);
  Rng r;
  for (auto _ : st) {
    if (v.size() < n * 9 / 10) {
      st.PauseTiming();
      v.assign(n, 0);
      st.ResumeTiming();
    }
    v.erase(v.begin() + ptrdiff_t(r.below(v.size())));
  }
  st.SetItemsProcessed(st.iterations());
}

void BM_BTreeRandomInsertDelete(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  Tree t = make_tree(n);
  Rng r;
  for (auto _ : st) {
    insert_at(t, r.below(n + 1), 7);
    remove_at(t, r.below(n + 1));
  }
  st.SetItemsProcessed(2 * st.iterations());
}

void BM_BTreeAppend(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  for (auto _ : st) {
    Tree t;
    for (size_t i = 0; i < n; ++i) t.push(i);
    benchmark::DoNotOptimize(t.root_cache());
  }
  st.SetItemsProcessed(st.iterations() * int64_t(n));
}

void BM_VectorAppend(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  for (auto _ : st) {
    std::vector<uint64_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back(i);
    benchmark::DoNotOptimize(v.data());
  }
  st.SetItemsProcessed(st.iterations() * int64_t(n));
}

void BM_BTreeIterate(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  Tree t = make_tree(n);
  // Shuffle the layout first: a tree edited at random, not a freshly built one.
  Rng r;
  for (size_t i = 0; i < n / 4; ++i) {
    insert_at(t, r.below(t.size() + 1), i);
    remove_at(t, r.below(t.size()));
  }
  for (auto _ : st) {
    uint64_t sum = 0;
    for (uint64_t e : t) sum += e;
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(t.size()));
}

// Iteration over a tree grown by 1 M insertions at random positions: leaf
// slots follow insertion order, so neighbouring elements lie anywhere in the
// leaf arena (the worst layout an edited document reaches).
void BM_BTreeIterateRandomBuilt(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  Tree t;
  Rng r;
  for (size_t i = 0; i < n; ++i) insert_at(t, r.below(i + 1), i);
  for (auto _ : st) {
    uint64_t sum = 0;
    for (uint64_t e : t) sum += e;
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(t.size()));
}

// Iteration over a freshly built tree, whose leaves lie in sequence order in memory.
void BM_BTreeIterateFresh(benchmark::State& st) {
  Tree t = make_tree(size_t(st.range(0)));
  for (auto _ : st) {
    uint64_t sum = 0;
    for (uint64_t e : t) sum += e;
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(t.size()));
}

void BM_VectorIterate(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  std::vector<uint64_t> v(n, 1);
  for (auto _ : st) {
    uint64_t sum = 0;
    for (uint64_t e : v) sum += e;
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(n));
}

// Removes a range of 1000 elements from the middle (the drain hands each out).
void BM_BTreeDrainRange(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  const size_t k = 1000;
  Tree t = make_tree(n);
  Rng r;
  for (auto _ : st) {
    if (t.size() < n / 2) {
      st.PauseTiming();
      t = make_tree(n);
      st.ResumeTiming();
    }
    size_t a = r.below(t.size() - k);
    Finder fa(a), fb(a + k);
    auto qa = t.query(fa);
    auto qb = t.query(fb);
    uint64_t sum = 0;
    {
      auto d = t.drain(qa, qb);
      while (auto e = d.next()) sum += *e;
    }
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(k));
}

void BM_VectorEraseRange(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  const size_t k = 1000;
  std::vector<uint64_t> v(n, 1);
  Rng r;
  for (auto _ : st) {
    if (v.size() < n / 2) {
      st.PauseTiming();
      v.assign(n, 1);
      st.ResumeTiming();
    }
    size_t a = r.below(v.size() - k);
    uint64_t sum = 0;
    for (size_t i = a; i < a + k; ++i) sum += v[i];
    v.erase(v.begin() + ptrdiff_t(a), v.begin() + ptrdiff_t(a + k));
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(k));
}

void BM_BTreeQuery(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  Tree t = make_tree(n);
  Rng r;
  for (auto _ : st) {
    Finder f(r.below(n));
    benchmark::DoNotOptimize(t.query(f));
  }
  st.SetItemsProcessed(st.iterations());
}

// Memory of a sequence of 1 M elements of N bytes grown by random insertion,
// against the elements' own size (ratio = arena bytes / (N * count)).
//
// The cache type changes the size of a child entry, so the engine's real
// instances are mirrored by an element of their size and a cache of their
// cache's size and alignment: K counters of type U (the span rope: two u32;
// the rich-text state: four i32; delta ropes: two i64), or one plain counter
// (the list state: u64; the id-to-cursor map: u32).
template <typename U, size_t K>
struct Counters {
  std::array<U, K> v{};
  friend bool operator==(const Counters&, const Counters&) = default;
  Counters& operator+=(const Counters& o) {
    for (size_t i = 0; i < K; ++i) v[i] = U(v[i] + o.v[i]);
    return *this;
  }
};

template <typename C>
struct CounterOps {
  static C one() { return 1; }
  static C minus(const C& x, const C& y) { return C(x - y); }
  static size_t len(const C& c) { return size_t(c); }
};
template <typename U, size_t K>
struct CounterOps<Counters<U, K>> {
  using C = Counters<U, K>;
  static C one() {
    C c;
    c.v.fill(1);
    return c;
  }
  static C minus(const C& x, const C& y) {
    C d;
    for (size_t i = 0; i < K; ++i) d.v[i] = U(x.v[i] - y.v[i]);
    return d;
  }
  static size_t len(const C& c) { return size_t(c.v[K - 1]); }
};
using RopeLikeCache = Counters<uint32_t, 2>;     // 8 bytes, 4-aligned
using PosLikeCache = Counters<int32_t, 4>;       // 16 bytes, 4-aligned
using DeltaLenLikeCache = Counters<int64_t, 2>;  // 16 bytes, 8-aligned

template <size_t N, typename C = uint64_t>
struct BlobTrait {
  struct Elem {
    std::array<uint8_t, N> b;
  };
  using Cache = C;
  using CacheDiff = C;
  static constexpr bool kUseDiff = true;
  static size_t rle_len(const Elem&) { return 1; }
  static Elem split_at(Elem&, size_t) { invariant_failed(kMsgUnreachable); }
  static bool can_merge(const Elem&, const Elem&) { return false; }
  static void merge_right(Elem&, Elem&&) {}
  static void merge_left(Elem&, Elem&&) {}
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem&) { return CounterOps<C>::one(); }
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache sum{};
    for (const auto& k : kids) sum += k.cache;
    CacheDiff d = CounterOps<C>::minus(sum, out);
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const CacheDiff& d) { c += d; }
  static void merge_cache_diff(CacheDiff& a, const CacheDiff& b) { a += b; }
  static CacheDiff cache_to_diff(const Cache& c) { return c; }
  static size_t cache_len(const Cache& c) { return CounterOps<C>::len(c); }
};

template <size_t N, typename C = uint64_t>
void BM_BTreeMemory(benchmark::State& st) {
  using TT = BlobTrait<N, C>;
  using BT = BTree<TT>;
  const size_t n = size_t(st.range(0));
  double per = 0;
  for (auto _ : st) {
    BT t;
    Rng r;
    for (size_t i = 0; i < n; ++i) {
      LengthFinder<TT> f(r.below(i + 1));
      auto q = t.query(f);
      if (q) {
        t.insert_by_path(q->cursor, typename TT::Elem{});
      } else {
        t.push(typename TT::Elem{});
      }
    }
    per = double(t.memory_bytes()) / double(n);
  }
  st.counters["bytes_per_elem"] = per;
  st.counters["ratio_to_elem"] = per / double(N);
}

BENCHMARK(BM_BTreeMemory<8>)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<16>)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<32>)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<64>)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<128>)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
// Sizes of the engine's elements: span rope (72 B), rich-text chunk (56 B),
// text / raw rich-text / list delta items (88, 80, 352 B), id-to-cursor insert set entry (12 B).
BENCHMARK(BM_BTreeMemory<72, RopeLikeCache>)
    ->Name("BM_BTreeMemory/FugueSpan72")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<56, PosLikeCache>)
    ->Name("BM_BTreeMemory/RichtextChunk56")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<88, DeltaLenLikeCache>)
    ->Name("BM_BTreeMemory/TextDeltaItem88")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<80, DeltaLenLikeCache>)
    ->Name("BM_BTreeMemory/RichtextRawDeltaItem80")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<352, DeltaLenLikeCache>)
    ->Name("BM_BTreeMemory/ListDeltaItem352")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeMemory<12, uint32_t>)
    ->Name("BM_BTreeMemory/IdToCursorInsert12")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeRandomInsert)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_VectorRandomInsert)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_BTreeRandomDelete)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_VectorRandomDelete)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_BTreeRandomInsertDelete)->Arg(1000000);
BENCHMARK(BM_BTreeQuery)->Arg(1000000);
BENCHMARK(BM_BTreeAppend)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VectorAppend)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeIterate)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeIterateRandomBuilt)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeIterateFresh)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VectorIterate)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BTreeDrainRange)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VectorEraseRange)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace
