// Wire codec and suite primitive costs: decode/encode of a Welcome and a
// KeyPackage as a two-member group would exchange them, and the labelled
// signature and encryption against the bare primitives.
#include <benchmark/benchmark.h>

#include "crypto/ed25519.h"
#include "crypto/hpke.h"
#include "crypto/random.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/mls_message.h"

namespace brenvik::rfc9420 {
namespace {

Bytes random(size_t n) {
  return *crypto::random_bytes(n);
}

KeyPackage sample_key_package() {
  KeyPackage kp;
  kp.cipher_suite = kSuite;
  kp.init_key = random(32);
  LeafNode& leaf = kp.leaf_node;
  leaf.encryption_key = random(32);
  leaf.signature_key = random(32);
  leaf.credential =
      Credential::basic(to_bytes("bv1qxy2kgdygjrsqtzq2n0yrf2493p83kkfjhx0wlh"));  // address-sized
  leaf.capabilities.versions = {ProtocolVersion::mls10};
  leaf.capabilities.cipher_suites = {kSuite};
  leaf.capabilities.credentials = {credential_type::basic};
  leaf.source = Lifetime{1700000000, 1702592000};
  leaf.signature = random(64);
  kp.signature = random(64);
  return kp;
}

MlsMessage sample_welcome() {
  Welcome w;
  w.cipher_suite = kSuite;
  EncryptedGroupSecrets s;
  s.new_member = random(32);
  s.encrypted_group_secrets.kem_output = random(32);
  s.encrypted_group_secrets.ciphertext = random(32 + 1 + 2 + 16);
  w.secrets.push_back(s);
  // GroupInfo with a two-leaf ratchet tree extension, encrypted: ~1 KiB.
  w.encrypted_group_info = random(1024);
  return MlsMessage{ProtocolVersion::mls10, tls::Case<WireFormat::welcome, Welcome>{w}};
}

MlsMessage sample_key_package_message() {
  return MlsMessage{ProtocolVersion::mls10,
                    tls::Case<WireFormat::key_package, KeyPackage>{sample_key_package()}};
}

void BM_DecodeWelcome(benchmark::State& state) {
  Bytes enc = encode_mls_message(sample_welcome());
  for (auto _ : state) {
    auto m = decode_mls_message(enc);
    benchmark::DoNotOptimize(m);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * enc.size()));
}
BENCHMARK(BM_DecodeWelcome);

void BM_EncodeWelcome(benchmark::State& state) {
  MlsMessage m = sample_welcome();
  for (auto _ : state) benchmark::DoNotOptimize(encode_mls_message(m));
}
BENCHMARK(BM_EncodeWelcome);

void BM_DecodeKeyPackage(benchmark::State& state) {
  Bytes enc = encode_mls_message(sample_key_package_message());
  for (auto _ : state) {
    auto m = decode_mls_message(enc);
    benchmark::DoNotOptimize(m);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * enc.size()));
}
BENCHMARK(BM_DecodeKeyPackage);

void BM_EncodeKeyPackage(benchmark::State& state) {
  MlsMessage m = sample_key_package_message();
  for (auto _ : state) benchmark::DoNotOptimize(encode_mls_message(m));
}
BENCHMARK(BM_EncodeKeyPackage);

// A KeyPackageTBS-sized content (~200 bytes).
Bytes sample_content() {
  return key_package_tbs(sample_key_package());
}

void BM_Ed25519SignBare(benchmark::State& state) {
  auto key = *crypto::Ed25519PrivateKey::generate();
  Bytes content = sample_content();
  for (auto _ : state) benchmark::DoNotOptimize(key.sign(content));
}
BENCHMARK(BM_Ed25519SignBare);

void BM_SignWithLabel(benchmark::State& state) {
  auto key = *crypto::Ed25519PrivateKey::generate();
  Bytes content = sample_content();
  for (auto _ : state) benchmark::DoNotOptimize(sign_with_label(key, "KeyPackageTBS", content));
}
BENCHMARK(BM_SignWithLabel);

void BM_Ed25519VerifyBare(benchmark::State& state) {
  auto key = *crypto::Ed25519PrivateKey::generate();
  Bytes content = sample_content();
  auto sig = *key.sign(content);
  for (auto _ : state)
    benchmark::DoNotOptimize(crypto::ed25519_verify(key.public_key(), content, sig,
                                                    crypto::Ed25519Verification::Strict));
}
BENCHMARK(BM_Ed25519VerifyBare);

void BM_VerifyWithLabel(benchmark::State& state) {
  auto key = *crypto::Ed25519PrivateKey::generate();
  Bytes content = sample_content();
  Bytes sig = *sign_with_label(key, "KeyPackageTBS", content);
  for (auto _ : state)
    benchmark::DoNotOptimize(verify_with_label(key.public_key(), "KeyPackageTBS", content, sig));
}
BENCHMARK(BM_VerifyWithLabel);

void BM_EncryptWithLabel(benchmark::State& state) {
  auto key = *crypto::hpke::generate_key_pair();
  Bytes context = random(120);  // a GroupContext
  Bytes secret = random(32);    // a path secret
  for (auto _ : state)
    benchmark::DoNotOptimize(
        encrypt_with_label(key.public_key(), "UpdatePathNode", context, secret));
}
BENCHMARK(BM_EncryptWithLabel);

void BM_DecryptWithLabel(benchmark::State& state) {
  auto key = *crypto::hpke::generate_key_pair();
  Bytes context = random(120);
  auto ct = *encrypt_with_label(key.public_key(), "UpdatePathNode", context, random(32));
  for (auto _ : state)
    benchmark::DoNotOptimize(
        decrypt_with_label(key, "UpdatePathNode", context, ct.kem_output, ct.ciphertext));
}
BENCHMARK(BM_DecryptWithLabel);

}  // namespace
}  // namespace brenvik::rfc9420
