#include <gtest/gtest.h>

#include "crypto/ed25519.h"
#include "crypto/x25519.h"
#include "test_util.h"

namespace brenvik::crypto {
namespace {
using test::H;
using test::Hx;

// RFC 7748 §5.2 (single scalar multiplications) and §6.1 (both directions).
TEST(X25519, Rfc7748Vectors) {
  const struct {
    const char *scalar, *u, *out;
  } cases[] = {
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
  };
  for (const auto& c : cases) {
    auto r = x25519(H(c.scalar), H(c.u));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(Hx(r->view()), c.out);
  }
  auto alice = X25519PrivateKey::from_bytes(
      H("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
  auto bob = X25519PrivateKey::from_bytes(
      H("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
  ASSERT_TRUE(alice.ok() && bob.ok());
  EXPECT_EQ(Hx(alice->public_key()),
            "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(Hx(bob->public_key()),
            "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const char* shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
  EXPECT_EQ(Hx(alice->agree(bob->public_key())->view()), shared);
  EXPECT_EQ(Hx(bob->agree(alice->public_key())->view()), shared);
  // Copies and moves keep working keys.
  X25519PrivateKey copy = *alice;
  X25519PrivateKey moved = std::move(*alice);
  EXPECT_EQ(Hx(copy.agree(bob->public_key())->view()), shared);
  EXPECT_EQ(Hx(moved.agree(bob->public_key())->view()), shared);
}

TEST(X25519, RefusesSmallOrderPeersAndBadSizes) {
  auto k = X25519PrivateKey::generate();
  ASSERT_TRUE(k.ok());
  // u = 0 and u = 1 (and p + 1, which reduces to 1) give the all-zero output.
  const char* small_order[] = {
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0100000000000000000000000000000000000000000000000000000000000000",
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
  };
  for (const char* u : small_order) {
    auto r = k->agree(H(u));
    ASSERT_FALSE(r.ok()) << u;
    EXPECT_EQ(r.error(), CryptoError::ZeroSharedSecret) << u;
  }
  EXPECT_EQ(k->agree(Bytes(31, 9)).error(), CryptoError::InvalidKeyLength);
  EXPECT_EQ(X25519PrivateKey::from_bytes(Bytes(33, 1)).error(), CryptoError::InvalidKeyLength);
}

struct Rfc8032Case {
  const char *seed, *pub, *msg, *sig;
};
// RFC 8032 §7.1 tests 1, 2, 3 and SHA(abc).
const Rfc8032Case kRfc8032[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
     "b46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f1"
     "1d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984d"
     "c6594a7c15e9716ed28dc027beceea1ec40a"},
    {"833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3"
     "feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431"
     "e0303dca179c138ac17ad9bef1177331a704"},
};

TEST(Ed25519, Rfc8032VectorsSignAndVerifyInBothModes) {
  for (const auto& c : kRfc8032) {
    SCOPED_TRACE(c.pub);
    auto key = Ed25519PrivateKey::from_seed(H(c.seed));
    ASSERT_TRUE(key.ok());
    EXPECT_EQ(Hx(key->public_key()), c.pub);
    EXPECT_EQ(Hx(*ed25519_public_key(H(c.seed))), c.pub);
    auto sig = key->sign(H(c.msg));
    ASSERT_TRUE(sig.ok());
    EXPECT_EQ(Hx(*sig), c.sig);
    for (auto mode : {Ed25519Verification::Rfc8032, Ed25519Verification::Strict}) {
      auto ok = ed25519_verify(H(c.pub), H(c.msg), H(c.sig), mode);
      ASSERT_TRUE(ok.ok());
      EXPECT_TRUE(*ok);
      Bytes msg = H(c.msg);
      msg.push_back(0);
      EXPECT_FALSE(*ed25519_verify(H(c.pub), msg, H(c.sig), mode));
      Bytes sig_bad = H(c.sig);
      sig_bad[5] ^= 0x10;
      EXPECT_FALSE(*ed25519_verify(H(c.pub), H(c.msg), sig_bad, mode));
      EXPECT_FALSE(*ed25519_verify(H(c.pub), H(c.msg), ByteView(H(c.sig)).first(63), mode));
    }
  }
}

// L = 2^252 + 27742317777372353535851937790883648493, little-endian.
Bytes group_order() {
  return H("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
}

// Adds L to a little-endian 256-bit number (no overflow for S < 2^253).
Bytes add_order(ByteView s) {
  Bytes l = group_order(), out(32);
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    unsigned v = s[i] + l[i] + carry;
    out[i] = uint8_t(v);
    carry = v >> 8;
  }
  return out;
}

TEST(Ed25519, NonCanonicalScalarIsFalseInBothModes) {
  const auto& c = kRfc8032[1];
  Bytes sig = H(c.sig);
  // S + L is the same scalar mod L; RFC 8032 requires refusing it.
  Bytes s_plus_l = add_order(ByteView(sig).subspan(32));
  std::copy(s_plus_l.begin(), s_plus_l.end(), sig.begin() + 32);
  for (auto mode : {Ed25519Verification::Rfc8032, Ed25519Verification::Strict}) {
    auto r = ed25519_verify(H(c.pub), H(c.msg), sig, mode);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(*r);
  }
  // S = L exactly.
  Bytes sig_l = H(c.sig);
  Bytes l = group_order();
  std::copy(l.begin(), l.end(), sig_l.begin() + 32);
  EXPECT_FALSE(*ed25519_verify(H(c.pub), H(c.msg), sig_l));
}

TEST(Ed25519, SmallOrderKeyPassesOrdinaryAndFailsStrict) {
  // A = identity, R = identity, S = 0 satisfies [S]B = R + [k]A for every
  // message: RFC 8032 accepts it, strict verification must not.
  const Bytes identity = H("0100000000000000000000000000000000000000000000000000000000000000");
  Bytes sig(64, 0);
  sig[0] = 1;
  for (const char* msg : {"", "anything", "another message"}) {
    auto ordinary = ed25519_verify(identity, as_bytes(msg), sig, Ed25519Verification::Rfc8032);
    ASSERT_TRUE(ordinary.ok());
    EXPECT_TRUE(*ordinary) << msg;
    auto strict = ed25519_verify(identity, as_bytes(msg), sig, Ed25519Verification::Strict);
    ASSERT_FALSE(strict.ok());
    EXPECT_EQ(strict.error(), CryptoError::SmallOrderPublicKey);
  }
}

TEST(Ed25519, KeyEncodingsAreClassified) {
  const Bytes good_sig = H(kRfc8032[0].sig);
  const struct {
    const char* name;
    const char* key;
    CryptoError ordinary;  // error in RFC 8032 mode
    CryptoError strict;
  } cases[] = {
      // y = 2 has no x on the curve.
      {"not on curve", "0200000000000000000000000000000000000000000000000000000000000000",
       CryptoError::InvalidPublicKey, CryptoError::InvalidPublicKey},
      // y = p (reduces to 0) is not a canonical encoding: RFC 8032 decoding fails.
      {"y = p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       CryptoError::InvalidPublicKey, CryptoError::NonCanonicalPublicKey},
      // y = p + 1 (reduces to 1, the identity).
      {"y = p + 1", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       CryptoError::InvalidPublicKey, CryptoError::NonCanonicalPublicKey},
      // x = 0 with the sign bit set ("negative zero").
      {"-0 identity", "0100000000000000000000000000000000000000000000000000000000000080",
       CryptoError::InvalidPublicKey, CryptoError::NonCanonicalPublicKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto o = ed25519_verify(H(c.key), as_bytes(""), good_sig, Ed25519Verification::Rfc8032);
    ASSERT_FALSE(o.ok());
    EXPECT_EQ(o.error(), c.ordinary);
    auto s = ed25519_verify(H(c.key), as_bytes(""), good_sig, Ed25519Verification::Strict);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), c.strict);
    // Garbage signatures do not hide the key fault.
    auto g = ed25519_verify(H(c.key), as_bytes(""), Bytes(10, 0));
    ASSERT_FALSE(g.ok());
  }
  // Every listed small-order encoding is a canonical curve point.
  const char* small_order[] = {
      "0100000000000000000000000000000000000000000000000000000000000000",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0000000000000000000000000000000000000000000000000000000000000080",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
  };
  for (const char* k : small_order) {
    EXPECT_TRUE(ed25519_check_point(H(k)).ok()) << k;
    EXPECT_TRUE(ed25519_is_small_order(H(k))) << k;
    auto s = ed25519_verify(H(k), as_bytes("m"), good_sig, Ed25519Verification::Strict);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), CryptoError::SmallOrderPublicKey);
    auto o = ed25519_verify(H(k), as_bytes("m"), good_sig, Ed25519Verification::Rfc8032);
    ASSERT_TRUE(o.ok()) << k;  // allowed key, wrong signature
    EXPECT_FALSE(*o);
  }
  for (const auto& c : kRfc8032) {
    EXPECT_TRUE(ed25519_check_point(H(c.pub)).ok());
    EXPECT_FALSE(ed25519_is_small_order(H(c.pub)));
  }
  EXPECT_EQ(ed25519_verify(Bytes(31), as_bytes(""), good_sig).error(),
            CryptoError::InvalidKeyLength);
}

TEST(Ed25519, GeneratedKeysRoundTrip) {
  auto k = Ed25519PrivateKey::generate();
  ASSERT_TRUE(k.ok());
  auto again = Ed25519PrivateKey::from_seed(k->seed().view());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->public_key(), k->public_key());
  auto sig = k->sign(as_bytes("hello"));
  ASSERT_TRUE(sig.ok());
  EXPECT_EQ(*again->sign(as_bytes("hello")), *sig);  // deterministic
  EXPECT_TRUE(
      *ed25519_verify(k->public_key(), as_bytes("hello"), *sig, Ed25519Verification::Strict));
  EXPECT_EQ(Ed25519PrivateKey::from_seed(Bytes(31)).error(), CryptoError::InvalidKeyLength);
}

}  // namespace
}  // namespace brenvik::crypto
