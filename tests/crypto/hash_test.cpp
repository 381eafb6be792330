#include <gtest/gtest.h>

#include "crypto/hkdf.h"
#include "crypto/sha256.h"
#include "test_util.h"

namespace brenvik::crypto {
namespace {
using test::H;
using test::Hx;

TEST(Sha256, Fips180Examples) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [msg, want] : cases) {
    EXPECT_EQ(Hx(sha256(as_bytes(msg))), want) << msg.size();
    // Incremental in uneven pieces and as parts must agree with one-shot.
    Sha256 inc;
    for (size_t i = 0; i < msg.size();) {
      size_t n = std::min<size_t>(msg.size() - i, 1 + i % 97);
      inc.update(as_bytes(std::string_view(msg).substr(i, n)));
      i += n;
    }
    EXPECT_EQ(Hx(inc.finish()), want);
    const size_t half = msg.size() / 2;
    EXPECT_EQ(Hx(sha256({as_bytes(std::string_view(msg).substr(0, half)),
                         as_bytes(std::string_view(msg).substr(half))})),
              want);
  }
  Sha256 reused;
  reused.update(as_bytes("xyz"));
  (void)reused.finish();
  EXPECT_EQ(Hx(reused.update(as_bytes("abc")).finish()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// RFC 4231 test cases 1-4, 6 and 7 (case 5 is truncated output).
TEST(HmacSha256, Rfc4231Vectors) {
  const struct {
    Bytes key, data;
    const char* mac;
  } cases[] = {
      {Bytes(20, 0x0b), to_bytes("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {to_bytes("Jefe"), to_bytes("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {H("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {Bytes(131, 0xaa), to_bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Bytes(131, 0xaa),
       to_bytes("This is a test using a larger than block-size key and a larger than "
                "block-size data. The key needs to be hashed before being used by the HMAC "
                "algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Hx(hmac_sha256(c.key, c.data)), c.mac);
    const size_t half = c.data.size() / 3;
    EXPECT_EQ(
        Hx(hmac_sha256(c.key, {ByteView(c.data).first(half), ByteView(c.data).subspan(half)})),
        c.mac);
  }
  // A 64-byte key is used as is, a 65-byte key is hashed first: they differ.
  EXPECT_NE(hmac_sha256(Bytes(64, 1), as_bytes("m")), hmac_sha256(Bytes(65, 1), as_bytes("m")));
}

// RFC 5869 Appendix A, test cases 1-3 (SHA-256).
TEST(Hkdf, Rfc5869Vectors) {
  const struct {
    Bytes ikm, salt, info;
    size_t L;
    const char *prk, *okm;
  } cases[] = {
      {H("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"), H("000102030405060708090a0b0c"),
       H("f0f1f2f3f4f5f6f7f8f9"), 42,
       "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5",
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {H("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
         "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f"
         "404142434445464748494a4b4c4d4e4f"),
       H("606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
         "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
         "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"),
       H("b0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4c5c6c7c8c9cacbcccdcecf"
         "d0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0e1e2e3e4e5e6e7e8e9eaebecedeeef"
         "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"),
       82, "06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244",
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e"
       "590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {H("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"),
       {},
       {},
       42,
       "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04",
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : cases) {
    auto prk = hkdf_extract(c.salt, c.ikm);
    EXPECT_EQ(Hx(prk.view()), c.prk);
    auto okm = hkdf_expand(prk.view(), c.info, c.L);
    ASSERT_TRUE(okm.ok());
    EXPECT_EQ(Hx(okm->view()), c.okm);
    // Info split in parts gives the same output.
    Bytes out(c.L);
    const size_t cut = c.info.size() / 2;
    ASSERT_TRUE(
        hkdf_expand(prk.view(), {ByteView(c.info).first(cut), ByteView(c.info).subspan(cut)}, out)
            .ok());
    EXPECT_EQ(Hx(out), c.okm);
  }
}

TEST(Hkdf, RefusesImpossibleRequests) {
  const Bytes prk(32, 7);
  auto max = hkdf_expand(prk, {}, kHkdfMaxOutput);
  ASSERT_TRUE(max.ok());
  EXPECT_EQ(max->size(), kHkdfMaxOutput);
  auto too_long = hkdf_expand(prk, {}, kHkdfMaxOutput + 1);
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error(), CryptoError::OutputTooLong);
  Bytes out(16, 0xEE);
  auto short_prk = hkdf_expand(Bytes(31, 7), ByteView{}, std::span<uint8_t>(out));
  ASSERT_FALSE(short_prk.ok());
  EXPECT_EQ(short_prk.error(), CryptoError::InvalidKeyLength);
  EXPECT_EQ(out, Bytes(16, 0));  // no partial key material left behind
}

}  // namespace
}  // namespace brenvik::crypto
