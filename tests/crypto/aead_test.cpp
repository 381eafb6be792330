#include <gtest/gtest.h>

#include "crypto/aead.h"
#include "test_util.h"

namespace brenvik::crypto {
namespace {
using test::H;
using test::Hx;

const std::string kSunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
    "sunscreen would be it.";

struct AeadVector {
  const char* name;
  AeadAlgorithm alg;
  Bytes key, nonce, aad, pt;
  std::string ct_and_tag;
};

std::vector<AeadVector> aead_vectors() {
  return {
      // RFC 8439 §2.8.2.
      {"rfc8439", AeadAlgorithm::ChaCha20Poly1305,
       H("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"),
       H("070000004041424344454647"), H("50515253c0c1c2c3c4c5c6c7"), to_bytes(kSunscreen),
       "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69"
       "da92728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad67594"
       "5585808b4831d7bc3ff4def08e4b7a9de576d26586cec64b6116"
       "1ae10b594f09e26a7e902ecbd0600691"},
      // GCM specification test case 4 (AES-128, 96-bit IV, with AAD).
      {"gcm-tc4", AeadAlgorithm::Aes128Gcm, H("feffe9928665731c6d6a8f9467308308"),
       H("cafebabefacedbaddecaf888"), H("feedfacedeadbeeffeedfacedeadbeefabaddad2"),
       H("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e"
         "2449a6b525b16aedf5aa0de657ba637b39"),
       "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5a"
       "ac84aa051ba30b396a0aac973d58e091"
       "5bc94fbc3221a5db94fae95ae7121a47"},
      // GCM test case 1: empty plaintext and AAD, only a tag.
      {"gcm-tc1",
       AeadAlgorithm::Aes128Gcm,
       Bytes(16, 0),
       Bytes(12, 0),
       {},
       {},
       "58e2fccefa7e3061367f1d57a4e7455a"},
  };
}

TEST(Aead, PublishedVectorsSealAndOpen) {
  for (const auto& v : aead_vectors()) {
    SCOPED_TRACE(v.name);
    auto ct = aead_seal(v.alg, v.key, v.nonce, v.aad, v.pt);
    ASSERT_TRUE(ct.ok());
    EXPECT_EQ(Hx(*ct), v.ct_and_tag);
    auto pt = aead_open(v.alg, v.key, v.nonce, v.aad, *ct);
    ASSERT_TRUE(pt.ok());
    EXPECT_EQ(*pt, v.pt);

    // The keyed object gives the same bytes, in place too, and can alternate
    // between sealing and opening.
    auto key = AeadKey::create(v.alg, v.key);
    ASSERT_TRUE(key.ok());
    for (int round = 0; round < 2; ++round) {
      Bytes buf = v.pt;
      buf.resize(v.pt.size() + kAeadTagSize);
      ASSERT_TRUE(key->seal(v.nonce, v.aad, ByteView(buf).first(v.pt.size()), buf).ok());
      EXPECT_EQ(Hx(buf), v.ct_and_tag);
      ASSERT_TRUE(key->open(v.nonce, v.aad, buf, std::span<uint8_t>(buf).first(v.pt.size())).ok());
      EXPECT_EQ(Bytes(buf.begin(), buf.begin() + v.pt.size()), v.pt);
    }
  }
}

TEST(Aead, TamperingIsAuthenticationFailure) {
  for (const auto& v : aead_vectors()) {
    SCOPED_TRACE(v.name);
    const Bytes ct = H(v.ct_and_tag);
    auto key = AeadKey::create(v.alg, v.key);
    ASSERT_TRUE(key.ok());
    // Every byte position of ciphertext and tag, one bit each.
    for (size_t i = 0; i < ct.size(); ++i) {
      Bytes bad = ct;
      bad[i] ^= uint8_t(1u << (i % 8));
      auto r = key->open(v.nonce, v.aad, bad);
      ASSERT_FALSE(r.ok()) << i;
      EXPECT_EQ(r.error(), CryptoError::AuthenticationFailed);
    }
    Bytes nonce = v.nonce;
    nonce[11] ^= 1;
    EXPECT_FALSE(aead_open(v.alg, v.key, nonce, v.aad, ct).ok());
    Bytes aad = v.aad;
    aad.push_back(0);
    EXPECT_FALSE(aead_open(v.alg, v.key, v.nonce, aad, ct).ok());
    Bytes key2 = v.key;
    key2[0] ^= 0x80;
    EXPECT_FALSE(aead_open(v.alg, key2, v.nonce, v.aad, ct).ok());
    // A truncated ciphertext, down to shorter than a tag.
    for (size_t cut : {size_t(1), size_t(kAeadTagSize), ct.size()}) {
      auto r = aead_open(v.alg, v.key, v.nonce, v.aad, ByteView(ct).first(ct.size() - cut));
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), CryptoError::AuthenticationFailed);
    }
  }
}

