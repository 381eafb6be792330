// The send road's two hot paths: a 100-byte plaintext send to a transport's
// queue, and an idle tick over a full outbox.
#include <benchmark/benchmark.h>

#include "protocol/core/protocol_core.h"
#include "transport/transport.h"

namespace brenvik {
namespace {

class SinkTransport final : public Transport {
 public:
  TransportType transport_type() const override { return TransportType::Internet; }
  TransportStatus status() const override { return TransportStatus::Available; }
  TransportMetrics metrics() const override { return {}; }
  Result<void, TransportError> send(const Message& m) override {
    benchmark::DoNotOptimize(m.id);
    return {};
  }
  Result<std::optional<Message>, TransportError> receive() override {
    return std::optional<Message>();
  }
  Result<void, TransportError> stop() override { return {}; }
  void set_status(TransportStatus) override {}
};

ProtocolConfig bench_config() {
  ProtocolConfig c;
  c.app_id = "com.example.chat";
  c.local_user_id = "alice";
  c.initial_ttl = 8;
  c.transports.internet = true;
  c.encryption.pending_queue.max_pending_per_peer = 32;
  c.encryption.pending_queue.max_pending_global = 256;
  c.encryption.pending_queue.pending_ttl_ms = 60'000;
  c.group.max_group_members = 64;
  c.ack.max_pending_acks = 1'000'000;
  c.reliability.dedup.max_tracked_messages = 1'000'000;
  return c;
}

std::unique_ptr<ProtocolCore> started_core(const Clock& clock) {
  auto core = std::move(ProtocolCore::create(bench_config(), clock)).value();
  core->transports().register_transport(TransportType::Internet, std::make_shared<SinkTransport>());
  (void)core->start();
  return core;
}

void BM_SendMessagePlaintext100B(benchmark::State& state) {
  ManualClock clock;
  auto core = started_core(clock);
  std::string content(100, 'x');
  SendOptions opts;
  size_t n = 0;
  for (auto _ : state) {
    auto r = core->send_message("bob", content, opts);
    benchmark::DoNotOptimize(r);
    // Keep the outbox and the acknowledgement table from filling up.
    if (++n % 400 == 0) {
      state.PauseTiming();
      core = started_core(clock);
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_SendMessagePlaintext100B);

void BM_IdleTickWith500OutboxEntries(benchmark::State& state) {
  ManualClock clock;
  auto core = started_core(clock);
  for (int i = 0; i < 500; ++i) (void)core->send_message("bob", std::string(100, 'x'), {});
  for (auto _ : state) {
    auto r = core->process_tick();
    benchmark::DoNotOptimize(r);
  }
  state.counters["outbox"] = double(core->TEST_outbox().entries().size());
}
BENCHMARK(BM_IdleTickWith500OutboxEntries);

}  // namespace
}  // namespace brenvik
