// A whole device, driven through the interface a host uses, fed by hostile
// neighbours. Each record of the input is an operation byte and a chunk:
//   0, 1: the chunk is a BLE fragment from neighbour A or B;
//   2:    the chunk is a message JSON text the host asks to forward to A;
//   3:    the clock moves by the chunk's first byte in seconds, then the
//         device runs its periodic work.
// After each operation the host drains the device's events and its outgoing
// fragments, as a host does.
#include <chrono>

#include "fuzz_device.h"
#include "fuzz_input.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

using namespace brenvik;
namespace body = brenvik::ffi::body;

BRENVIK_FUZZ_TARGET(device) {
  fuzz::use_deterministic_random(4);
  ManualClock clock;
  auto dev = fuzz::start_device(fuzz::kDeviceId, clock);
  fuzz::fuzz_check(static_cast<bool>(dev), "the fuzzed device starts");
  fuzz::InputReader r(input);
  for (int ops = 0; ops < 256 && !r.empty(); ++ops) {
    const uint8_t op = r.u8();
    ByteView chunk = r.chunk();
    switch (op % 4) {
      case 0:
      case 1:
        (void)body::brenvikprotocol_ble_fragment_received(
            *dev, op % 4 == 0 ? fuzz::kNeighbourA : fuzz::kNeighbourB,
            Bytes(chunk.begin(), chunk.end()));
        break;
      case 2:
        (void)body::brenvikprotocol_forward_message(*dev, std::string(chunk.begin(), chunk.end()),
                                                    fuzz::kNeighbourA, std::nullopt);
        break;
      case 3:
        clock.advance(std::chrono::seconds(chunk.empty() ? 1 : chunk[0]));
        (void)body::brenvikprotocol_process(*dev);
        break;
    }
    while (body::brenvikprotocol_poll_event(*dev)) {
    }
    while (body::brenvikprotocol_ble_get_next_fragment(*dev)) {
    }
    while (body::brenvikprotocol_receive_message(*dev)) {
    }
  }
  (void)body::brenvikprotocol_stop(*dev);
}
