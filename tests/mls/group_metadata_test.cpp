// Group metadata records (stored form, strict reading, legacy roles and their
// one write-back) and the leaf identity proof with the roster walks.
#include <gtest/gtest.h>

#include "mls/group_metadata.h"
#include "mls/identity.h"
#include "mls/leaf_identity.h"
#include "mls/mls_manager.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

GroupMetadata read_ok(std::string_view text) {
  auto m = read_group_metadata(as_bytes(text));
  EXPECT_TRUE(m.ok()) << text << ": " << (m.ok() ? "" : m.error());
  return m.ok() ? m.value() : GroupMetadata{};
}

TEST(GroupMetadata, StoredFormAndRoundTrip) {
  GroupMetadata m = GroupMetadata::new_group(std::nullopt, 5);
  EXPECT_EQ(write_group_metadata(m),
            "{\"name\":null,\"created_at_ms\":5,\"last_activity_ms\":5,\"custom\":{},"
            "\"created_by\":null}");
  GroupMetadata c = GroupMetadata::new_for_creator("Team", "alice", 7);
  c.custom["theme"] = "dark";
  c.touch(9);
  EXPECT_EQ(write_group_metadata(c),
            "{\"name\":\"Team\",\"created_at_ms\":7,\"last_activity_ms\":9,"
            "\"custom\":{\"theme\":\"dark\"},\"created_by\":\"alice\",\"roles\":{\"alice\":"
            "\"admin\"}}");
  EXPECT_EQ(read_ok(write_group_metadata(c)), c);
  EXPECT_EQ(read_ok(write_group_metadata(m)), m);
  EXPECT_EQ(c.role_of("alice"), GroupRole::Admin);
  EXPECT_EQ(c.role_of("bob"), GroupRole::Member);
  EXPECT_TRUE(c.has_admin());
  EXPECT_FALSE(m.has_admin());
  EXPECT_EQ(m.role_of("anyone"), GroupRole::Member);
}

TEST(GroupMetadata, ReaderRules) {
  // Missing optional keys, null name, any key order, unknown keys.
  GroupMetadata a = read_ok("{\"x\":[1],\"last_activity_ms\":2,\"created_at_ms\":1}");
  EXPECT_FALSE(a.name);
  EXPECT_TRUE(a.custom.empty() && a.roles.empty() && !a.created_by);
  // Roles: exactly "admin" is admin, anything else member.
  GroupMetadata b = read_ok(
      "{\"created_at_ms\":1,\"last_activity_ms\":2,\"roles\":{\"a\":\"admin\",\"b\":\"Admin\","
      "\"c\":\"owner\"}}");
  EXPECT_EQ(b.role_of("a"), GroupRole::Admin);
  EXPECT_EQ(b.role_of("b"), GroupRole::Member);
  EXPECT_EQ(b.role_of("c"), GroupRole::Member);
  // The array form in key order.
  GroupMetadata c = read_ok("[\"n\",1,2,{\"k\":\"v\"},\"me\",{\"me\":\"admin\"}]");
  EXPECT_EQ(c.name, "n");
  EXPECT_EQ(c.created_by, "me");
  EXPECT_EQ(c.role_of("me"), GroupRole::Admin);

  const std::pair<std::string_view, std::string_view> refused[] = {
      {"{\"last_activity_ms\":2}", "missing field `created_at_ms`"},
      {"{\"created_at_ms\":1,\"created_at_ms\":1,\"last_activity_ms\":2}",
       "duplicate field `created_at_ms`"},
      {"{\"created_at_ms\":1,\"last_activity_ms\":2,\"roles\":{\"a\":5}}",
       "expected variant identifier"},
      {"\"text\"", "expected struct GroupMetadata"},
      {"{\"created_at_ms\":-1,\"last_activity_ms\":2}", "expected u64"},
      {"{\"created_at_ms\":1,\"last_activity_ms\":2,\"custom\":{\"k\":1}}", "expected a string"},
  };
  for (auto [input, part] : refused) {
    auto r = read_group_metadata(as_bytes(input));
    ASSERT_FALSE(r.ok()) << input;
    EXPECT_NE(r.error().find(part), std::string::npos) << r.error();
  }
}

TEST(GroupMetadata, LegacyRolesMigrateOnReadAndAreStoredOnce) {
  auto s = std::make_shared<MemoryMlsStorage>();
  MlsManager m("alice", MlsProvider::create(s), false);
  const std::string legacy =
      "{\"name\":null,\"created_at_ms\":1,\"last_activity_ms\":1,"
      "\"custom\":{\"role:bob\":\"ADMIN\",\"role:carol\":\"owner\",\"theme\":\"dark\"},"
      "\"created_by\":null}";
  s->poke("group_metadata", "g", as_bytes(legacy));
  s->record_calls(true);
  auto r = m.group_metadata("g");
  ASSERT_TRUE(r.ok() && r.value());
  const GroupMetadata& got = *r.value();
  EXPECT_EQ(got.roles, (std::map<std::string, GroupRole>{{"bob", GroupRole::Admin},
                                                         {"carol", GroupRole::Member}}));
  EXPECT_EQ(got.custom, (std::map<std::string, std::string>{{"theme", "dark"}}));
  size_t stores = 0;
  for (const auto& c : s->calls()) stores += c.op == MemoryMlsStorage::Op::Store;
  EXPECT_EQ(stores, 1u);
  EXPECT_EQ(read_ok(to_string(*s->peek("group_metadata", "g"))), got);

  // Listed roles win over legacy entries, and such a record is not migrated on read.
  GroupMetadata both = read_ok(
      "{\"created_at_ms\":1,\"last_activity_ms\":1,\"custom\":{\"role:bob\":\"admin\","
      "\"role:dan\":\"admin\"},\"roles\":{\"bob\":\"member\"}}");
  both.migrate_legacy_roles();
  EXPECT_EQ(both.role_of("bob"), GroupRole::Member);
  EXPECT_EQ(both.role_of("dan"), GroupRole::Admin);
  EXPECT_TRUE(both.custom.empty());
}

