// Messages per second between two in-process devices through the exported C
// interface, over a simulated BLE link: each iteration sends one plaintext
// text from A to B, carries B's fragments (and its delivery acknowledgement
// back to A) and drains both event queues, as a host app would.
#include <benchmark/benchmark.h>

#include <string>

#include "../../tools/ffi_host.h"

namespace {

using brenvik_host::carry;
using brenvik_host::Device;

void drain(Device& d) {
  while (d.poll_event()) {
  }
}

void BM_PlaintextMessageWithAck(benchmark::State& state) {
  Device a("A", "alice"), b("B", "bob");
  a.start();
  b.start();
  a.discover(b);
  b.discover(a);
  drain(a);
  drain(b);
  const std::string text(static_cast<size_t>(state.range(0)), 'x');
  size_t fragments = 0;
  for (auto _ : state) {
    a.send(b, text);
    fragments += carry(a, b);
    fragments += carry(b, a);
    drain(a);
    drain(b);
  }
  if (a.pending_acks() != 0) state.SkipWithError("acknowledgements left pending");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["fragments_per_msg"] =
      benchmark::Counter(double(fragments) / double(state.iterations()));
}
BENCHMARK(BM_PlaintextMessageWithAck)->Arg(100)->Arg(4096);

}  // namespace
