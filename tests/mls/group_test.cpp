// Groups: creation and joins, membership commits under commit enforcement,
// key updates, leaving, and a commit that must come back even when the
// group's metadata cannot be read.
#include <gtest/gtest.h>

#include <functional>

#include "mls/group_messages.h"
#include "mls_device.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

using K = MlsError::Kind;

std::vector<std::string> warnings(const ScopedLogCapture& cap) {
  std::vector<std::string> out;
  for (const auto& e : cap.entries())
    if (e.level == LogLevel::Warn) out.push_back(e.message);
  return out;
}

bool has_warning(const ScopedLogCapture& cap, std::string_view text) {
  for (const auto& w : warnings(cap))
    if (w.find(text) != std::string::npos) return true;
  return false;
}

uint64_t epoch_of(Device& d, const std::string& gid) {
  auto g = d->groups().load_group(gid);
  return g.value() ? g.value()->group().epoch() : ~uint64_t(0);
}

Bytes authenticator_of(Device& d, const std::string& gid) {
  auto g = d->groups().load_group(gid);
  const crypto::SecretBytes secret = g.value()->group().epoch_authenticator();
  return Bytes(secret.view().begin(), secret.view().end());
}

// A creates a group (A admin) and adds B, who joins.
struct Trio {
  explicit Trio(const Clock& clock, bool enforce = true) : a(clock, enforce), b(clock), c(clock) {
    auto made = a->create_group("team");
    EXPECT_TRUE(made.ok());
    gid = made.value().group_id;
    auto added = a->add_member(gid, b.id(), b.key_package());
    EXPECT_TRUE(added.ok()) << added.error().message();
    auto joined = b->join_group(added.value().welcome);
    EXPECT_TRUE(joined.ok()) << joined.error().message();
  }
  Device a, b, c;
  std::string gid;
};

TEST(MlsGroups, CreateJoinAndLeave) {
  ManualClock clock;
  Trio t(clock);
  EXPECT_TRUE(t.gid.starts_with("group:"));
  EXPECT_EQ(t.gid.size(), 42u);
  auto info = t.b->group_info(t.gid).value();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->member_count, 2u);
  EXPECT_EQ(info->epoch, 1u);
  EXPECT_FALSE(info->is_session);
  EXPECT_EQ(t.a->group_info(t.gid).value()->name, "team");
  EXPECT_EQ(t.a->list_groups().value(), std::vector<std::string>{t.gid});

  auto m = t.b->encrypt_group_message(t.gid, as_bytes(std::string_view("to all")));
  EXPECT_EQ(*t.a->process_group_message(m.value(), t.b.id()).value(), to_bytes("to all"));
  // The envelope names A, the MLS sender is B.
  auto m2 = t.b->encrypt_group_message(t.gid, as_bytes(std::string_view("x")));
  auto lie = t.a->process_group_message(m2.value(), t.a.id());
  ASSERT_FALSE(lie.ok());
  EXPECT_EQ(lie.error().kind(), K::SenderIdentityMismatch);

  ASSERT_TRUE(t.a->leave_group(t.gid).ok());
  EXPECT_FALSE(t.a->group_exists(t.gid).value());
  EXPECT_FALSE(t.a->group_info(t.gid).value());
  EXPECT_TRUE(t.a->list_groups().value().empty());
  EXPECT_TRUE(t.a.storage->peek(kGroupMetadataType, t.gid));

  WelcomeMessage session_welcome{GroupId::create("session:a:b").value(), {}, "a", {}, 0};
  EXPECT_EQ(t.c->join_group(session_welcome).error().kind(), K::ReservedSessionNamespace);
}

