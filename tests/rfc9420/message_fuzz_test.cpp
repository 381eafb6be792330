// Mutation fuzzing of the MLSMessage decoder over the public message
// vectors: every mutated input must either be refused with an error or
// decode to a value that re-encodes to exactly the same bytes (the codec is
// canonical), never crash, and never allocate out of proportion to the
// input.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <random>

#include "rfc9420/mls_message.h"
#include "rfc9420/tree_nodes.h"
#include "test_support.h"
#include "util/hex.h"

#if defined(__SANITIZE_ADDRESS__)
#define BRENVIK_COUNT_ALLOCATIONS 1
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* p);
#endif

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

// Peak of bytes allocated and not yet freed while `armed` is set.
struct AllocationMeter {
  static inline std::atomic<bool> armed{false};
  static inline std::atomic<int64_t> live{0};
  static inline std::atomic<int64_t> peak{0};

  static void on_malloc(const volatile void*, size_t n) {
    if (!armed) return;
    int64_t now = live += int64_t(n);
    int64_t p = peak;
    while (now > p && !peak.compare_exchange_weak(p, now)) {
    }
  }
  static void on_free(const volatile void* ptr) {
#ifdef BRENVIK_COUNT_ALLOCATIONS
    if (armed && ptr) live -= int64_t(__sanitizer_get_allocated_size(ptr));
#else
    (void)ptr;
#endif
  }
  static bool install() {
#ifdef BRENVIK_COUNT_ALLOCATIONS
    static bool ok = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
    return ok;
#else
    return false;
#endif
  }
};

std::vector<Bytes> vector_messages() {
  std::string text;
  std::vector<Bytes> out;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / "messages.json", text))
    return out;
  for (const auto& c : json::parse(text))
    for (const char* key :
         {"mls_welcome", "mls_group_info", "mls_key_package", "public_message_application",
          "public_message_proposal", "public_message_commit", "private_message"})
      out.push_back(*hex_decode(c[key].get<std::string>()));
  return out;
}

Bytes mutate(const Bytes& in, std::mt19937& rng) {
  Bytes m = in;
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  int rounds = 1 + int(pick(3));
  for (int i = 0; i < rounds && !m.empty(); ++i) {
    switch (pick(6)) {
      case 0:
        m[pick(m.size())] ^= uint8_t(1u << pick(8));
        break;
      case 1: {
        // Values that sit on the length-header boundaries.
        static const uint8_t edges[] = {0x00, 0x01, 0x02, 0x3f, 0x40, 0x7f, 0x80, 0xbf, 0xc0, 0xff};
        m[pick(m.size())] = edges[pick(sizeof edges)];
        break;
      }
      case 2:
        m.resize(pick(m.size()));
        break;
      case 3: {
        size_t at = pick(m.size());
        m.erase(m.begin() + at, m.begin() + std::min(m.size(), at + 1 + pick(8)));
        break;
      }
      case 4: {
        size_t at = pick(m.size());
        size_t len = std::min(m.size() - at, 1 + pick(16));
        Bytes chunk(m.begin() + at, m.begin() + at + len);
        m.insert(m.begin() + pick(m.size()), chunk.begin(), chunk.end());
        break;
      }
      case 5: {
        size_t at = pick(m.size());
        for (int k = 0; k < 4; ++k) m.insert(m.begin() + at, uint8_t(rng()));
        break;
      }
    }
  }
  return m;
}

