// The public MLS working-group vectors for joining from a Welcome.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rfc9420/cipher_suite.h"
#include "rfc9420/group.h"
#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

bool load_vectors(const char* name, json& out) {
  std::string text;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / name, text))
    return false;
  out = json::parse(text);
  return true;
}

Bytes hex(const json& j) {
  auto r = hex_decode(j.get<std::string>());
  if (!r.ok()) throw std::runtime_error("bad hex in vector");
  return *r;
}

template <typename T>
T message_body(const json& j) {
  auto m = decode_mls_message(hex(j));
  if (!m.ok()) throw std::runtime_error("vector message does not decode");
  const T* body = m->get<T>();
  if (!body) throw std::runtime_error("vector message has another wire format");
  return *body;
}

// welcome.json: the Welcome decrypts for the key package, its GroupInfo is
// signed by signer_pub and its confirmation tag verifies under the joiner's
// epoch secrets.
TEST(GroupVectors, Welcome) {
  json v;
  if (!load_vectors("welcome.json", v)) GTEST_SKIP() << "welcome.json not found";
  size_t checked = 0;
  for (const auto& c : v) {
    if (c["cipher_suite"].get<int>() != 1) continue;
    auto kp = message_body<KeyPackage>(c["key_package"]);
    auto welcome = message_body<Welcome>(c["welcome"]);
    auto init = crypto::X25519PrivateKey::from_bytes(hex(c["init_priv"]));
    ASSERT_TRUE(init.ok());
    auto dw = decrypt_welcome(welcome, kp, *init, {});
    ASSERT_TRUE(dw.ok()) << dw.error().message();
    const GroupInfo& gi = dw->group_info;
    auto sig =
        verify_with_label(hex(c["signer_pub"]), "GroupInfoTBS", group_info_tbs(gi), gi.signature);
    ASSERT_TRUE(sig.ok());
    EXPECT_TRUE(*sig);
    auto es = derive_epoch_secrets_from_joiner(dw->secrets.joiner_secret, dw->psk_secret.view(),
                                               tls_encode(gi.group_context));
    ASSERT_TRUE(es.ok());
    EXPECT_TRUE(verify_confirmation_tag(es->confirmation_key.view(),
                                        gi.group_context.confirmed_transcript_hash,
                                        gi.confirmation_tag));
    // Another key package is not a recipient.
    auto other = crypto::X25519PrivateKey::generate();
    KeyPackage stranger = kp;
    stranger.init_key.assign(other->public_key().begin(), other->public_key().end());
    EXPECT_EQ(decrypt_welcome(welcome, stranger, *other, {}).error().code(),
              ErrorCode::InvalidWelcome);
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

}  // namespace
}  // namespace brenvik::rfc9420