// Each row: B (a plain member) sends a commit; A, the admin, processes it.
TEST(MlsGroups, CommitEnforcementTable) {
  struct Row {
    std::string name;
    bool enforce;
    bool key_update;                                           // else B adds C
    std::function<void(Device&, const std::string&)> prepare;  // on A's storage
    bool merged;
    std::string warning;  // expected WARN (empty: none of the fail-open ones)
  };
  auto keep = [](Device&, const std::string&) {};
  auto poke = [](std::string json) {
    return [json](Device& d, const std::string& gid) {
      d.storage->poke(kGroupMetadataType, gid, as_bytes(json));
    };
  };
  const std::vector<Row> rows = {
      {"switch off", false, false, keep, true, ""},
      {"key update", true, true, keep, true, ""},
      {"no metadata", true, false,
       [](Device& d, const std::string& gid) {
         ASSERT_TRUE(d.storage->delete_(kGroupMetadataType, gid).ok());
       },
       true, "Commit enforcement: no group metadata"},
      {"metadata without last_activity_ms", true, false,
       poke(R"({"name":"t","created_at_ms":1,"custom":{},"created_by":null,"roles":{}})"), true,
       "Commit enforcement: could not read group metadata"},
      {"roles all member", true, false,
       poke(
           R"({"name":"t","created_at_ms":1,"last_activity_ms":1,"custom":{},"created_by":null,"roles":{"x":"member"}})"),
       true, "Commit enforcement: no admin role stored"},
      {"a member's add", true, false, keep, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ManualClock clock;
    Trio t(clock, row.enforce);
    row.prepare(t.a, t.gid);
    const uint64_t before = epoch_of(t.a, t.gid);
    const auto marker_before = t.a.storage->peek(kGroupMarkerType, t.gid);
    EncryptedMessage commit =
        row.key_update ? t.b->self_update(t.gid).value()
                       : t.b->add_member(t.gid, t.c.id(), t.c.key_package()).value().commit;
    ScopedLogCapture cap(LogLevel::Warn);
    t.a.storage->clear_calls();
    t.a.storage->record_calls(true);
    auto r = t.a->process_group_message(commit, t.b.id());
    t.a.storage->record_calls(false);
    if (row.merged) {
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_FALSE(r.value());
      EXPECT_EQ(epoch_of(t.a, t.gid), before + 1);
      EXPECT_EQ(t.a.storage->peek(kGroupMarkerType, t.gid), encode_group_marker(before + 1));
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message(),
                "Commit not authorized: " + t.b.id() + " is not an admin of this group");
      EXPECT_EQ(r.error().added(), std::vector<std::string>{t.c.id()});
      EXPECT_EQ(epoch_of(t.a, t.gid), before);
      EXPECT_EQ(t.a.storage->peek(kGroupMarkerType, t.gid), marker_before);
    }
    if (row.warning.empty()) {
      EXPECT_FALSE(has_warning(cap, "unknown admin set fails open"));
    } else {
      EXPECT_TRUE(has_warning(cap, row.warning));
    }
    if (row.key_update)
      for (const auto& call : t.a.storage->calls()) EXPECT_NE(call.type, kGroupMetadataType);
  }
}

