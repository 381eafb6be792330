// One DORS selection over four available transports, as the registry makes
// it for every message sent.
#include <benchmark/benchmark.h>

#include "router/dors_router.h"

namespace brenvik {
namespace {

void BM_DorsSelect(benchmark::State& state) {
  DorsRouter r;
  Message m = MessageBuilder("a", "b", "app").build();
  AvailableTransports set;
  TransportMetrics ble;
  ble.rssi_dbm = -67;
  ble.queue_depth = 3;
  ble.messages_delivered = 40;
  ble.messages_failed = 2;
  set[TransportType::Ble] = ble;
  TransportMetrics wifi;
  wifi.queue_depth = 1;
  wifi.bandwidth = 1'500'000;
  set[TransportType::WifiDirect] = wifi;
  set[TransportType::Internet] = TransportMetrics{};
  set[TransportType::Nostr] = TransportMetrics{};
  for (auto _ : state) benchmark::DoNotOptimize(r.select_transport(m, set));
}
BENCHMARK(BM_DorsSelect);

void BM_DorsScoreAll(benchmark::State& state) {
  DorsRouter r;
  Message m = MessageBuilder("a", "b", "app").build();
  AvailableTransports set{{TransportType::Ble, {}},
                          {TransportType::WifiDirect, {}},
                          {TransportType::Internet, {}},
                          {TransportType::Nostr, {}}};
  for (auto _ : state) benchmark::DoNotOptimize(r.score_all(m, set));
}
BENCHMARK(BM_DorsScoreAll);

}  // namespace
}  // namespace brenvik
