// Discovery records: how a received document is told apart and read, and
// the verifier's checks in their order.
#include <gtest/gtest.h>

#include "mls/discovery_record.h"
#include "mls/identity.h"
#include "mls/mls_manager.h"
#include "sealed/canonical_payload.h"

namespace brenvik::mls {
namespace {

using K = DiscoveryRecordError::Kind;

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager = MlsManager::start_up(std::make_shared<MemoryMlsStorage>(), false).value();
    good.username = "alice";
    good.pubkey = manager->identity_public_key().value();
    good.address = address_from_public_key(good.pubkey).value();
    good.nostr_author = Bytes(32, 0xA5);
    good.issued_at_ms = 1'700'000'000'000;
    sign(good);
  }
  void sign(DiscoveryRecordV1& r) const {
    r.sig = manager
                ->sign_data(discovery_signing_payload(r.username, r.address, r.pubkey,
                                                      r.nostr_author, r.issued_at_ms)
                                .value())
                .value();
  }
  // Writes, reads back and verifies against `queried` and `author`.
  Result<void, DiscoveryRecordError> check(const DiscoveryRecordV1& r, std::string_view queried,
                                           const Bytes& author) const {
    auto doc = parse_discovery_record(as_bytes(write_discovery_record(r)));
    EXPECT_TRUE(doc.ok()) << doc.error().message();
    return verify_discovery_record(std::get<DiscoveryRecordV1>(doc.value()), queried, author);
  }

  std::shared_ptr<MlsManager> manager;
  DiscoveryRecordV1 good;
};

TEST_F(DiscoveryTest, PayloadLayout) {
  Bytes p =
      discovery_signing_payload("alice", good.address, good.pubkey, good.nostr_author, 1).value();
  EXPECT_EQ(p.size(), 15u + 5 + (4 + 5) + (4 + 44) + 36 + 36 + 12);
  EXPECT_EQ(to_string(ByteView(p).first(15)), "kfquzpn-kbjb-o4");
}

TEST_F(DiscoveryTest, VerificationOrder) {
  struct Case {
    std::string name;
    std::function<void(DiscoveryRecordV1&)> change;
    std::string queried = "alice";
    Bytes author = Bytes(32, 0xA5);
    std::optional<K> kind;  // nothing: passes
    std::string text;
  };
  std::vector<Case> cases = {
      {"valid", [](auto&) {}, "alice", Bytes(32, 0xA5), std::nullopt, ""},
      {"version", [](auto& r) { r.v = 2; }, "bob", Bytes(32, 0xA5), K::UnsupportedVersion,
       "discovery record version is 2, expected 1"},
      {"pubkey before username", [](auto& r) { r.pubkey.push_back(0); }, "bob", Bytes(32, 0xA5),
       K::FieldLength, "discovery record field 'pubkey' is 33 bytes, expected 32"},
      {"author length", [](auto& r) { r.nostr_author.pop_back(); }, "alice", Bytes(32, 0xA5),
       K::FieldLength, "discovery record field 'nostr_author' is 31 bytes, expected 32"},
      {"sig length", [](auto& r) { r.sig.pop_back(); }, "alice", Bytes(32, 0xA5), K::FieldLength,
       "discovery record field 'sig' is 63 bytes, expected 64"},
      {"username", [](auto&) {}, "bob", Bytes(32, 0xA5), K::UsernameMismatch,
       "discovery record claims 'alice' but 'bob' was queried"},
      {"address", [](auto& r) { r.address.bytes[0] ^= 1; }, "alice", Bytes(32, 0xA5),
       K::AddressMismatch, "discovery record address is not the address its public key derives to"},
      {"issued_at_ms altered", [](auto& r) { r.issued_at_ms += 1; }, "alice", Bytes(32, 0xA5),
       K::SignatureInvalid, "discovery record signature does not verify"},
      {"foreign author", [](auto&) {}, "alice", Bytes(32, 0x11), K::ForeignNostrAuthor,
       "discovery record was published under a foreign Nostr key"},
      {"short author", [](auto&) {}, "alice", Bytes(31, 0xA5), K::ForeignNostrAuthor,
       "discovery record was published under a foreign Nostr key"},
  };
  for (auto& c : cases) {
    DiscoveryRecordV1 r = good;
    c.change(r);
    auto v = check(r, c.queried, c.author);
    if (!c.kind) {
      EXPECT_TRUE(v.ok()) << c.name << ": " << v.error().message();
      continue;
    }
    ASSERT_FALSE(v.ok()) << c.name;
    EXPECT_EQ(v.error().kind, *c.kind) << c.name;
    EXPECT_EQ(v.error().message(), c.text) << c.name;
  }
}

TEST_F(DiscoveryTest, DocumentsAreToldApartAndReadStrictly) {
  for (auto t : {"{\"v\":1,\"retracted\":true}", "{\"v\":7,\"retracted\":true}", "[1,true]"}) {
    auto d = parse_discovery_record(as_bytes(t));
    ASSERT_TRUE(d.ok()) << t;
    EXPECT_TRUE(std::holds_alternative<DiscoveryTombstone>(d.value())) << t;
  }
  std::string record = write_discovery_record(good);
  std::string retracted = record;
  retracted.insert(1, "\"retracted\":true,");
  EXPECT_TRUE(std::holds_alternative<DiscoveryTombstone>(
      parse_discovery_record(as_bytes(retracted)).value()));
  std::string kept = record;
  kept.insert(1, "\"retracted\":false,");
  EXPECT_EQ(std::get<DiscoveryRecordV1>(parse_discovery_record(as_bytes(kept)).value()), good);

  std::string upper_hex = record;
  auto pos = upper_hex.find("a5a5");
  upper_hex.replace(pos, 4, "A5A5");
  EXPECT_TRUE(parse_discovery_record(as_bytes(upper_hex)).ok());

  auto replace = [&](std::string_view from, std::string_view to) {
    std::string s = record;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const std::pair<std::string, std::string> malformed[] = {
      {"{\"v\":1,\"retracted\":false}", "missing field `username`"},
      {replace("\"alice\"", "\"Alice\""), "username is not in normalized form"},
      {replace("\"alice\"", "\"e\xCC\x81\""), "username is not in normalized form"},
      {replace("a5a5", "a5a"), "invalid hex"},
      {replace("\"v\":1", "\"v\":256"), "expected u8"},
      {replace("\"v\":1", "\"v\":1,\"v\":1"), "duplicate field `v`"},
      {"7", "expected struct DiscoveryRecordV1"},
  };
  for (const auto& [input, part] : malformed) {
    auto d = parse_discovery_record(as_bytes(input));
    ASSERT_FALSE(d.ok()) << input;
    EXPECT_TRUE(
        d.error().message().starts_with("Deserialization failed: Discovery record is malformed: "))
        << d.error().message();
    EXPECT_NE(d.error().message().find(part), std::string::npos) << d.error().message();
  }
  EXPECT_EQ(parse_discovery_record(as_bytes(replace("\"alice\"", "\"Alice\""))).error().message(),
            "Deserialization failed: Discovery record is malformed: username is not in normalized "
            "form");
}

}  // namespace
}  // namespace brenvik::mls
