// Host event JSON of a received message, and reading a stored pending
// message back.
#include <benchmark/benchmark.h>

#include "protocol/events/event_json.h"
#include "protocol/records/pending_message.h"

namespace brenvik {
namespace {

ProtocolEvent typical_message_received() {
  event::MessageReceived e;
  e.message_id = "6f1c2a1e-8a7b-4c1d-9e0f-112233445566";
  e.sender = "alice-device-0001";
  e.recipient = "bob-device-0002";
  e.content = "See you at the station at half past six, the usual platform.";
  e.hop_count = 2;
  e.transport = "ble";
  e.timestamp = 1741338300123;
  e.lamport_clock = 4711;
  e.content_type = "text";
  e.encrypted = true;
  e.app_id = "com.example.chat";
  return e;
}

void BM_SerializeMessageReceived(benchmark::State& state) {
  ProtocolEvent e = typical_message_received();
  for (auto _ : state) {
    std::string json = serialize_event_json(e);
    benchmark::DoNotOptimize(json);
  }
}
BENCHMARK(BM_SerializeMessageReceived);

void BM_ReadStoredPendingMessage(benchmark::State& state) {
  PendingMessage m;
  m.content = "See you at the station at half past six, the usual platform.";
  m.priority = MessagePriority::High;
  m.message_id = new_message_id();
  m.reply_to_msg = new_message_id();
  m.content_type = ContentType::Text;
  m.app_id = "com.example.chat";
  m.queued_at = UnixTime{1741338300, 250'000'000};
  ForwardInfo f;
  f.original_sender = "carol";
  f.original_message_id = new_message_id();
  f.original_timestamp = 1741338000000;
  f.forward_count = 1;
  m.forwarded_from = f;
  std::string text = m.to_json_text();
  for (auto _ : state) {
    auto r = PendingMessage::from_json_text(text);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadStoredPendingMessage);

}  // namespace
}  // namespace brenvik
