#include "crypto/secp256k1.h"

#include <secp256k1.h>
#include <secp256k1_ecdh.h>
#include <secp256k1_extrakeys.h>
#include <secp256k1_schnorrsig.h>

#include <cstdlib>

#include "crypto/random.h"

namespace brenvik::crypto {
namespace {

static_assert(sizeof(secp256k1_keypair) == 96, "keypair storage size");

// One context for the process: after creation and randomisation it is only
// read, which libsecp256k1 allows from several threads at once.
const secp256k1_context* ctx() {
  static const secp256k1_context* c = [] {
    secp256k1_context* n = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
    if (n == nullptr) std::abort();
    // Blinding against side channels; without randomness it still works.
    if (auto seed = random_secret_32(); seed.ok()) {
      if (secp256k1_context_randomize(n, seed->data()) != 1) std::abort();
    }
    return n;
  }();
  return c;
}

int copy_x(unsigned char* out, const unsigned char* x32, const unsigned char*, void*) {
  std::memcpy(out, x32, 32);
  return 1;
}

}  // namespace

bool secp256k1_secret_is_valid(ByteView secret) {
  return secret.size() == kSecp256k1SecretSize &&
         secp256k1_ec_seckey_verify(ctx(), secret.data()) == 1;
}

Result<SchnorrKeyPair, CryptoError> SchnorrKeyPair::from_secret(ByteView secret) {
  if (secret.size() != kSecp256k1SecretSize) return Err(CryptoError::InvalidKeyLength);
  SchnorrKeyPair k;
  auto* kp = reinterpret_cast<secp256k1_keypair*>(k.keypair_.data());
  if (secp256k1_keypair_create(ctx(), kp, secret.data()) != 1)
    return Err(CryptoError::InvalidPrivateKey);
  secp256k1_xonly_pubkey xpk;
  if (secp256k1_keypair_xonly_pub(ctx(), &xpk, nullptr, kp) != 1 ||
      secp256k1_xonly_pubkey_serialize(ctx(), k.public_.data(), &xpk) != 1)
    return Err(CryptoError::LibraryFailure);
  k.secret_ = SecretArray<32>(secret);
  return k;
}

Result<SchnorrKeyPair, CryptoError> SchnorrKeyPair::generate() {
  // A random 256-bit value is a valid scalar except with probability ~2^-128.
  for (;;) {
    BRENVIK_TRY(auto s, random_secret_32());
    if (secp256k1_secret_is_valid(s.view())) return from_secret(s.view());
  }
}

SchnorrKeyPair::~SchnorrKeyPair() = default;  // both secret members wipe themselves

Result<SchnorrSignature, CryptoError> SchnorrKeyPair::sign(ByteView message,
                                                           ByteView aux_rand) const {
  if (aux_rand.size() != 32) return Err(CryptoError::InvalidLength);
  secp256k1_schnorrsig_extraparams extra = SECP256K1_SCHNORRSIG_EXTRAPARAMS_INIT;
  extra.ndata = const_cast<uint8_t*>(aux_rand.data());
  SchnorrSignature sig;
  const auto* kp = reinterpret_cast<const secp256k1_keypair*>(keypair_.data());
  if (secp256k1_schnorrsig_sign_custom(ctx(), sig.data(), message.data(), message.size(), kp,
                                       &extra) != 1)
    return Err(CryptoError::LibraryFailure);
  return sig;
}

Result<SchnorrSignature, CryptoError> SchnorrKeyPair::sign(ByteView message) const {
  BRENVIK_TRY(auto aux, random_secret_32());
  return sign(message, aux.view());
}

Result<XOnlyPublicKey, CryptoError> secp256k1_xonly_public_key(ByteView secret) {
  BRENVIK_TRY(auto k, SchnorrKeyPair::from_secret(secret));
  return k.public_key();
}

Result<bool, CryptoError> schnorr_verify(ByteView public_key, ByteView message,
                                         ByteView signature) {
  if (public_key.size() != kXOnlyPublicKeySize) return Err(CryptoError::InvalidKeyLength);
  secp256k1_xonly_pubkey pk;
  if (secp256k1_xonly_pubkey_parse(ctx(), &pk, public_key.data()) != 1)
    return Err(CryptoError::InvalidPublicKey);
  if (signature.size() != kSchnorrSignatureSize) return false;
  return secp256k1_schnorrsig_verify(ctx(), signature.data(), message.data(), message.size(),
                                     &pk) == 1;
}

Result<SecretArray<32>, CryptoError> secp256k1_ecdh_x(ByteView secret, ByteView peer_public) {
  if (secret.size() != kSecp256k1SecretSize) return Err(CryptoError::InvalidKeyLength);
  uint8_t sec1[33];
  if (peer_public.size() == 32) {
    sec1[0] = 0x02;  // even Y
    std::memcpy(sec1 + 1, peer_public.data(), 32);
  } else if (peer_public.size() == 33) {
    std::memcpy(sec1, peer_public.data(), 33);
  } else {
    return Err(CryptoError::InvalidKeyLength);
  }
  secp256k1_pubkey pk;
  if (secp256k1_ec_pubkey_parse(ctx(), &pk, sec1, sizeof sec1) != 1)
    return Err(CryptoError::InvalidPublicKey);
  SecretArray<32> x;
  if (secp256k1_ecdh(ctx(), x.data(), &pk, secret.data(), copy_x, nullptr) != 1)
    return Err(CryptoError::InvalidPrivateKey);
  return x;
}

}  // namespace brenvik::crypto
