// The receive step of every transport: size check, decode, queue, peer id.
// The input is a sequence of frames (u16 length each) from a peer named by
// one byte, into one bounded queue; the queue's bounds must hold after each.
#include "fuzz_input.h"
#include "fuzz_target.h"
#include "transport/message_codec.h"

using namespace brenvik;

BRENVIK_FUZZ_TARGET(transport_receive) {
  constexpr size_t kMaxMessages = 8;
  constexpr size_t kMaxBytes = 4096;
  InboundQueue queue(kMaxMessages, kMaxBytes);
  fuzz::InputReader r(input);
  while (!r.empty()) {
    const uint8_t who = r.u8();
    ByteView frame = r.chunk();
    std::string peer = who % 4 == 0 ? std::string() : "peer-" + std::to_string(who % 4);
    (void)enqueue_received_bytes_from_peer(queue, Bytes(frame.begin(), frame.end()), peer);
    fuzz::fuzz_check(queue.size() <= kMaxMessages, "the queue holds at most its message bound");
    if (who & 0x80) {
      if (auto m = queue.pop()) {
        fuzz::fuzz_check(m->transport_peer_id && !m->transport_peer_id->empty(),
                         "a queued message names its peer");
      }
    }
  }
  (void)queue.drain();
}