TEST(MlsMessageFuzz, MutatedVectorsAreRefusedOrCanonical) {
  auto inputs = vector_messages();
  if (inputs.empty()) GTEST_SKIP() << "messages.json not found";
  bool metered = AllocationMeter::install();
  std::mt19937 rng(20261210);
  size_t decoded = 0, refused = 0;
  double worst_ratio = 0;
  for (const Bytes& original : inputs) {
    for (int i = 0; i < 12; ++i) {
      Bytes m = mutate(original, rng);
      AllocationMeter::live = 0;
      AllocationMeter::peak = 0;
      AllocationMeter::armed = true;
      auto r = decode_mls_message(m);
      AllocationMeter::armed = false;
      if (r.ok()) {
        ++decoded;
        ASSERT_EQ(encode_mls_message(*r), m) << "non-canonical accept of " << hex_encode(m);
      } else {
        ++refused;
      }
      if (metered) {
        // Decoded values are bigger than their encodings (a blank tree node
        // is one byte on the wire and a whole optional node in memory), but
        // memory must stay proportional to the bytes actually present.
        double ratio = double(AllocationMeter::peak) / double(std::max<size_t>(m.size(), 1));
        worst_ratio = std::max(worst_ratio, ratio);
        ASSERT_LE(AllocationMeter::peak, int64_t(64 * m.size() + 4096)) << hex_encode(m);
      }
    }
  }
  EXPECT_GT(refused, 0u);
  EXPECT_GT(decoded, 0u);  // some mutations (payload bit flips) stay well-formed
  RecordProperty("decoded", int(decoded));
  RecordProperty("refused", int(refused));
  if (metered) std::printf("worst peak allocation / input size: %.1f\n", worst_ratio);
}

// Every strict prefix of a valid message is refused.
TEST(MlsMessageFuzz, EveryTruncationIsRefused) {
  auto inputs = vector_messages();
  if (inputs.empty()) GTEST_SKIP() << "messages.json not found";
  for (size_t k = 0; k < 7; ++k) {
    const Bytes& full = inputs[k];
    for (size_t n = 0; n < full.size(); ++n)
      ASSERT_FALSE(decode_mls_message(ByteView(full).first(n)).ok()) << k << " at " << n;
  }
}

// A tree of blank nodes is the cheapest input per decoded element: one byte
// each. Memory must still grow only with the input.
TEST(MlsMessageFuzz, BlankTreeAllocationIsProportional) {
  if (!AllocationMeter::install()) GTEST_SKIP() << "allocation hooks need the sanitizer build";
  for (size_t n : {1000u, 100000u}) {
    Bytes in;
    tls_put_varint(in, n);
    in.resize(in.size() + n, 0x00);
    AllocationMeter::live = 0;
    AllocationMeter::peak = 0;
    AllocationMeter::armed = true;
    auto r = tls_decode<RatchetTree>(in);
    AllocationMeter::armed = false;
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), n);
    EXPECT_LE(AllocationMeter::peak, int64_t(32 * in.size() + 4096));
    std::printf("blank tree of %zu nodes: peak %lld bytes (%zu per node in memory)\n", n,
                (long long)AllocationMeter::peak.load(), sizeof(OptionalBox<Node>));
  }
}

// A commit of many Remove proposals: seven bytes each on the wire.
TEST(MlsMessageFuzz, ProposalListAllocation) {
  if (!AllocationMeter::install()) GTEST_SKIP() << "allocation hooks need the sanitizer build";
  Commit c;
  for (uint32_t i = 0; i < 10000; ++i)
    c.proposals.push_back(ProposalOrRef::inline_proposal(Proposal{Remove{i}}));
  Bytes in = tls_encode(c);
  AllocationMeter::live = 0;
  AllocationMeter::peak = 0;
  AllocationMeter::armed = true;
  auto r = tls_decode<Commit>(in);
  AllocationMeter::armed = false;
  ASSERT_TRUE(r.ok());
  EXPECT_LE(AllocationMeter::peak, int64_t(32 * in.size() + 4096));
  std::printf("commit of %zu removes, %zu bytes: peak %lld bytes (%zu per proposal in memory)\n",
              c.proposals.size(), in.size(), (long long)AllocationMeter::peak.load(),
              sizeof(ProposalOrRef));
}

}  // namespace
}  // namespace brenvik::rfc9420
