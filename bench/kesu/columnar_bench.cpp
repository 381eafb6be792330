// Throughput of the engine's column codecs and value encodings on a million
// values of shapes typical for change blocks and state snapshots.
#include <benchmark/benchmark.h>

#include "kesu/columnar/column_set.h"
#include "kesu/internal/encoding/value.h"

namespace kesu {
namespace {

constexpr size_t kN = 1'000'000;

uint64_t mix(uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}

// Peer indices / container indices: runs of a few equal values.
std::vector<uint64_t> runs_data() {
  std::vector<uint64_t> v;
  uint64_t s = 1;
  while (v.size() < kN) {
    uint64_t x = mix(s) % 8, n = 1 + mix(s) % 20;
    for (uint64_t i = 0; i < n && v.size() < kN; ++i) v.push_back(x);
  }
  return v;
}
// Small differing values: literal stretches.
std::vector<uint64_t> literal_data() {
  std::vector<uint64_t> v(kN);
  uint64_t s = 2;
  for (auto& x : v) x = mix(s) % 100;
  return v;
}
// Counters that mostly step by one with occasional jumps.
std::vector<int64_t> counter_data() {
  std::vector<int64_t> v(kN);
  uint64_t s = 3;
  int64_t c = 0;
  for (auto& x : v) {
    c += (mix(s) % 64 == 0) ? int64_t(mix(s) % 1000) : 1;
    x = c;
  }
  return v;
}
// Timestamps: regular steps with small jitter.
std::vector<int64_t> time_data() {
  std::vector<int64_t> v(kN);
  uint64_t s = 4;
  int64_t t = 1'700'000'000;
  for (auto& x : v) {
    t += 1000 + ((mix(s) % 8 == 0) ? int64_t(mix(s) % 50) : 0);
    x = t;
  }
  return v;
}
std::vector<bool> bool_data() {
  std::vector<bool> v;
  uint64_t s = 5;
  bool b = false;
  while (v.size() < kN) {
    uint64_t n = 1 + mix(s) % 30;
    for (uint64_t i = 0; i < n && v.size() < kN; ++i) v.push_back(b);
    b = !b;
  }
  return v;
}

void BM_AnyRleRunsEncode(benchmark::State& st) {
  auto d = runs_data();
  for (auto _ : st) benchmark::DoNotOptimize(encode_any_rle(d));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_AnyRleRunsDecode(benchmark::State& st) {
  auto b = encode_any_rle(runs_data());
  for (auto _ : st) benchmark::DoNotOptimize(AnyRleDecoder<uint64_t>(b).decode_all(kN));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_AnyRleLiteralEncode(benchmark::State& st) {
  auto d = literal_data();
  for (auto _ : st) benchmark::DoNotOptimize(encode_any_rle(d));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_AnyRleLiteralDecode(benchmark::State& st) {
  auto b = encode_any_rle(literal_data());
  for (auto _ : st) benchmark::DoNotOptimize(AnyRleDecoder<uint64_t>(b).decode_all(kN));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_DeltaRleEncode(benchmark::State& st) {
  auto d = counter_data();
  for (auto _ : st) benchmark::DoNotOptimize(encode_delta_rle(d));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_DeltaRleDecode(benchmark::State& st) {
  auto b = encode_delta_rle(counter_data());
  for (auto _ : st) benchmark::DoNotOptimize(DeltaRleDecoder<int64_t>(b).decode_all(kN));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_BoolRleEncode(benchmark::State& st) {
  auto d = bool_data();
  for (auto _ : st) benchmark::DoNotOptimize(encode_bool_rle(d));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_BoolRleDecode(benchmark::State& st) {
  auto b = encode_bool_rle(bool_data());
  for (auto _ : st) benchmark::DoNotOptimize(BoolRleDecoder(b).decode_all(kN));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_DeltaOfDeltaEncode(benchmark::State& st) {
  auto d = time_data();
  for (auto _ : st) benchmark::DoNotOptimize(encode_delta_of_delta(d));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
void BM_DeltaOfDeltaDecode(benchmark::State& st) {
  auto b = *encode_delta_of_delta(time_data());
  for (auto _ : st) {
    auto d = DeltaOfDeltaDecoder::open(b);
    benchmark::DoNotOptimize(d->decode_all<int64_t>(kN));
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}

// A list of small records like the values of a map-heavy document.
KesuValue sample_value() {
  KesuList items;
  uint64_t s = 6;
  for (int i = 0; i < 20000; ++i) {
    items.push_back(KesuValue::map_from_pairs({
        {"title", KesuValue::string("item number " + std::to_string(i))},
        {"count", KesuValue(int64_t(mix(s) % 100000))},
        {"score", KesuValue(double(mix(s) % 1000) / 7.0)},
        {"done", KesuValue(i % 3 == 0)},
        {"tags", KesuValue::list({KesuValue::string("a"), KesuValue::string("bcd")})},
    }));
  }
  return KesuValue::list(std::move(items));
}

// Values dominated by payload bytes: texts of a paragraph and binary blobs.
KesuValue blob_value() {
  KesuList items;
  uint64_t s = 7;
  for (int i = 0; i < 2000; ++i) {
    std::string text(200 + mix(s) % 800, 'x');
    Bytes blob(500 + mix(s) % 1500, uint8_t(i));
    items.push_back(
        KesuValue::list({KesuValue::string(std::move(text)), KesuValue::binary(std::move(blob)),
                         KesuValue(int64_t(mix(s)))}));
  }
  return KesuValue::list(std::move(items));
}

void BM_ValueBlobCompactEncode(benchmark::State& st) {
  auto v = blob_value();
  size_t n = 0;
  for (auto _ : st) {
    Bytes out;
    encode_compact_value(v, out);
    n = out.size();
    benchmark::DoNotOptimize(out);
  }
  st.SetBytesProcessed(int64_t(st.iterations() * n));
}
void BM_ValueBlobCompactDecode(benchmark::State& st) {
  Bytes b;
  encode_compact_value(blob_value(), b);
  for (auto _ : st) {
    ByteReader r(b);
    benchmark::DoNotOptimize(decode_compact_value(r));
  }
  st.SetBytesProcessed(int64_t(st.iterations() * b.size()));
}
void BM_ValueBlobNestedDecode(benchmark::State& st) {
  KeyArena keys;
  Bytes b;
  write_nested_value(blob_value(), b, keys);
  for (auto _ : st) {
    ByteReader r(b);
    benchmark::DoNotOptimize(read_nested_value(r, keys.keys(), 1, 1));
  }
  st.SetBytesProcessed(int64_t(st.iterations() * b.size()));
}

void BM_ValueCompactEncode(benchmark::State& st) {
  auto v = sample_value();
  size_t n = 0;
  for (auto _ : st) {
    Bytes out;
    encode_compact_value(v, out);
    n = out.size();
    benchmark::DoNotOptimize(out);
  }
  st.SetBytesProcessed(int64_t(st.iterations() * n));
}
void BM_ValueCompactDecode(benchmark::State& st) {
  Bytes b;
  encode_compact_value(sample_value(), b);
  for (auto _ : st) {
    ByteReader r(b);
    benchmark::DoNotOptimize(decode_compact_value(r));
  }
  st.SetBytesProcessed(int64_t(st.iterations() * b.size()));
}
void BM_ValueNestedEncode(benchmark::State& st) {
  auto v = sample_value();
  size_t n = 0;
  for (auto _ : st) {
    KeyArena keys;
    Bytes out;
    n = write_nested_value(v, out, keys);
    benchmark::DoNotOptimize(out);
  }
  st.SetBytesProcessed(int64_t(st.iterations() * n));
}
void BM_ValueNestedDecode(benchmark::State& st) {
  KeyArena keys;
  Bytes b;
  write_nested_value(sample_value(), b, keys);
  for (auto _ : st) {
    ByteReader r(b);
    benchmark::DoNotOptimize(read_nested_value(r, keys.keys(), 1, 1));
  }
  st.SetBytesProcessed(int64_t(st.iterations() * b.size()));
}

BENCHMARK(BM_AnyRleRunsEncode);
BENCHMARK(BM_AnyRleRunsDecode);
BENCHMARK(BM_AnyRleLiteralEncode);
BENCHMARK(BM_AnyRleLiteralDecode);
BENCHMARK(BM_DeltaRleEncode);
BENCHMARK(BM_DeltaRleDecode);
BENCHMARK(BM_BoolRleEncode);
BENCHMARK(BM_BoolRleDecode);
BENCHMARK(BM_DeltaOfDeltaEncode);
BENCHMARK(BM_DeltaOfDeltaDecode);
BENCHMARK(BM_ValueCompactEncode);
BENCHMARK(BM_ValueCompactDecode);
BENCHMARK(BM_ValueNestedEncode);
BENCHMARK(BM_ValueNestedDecode);
BENCHMARK(BM_ValueBlobCompactEncode);
BENCHMARK(BM_ValueBlobCompactDecode);
BENCHMARK(BM_ValueBlobNestedDecode);

}  // namespace
}  // namespace kesu
