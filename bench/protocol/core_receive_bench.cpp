// The receive road's hot path: one 100-byte plaintext message taken from a
// transport, checked, acknowledged and announced to the host.
#include <benchmark/benchmark.h>

#include <cstring>

#include "protocol/core/protocol_core.h"
#include "transport/transport.h"

namespace brenvik {
namespace {

// Hands out one copy of a template message per call, each with a new id;
// what is sent (the acknowledgements) is dropped.
class FeedTransport final : public Transport {
 public:
  explicit FeedTransport(Message tmpl) : tmpl_(std::move(tmpl)) {}
  TransportType transport_type() const override { return TransportType::Internet; }
  TransportStatus status() const override { return TransportStatus::Available; }
  TransportMetrics metrics() const override { return {}; }
  Result<void, TransportError> send(const Message& m) override {
    benchmark::DoNotOptimize(m.id);
    return {};
  }
  Result<std::optional<Message>, TransportError> receive() override {
    if (pending_ == 0) return std::optional<Message>();
    --pending_;
    Message m = tmpl_;
    ++counter_;
    std::memcpy(m.id.bytes.data(), &counter_, sizeof counter_);
    return std::optional<Message>(std::move(m));
  }
  Result<void, TransportError> stop() override { return {}; }
  void set_status(TransportStatus) override {}
  void feed(size_t n) { pending_ += n; }

 private:
  Message tmpl_;
  size_t pending_ = 0;
  uint64_t counter_ = 0;
};

ProtocolConfig bench_config() {
  ProtocolConfig c;
  c.app_id = "com.example.chat";
  c.local_user_id = "bob";
  c.initial_ttl = 8;
  c.transports.internet = true;
  c.encryption.pending_queue.max_pending_per_peer = 32;
  c.encryption.pending_queue.max_pending_global = 256;
  c.encryption.pending_queue.pending_ttl_ms = 60'000;
  c.group.max_group_members = 64;
  c.reliability.dedup.max_tracked_messages = 1'000'000;
  return c;
}

void BM_ReceivePlaintext100BWithAck(benchmark::State& state) {
  ManualClock clock;
  auto core = std::move(ProtocolCore::create(bench_config(), clock)).value();
  Message tmpl = MessageBuilder("alice", "bob", "com.example.chat")
                     .with_content(std::string(100, 'x'))
                     .build(clock);
  auto feed = std::make_shared<FeedTransport>(tmpl);
  core->transports().register_transport(TransportType::Internet, feed);
  (void)core->start();
  size_t events = 0;
  core->add_observer([&events](ProtocolEvent) { ++events; });
  for (auto _ : state) {
    feed->feed(1);
    auto m = core->receive_message();
    benchmark::DoNotOptimize(m);
  }
  state.counters["events"] = double(events);
}
BENCHMARK(BM_ReceivePlaintext100BWithAck);

}  // namespace
}  // namespace brenvik
