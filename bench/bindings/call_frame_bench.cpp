// Cost of one exported call round trip: the host makes its argument buffers,
// the wrapper lifts them, calls the body, lowers the result, and the host frees
// what it got back. Driven through generated wrappers of the test-only Probe.
#include <benchmark/benchmark.h>

#include <atomic>

#include "bindings/codec.h"
#include "bindings/ffi_types.h"
#include "bindings/handle.h"
#include "brenvik_ffi.h"
#include "probe_exports.h"
#include "probe_object.h"

namespace {
using brenvik::Bytes;
using namespace brenvik::ffi;

BrenvikFfiByteBuffer from(const Bytes& b) {
  BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
  return brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes{int32_t(b.size()), b.data()}, &st);
}
void release(BrenvikFfiByteBuffer b) {
  BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
  brenvik_ffi_buffer_free(b, &st);
}

void BM_RoundTripSmallArguments(benchmark::State& state) {
  auto probe = Ref<Probe>::make();
  uint64_t h = probe.handle();
  Bytes text = brenvik::to_bytes("hello");
  Bytes priority = write_value(MessagePriority::Medium);
  Bytes reply = write_value(std::optional<std::string>("0d6f1c52-3b8e-4b59-9c3c-2f0b8f1e7a10"));
  for (auto _ : state) {
    BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
    auto out = brenvik_ffi_fn_method_probe_echo(handle_clone(h), from(text), from(priority),
                                                from(reply), &st);
    benchmark::DoNotOptimize(out.data);
    release(out);
  }
}
BENCHMARK(BM_RoundTripSmallArguments);

void BM_RoundTrip64KiBBytes(benchmark::State& state) {
  auto probe = Ref<Probe>::make();
  uint64_t h = probe.handle();
  Bytes payload = write_value(Bytes(64 * 1024, 0x5A));
  for (auto _ : state) {
    BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
    auto out = brenvik_ffi_fn_method_probe_echo_bytes(handle_clone(h), from(payload), &st);
    benchmark::DoNotOptimize(out.data);
    release(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(payload.size()));
}
BENCHMARK(BM_RoundTrip64KiBBytes);

// What the host's clone and the wrapper's take of `self` cost per call: the
// handle table (slot lookup, generation check, count in the slot word) ...
void BM_HandleTableCloneResolveRelease(benchmark::State& state) {
  auto probe = Ref<Probe>::make();
  uint64_t h = probe.handle();
  for (auto _ : state) {
    uint64_t dup = handle_clone(h);
    auto self = Ref<Probe>::adopt(dup);
    benchmark::DoNotOptimize(&*self);
  }
}
BENCHMARK(BM_HandleTableCloneResolveRelease);

// ... against handles that are the object's address with the count beside
// it, which a freed or made-up handle turns into a wild access.
void BM_HandleRawAddressCloneRelease(benchmark::State& state) {
  struct Counted {
    std::atomic<int64_t> count{1};
    int value = 0;
  };
  auto* obj = new Counted();
  auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj));
  for (auto _ : state) {
    auto* c = reinterpret_cast<Counted*>(static_cast<uintptr_t>(h));
    c->count.fetch_add(1, std::memory_order_relaxed);
    benchmark::DoNotOptimize(c->value);
    if (c->count.fetch_sub(1, std::memory_order_release) == 1) delete c;
  }
  delete obj;
}
BENCHMARK(BM_HandleRawAddressCloneRelease);

// A made-up handle is refused by the table alone.
void BM_HandleTableRefusesUnknown(benchmark::State& state) {
  for (auto _ : state) {
    BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
    brenvik_ffi_fn_free_datastore(0x7A5A5A5A00001234ull, &st);
    benchmark::DoNotOptimize(st.code);
    release(st.error_buf);
  }
}
BENCHMARK(BM_HandleTableRefusesUnknown);

void BM_ChecksumExport(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(brenvik_ffi_checksum_method_brenvikprotocol_send_message());
  }
}
BENCHMARK(BM_ChecksumExport);

}  // namespace
