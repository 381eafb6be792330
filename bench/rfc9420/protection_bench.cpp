// Protect and unprotect of a 1 KiB application message as a PrivateMessage
// (sign + encrypt, decrypt + verify), against the bare AES-128-GCM cost.
#include <benchmark/benchmark.h>

#include "crypto/aead.h"
#include "crypto/random.h"
#include "rfc9420/message_protection.h"
#include "rfc9420/mls_message.h"

namespace brenvik::rfc9420 {
namespace {

struct Group {
  GroupContext ctx;
  crypto::Ed25519PrivateKey key = *crypto::Ed25519PrivateKey::generate();
  Bytes encryption_secret = *crypto::random_bytes(32);
  Bytes sender_data_secret = *crypto::random_bytes(32);
  Group() {
    ctx.cipher_suite = kSuite;
    ctx.group_id = *crypto::random_bytes(32);
    ctx.epoch = 3;
    ctx.tree_hash = *crypto::random_bytes(32);
    ctx.confirmed_transcript_hash = *crypto::random_bytes(32);
  }
  FramedContent content(const Bytes& data) const {
    FramedContent fc;
    fc.group_id = ctx.group_id;
    fc.epoch = ctx.epoch;
    fc.sender = Sender::member(1);
    fc.content = ApplicationContent{data};
    return fc;
  }
};

// Sign, encrypt and encode: what sending one message costs.
void BM_ProtectPrivate1KiB(benchmark::State& state) {
  Group g;
  SecretTree tree(g.encryption_secret, 16, {32, 0xffffffffu});
  Bytes data = *crypto::random_bytes(1024);
  for (auto _ : state) {
    auto ac = sign_content(WireFormat::private_message, g.content(data), g.key, g.ctx);
    auto pm = protect_private(*ac, tree, g.sender_data_secret);
    MlsMessage m{ProtocolVersion::mls10,
                 tls::Case<WireFormat::private_message, PrivateMessage>{std::move(*pm)}};
    benchmark::DoNotOptimize(encode_mls_message(m));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProtectPrivate1KiB);

// Decode, decrypt and verify the signature: what receiving one costs.
void BM_UnprotectPrivate1KiB(benchmark::State& state) {
  Group g;
  Bytes data = *crypto::random_bytes(1024);
  const int n = 4096;
  SecretTree sender(g.encryption_secret, 16, {32, 0xffffffffu});
  std::vector<Bytes> wire;
  for (int i = 0; i < n; ++i) {
    auto ac = sign_content(WireFormat::private_message, g.content(data), g.key, g.ctx);
    auto pm = protect_private(*ac, sender, g.sender_data_secret);
    wire.push_back(encode_mls_message(
        {ProtocolVersion::mls10, tls::Case<WireFormat::private_message, PrivateMessage>{*pm}}));
  }
  auto receiver =
      std::make_unique<SecretTree>(g.encryption_secret, 16, SenderRatchetConfig{32, 0xffffffffu});
  int i = 0;
  for (auto _ : state) {
    if (i == n) {
      state.PauseTiming();
      receiver = std::make_unique<SecretTree>(g.encryption_secret, 16,
                                              SenderRatchetConfig{32, 0xffffffffu});
      i = 0;
      state.ResumeTiming();
    }
    auto m = decode_mls_message(wire[i++]);
    auto ac = unprotect_private(*m->get<PrivateMessage>(), *receiver, g.sender_data_secret, g.ctx);
    if (!ac.ok()) state.SkipWithError(ac.error().message().c_str());
    benchmark::DoNotOptimize(verify_content_signature(*ac, g.key.public_key(), g.ctx));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnprotectPrivate1KiB);

void BM_BareAes128GcmSeal1KiB(benchmark::State& state) {
  Bytes key = *crypto::random_bytes(16), nonce = *crypto::random_bytes(12);
  Bytes data = *crypto::random_bytes(1024);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::aes128gcm_seal(key, nonce, {}, data));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareAes128GcmSeal1KiB);

}  // namespace
}  // namespace brenvik::rfc9420

namespace brenvik::rfc9420 {
namespace {

void BM_ExpandWithLabel(benchmark::State& state) {
  Bytes secret = *crypto::random_bytes(32);
  for (auto _ : state) benchmark::DoNotOptimize(derive_tree_secret(secret, "key", 7, kNk));
}
BENCHMARK(BM_ExpandWithLabel);

void BM_SignContentOnly1KiB(benchmark::State& state) {
  Group g;
  Bytes data = *crypto::random_bytes(1024);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        sign_content(WireFormat::private_message, g.content(data), g.key, g.ctx));
}
BENCHMARK(BM_SignContentOnly1KiB);

}  // namespace
}  // namespace brenvik::rfc9420
