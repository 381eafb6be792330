#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "crypto/hpke.h"
#include "test_support.h"
#include "test_util.h"

namespace brenvik::crypto::hpke {
namespace {
using test::H;
using test::Hx;

// The published vector file lists "name: hex" fields, long hex values
// continuing on the following lines. Sections: setup, encryptions, exports.
struct VectorFile {
  std::map<std::string, std::string> setup;
  std::vector<std::map<std::string, std::string>> encryptions;
  std::vector<std::map<std::string, std::string>> exports;
};

bool is_hex_line(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

VectorFile parse(const std::string& text) {
  VectorFile f;
  enum { kNone, kSetup, kEnc, kExp } section = kNone;
  std::map<std::string, std::string>* cur = nullptr;
  std::string last_key;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("### ", 0) == 0) {
      if (line.find("Base Setup") != std::string::npos) {
        section = kSetup;
        cur = &f.setup;
      } else {
        break;  // other modes of the suite are not built
      }
      continue;
    }
    if (line.rfind("#### Encryptions", 0) == 0) section = kEnc, cur = nullptr;
    if (line.rfind("#### Exported", 0) == 0) section = kExp, cur = nullptr;
    if (section == kNone || line.empty() || line[0] == '#' || line[0] == '~') continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) {
      if (cur && is_hex_line(line)) (*cur)[last_key] += line;
      continue;
    }
    std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    if (section == kEnc && key == "sequence number") cur = &f.encryptions.emplace_back();
    if (section == kExp && key == "exporter_context") cur = &f.exports.emplace_back();
    if (cur) (*cur)[key] = value, last_key = key;
  }
  return f;
}

class HpkeVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string text;
    const auto path = brenvik::testing::vectors_dir() / "hpke" / "base-x25519-sha256-aes128gcm.txt";
    if (!brenvik::testing::read_file(path, text))
      GTEST_SKIP() << "HPKE test vectors not found at " << path;
    v_ = parse(text);
    ASSERT_EQ(v_.setup.at("mode"), "0");
    ASSERT_EQ(v_.setup.at("kem_id"), "32");
    ASSERT_FALSE(v_.encryptions.empty());
    ASSERT_FALSE(v_.exports.empty());
  }
  std::string s(const char* k) { return v_.setup.at(k); }
  VectorFile v_;
};

TEST_F(HpkeVectors, DeriveKeyPairMatches) {
  auto e = derive_key_pair(H(s("ikmE")));
  auto r = derive_key_pair(H(s("ikmR")));
  ASSERT_TRUE(e.ok() && r.ok());
  EXPECT_EQ(Hx(e->private_bytes().view()), s("skEm"));
  EXPECT_EQ(Hx(e->public_key()), s("pkEm"));
  EXPECT_EQ(Hx(r->private_bytes().view()), s("skRm"));
  EXPECT_EQ(Hx(r->public_key()), s("pkRm"));
}

TEST_F(HpkeVectors, EveryEncryptionAndExportMatches) {
  auto eph = derive_key_pair(H(s("ikmE")));
  auto rcpt = derive_key_pair(H(s("ikmR")));
  ASSERT_TRUE(eph.ok() && rcpt.ok());
  auto sender = setup_base_s_with_ephemeral(H(s("pkRm")), H(s("info")), *eph);
  ASSERT_TRUE(sender.ok());
  EXPECT_EQ(Hx(sender->enc), s("enc"));
  auto receiver = setup_base_r(sender->enc, *rcpt, H(s("info")));
  ASSERT_TRUE(receiver.ok());

  // The listed sequence numbers skip some values; messages in between are
  // sealed and opened too so that both counters advance.
  uint64_t seq = 0;
  for (const auto& e : v_.encryptions) {
    const uint64_t target = std::stoull(e.at("sequence number"));
    for (; seq < target; ++seq) {
      auto filler = sender->context.seal({}, as_bytes("x"));
      ASSERT_TRUE(filler.ok());
      ASSERT_TRUE(receiver->open({}, *filler).ok());
    }
    auto ct = sender->context.seal(H(e.at("aad")), H(e.at("pt")));
    ASSERT_TRUE(ct.ok());
    EXPECT_EQ(Hx(*ct), e.at("ct")) << "sequence " << target;
    auto pt = receiver->open(H(e.at("aad")), H(e.at("ct")));
    ASSERT_TRUE(pt.ok()) << "sequence " << target;
    EXPECT_EQ(Hx(*pt), e.at("pt"));
    ++seq;
  }
  for (const auto& x : v_.exports) {
    const size_t len = std::stoul(x.at("L"));
    auto a = sender->context.export_secret(H(x.at("exporter_context")), len);
    auto b = receiver->export_secret(H(x.at("exporter_context")), len);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(Hx(a->view()), x.at("exported_value"));
    EXPECT_EQ(Hx(b->view()), x.at("exported_value"));
  }
}

