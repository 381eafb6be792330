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

// A column kind: the strategy of column_set.h and the data it is measured on.
struct AnyRleRuns {
  using Col = AnyRleColumn<uint64_t>;
  static std::vector<uint64_t> data() { return runs_data(); }
};
struct AnyRleLiterals {
  using Col = AnyRleColumn<uint64_t>;
  static std::vector<uint64_t> data() { return literal_data(); }
};
struct DeltaRleCounters {
  using Col = DeltaRleColumn<int64_t>;
  static std::vector<int64_t> data() { return counter_data(); }
};
struct BoolRleRuns {
  using Col = BoolRleColumn;
  static std::vector<bool> data() { return bool_data(); }
};
struct DeltaOfDeltaTimes {
  using Col = DeltaOfDeltaColumn<int64_t>;
  static std::vector<int64_t> data() { return time_data(); }
};

template <typename Kind>
void BM_ColumnEncode(benchmark::State& st) {
  auto d = Kind::data();
  for (auto _ : st) benchmark::DoNotOptimize(Kind::Col::encode(d));
  st.SetItemsProcessed(int64_t(st.iterations() * kN));
}
template <typename Kind>
void BM_ColumnDecode(benchmark::State& st) {
  Bytes b = *Kind::Col::encode(Kind::data());
  for (auto _ : st) {
    auto v = Kind::Col::decode(b, kN);
    if (!v.ok() || v->size() != kN) st.SkipWithError("column did not decode");
    benchmark::DoNotOptimize(v);
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

// Records with structure below them: an item with a metadata map, a list
// of comment maps and a coordinate pair, three levels deep.
KesuValue nested_value() {
  KesuList items;
  uint64_t s = 8;
  for (int i = 0; i < 5000; ++i) {
    KesuList comments;
    for (int j = 0; j < 3; ++j)
      comments.push_back(KesuValue::map_from_pairs({
          {"author", KesuValue::string("user" + std::to_string(mix(s) % 50))},
          {"at", KesuValue(int64_t(1'700'000'000 + mix(s) % 100000))},
          {"text", KesuValue::string("comment number " + std::to_string(j))},
      }));
    items.push_back(KesuValue::map_from_pairs({
        {"id", KesuValue(int64_t(i))},
        {"meta", KesuValue::map_from_pairs({
                     {"created", KesuValue(int64_t(1'690'000'000 + mix(s) % 1000000))},
                     {"owner", KesuValue::string("user" + std::to_string(mix(s) % 50))},
                     {"flags", KesuValue::list({true, false, mix(s) % 2 == 0})},
                 })},
        {"comments", KesuValue::list(std::move(comments))},
        {"pos", KesuValue::list({double(mix(s) % 10000) / 3.0, double(mix(s) % 10000) / 7.0})},
    }));
  }
  return KesuValue::list(std::move(items));
}

// Larger records mixing every kind: thirty fields of numbers, short and
// paragraph-long texts, small binaries, short lists and nulls.
KesuValue mixed_value() {
  KesuList items;
  uint64_t s = 9;
  for (int i = 0; i < 2000; ++i) {
    KesuMap m;
    for (int f = 0; f < 30; ++f) {
      std::string key = "field_" + std::to_string(f);
      switch (f % 7) {
        case 0:
          m[key] = KesuValue(int64_t(mix(s) % 1'000'000'000));
          break;
        case 1:
          m[key] = KesuValue(double(mix(s) % 1'000'000) / 13.0);
          break;
        case 2:
          m[key] = KesuValue::string("state-" + std::to_string(mix(s) % 4));
          break;
        case 3:
          m[key] = KesuValue::string(std::string(50 + mix(s) % 250, char('a' + f % 26)));
          break;
        case 4:
          m[key] = KesuValue::binary(Bytes(16 + mix(s) % 48, uint8_t(f)));
          break;
        case 5: {
          KesuList l;
          for (int j = 0; j < 5; ++j) l.push_back(KesuValue(int64_t(mix(s) % 1000)));
          m[key] = KesuValue::list(std::move(l));
          break;
        }
        default:
          m[key] = f % 2 ? KesuValue() : KesuValue(mix(s) % 2 == 0);
      }
    }
    items.push_back(KesuValue::map(std::move(m)));
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

// A byte form of values: how a whole value is written and read back.
struct Compact {
  static size_t write(const KesuValue& v, Bytes& out, KeyArena&) {
    size_t before = out.size();
    encode_compact_value(v, out);
    return out.size() - before;
  }
  static bool read(ByteReader& r, const KeyArena&) { return decode_compact_value(r).ok(); }
};
struct Nested {
  static size_t write(const KesuValue& v, Bytes& out, KeyArena& keys) {
    return write_nested_value(v, out, keys);
  }
  static bool read(ByteReader& r, const KeyArena& keys) {
    return read_nested_value(r, keys.keys(), 1, 1).ok();
  }
};
struct SmallRecords {
  static KesuValue value() { return sample_value(); }
};
struct NestedRecords {
  static KesuValue value() { return nested_value(); }
};
struct MixedRecords {
  static KesuValue value() { return mixed_value(); }
};
struct Blobs {
  static KesuValue value() { return blob_value(); }
};

// Bytes per second of writing a whole value into a fresh buffer, the key
// arena included for the nested form.
template <typename Form, typename Shape>
void BM_ValueEncode(benchmark::State& st) {
  KesuValue v = Shape::value();
  size_t n = 0;
  for (auto _ : st) {
    KeyArena keys;
    Bytes out;
    n = Form::write(v, out, keys);
    benchmark::DoNotOptimize(out);
  }
  st.SetBytesProcessed(int64_t(st.iterations() * n));
}
// Bytes per second of reading a whole value, releasing it included.
template <typename Form, typename Shape>
void BM_ValueDecode(benchmark::State& st) {
  KeyArena keys;
  Bytes b;
  Form::write(Shape::value(), b, keys);
  for (auto _ : st) {
    ByteReader r(b);
    if (!Form::read(r, keys)) st.SkipWithError("value did not decode");
  }
  st.SetBytesProcessed(int64_t(st.iterations() * b.size()));
}

BENCHMARK_TEMPLATE(BM_ColumnEncode, AnyRleRuns);
BENCHMARK_TEMPLATE(BM_ColumnDecode, AnyRleRuns);
BENCHMARK_TEMPLATE(BM_ColumnEncode, AnyRleLiterals);
BENCHMARK_TEMPLATE(BM_ColumnDecode, AnyRleLiterals);
BENCHMARK_TEMPLATE(BM_ColumnEncode, DeltaRleCounters);
BENCHMARK_TEMPLATE(BM_ColumnDecode, DeltaRleCounters);
BENCHMARK_TEMPLATE(BM_ColumnEncode, BoolRleRuns);
BENCHMARK_TEMPLATE(BM_ColumnDecode, BoolRleRuns);
BENCHMARK_TEMPLATE(BM_ColumnEncode, DeltaOfDeltaTimes);
BENCHMARK_TEMPLATE(BM_ColumnDecode, DeltaOfDeltaTimes);
BENCHMARK_TEMPLATE(BM_ValueEncode, Compact, SmallRecords);
BENCHMARK_TEMPLATE(BM_ValueDecode, Compact, SmallRecords);
BENCHMARK_TEMPLATE(BM_ValueEncode, Nested, SmallRecords);
BENCHMARK_TEMPLATE(BM_ValueDecode, Nested, SmallRecords);
BENCHMARK_TEMPLATE(BM_ValueEncode, Compact, NestedRecords);
BENCHMARK_TEMPLATE(BM_ValueDecode, Compact, NestedRecords);
BENCHMARK_TEMPLATE(BM_ValueEncode, Nested, NestedRecords);
BENCHMARK_TEMPLATE(BM_ValueDecode, Nested, NestedRecords);
BENCHMARK_TEMPLATE(BM_ValueEncode, Compact, MixedRecords);
BENCHMARK_TEMPLATE(BM_ValueDecode, Compact, MixedRecords);
BENCHMARK_TEMPLATE(BM_ValueEncode, Nested, MixedRecords);
BENCHMARK_TEMPLATE(BM_ValueDecode, Nested, MixedRecords);
BENCHMARK_TEMPLATE(BM_ValueEncode, Compact, Blobs);
BENCHMARK_TEMPLATE(BM_ValueDecode, Compact, Blobs);
BENCHMARK_TEMPLATE(BM_ValueEncode, Nested, Blobs);
BENCHMARK_TEMPLATE(BM_ValueDecode, Nested, Blobs);

}  // namespace
}  // namespace kesu
