#include "protocol/stats/visualizer_stats.h"

#include <algorithm>

namespace brenvik {

namespace {

template <typename T>
std::optional<T> upper_median(std::vector<T> values) {
  if (values.empty()) return std::nullopt;
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  return values[mid];
}

}  // namespace

float delivery_success_rate(const VisualizerState& state) {
  if (state.delivery_records.empty()) return 0.0f;
  uint64_t delivered = 0;
  for (const DeliveryRecord& r : state.delivery_records) delivered += r.delivered() ? 1 : 0;
  return float(delivered) / float(state.delivery_records.size());
}

std::optional<uint8_t> median_hops(const VisualizerState& state) {
  std::vector<uint8_t> hops;
  for (const DeliveryRecord& r : state.delivery_records)
    if (r.delivered()) hops.push_back(r.hop_count);
  return upper_median(std::move(hops));
}

std::optional<uint64_t> median_latency(const VisualizerState& state) {
  std::vector<uint64_t> latencies;
  for (const DeliveryRecord& r : state.delivery_records)
    if (r.latency_ms) latencies.push_back(*r.latency_ms);
  return upper_median(std::move(latencies));
}

}  // namespace brenvik
