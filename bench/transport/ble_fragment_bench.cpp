// BLE split and reassembly: the frame layer alone (bytes in, frames out,
// frames in, bytes out), and the same with the message encoding around it.
#include <benchmark/benchmark.h>

#include "transport/ble_fragment.h"
#include "transport/message_codec.h"

namespace brenvik {
namespace {

const std::string kId = "67e55044-10b1-426f-9247-bb680e5fe0c8";

void BM_SplitAndReassemble(benchmark::State& state) {
  const size_t n = size_t(state.range(0));
  const size_t frame_size = size_t(state.range(1));
  Bytes data(n);
  for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 31);
  FragmentReassembler r;
  for (auto _ : state) {
    auto frames = fragment_encoded(kId, data, frame_size);
    std::optional<Bytes> out;
    for (const Bytes& f : frames.value()) {
      auto step = r.accept("peer", f);
      if (step.completed) out = std::move(step.completed);
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(BM_SplitAndReassemble)
    ->Args({1024, 185})
    ->Args({64 * 1024, 185})
    ->Args({1024, 512})
    ->Args({64 * 1024, 512});

void BM_MessageSplitAndReassemble(benchmark::State& state) {
  const size_t n = size_t(state.range(0));
  Message m = MessageBuilder("alice", "bob", "app").with_content(std::string(n, 'x')).build();
  FragmentReassembler r;
  for (auto _ : state) {
    auto frames = fragment_message(m, 185);
    std::optional<Message> out;
    for (const Bytes& f : frames.value()) {
      auto step = r.accept("peer", f);
      if (step.completed) out = decode_message(*step.completed).value();
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(BM_MessageSplitAndReassemble)->Arg(1024)->Arg(60 * 1024);

}  // namespace
}  // namespace brenvik