TEST(Aead, FailedOpenLeavesNoPlaintext) {
  const Bytes key(16, 3), nonce(12, 4), pt(40, 0x77);
  auto ct = aes128gcm_seal(key, nonce, {}, pt);
  ASSERT_TRUE(ct.ok());
  (*ct)[ct->size() - 1] ^= 1;
  Bytes out(pt.size(), 0xEE);
  ASSERT_FALSE(aead_open(AeadAlgorithm::Aes128Gcm, key, nonce, {}, *ct, out).ok());
  EXPECT_EQ(out, Bytes(pt.size(), 0));
}

TEST(Aead, RefusesBadSizes) {
  const struct {
    AeadAlgorithm alg;
    size_t key, nonce, out_extra;
    CryptoError err;
  } cases[] = {
      {AeadAlgorithm::Aes128Gcm, 32, 12, 16, CryptoError::InvalidKeyLength},
      {AeadAlgorithm::ChaCha20Poly1305, 16, 12, 16, CryptoError::InvalidKeyLength},
      {AeadAlgorithm::Aes128Gcm, 16, 8, 16, CryptoError::InvalidNonceLength},
      {AeadAlgorithm::ChaCha20Poly1305, 32, 24, 16, CryptoError::InvalidNonceLength},
      {AeadAlgorithm::Aes128Gcm, 16, 12, 15, CryptoError::InvalidLength},
  };
  const Bytes pt(10, 1);
  for (const auto& c : cases) {
    Bytes out(pt.size() + c.out_extra);
    auto r = aead_seal(c.alg, Bytes(c.key), Bytes(c.nonce), {}, pt, out);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), c.err);
  }
  EXPECT_EQ(AeadKey::create(AeadAlgorithm::Aes128Gcm, Bytes(15)).error(),
            CryptoError::InvalidKeyLength);
}

// RFC 8439 §2.4.2: the raw stream cipher with block counter 1, and the
// counter's effect on the key stream.
TEST(ChaCha20, Rfc8439EncryptionAndCounter) {
  Bytes key(32);
  for (int i = 0; i < 32; ++i) key[i] = uint8_t(i);
  const Bytes nonce = H("000000000000004a00000000");
  Bytes out(kSunscreen.size());
  ASSERT_TRUE(chacha20_xor(key, nonce, 1, as_bytes(kSunscreen), out).ok());
  EXPECT_EQ(Hx(out),
            "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f59"
            "3dabcd62b3571639d624e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d"
            "16ccf806818ce91ab77937365af90bbf74a35be6b40b8eedf2785e42874d");
  // Counter 0 produces one extra block of key stream before the counter-1 stream.
  Bytes zeros(64 + kSunscreen.size(), 0), stream(zeros.size());
  ASSERT_TRUE(chacha20_xor(key, nonce, 0, zeros, stream).ok());
  Bytes again(kSunscreen.size());
  for (size_t i = 0; i < again.size(); ++i) again[i] = uint8_t(kSunscreen[i]) ^ stream[64 + i];
  EXPECT_EQ(again, out);
  // In place decryption restores the plaintext.
  ASSERT_TRUE(chacha20_xor(key, nonce, 1, out, out).ok());
  EXPECT_EQ(to_string(out), kSunscreen);
  EXPECT_EQ(chacha20_xor(Bytes(16), nonce, 0, out, out).error(), CryptoError::InvalidKeyLength);
  EXPECT_EQ(chacha20_xor(key, Bytes(8), 0, out, out).error(), CryptoError::InvalidNonceLength);
}

}  // namespace
}  // namespace brenvik::crypto
