// GCC 12 reports a false -Wrestrict on "literal" + std::string temporaries
// at -O2 and above (GCC PR 105329); the concatenations here are ordinary.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include "kesu/common/id.h"

#include <algorithm>

namespace kesu {

std::string ID::to_string() const {
  return std::to_string(counter) + "@" + std::to_string(peer);
}

std::array<uint8_t, 12> ID::to_bytes() const {
  std::array<uint8_t, 12> out;
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(peer >> (56 - 8 * i));
  uint32_t c = uint32_t(counter);
  for (int i = 0; i < 4; ++i) out[8 + i] = uint8_t(c >> (24 - 8 * i));
  return out;
}

brenvik::Result<ID, InternalError> ID::from_bytes(ByteView b) {
  if (b.size() != 12)
    return brenvik::Err(InternalError("Invalid ID bytes. Expected 12 bytes but got " +
                                      std::to_string(b.size()) + " bytes"));
  return ID{brenvik::load_u64_be(b.data()), Counter(brenvik::load_u32_be(b.data() + 8))};
}

std::string IdLp::to_string() const {
  return "L" + std::to_string(lamport) + "@" + std::to_string(peer);
}

std::string IdFull::debug() const {
  return "IdFull { peer: " + std::to_string(peer) + ", lamport: " + std::to_string(lamport) +
         ", counter: " + std::to_string(counter) + " }";
}

CompactId CompactId::inc(int32_t offset) const {
  int64_t next = int64_t(counter()) + offset;
  if (next == INT32_MAX || next > INT32_MAX || next < INT32_MIN)
    throw InternalError("CompactId counter overflow");
  return *make(peer(), Counter(next));
}

std::optional<CompactIdLp> CompactIdLp::make(PeerID peer, Lamport lamport) {
  if (lamport == UINT32_MAX) return std::nullopt;
  CompactIdLp c;
  c.peer_ = peer;
  c.held_ = ~lamport;
  return c;
}

CompactIdLp CompactIdLp::make_unchecked(PeerID peer, Lamport lamport) {
  auto c = make(peer, lamport);
  if (!c) throw InternalError("CompactIdLp lamport 4294967295 is not representable");
  return *c;
}

std::string CompactIdLp::debug() const {
  return "CompactIdLp { peer: " + std::to_string(peer_) +
         ", lamport: " + std::to_string(lamport()) + " }";
}

CounterSpan CounterSpan::slice(uint32_t from, uint32_t to) const {
  if (from > to || to - from > length()) throw InternalError("CounterSpan::slice out of range");
  if (forward()) return {Counter(int64_t(start) + from), Counter(int64_t(start) + to)};
  return {Counter(int64_t(start) - from), Counter(int64_t(start) - to)};
}

void CounterSpan::set_start_clamped(Counter v) {
  start = forward() ? std::min(v, end) : std::max(v, end);
}

std::string CounterSpan::debug() const {
  return std::to_string(start) + "~" + std::to_string(end);
}

std::optional<std::pair<uint32_t, uint32_t>> IdSpan::overlap(const IdSpan& b) const {
  if (peer != b.peer) return std::nullopt;
  int64_t low_a = std::min(counter.start, counter.end),
          high_a = std::max(counter.start, counter.end);
  int64_t low_b = std::min(b.counter.start, b.counter.end),
          high_b = std::max(b.counter.start, b.counter.end);
  if (!(low_b < high_a && low_a < high_b)) return std::nullopt;
  return std::make_pair(uint32_t(std::max(low_a, low_b) - low_b),
                        uint32_t(std::min(high_a, high_b) - low_b));
}

bool IdSpan::can_merge(const IdSpan& b) const {
  if (peer != b.peer) return false;
  const CounterSpan& a = counter;
  int64_t as = a.start, bs = b.counter.start;
  bool a_single = a.length() == 1, b_single = b.counter.length() == 1;
  if (a_single) {
    if (b_single) return bs == as + 1 || bs == as - 1;
    return (b.counter.forward() && bs == as + 1) || (!b.counter.forward() && bs == as - 1);
  }
  if (bs != a.end) return false;
  return b_single || a.forward() == b.counter.forward();
}

void IdSpan::merge(const IdSpan& b) {
  CounterSpan& a = counter;
  bool a_single = a.length() == 1, b_single = b.counter.length() == 1;
  if (!a_single && b_single) {
    a.end = a.forward() ? Counter(a.end + 1) : Counter(a.end - 1);
  } else if (a_single && b_single) {
    a.end = b.counter.start == a.start + 1 ? Counter(a.start + 2) : Counter(a.start - 2);
  } else {
    a.end = b.counter.end;
  }
}

std::string IdSpan::debug() const {
  return "IdSpan { peer: " + std::to_string(peer) + ", counter: " + counter.debug() + " }";
}

std::string TreeID::debug() const {
  return "TreeID { peer: " + std::to_string(peer) + ", counter: " + std::to_string(counter) + " }";
}

}  // namespace kesu
