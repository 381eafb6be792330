#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "protocol/stats/visualizer_stats.h"

namespace brenvik {
namespace {

// A record: delivered when `delivered_at` is set.
DeliveryRecord rec(std::optional<uint64_t> delivered_at, uint8_t hops,
                   std::optional<uint64_t> latency = std::nullopt) {
  DeliveryRecord r;
  r.message_id = "m";
  r.delivered_at_ms = delivered_at;
  r.hop_count = hops;
  r.latency_ms = latency;
  return r;
}

struct StatsCase {
  const char* name;
  std::vector<DeliveryRecord> records;
  float rate;
  std::optional<uint8_t> hops;
  std::optional<uint64_t> latency;
};

TEST(VisualizerStats, RateAndUpperMediansOverTheTrackedMessages) {
  const StatsCase cases[] = {
      {"none", {}, 0.0f, std::nullopt, std::nullopt},
      // Pending records never count for hops, whatever their hop count.
      {"all pending", {rec(std::nullopt, 9, 40), rec(std::nullopt, 7)}, 0.0f, std::nullopt, 40},
      {"two delivered", {rec(1, 3), rec(2, 1)}, 1.0f, 3, std::nullopt},
      {"one of three",
       {rec(1, 4, 5), rec(std::nullopt, 200), rec(std::nullopt, 0)},
       1.0f / 3.0f,
       4,
       5},
      {"even latencies take the upper middle",
       {rec(1, 2, 2), rec(1, 2, 4), rec(1, 2, 9), rec(1, 2, 7)},
       1.0f,
       2,
       7},
      {"odd hops", {rec(1, 5), rec(1, 1), rec(1, 3)}, 1.0f, 3, std::nullopt},
  };
  for (const StatsCase& c : cases) {
    VisualizerState s;
    s.delivery_records = c.records;
    EXPECT_FLOAT_EQ(delivery_success_rate(s), c.rate) << c.name;
    EXPECT_EQ(median_hops(s), c.hops) << c.name;
    EXPECT_EQ(median_latency(s), c.latency) << c.name;
  }
}

}  // namespace
}  // namespace brenvik