TEST(GroupMetadata, FailedMigrationWriteBackIsLoggedAndRetried) {
  auto s = std::make_shared<MemoryMlsStorage>();
  MlsManager m("alice", MlsProvider::create(s), false);
  const std::string legacy =
      "{\"created_at_ms\":1,\"last_activity_ms\":1,\"custom\":{\"role:bob\":\"admin\"}}";
  s->poke("group_metadata", "g", as_bytes(legacy));
  s->fail_every(MemoryMlsStorage::Op::Store,
                MlsStorageError{MlsStorageError::Kind::StoreFailed, "ro"});
  {
    ScopedLogCapture cap(LogLevel::Warn);
    auto r = m.group_metadata("g");
    ASSERT_TRUE(r.ok() && r.value());
    EXPECT_EQ(r.value()->role_of("bob"), GroupRole::Admin);
    bool warned = false;
    for (const auto& e : cap.entries())
      warned |= e.message.starts_with("Failed to persist legacy role migration");
    EXPECT_TRUE(warned);
  }
  EXPECT_EQ(to_string(*s->peek("group_metadata", "g")), legacy);
  s->fail_every(MemoryMlsStorage::Op::Store, std::nullopt);
  ASSERT_TRUE(m.group_metadata("g").ok());
  EXPECT_NE(to_string(*s->peek("group_metadata", "g")), legacy);

  EXPECT_FALSE(m.group_metadata("none").value());
  s->poke("group_metadata", "bad", as_bytes("{\"last_activity_ms\":1}"));
  EXPECT_TRUE(m.group_metadata("bad").error().message().starts_with(
      "Deserialization failed: missing field `created_at_ms`"));
}

TEST(LeafIdentity, ProofAndDisplay) {
  auto key = crypto::Ed25519PrivateKey::generate().value();
  Bytes pk(key.public_key().begin(), key.public_key().end());
  std::string own = derive_user_id_from_public_key(pk);
  EXPECT_TRUE(check_leaf_identity(as_bytes(own), pk, LeafSource::CommittedAdd).ok());

  std::string upper = own;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  auto r = check_leaf_identity(as_bytes(upper), pk, LeafSource::StoredRoster);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "stored roster leaf signature key derives to '" + own +
                                     "', not the address its credential claims ('" + upper + "')");
  auto short_key = check_leaf_identity(as_bytes(own), Bytes(31, 0), LeafSource::MessageSender);
  EXPECT_EQ(short_key.error().second(),
            "<no address: Invalid public key: Ed25519 public key must be 32 bytes, got 31>");

  EXPECT_EQ(truncate_for_display(Bytes(80, 'a')), std::string(80, 'a'));
  EXPECT_EQ(truncate_for_display(Bytes(81, 'a')),
            std::string(80, 'a') + "\xE2\x80\xA6 (truncated)");
  Bytes cut(79, 'a');
  append(cut, as_bytes("\xC3\xA9"));  // the 2-byte character straddles the cut
  EXPECT_EQ(truncate_for_display(cut),
            std::string(79, 'a') + "\xEF\xBF\xBD\xE2\x80\xA6 (truncated)");
  EXPECT_EQ(truncate_for_display(as_bytes("a\xFF"
                                          "b")),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(LeafIdentity, RosterWalks) {
  std::vector<rfc9420::Member> members;
  std::vector<std::string> ids;
  for (uint32_t i = 0; i < 3; ++i) {
    auto key = crypto::Ed25519PrivateKey::generate().value();
    rfc9420::Member m;
    m.leaf_index = i * 2;
    m.signature_key.assign(key.public_key().begin(), key.public_key().end());
    ids.push_back(derive_user_id_from_public_key(m.signature_key));
    m.identity = to_bytes(ids.back());
    members.push_back(m);
  }
  members[1].identity = to_bytes("impostor");
  uint32_t skipped = 0;
  {
    ScopedLogCapture cap(LogLevel::Warn);
    EXPECT_EQ(proven_group_members(members, "g", skipped),
              (std::vector<std::string>{ids[0], ids[2]}));
    ASSERT_EQ(cap.entries().size(), 1u);
    EXPECT_EQ(cap.entries()[0].target, "brenvik_protocol_mls::group");
  }
  EXPECT_EQ(skipped, 1u);
  skipped = UINT32_MAX;
  proven_group_members(members, "g", skipped);
  EXPECT_EQ(skipped, UINT32_MAX);

  ProvenLeafWalk leaves(members);
  EXPECT_EQ(leaves.next(), (std::pair<uint32_t, std::string>{0, ids[0]}));
  EXPECT_EQ(leaves.next(), (std::pair<uint32_t, std::string>{4, ids[2]}));
  EXPECT_FALSE(leaves.next());

  std::vector<rfc9420::CommittedProposal> proposals(3);
  rfc9420::KeyPackage kp;
  kp.leaf_node.credential = rfc9420::Credential::basic(to_bytes("new-member"));
  proposals[0].proposal.body = rfc9420::Add{kp};
  proposals[1].proposal.body = rfc9420::Remove{};
  kp.leaf_node.credential = rfc9420::Credential::basic(Bytes{0xFF});
  proposals[2].proposal.body = rfc9420::Add{kp};
  AddedIdentityWalk added(proposals);
  EXPECT_EQ(added.next(), "new-member");
  EXPECT_FALSE(added.next());
}

}  // namespace
}  // namespace brenvik::mls
