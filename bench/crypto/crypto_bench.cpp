// Per-operation cost of the crypto layer, for comparison with `openssl speed`
// on the same machine.
#include <benchmark/benchmark.h>

#include "crypto/aead.h"
#include "crypto/ed25519.h"
#include "crypto/hkdf.h"
#include "crypto/hpke.h"
#include "crypto/nip44.h"
#include "crypto/secp256k1.h"
#include "crypto/sha256.h"
#include "crypto/x25519.h"

namespace brenvik::crypto {
namespace {

template <typename T>
T must(Result<T, CryptoError> r) {
  if (!r.ok()) std::abort();
  return std::move(r).value();
}

void BM_Sha256(benchmark::State& st) {
  const Bytes data(size_t(st.range(0)), 0x61);
  for (auto _ : st) benchmark::DoNotOptimize(sha256(data));
  st.SetBytesProcessed(int64_t(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Sha256)->Arg(1024)->Arg(65536);

void BM_HmacSha256_64B(benchmark::State& st) {
  const Bytes key(32, 1), data(64, 2);
  for (auto _ : st) benchmark::DoNotOptimize(hmac_sha256(key, data));
}
BENCHMARK(BM_HmacSha256_64B);

void BM_HkdfExpand_32B(benchmark::State& st) {
  const Bytes prk(32, 1), info(40, 2);
  uint8_t out[32];
  for (auto _ : st) {
    (void)hkdf_expand(prk, info, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_HkdfExpand_32B);

// A keyed AEAD: the key schedule is set once, each message sets the nonce,
// authenticates 13 bytes of AAD (a TLS-like record header) and makes a tag.
void BM_AeadKeyedSeal(benchmark::State& st, AeadAlgorithm alg) {
  const size_t n = size_t(st.range(0));
  auto key = must(AeadKey::create(alg, Bytes(aead_key_size(alg), 7)));
  const Bytes nonce(12, 1), aad(13, 2);
  Bytes buf(n + kAeadTagSize, 3);
  for (auto _ : st) {
    (void)key.seal(nonce, aad, ByteView(buf).first(n), buf);
    benchmark::DoNotOptimize(buf.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
}
BENCHMARK_CAPTURE(BM_AeadKeyedSeal, aes128gcm, AeadAlgorithm::Aes128Gcm)->Arg(1024)->Arg(65536);
BENCHMARK_CAPTURE(BM_AeadKeyedSeal, chacha20poly1305, AeadAlgorithm::ChaCha20Poly1305)
    ->Arg(1024)
    ->Arg(65536);

void BM_AeadKeyedOpen(benchmark::State& st, AeadAlgorithm alg) {
  const size_t n = size_t(st.range(0));
  auto key = must(AeadKey::create(alg, Bytes(aead_key_size(alg), 7)));
  const Bytes nonce(12, 1), aad(13, 2);
  const Bytes ct = must(key.seal(nonce, aad, Bytes(n, 3)));
  Bytes out(n);
  for (auto _ : st) {
    if (!key.open(nonce, aad, ct, out).ok()) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
}
BENCHMARK_CAPTURE(BM_AeadKeyedOpen, aes128gcm, AeadAlgorithm::Aes128Gcm)->Arg(1024)->Arg(65536);
BENCHMARK_CAPTURE(BM_AeadKeyedOpen, chacha20poly1305, AeadAlgorithm::ChaCha20Poly1305)
    ->Arg(1024)
    ->Arg(65536);

// One-shot: a new key for every message (MLS message keys), into a
// caller-provided buffer.
void BM_AeadOneShotSeal(benchmark::State& st, AeadAlgorithm alg) {
  const size_t n = size_t(st.range(0));
  const Bytes key(aead_key_size(alg), 7), nonce(12, 1), aad(13, 2);
  Bytes buf(n + kAeadTagSize, 3);
  for (auto _ : st) {
    (void)aead_seal(alg, key, nonce, aad, ByteView(buf).first(n), buf);
    benchmark::DoNotOptimize(buf.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
}
BENCHMARK_CAPTURE(BM_AeadOneShotSeal, aes128gcm, AeadAlgorithm::Aes128Gcm)->Arg(1024)->Arg(65536);
BENCHMARK_CAPTURE(BM_AeadOneShotSeal, chacha20poly1305, AeadAlgorithm::ChaCha20Poly1305)
    ->Arg(1024)
    ->Arg(65536);

void BM_ChaCha20(benchmark::State& st) {
  const size_t n = size_t(st.range(0));
  const Bytes key(32, 7), nonce(12, 1);
  Bytes buf(n, 3);
  for (auto _ : st) {
    (void)chacha20_xor(key, nonce, 0, buf, buf);
    benchmark::DoNotOptimize(buf.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
}
BENCHMARK(BM_ChaCha20)->Arg(1024);

void BM_Ed25519Sign(benchmark::State& st) {
  auto key = must(Ed25519PrivateKey::from_seed(Bytes(32, 9)));
  const Bytes msg(64, 1);
  for (auto _ : st) benchmark::DoNotOptimize(key.sign(msg));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_Ed25519Sign);

void BM_Ed25519Verify(benchmark::State& st, Ed25519Verification mode) {
  auto key = must(Ed25519PrivateKey::from_seed(Bytes(32, 9)));
  const Bytes msg(64, 1);
  const auto sig = must(key.sign(msg));
  for (auto _ : st) {
    auto ok = ed25519_verify(key.public_key(), msg, sig, mode);
    if (!ok.ok() || !*ok) std::abort();
  }
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK_CAPTURE(BM_Ed25519Verify, rfc8032, Ed25519Verification::Rfc8032);
BENCHMARK_CAPTURE(BM_Ed25519Verify, strict, Ed25519Verification::Strict);

void BM_Ed25519VerifyBadSignature(benchmark::State& st) {
  auto key = must(Ed25519PrivateKey::from_seed(Bytes(32, 9)));
  const Bytes msg(64, 1);
  auto sig = must(key.sign(msg));
  sig[0] ^= 1;
  for (auto _ : st) benchmark::DoNotOptimize(ed25519_verify(key.public_key(), msg, sig));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_Ed25519VerifyBadSignature);

void BM_X25519Agree(benchmark::State& st) {
  auto a = must(X25519PrivateKey::from_bytes(Bytes(32, 5)));
  auto b = must(X25519PrivateKey::from_bytes(Bytes(32, 6)));
  for (auto _ : st) benchmark::DoNotOptimize(a.agree(b.public_key()));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_X25519Agree);

void BM_SchnorrSign(benchmark::State& st) {
  auto key = must(SchnorrKeyPair::from_secret(Bytes(32, 9)));
  const Bytes msg(32, 1), aux(32, 2);
  for (auto _ : st) benchmark::DoNotOptimize(key.sign(msg, aux));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_SchnorrSign);

void BM_SchnorrVerify(benchmark::State& st) {
  auto key = must(SchnorrKeyPair::from_secret(Bytes(32, 9)));
  const Bytes msg(32, 1), aux(32, 2);
  const auto sig = must(key.sign(msg, aux));
  for (auto _ : st) {
    auto ok = schnorr_verify(key.public_key(), msg, sig);
    if (!ok.ok() || !*ok) std::abort();
  }
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_SchnorrVerify);

void BM_Secp256k1Ecdh(benchmark::State& st) {
  auto a = must(SchnorrKeyPair::from_secret(Bytes(32, 9)));
  auto b = must(SchnorrKeyPair::from_secret(Bytes(32, 8)));
  for (auto _ : st) benchmark::DoNotOptimize(secp256k1_ecdh_x(a.secret().view(), b.public_key()));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_Secp256k1Ecdh);

void BM_HpkeSealBase(benchmark::State& st) {
  auto r = must(hpke::derive_key_pair(Bytes(32, 4)));
  const Bytes info(16, 1), aad(16, 2), pt(size_t(st.range(0)), 3);
  for (auto _ : st) benchmark::DoNotOptimize(hpke::seal_base(r.public_key(), info, aad, pt));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_HpkeSealBase)->Arg(1024);

void BM_HpkeOpenBase(benchmark::State& st) {
  auto r = must(hpke::derive_key_pair(Bytes(32, 4)));
  const Bytes info(16, 1), aad(16, 2), pt(size_t(st.range(0)), 3);
  auto sealed = must(hpke::seal_base(r.public_key(), info, aad, pt));
  for (auto _ : st) {
    auto out = hpke::open_base(sealed.enc, r, info, aad, sealed.ciphertext);
    if (!out.ok()) std::abort();
  }
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_HpkeOpenBase)->Arg(1024);

void BM_HpkeDeriveKeyPair(benchmark::State& st) {
  const Bytes ikm(32, 4);
  for (auto _ : st) benchmark::DoNotOptimize(hpke::derive_key_pair(ikm));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_HpkeDeriveKeyPair);

void BM_Nip44Encrypt(benchmark::State& st) {
  auto ck = nip44::conversation_key(Bytes(32, 9), *secp256k1_xonly_public_key(Bytes(32, 8)));
  if (!ck.ok()) std::abort();
  const Bytes pt(size_t(st.range(0)), 'x');
  for (auto _ : st) benchmark::DoNotOptimize(nip44::encrypt(ck->view(), pt));
  st.SetBytesProcessed(int64_t(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Nip44Encrypt)->Arg(1024);

void BM_Nip44Decrypt(benchmark::State& st) {
  auto ck = nip44::conversation_key(Bytes(32, 9), *secp256k1_xonly_public_key(Bytes(32, 8)));
  if (!ck.ok()) std::abort();
  const auto payload = nip44::encrypt(ck->view(), Bytes(size_t(st.range(0)), 'x'));
  if (!payload.ok()) std::abort();
  for (auto _ : st) {
    auto out = nip44::decrypt(ck->view(), *payload);
    if (!out.ok()) std::abort();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Nip44Decrypt)->Arg(1024);

void BM_Nip44ConversationKey(benchmark::State& st) {
  const Bytes sk(32, 9);
  const auto pk = *secp256k1_xonly_public_key(Bytes(32, 8));
  for (auto _ : st) benchmark::DoNotOptimize(nip44::conversation_key(sk, pk));
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_Nip44ConversationKey);

}  // namespace
}  // namespace brenvik::crypto