TEST(MlsGroups, AnAdminsAddBringsEveryMemberToOneEpoch) {
  ManualClock clock;
  Trio t(clock);
  // B knows the roles too, so its enforcement has an admin set to check.
  t.b.storage->poke(kGroupMetadataType, t.gid, *t.a.storage->peek(kGroupMetadataType, t.gid));
  auto added = t.a->add_member(t.gid, t.c.id(), t.c.key_package());
  ASSERT_TRUE(added.ok());
  EXPECT_EQ(added.value().welcome.group_name, "team");
  EXPECT_EQ(added.value().commit.epoch, 2u);
  ScopedLogCapture cap(LogLevel::Warn);
  ASSERT_TRUE(t.b->process_group_message(added.value().commit, t.a.id()).ok());
  EXPECT_TRUE(warnings(cap).empty());
  ASSERT_TRUE(t.c->join_group(added.value().welcome).ok());
  EXPECT_EQ(authenticator_of(t.a, t.gid), authenticator_of(t.b, t.gid));
  EXPECT_EQ(authenticator_of(t.a, t.gid), authenticator_of(t.c, t.gid));

  // Removal: B is gone for everyone, and a commit of B afterwards is refused.
  auto removed = t.a->remove_member(t.gid, t.b.id());
  ASSERT_TRUE(removed.ok());
  ASSERT_TRUE(t.c->process_group_message(removed.value(), t.a.id()).ok());
  EXPECT_EQ(t.a->remove_member(t.gid, t.b.id()).error().kind(), K::UserNotInGroup);
  auto stale = t.b->self_update(t.gid);
  ASSERT_TRUE(stale.ok());
  const uint64_t c_epoch = epoch_of(t.c, t.gid);
  EXPECT_FALSE(t.c->process_group_message(stale.value(), t.b.id()).ok());
  EXPECT_EQ(epoch_of(t.c, t.gid), c_epoch);
  auto hello = t.a->encrypt_group_message(t.gid, as_bytes(std::string_view("still here")));
  EXPECT_EQ(*t.c->process_group_message(hello.value(), t.a.id()).value(), to_bytes("still here"));
}

TEST(MlsGroups, UnreadableMetadataStillReturnsTheCommitAndWelcome) {
  ManualClock clock;
  Trio t(clock);
  t.a.storage->poke(kGroupMetadataType, t.gid, as_bytes(std::string_view("{not json")));
  auto added = t.a->add_member(t.gid, t.c.id(), t.c.key_package());
  ASSERT_TRUE(added.ok()) << added.error().message();
  EXPECT_FALSE(added.value().welcome.group_name);
  ASSERT_TRUE(t.b->process_group_message(added.value().commit, t.a.id()).ok());
  ASSERT_TRUE(t.c->join_group(added.value().welcome).ok());
  EXPECT_EQ(epoch_of(t.b, t.gid), epoch_of(t.a, t.gid));
  EXPECT_EQ(authenticator_of(t.c, t.gid), authenticator_of(t.a, t.gid));
}

TEST(MlsGroups, AddMemberChecksTheKeyPackageLikeImport) {
  ManualClock clock;
  Trio t(clock);
  const uint64_t now = t.c.now_s();
  auto wide =
      t.a->add_member(t.gid, t.c.id(), t.c.key_package_with_window(now - 10, now - 10 + 7'776'001));
  ASSERT_FALSE(wide.ok());
  EXPECT_EQ(wide.error().message(),
            "Invalid key package: key package validity window is 7776001 seconds, wider than the "
            "7776000 seconds this install admits");
  auto someone_else = t.a->add_member(t.gid, t.b.id(), t.c.key_package());
  EXPECT_EQ(someone_else.error().kind(), K::CredentialIdentityMismatch);
  EXPECT_EQ(epoch_of(t.a, t.gid), 1u);
}

TEST(MlsGroups, MetadataSetters) {
  ManualClock clock;
  Device a(clock);
  ASSERT_TRUE(a->set_member_role("group:x", "u1", GroupRole::Admin).ok());
  auto md = a->group_metadata("group:x").value();
  ASSERT_TRUE(md);
  EXPECT_FALSE(md->name);
  EXPECT_FALSE(md->created_by);
  EXPECT_EQ(md->role_of("u1"), GroupRole::Admin);
  ASSERT_TRUE(a->set_group_creator("group:x", "u1").ok());
  clock.advance(std::chrono::seconds(5));
  ASSERT_TRUE(a->set_group_creator("group:x", "u2").ok());
  auto after = a->group_metadata("group:x").value();
  EXPECT_EQ(after->created_by, "u1");
  EXPECT_EQ(after->last_activity_ms, md->last_activity_ms);
  ASSERT_TRUE(a->remove_member_role("group:x", "nobody").ok());
  EXPECT_GT(a->group_metadata("group:x").value()->last_activity_ms, md->last_activity_ms);
}

}  // namespace
}  // namespace brenvik::mls
