// Random and mutated input for every decoder that reads peer bytes: no
// crash (the sanitizers watch), and under AddressSanitizer no single
// allocation larger than a small multiple of the input.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "core/address.h"
#include "core/wire_v1.h"
#include "random_message.h"
#include "sealed/encrypted_message.h"
#include "transport/message_codec.h"
#include "transport/message_json.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace brenvik {
namespace {

std::atomic<size_t> g_largest_alloc{0};

#if defined(__SANITIZE_ADDRESS__)
void on_malloc(const volatile void*, size_t size) {
  size_t cur = g_largest_alloc.load(std::memory_order_relaxed);
  while (size > cur && !g_largest_alloc.compare_exchange_weak(cur, size)) {
  }
}
void on_free(const volatile void*) {}
bool install_hooks() {
  static bool installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
  return installed;
}
#else
bool install_hooks() {
  return false;
}
#endif

Bytes mutate(const Bytes& seed, std::mt19937_64& rng) {
  Bytes b = seed;
  for (int n = 1 + int(rng() % 4); n > 0; --n) {
    size_t at = b.empty() ? 0 : rng() % b.size();
    switch (rng() % 7) {
      case 0:
        if (!b.empty()) b[at] ^= uint8_t(1u << (rng() % 8));
        break;
      case 1:
        if (!b.empty()) b[at] = uint8_t(rng());
        break;
      case 2:
        b.insert(b.begin() + at, uint8_t(rng()));
        break;
      case 3:
        if (!b.empty()) b.erase(b.begin() + at);
        break;
      case 4:
        b.resize(at);
        break;
      case 5:
        if (!b.empty()) b[at] = (rng() % 2) ? 0xFF : 0x80;
        break;
      case 6: {
        size_t len = std::min<size_t>(b.size() - std::min(at, b.size()), rng() % 16);
        Bytes chunk(b.begin() + at, b.begin() + at + len);
        b.insert(b.begin() + (rng() % (b.size() + 1)), chunk.begin(), chunk.end());
        break;
      }
    }
  }
  return b;
}

Bytes random_bytes(std::mt19937_64& rng) {
  Bytes b(rng() % 96);
  for (auto& x : b) x = uint8_t(rng());
  if (!b.empty() && rng() % 2) b[0] = 0xF5;
  return b;
}

template <typename Decode>
void hammer(const std::vector<Bytes>& seeds, Decode&& decode, int rounds) {
  std::mt19937_64 rng(1234);
  bool measuring = install_hooks();
  size_t largest_seen = 0;
  for (int i = 0; i < rounds; ++i) {
    Bytes in = (i % 5 == 0) ? random_bytes(rng) : mutate(seeds[rng() % seeds.size()], rng);
    g_largest_alloc = 0;
    decode(in);
    if (measuring) {
      // Room for the decoded copy, a base64 expansion of it and error texts.
      EXPECT_LE(g_largest_alloc.load(), 4 * in.size() + 4096) << "input of " << in.size();
      largest_seen = std::max(largest_seen, g_largest_alloc.load());
    }
  }
  // The hooks really observed the decoders' allocations.
  if (measuring) {
    EXPECT_GT(largest_seen, 0u);
  }
}

TEST(HostileInput, DecodeMessage) {
  std::mt19937_64 rng(5);
  std::vector<Bytes> seeds;
  for (int i = 0; i < 20; ++i) {
    Message m = testing::random_message(rng);
    seeds.push_back(encode_wire_v1(m).value());
    seeds.push_back(encode_message_json(m).value());
  }
  hammer(
      seeds, [](const Bytes& in) { (void)decode_message(in); }, 30000);
}

TEST(HostileInput, SealedEnvelope) {
  std::vector<Bytes> seeds;
  for (int i = 0; i < 4; ++i) {
    EncryptedMessage m{GroupId::create("session:a:b" + std::to_string(i)).value(),
                       MlsMessageType(i),
                       uint64_t(i) * 77,
                       Bytes(size_t(i) * 13, 0xAB),
                       "sender",
                       1700000000000};
    seeds.push_back(encode_sealed_envelope(m).value());
  }
  hammer(
      seeds, [](const Bytes& in) { (void)decode_sealed_envelope(in); }, 20000);
}

TEST(HostileInput, ParseAddress) {
  std::vector<Bytes> seeds;
  for (uint8_t i = 0; i < 8; ++i) {
    Address a;
    a.bytes.fill(i * 31);
    seeds.push_back(to_bytes(encode_address(a)));
  }
  hammer(
      seeds, [](const Bytes& in) { (void)parse_address(as_chars(in)); }, 20000);
}

}  // namespace
}  // namespace brenvik
