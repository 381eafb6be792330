// BLE fragment reassembly from several link peers. Each record of the input
// is one frame: a byte choosing the peer (low two bits) and how far the clock
// moves first (high six bits, in seconds), then the frame (u16 length).
// After every frame the reassembler's documented limits must hold.
#include <chrono>

#include "fuzz_input.h"
#include "fuzz_target.h"
#include "transport/ble_fragment.h"

using namespace brenvik;

BRENVIK_FUZZ_TARGET(ble_reassembly) {
  static const char* const kPeers[] = {"", "peer-a", "peer-b", "peer-c"};
  ManualClock clock;
  FragmentReassembler ra(clock);
  fuzz::InputReader r(input);
  while (!r.empty()) {
    const uint8_t ctl = r.u8();
    clock.advance(std::chrono::seconds(ctl >> 2));
    ByteView frame = r.chunk();
    const std::string_view peer = kPeers[ctl & 3];
    FragmentReassembler::Step step = ra.accept(peer, frame);
    if (step.completed) {
      fuzz::fuzz_check(!step.error, "a frame that completes a message is not refused");
      fuzz::fuzz_check(step.completed->size() <= kMaxAssembledBytes,
                       "a completed message stays within the assembled-bytes bound");
    }
    fuzz::fuzz_check(ra.size() <= kMaxAssemblies, "at most 64 assemblies");
    for (const char* p : kPeers) {
      fuzz::fuzz_check(ra.assemblies_of(p) <= kMaxAssembliesPerPeer,
                       "at most 16 assemblies per link peer");
    }
    fuzz::fuzz_check(ra.held_bytes() <= uint64_t(ra.size()) * kMaxAssembledBytes,
                     "each assembly holds at most the assembled-bytes bound");
    fuzz::fuzz_check(
        ra.buffered_bytes() <= 2 * ra.held_bytes() + uint64_t(ra.size()) * kMaxFragmentSize,
        "buffered bytes stay within twice what is held plus one frame per assembly");
  }
}
