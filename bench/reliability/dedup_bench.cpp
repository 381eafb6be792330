// Deduplicator at its default size (5000 entries): lookups of known ids and
// inserts into a full map (each insert evicts one entry).
#include <benchmark/benchmark.h>

#include "core/message_id.h"
#include "reliability/deduplicator.h"
#include "reliability/retry_queue.h"

namespace brenvik {
namespace {

std::vector<std::string> ids(size_t n) {
  std::vector<std::string> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(display_message_id(new_message_id()));
  return out;
}

void BM_DedupCheckKnown(benchmark::State& state) {
  Deduplicator d;
  auto keys = ids(5000);
  for (auto& k : keys) d.check_seen(k);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(d.is_duplicate(keys[i]));
    i = (i + 1) % keys.size();
  }
}
BENCHMARK(BM_DedupCheckKnown);

void BM_DedupCheckUnknown(benchmark::State& state) {
  Deduplicator d;
  for (auto& k : ids(5000)) d.check_seen(k);
  auto probes = ids(4096);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(d.is_duplicate(probes[i]));
    i = (i + 1) & 4095;
  }
}
BENCHMARK(BM_DedupCheckUnknown);

void BM_DedupInsertFull(benchmark::State& state) {
  Deduplicator d;
  for (auto& k : ids(5000)) d.check_seen(k);
  auto fresh = ids(1 << 16);
  size_t i = 0;
  for (auto _ : state) {
    // Ids cycle after 65536 inserts; by then each has long been evicted.
    benchmark::DoNotOptimize(d.check_seen(fresh[i]));
    i = (i + 1) & 0xFFFF;
  }
  if (d.size() != 5000) state.SkipWithError("map not at its bound");
}
BENCHMARK(BM_DedupInsertFull);

void BM_DedupBloomInsert(benchmark::State& state) {
  DedupConfig c;
  c.use_bloom_filter = true;
  Deduplicator d(c);
  auto fresh = ids(1 << 16);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(d.check_seen(fresh[i]));
    i = (i + 1) & 0xFFFF;
  }
}
BENCHMARK(BM_DedupBloomInsert);

void BM_RetryScheduleAndPop(benchmark::State& state) {
  ManualClock clock;
  RetryQueue q({}, clock);
  Message m = MessageBuilder("a", "b", "app").build();
  std::vector<MessageId> pool(1024);
  for (auto& id : pool) id = new_message_id();
  size_t i = 0;
  for (auto _ : state) {
    m.id = pool[i];
    i = (i + 1) & 1023;
    q.schedule(m, 0, 0);
    benchmark::DoNotOptimize(q.pop_due());
  }
}
BENCHMARK(BM_RetryScheduleAndPop);

}  // namespace
}  // namespace brenvik
