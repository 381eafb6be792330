#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "crypto/secp256k1.h"
#include "test_support.h"
#include "test_util.h"

namespace brenvik::crypto {
namespace {
using test::H;
using test::Hx;

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> split_csv(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == ',') {
      out.push_back(cur);
      cur.clear();
    } else if (c != '\r') {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

// BIP-340 test vectors 0-4 as published with the final revision of the
// proposal (tags "BIP0340/...", R with even Y), which Nostr (NIP-01) uses.
// Vector 4 has no secret: it is for verification only.
struct SignVector {
  const char *secret, *public_key, *aux, *message, *signature;
};
const SignVector kFinalVectors[] = {
    {"0000000000000000000000000000000000000000000000000000000000000003",
     "f9308a019258c31049344f85f89d5229b531c845836f99b08601f113bce036f9",
     "0000000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000000000000000000000000000000000000000000000000000",
     "e907831f80848d1069a5371b402410364bdf1c5f8307b0084c55f1ce2dca821525f66a4a85ea8b71e482a74f38"
     "2d2ce5ebeee8fdb2172f477df4900d310536c0"},
    {"b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfef",
     "dff1d77f2a671c5f36183726db2341be58feae1da2deced843240f7b502ba659",
     "0000000000000000000000000000000000000000000000000000000000000001",
     "243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c89",
     "6896bd60eeae296db48a229ff71dfe071bde413e6d43f917dc8dcf8c78de33418906d11ac976abccb20b091292"
     "bff4ea897efcb639ea871cfa95f6de339e4b0a"},
    {"c90fdaa22168c234c4c6628b80dc1cd129024e088a67cc74020bbea63b14e5c9",
     "dd308afec5777e13121fa72b9cc1b7cc0139715309b086c960e18fd969774eb8",
     "c87aa53824b4d7ae2eb035a2b5bbbccc080e76cdc6d1692c4b0b62d798e6d906",
     "7e2d58d8b3bcdf1abadec7829054f90dda9805aab56c77333024b9d0a508b75c",
     "5831aaeed7b44bb74e5eab94ba9d4294c49bcf2a60728d8b4c200f50dd313c1bab745879a5ad954a72c45a91c3"
     "a51d3c7adea98d82f8481e0e1e03674a6f3fb7"},
    {"0b432b2677937381aef05bb02a66ecd012773062cf3fa2549e44f58ed2401710",
     "25d1dff95105f5253c4022f628a996ad3a0d95fbf21d468a1b33f8c160d8f517",
     "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "7eb0509757e246f19449885651611cb965ecc1a187dd51b64fda1edc9637d5ec97582b9cb13db3933705b32ba9"
     "82af5af25fd78881ebb32771fc5922efc66ea3"},
    {nullptr, "d69c3509bb99e412e68b0fe8544e72837dfa30746d8be2aa65975f29d22dc7b9", nullptr,
     "4df3c3f68fcc83b27e9d42c90431a72499f17875c81a599b566c9889b9696703",
     "00000000000000000000003b78ce563f89a0ed9414f5aa28ad0d96d6795f9c6376afb1548af603b3eb45c9f8"
     "207dee1060cb71c04e80f593060b07d28308d7f4"},
};

TEST(Bip340, FinalRevisionSignAndVerify) {
  for (const auto& v : kFinalVectors) {
    SCOPED_TRACE(v.public_key);
    if (v.secret != nullptr) {
      auto kp = SchnorrKeyPair::from_secret(H(v.secret));
      ASSERT_TRUE(kp.ok());
      EXPECT_EQ(Hx(kp->public_key()), v.public_key);
      auto s = kp->sign(H(v.message), H(v.aux));
      ASSERT_TRUE(s.ok());
      EXPECT_EQ(Hx(*s), v.signature);
    }
    EXPECT_TRUE(*schnorr_verify(H(v.public_key), H(v.message), H(v.signature)));
    Bytes bad = H(v.signature);
    bad[63] ^= 1;
    EXPECT_FALSE(*schnorr_verify(H(v.public_key), H(v.message), bad));
  }
}

// Reads the shared vector file. Key derivation and every FALSE row are the
// same in all revisions of the proposal and must match exactly. A TRUE row
// must either verify, or (when the file carries the earlier draft's
// signatures, made with "BIP340/..." tags and square-Y R) be one whose
// inputs give the final-revision signature and whose draft signature a
// final-revision verifier refuses.
TEST(Bip340, SharedVectorFile) {
  std::string text;
  const auto path = brenvik::testing::vectors_dir() / "bip340" / "test-vectors.csv";
  if (!brenvik::testing::read_file(path, text))
    GTEST_SKIP() << "BIP-340 test vectors not found at " << path;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // header
  int rows = 0, draft_rows = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const auto f = split_csv(line);
    ASSERT_GE(f.size(), 7u) << line;
    SCOPED_TRACE("vector " + f[0] + " " + (f.size() > 7 ? f[7] : ""));
    const std::string sk = f[1], pk = lower(f[2]), aux = f[3], msg = f[4], sig = lower(f[5]);
    const bool expected = f[6] == "TRUE";
    std::string ours;
    if (!sk.empty()) {
      auto kp = SchnorrKeyPair::from_secret(H(sk));
      ASSERT_TRUE(kp.ok());
      EXPECT_EQ(Hx(kp->public_key()), pk);
      auto s = kp->sign(H(msg), H(aux));
      ASSERT_TRUE(s.ok());
      ours = Hx(*s);
      EXPECT_TRUE(*schnorr_verify(H(pk), H(msg), *s));
    }
    auto v = schnorr_verify(H(pk), H(msg), H(sig));
    if (!expected) {
      // Only a key that is not a curve point may be an error.
      if (!v.ok()) {
        EXPECT_EQ(v.error(), CryptoError::InvalidPublicKey);
      } else {
        EXPECT_FALSE(*v);
      }
    } else if (v.ok() && *v) {
      if (!ours.empty()) {
        EXPECT_EQ(ours, sig);
      }
    } else {
      // A draft-revision row: the same inputs must be a final-revision vector.
      ++draft_rows;
      ASSERT_TRUE(v.ok());
      const SignVector* final_row = nullptr;
      for (const auto& fv : kFinalVectors)
        if (fv.public_key == pk && fv.message == lower(msg)) final_row = &fv;
      ASSERT_NE(final_row, nullptr) << "TRUE row that verifies under no known revision";
      if (!ours.empty()) {
        EXPECT_EQ(ours, final_row->signature);
      }
    }
    ++rows;
  }
  EXPECT_GE(rows, 15);
  if (draft_rows)
    std::cout << "[ NOTE     ] " << draft_rows
              << " TRUE rows of the shared file carry draft-revision signatures; "
                 "checked against the final revision instead\n";
}

TEST(Secp256k1, SecretValidityBoundaries) {
  const struct {
    const char* secret;
    bool valid;
  } cases[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000", false},
      {"0000000000000000000000000000000000000000000000000000000000000001", true},
      // n - 1 and n (the group order).
      {"fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140", true},
      {"fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141", false},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(secp256k1_secret_is_valid(H(c.secret)), c.valid) << c.secret;
    auto kp = SchnorrKeyPair::from_secret(H(c.secret));
    EXPECT_EQ(kp.ok(), c.valid) << c.secret;
    if (!c.valid) {
      EXPECT_EQ(kp.error(), CryptoError::InvalidPrivateKey);
    }
  }
  EXPECT_FALSE(secp256k1_secret_is_valid(Bytes(31, 1)));
  EXPECT_EQ(SchnorrKeyPair::from_secret(Bytes(31, 1)).error(), CryptoError::InvalidKeyLength);
}

TEST(Secp256k1, EcdhIsSymmetricAndRefusesBadKeys) {
  auto a = SchnorrKeyPair::generate();
  auto b = SchnorrKeyPair::generate();
  ASSERT_TRUE(a.ok() && b.ok());
  auto ab = secp256k1_ecdh_x(a->secret().view(), b->public_key());
  auto ba = secp256k1_ecdh_x(b->secret().view(), a->public_key());
  ASSERT_TRUE(ab.ok() && ba.ok());
  EXPECT_TRUE(*ab == *ba);
  // Secret 1 times a point gives that point's X coordinate.
  auto one = secp256k1_ecdh_x(H("0000000000000000000000000000000000000000000000000000000000000001"),
                              b->public_key());
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(Hx(one->view()), Hx(b->public_key()));
  // The compressed form with odd Y is the negated point: same X for the product.
  Bytes odd(33);
  odd[0] = 0x03;
  std::copy(b->public_key().begin(), b->public_key().end(), odd.begin() + 1);
  auto via_odd = secp256k1_ecdh_x(a->secret().view(), odd);
  ASSERT_TRUE(via_odd.ok());
  EXPECT_TRUE(*via_odd == *ab);

  const struct {
    Bytes secret, pub;
    CryptoError err;
  } bad[] = {
      {Bytes(32, 0), Bytes(b->public_key().begin(), b->public_key().end()),
       CryptoError::InvalidPrivateKey},
      {Bytes(31, 1), Bytes(b->public_key().begin(), b->public_key().end()),
       CryptoError::InvalidKeyLength},
      {Bytes(a->secret().view().begin(), a->secret().view().end()), Bytes(31, 1),
       CryptoError::InvalidKeyLength},
      // x = 5 is not on the curve; x = p is not a field element.
      {Bytes(a->secret().view().begin(), a->secret().view().end()),
       H("0000000000000000000000000000000000000000000000000000000000000005"),
       CryptoError::InvalidPublicKey},
      {Bytes(a->secret().view().begin(), a->secret().view().end()),
       H("fffffffffffffffffffffffffffffffffffffffffffffffffffffffefffffc2f"),
       CryptoError::InvalidPublicKey},
  };
  for (const auto& c : bad) {
    auto r = secp256k1_ecdh_x(c.secret, c.pub);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), c.err);
  }
}

TEST(Secp256k1, SignWithFreshRandomnessVerifiesForAnyMessageLength) {
  auto kp = SchnorrKeyPair::generate();
  ASSERT_TRUE(kp.ok());
  for (size_t len : {size_t(0), size_t(1), size_t(32), size_t(100)}) {
    const Bytes msg(len, 0x42);
    auto s1 = kp->sign(msg);
    auto s2 = kp->sign(msg);
    ASSERT_TRUE(s1.ok() && s2.ok());
    EXPECT_NE(*s1, *s2);  // fresh auxiliary randomness
    EXPECT_TRUE(*schnorr_verify(kp->public_key(), msg, *s1));
    Bytes other = msg;
    other.push_back(1);
    EXPECT_FALSE(*schnorr_verify(kp->public_key(), other, *s1));
  }
  EXPECT_FALSE(*schnorr_verify(kp->public_key(), Bytes(32), Bytes(63)));
  EXPECT_EQ(kp->sign(Bytes(32), Bytes(31)).error(), CryptoError::InvalidLength);
}

}  // namespace
}  // namespace brenvik::crypto
