// Key-package announcements, stored peer capabilities, encryption-capable
// entries and the session confirmation state.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/key_package_payload.h"

namespace brenvik {
namespace {

ByteView bytes_of(std::string_view s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(KeyPackagePayloadJson, DefaultsAndExactOutput) {
  auto k = KeyPackagePayload::from_json(R"({"user_id":"u","key_package_data":[]})");
  ASSERT_TRUE(k.ok()) << k.error().to_string();
  EXPECT_EQ(*k, (KeyPackagePayload{"u", {}, 0, 0, false, {}, {}, {}, {}, {}, std::nullopt}));
  EXPECT_EQ(
      k->to_json(),
      R"({"user_id":"u","key_package_data":[],"remaining_lifetime_ms":0,"timestamp_ms":0,"session_reset":false,"wire_versions":[],"env_versions":[],"rich_versions":[],"data_versions":[],"ctrl_versions":[]})");
  auto n = KeyPackagePayload::from_json(
      R"({"user_id":"u","key_package_data":[0,1,255],"nostr_pubkey":null,"wire_versions":[1,2]})");
  ASSERT_TRUE(n.ok());
  EXPECT_FALSE(n->nostr_pubkey.has_value());
  EXPECT_EQ(n->wire_versions, (VersionList{1, 2}));
  EXPECT_EQ(n->key_package_data, (Bytes{0, 1, 255}));
}

TEST(KeyPackagePayloadJson, Refusals) {
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {R"({"user_id":"u","key_package_data":"AAE="})", "invalid type: string \"AAE=\""},
      {R"({"user_id":"u","key_package_data":[],"wire_versions":[256]})",
       "invalid value: integer `256`"},
      {R"({"user_id":"u","key_package_data":[],"env_versions":null})", "invalid type: null"},
      {R"({"user_id":"u","key_package_data":[],"timestamp_ms":1.0})",
       "invalid type: floating point"},
      {R"({"user_id":"u","key_package_data":[],"session_reset":1})", "invalid type: integer `1`"},
      {R"({"key_package_data":[]})", "missing field `user_id`"},
      {R"({"user_id":"u"})", "missing field `key_package_data`"},
      {R"({"user_id":"u","user_id":"v","key_package_data":[]})", "duplicate field `user_id`"},
      {R"(["u"])", "invalid length 1, expected struct KeyPackagePayload with 11 elements"},
      {R"(["u",[],0,0,false,[],[],[],[],[],null,1])", "trailing characters"},
      {R"({"user_id":"u","key_package_data":[]} x)", "trailing characters"},
  };
  for (const auto& c : cases) {
    auto r = KeyPackagePayload::from_json(c.json);
    ASSERT_FALSE(r.ok()) << c.json;
    EXPECT_EQ(r.error().message.substr(0, std::string(c.error).size()), c.error)
        << c.json << " -> " << r.error().to_string();
  }
  auto arr = KeyPackagePayload::from_json(R"(["u",[7]])");
  ASSERT_TRUE(arr.ok());
  EXPECT_EQ(arr->key_package_data, Bytes{7});
}

VersionList random_versions(std::mt19937_64& rng) {
  VersionList v(rng() % 4);
  for (auto& x : v) x = static_cast<uint8_t>(rng());
  return v;
}

TEST(KeyPackagePayloadJson, RandomRoundTrips) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 200; ++i) {
    KeyPackagePayload k;
    k.user_id = "user" + std::to_string(rng() % 50);
    k.key_package_data = Bytes(rng() % 64);
    for (auto& b : k.key_package_data) b = static_cast<uint8_t>(rng());
    k.remaining_lifetime_ms = rng();
    k.timestamp_ms = rng();
    k.session_reset = rng() & 1;
    k.wire_versions = random_versions(rng);
    k.env_versions = random_versions(rng);
    k.rich_versions = random_versions(rng);
    k.data_versions = random_versions(rng);
    k.ctrl_versions = random_versions(rng);
    if (rng() & 1) k.nostr_pubkey = "npub" + std::to_string(rng());
    auto back = KeyPackagePayload::from_json(k.to_json());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, k);

    PeerCapabilities c{random_versions(rng), random_versions(rng), random_versions(rng),
                       random_versions(rng), random_versions(rng), random_versions(rng),
                       k.nostr_pubkey};
    auto cb = PeerCapabilities::from_json(bytes_of(c.to_json()));
    ASSERT_TRUE(cb.ok());
    EXPECT_EQ(*cb, c);

    EncryptionCapableEntry e{static_cast<int64_t>(rng()), bool(rng() & 1),
                             static_cast<int64_t>(rng())};
    Bytes eb = e.to_json();
    auto back_e = EncryptionCapableEntry::from_json(eb);
    ASSERT_TRUE(back_e.ok());
    EXPECT_EQ(*back_e, e);
  }
}

TEST(PeerCapabilitiesJson, LeavesOutWhatIsUnknown) {
  PeerCapabilities c;
  EXPECT_EQ(c.to_json(), "{}");
  c.rich_versions = {1};
  EXPECT_EQ(c.to_json(), R"({"rich_versions":[1]})");
  auto back = PeerCapabilities::from_json(bytes_of(R"({"rich_versions":[1]})"));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, c);
  auto invalid_utf8 = PeerCapabilities::from_json(bytes_of("{\"nostr_pubkey\":\"\xff\"}"));
  EXPECT_FALSE(invalid_utf8.ok());
}

TEST(EncryptionCapableEntryJson, Rules) {
  EncryptionCapableEntry e{-1, true, 5};
  Bytes b = e.to_json();
  EXPECT_EQ(std::string(b.begin(), b.end()),
            R"({"last_seen_ms":-1,"ctrl_freshness_proved":true,"last_reset_ms":5})");
  auto only = EncryptionCapableEntry::from_json(bytes_of(R"({"last_seen_ms":3})"));
  ASSERT_TRUE(only.ok());
  EXPECT_EQ(*only, (EncryptionCapableEntry{3, false, 0}));
  auto missing = EncryptionCapableEntry::from_json(bytes_of(R"({"last_reset_ms":3})"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "missing field `last_seen_ms`");
  auto empty = EncryptionCapableEntry::from_json(bytes_of("[]"));
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message,
            "invalid length 0, expected struct EncryptionCapableEntry with 3 elements");
}

TEST(SessionConfirmationStateJson, Rules) {
  EXPECT_EQ(write_session_confirmation_state(SessionConfirmationState::Pending), "\"Pending\"");
  EXPECT_EQ(read_session_confirmation_state(bytes_of(" \"Confirmed\" ")).value(),
            SessionConfirmationState::Confirmed);
  EXPECT_EQ(read_session_confirmation_state(bytes_of(R"({"Pending":null})")).value(),
            SessionConfirmationState::Pending);
  auto lower = read_session_confirmation_state(bytes_of(R"("pending")"));
  ASSERT_FALSE(lower.ok());
  EXPECT_EQ(lower.error().message, "unknown variant `pending`, expected `Pending` or `Confirmed`");
  EXPECT_FALSE(read_session_confirmation_state(bytes_of(R"("Pending"x)")).ok());
  EXPECT_FALSE(read_session_confirmation_state(bytes_of("1")).ok());
}

}  // namespace
}  // namespace brenvik