TEST_F(HpkeVectors, ForgedMessageDoesNotAdvanceReceiver) {
  auto rcpt = derive_key_pair(H(s("ikmR")));
  auto eph = derive_key_pair(H(s("ikmE")));
  auto receiver = setup_base_r(H(s("enc")), *rcpt, H(s("info")));
  ASSERT_TRUE(receiver.ok());
  const auto& first = v_.encryptions.front();
  Bytes forged = H(first.at("ct"));
  forged[3] ^= 1;
  auto bad = receiver->open(H(first.at("aad")), forged);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), CryptoError::AuthenticationFailed);
  EXPECT_EQ(receiver->sequence(), 0u);
  auto good = receiver->open(H(first.at("aad")), H(first.at("ct")));
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(receiver->sequence(), 1u);
  // Replaying message 0 now fails: the nonce has moved on.
  EXPECT_FALSE(receiver->open(H(first.at("aad")), H(first.at("ct"))).ok());
  // A different info gives a context that cannot open anything.
  auto other = setup_base_r(H(s("enc")), *rcpt, as_bytes("other info"));
  ASSERT_TRUE(other.ok());
  EXPECT_FALSE(other->open(H(first.at("aad")), H(first.at("ct"))).ok());
}

TEST(Hpke, SingleShotRoundTripAndFailures) {
  auto rcpt = generate_key_pair();
  ASSERT_TRUE(rcpt.ok());
  const Bytes info = to_bytes("info"), aad = to_bytes("aad"), pt = to_bytes("secret message");
  auto sealed = seal_base(rcpt->public_key(), info, aad, pt);
  ASSERT_TRUE(sealed.ok());
  EXPECT_EQ(sealed->ciphertext.size(), pt.size() + kNt);
  auto opened = open_base(sealed->enc, *rcpt, info, aad, sealed->ciphertext);
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(*opened, pt);
  // Two seals to the same key use different ephemeral keys.
  auto again = seal_base(rcpt->public_key(), info, aad, pt);
  ASSERT_TRUE(again.ok());
  EXPECT_NE(again->enc, sealed->enc);

  auto other = generate_key_pair();
  ASSERT_TRUE(other.ok());
  const struct {
    const char* name;
    Bytes enc;
    const X25519PrivateKey* key;
    Bytes info, aad;
    CryptoError err;
  } cases[] = {
      {"wrong recipient", Bytes(sealed->enc.begin(), sealed->enc.end()), &*other, info, aad,
       CryptoError::AuthenticationFailed},
      {"wrong info", Bytes(sealed->enc.begin(), sealed->enc.end()), &*rcpt, to_bytes("x"), aad,
       CryptoError::AuthenticationFailed},
      {"wrong aad",
       Bytes(sealed->enc.begin(), sealed->enc.end()),
       &*rcpt,
       info,
       {},
       CryptoError::AuthenticationFailed},
      {"short enc", Bytes(31, 1), &*rcpt, info, aad, CryptoError::InvalidLength},
      {"zero enc", Bytes(32, 0), &*rcpt, info, aad, CryptoError::ZeroSharedSecret},
  };
  for (const auto& c : cases) {
    auto r = open_base(c.enc, *c.key, c.info, c.aad, sealed->ciphertext);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error(), c.err) << c.name;
  }
  EXPECT_EQ(seal_base(Bytes(31, 1), info, aad, pt).error(), CryptoError::InvalidKeyLength);
  EXPECT_EQ(seal_base(Bytes(32, 0), info, aad, pt).error(), CryptoError::ZeroSharedSecret);
}

TEST(Hpke, ExportLengthLimit) {
  auto rcpt = generate_key_pair();
  ASSERT_TRUE(rcpt.ok());
  auto s = setup_base_s(rcpt->public_key(), {});
  ASSERT_TRUE(s.ok());
  auto max = s->context.export_secret({}, kMaxExportLength);
  ASSERT_TRUE(max.ok());
  EXPECT_EQ(max->size(), kMaxExportLength);
  EXPECT_EQ(s->context.export_secret({}, kMaxExportLength + 1).error(), CryptoError::OutputTooLong);
}

}  // namespace
}  // namespace brenvik::crypto::hpke
