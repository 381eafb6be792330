// Encode and decode of typical messages in both transport forms.
#include <benchmark/benchmark.h>

#include "core/wire_v1.h"
#include "transport/message_codec.h"
#include "transport/message_json.h"

namespace brenvik {
namespace {

Message text_message() {
  Message m = MessageBuilder("brv1q93smnffvmzrxe53zf2y3wajtd8lgy4ynsc2kxfq",
                             "brv1qqqsyqcyq5rqwzqfpg9scrgwpugpzysnzs23v9ccq", "com.example.chat")
                  .with_content(std::string(100, 'a'))
                  .with_lamport_clock(12345)
                  .build();
  return m;
}

Message binary_message() {
  Message m = text_message();
  m.content.clear();
  m.content_type = ContentType::File;
  m.binary_content = Bytes(256 * 1024);
  for (size_t i = 0; i < m.binary_content->size(); ++i) (*m.binary_content)[i] = uint8_t(i * 31);
  return m;
}

void BM_EncodeDecode(benchmark::State& state, Message m, bool compact) {
  m.compact_wire = compact;
  size_t bytes = 0;
  for (auto _ : state) {
    Bytes b = encode_message_for_transport(m).value();
    auto back = decode_message(b);
    benchmark::DoNotOptimize(back);
    bytes = b.size();
  }
  state.SetBytesProcessed(int64_t(state.iterations() * bytes));
  state.counters["frame_bytes"] = double(bytes);
}

void BM_Encode(benchmark::State& state, Message m, bool compact) {
  m.compact_wire = compact;
  size_t bytes = 0;
  for (auto _ : state) {
    Bytes b = encode_message_for_transport(m).value();
    bytes = b.size();
    benchmark::DoNotOptimize(b);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * bytes));
}

void BM_Decode(benchmark::State& state, Message m, bool compact) {
  m.compact_wire = compact;
  Bytes b = encode_message_for_transport(m).value();
  for (auto _ : state) {
    auto back = decode_message(b);
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * b.size()));
}

BENCHMARK_CAPTURE(BM_EncodeDecode, compact_text100, text_message(), true);
BENCHMARK_CAPTURE(BM_EncodeDecode, json_text100, text_message(), false);
BENCHMARK_CAPTURE(BM_EncodeDecode, compact_binary256k, binary_message(), true);
BENCHMARK_CAPTURE(BM_EncodeDecode, json_binary256k, binary_message(), false);
BENCHMARK_CAPTURE(BM_Encode, compact_binary256k, binary_message(), true);
BENCHMARK_CAPTURE(BM_Decode, compact_binary256k, binary_message(), true);
BENCHMARK_CAPTURE(BM_Encode, json_binary256k, binary_message(), false);
BENCHMARK_CAPTURE(BM_Decode, json_binary256k, binary_message(), false);

}  // namespace
}  // namespace brenvik
