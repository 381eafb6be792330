// Group control payloads: exact written forms, role and commit-kind reading,
// every refusal with its text and position, and random round trips.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/group_payloads.h"
#include "random_message.h"

namespace brenvik {
namespace {

template <typename T>
std::string reread(std::string_view text) {
  auto p = T::from_json(text);
  return p.ok() ? p->to_json() : p.error().to_string();
}

TEST(GroupPayloadJson, WrittenForms) {
  EXPECT_EQ((GroupRenamePayload{"g1", "Trip", "u1"}.to_json()),
            R"({"group_id":"g1","new_name":"Trip","renamed_by":"u1"})");
  GroupMlsCommitPayload c{"g1", CommitType::Add, "AAEC", 7, {}, {}, {}, {}};
  EXPECT_EQ(c.to_json(), R"({"group_id":"g1","commit_type":"add","ciphertext":"AAEC","epoch":7})");
  c.commit_type = CommitType::KeyUpdate;
  c.affected_member = "u2";
  c.role = GroupRole::Admin;
  c.affected_member_rich = VersionList{1, 2};
  c.affected_member_data = VersionList{};
  EXPECT_EQ(
      c.to_json(),
      R"({"group_id":"g1","commit_type":"keyupdate","ciphertext":"AAEC","epoch":7,"affected_member":"u2","role":"admin","affected_member_rich":[1,2],"affected_member_data":[]})");
  GroupMlsWelcomePayload w{"g1", std::nullopt, "AAEC", {}, {}, {}, {}, std::nullopt};
  EXPECT_EQ(w.to_json(),
            R"({"group_id":"g1","group_name":null,"welcome_data":"AAEC","member_list":[]})");
  w.group_name = "n";
  w.member_list = {"a", "b"};
  w.member_roles = {{"a", GroupRole::Admin}, {"b", GroupRole::Member}};
  w.member_data = {{"b", {1}}};
  w.created_by = "a";
  EXPECT_EQ(
      w.to_json(),
      R"({"group_id":"g1","group_name":"n","welcome_data":"AAEC","member_list":["a","b"],"member_roles":{"a":"admin","b":"member"},"member_data":{"b":[1]},"created_by":"a"})");
  EXPECT_EQ((GroupRoleChangePayload{"g1", "u2", GroupRole::Member, "u1"}.to_json()),
            R"({"group_id":"g1","target_user_id":"u2","new_role":"member","changed_by":"u1"})");
  EXPECT_EQ((GroupMemberRemovedPayload{"g1", "u2", "u1"}.to_json()),
            R"({"group_id":"g1","user_id":"u2","removed_by":"u1"})");
}

TEST(GroupPayloadJson, RolesAndCommitKinds) {
  const std::pair<const char*, const char*> roles[] = {
      {R"("admin")", "admin"}, {R"("owner")", "member"},       {R"("Admin")", "member"},
      {R"("")", "member"},     {R"({"admin":null})", "admin"}, {R"({"x":null})", "member"},
  };
  for (const auto& [role, want] : roles) {
    std::string text = std::string(R"({"group_id":"g","target_user_id":"t","new_role":)") + role +
                       R"(,"changed_by":"c"})";
    auto p = GroupRoleChangePayload::from_json(text);
    ASSERT_TRUE(p.ok()) << text;
    EXPECT_EQ(group_role_json_text(p->new_role), want) << role;
  }
  const std::pair<const char*, const char*> kinds[] = {
      {R"("add")", "add"},
      {R"("remove")", "remove"},
      {R"({"keyupdate":null})", "keyupdate"},
      {R"("key_update")",
       "unknown variant `key_update`, expected one of `add`, `remove`, `keyupdate` at line 1 "
       "column 42"},
      {R"("Add")",
       "unknown variant `Add`, expected one of `add`, `remove`, `keyupdate` at line 1 column 35"},
  };
  for (const auto& [kind, want] : kinds) {
    std::string text =
        std::string(R"({"group_id":"g","commit_type":)") + kind + R"(,"ciphertext":"","epoch":0})";
    auto p = GroupMlsCommitPayload::from_json(text);
    EXPECT_EQ(p.ok() ? std::string(commit_type_json_text(p->commit_type)) : p.error().to_string(),
              want)
        << kind;
  }
}

TEST(GroupPayloadJson, CommitReading) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"epoch":18446744073709551615,"ciphertext":"x","commit_type":"remove","group_id":"g","role":null,"affected_member_rich":[],"extra":1})",
       R"({"group_id":"g","commit_type":"remove","ciphertext":"x","epoch":18446744073709551615,"affected_member_rich":[]})"},
      {R"(["g","add","x",1])",
       R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1})"},
      {R"(["g","add","x",1,"m","admin",[3],null])",
       R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1,"affected_member":"m","role":"admin","affected_member_rich":[3]})"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":-1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 63"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1.5})",
       "invalid type: floating point `1.5`, expected u64 at line 1 column 64"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1,"affected_member_rich":[1,256]})",
       "invalid value: integer `256`, expected u8 at line 1 column 92"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1,"affected_member_rich":[1.0]})",
       "invalid type: floating point `1.0`, expected u8 at line 1 column 90"},
      {R"({"group_id":"g","commit_type":"add","epoch":1})",
       "missing field `ciphertext` at line 1 column 46"},
      {R"({"group_id":"g","group_id":"g","commit_type":"add","ciphertext":"x","epoch":1})",
       "duplicate field `group_id` at line 1 column 26"},
      {R"(["g","add","x"])",
       "invalid length 3, expected struct GroupMlsCommitPayload with 8 elements at line 1 column "
       "15"},
      {R"(["g","add","x",1,null,null,null,null,null])", "trailing characters at line 1 column 38"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1} x)",
       "trailing characters at line 1 column 65"},
      {R"("g")",
       "invalid type: string \"g\", expected struct GroupMlsCommitPayload at line 1 column 3"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread<GroupMlsCommitPayload>(in), want) << in;
}

TEST(GroupPayloadJson, WelcomeReading) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"group_id":"g","welcome_data":"w","member_list":[]})",
       R"({"group_id":"g","group_name":null,"welcome_data":"w","member_list":[]})"},
      {R"({"group_id":"g","welcome_data":"w","member_list":["a"],"member_roles":{"a":"admin","a":"member","b":{"admin":null}},"member_rich":{}})",
       R"({"group_id":"g","group_name":null,"welcome_data":"w","member_list":["a"],"member_roles":{"a":"member","b":"admin"}})"},
      {R"(["g",null,"w",["a"]])",
       R"({"group_id":"g","group_name":null,"welcome_data":"w","member_list":["a"]})"},
      {R"(["g","w",["a"]])", "invalid type: sequence, expected a string at line 1 column 9"},
      {R"(["g"])",
       "invalid length 1, expected struct GroupMlsWelcomePayload with 8 elements at line 1 column "
       "5"},
      {R"({"group_id":"g","welcome_data":"w","member_list":[],"member_roles":null})",
       "invalid type: null, expected a map at line 1 column 71"},
      {R"({"group_id":"g","welcome_data":"w","member_list":[],"member_roles":{"a":null}})",
       "invalid type: null, expected enum GroupRole at line 1 column 76"},
      {R"({"group_id":"g","welcome_data":"w","member_list":[],"member_data":{"a":[256]}})",
       "invalid value: integer `256`, expected u8 at line 1 column 75"},
      {R"({"group_id":"g","welcome_data":"w"})", "missing field `member_list` at line 1 column 35"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread<GroupMlsWelcomePayload>(in), want) << in;
}

TEST(GroupPayloadJson, SmallRecordsReading) {
  EXPECT_EQ(reread<GroupRenamePayload>(R"(["g","n","u"])"),
            R"({"group_id":"g","new_name":"n","renamed_by":"u"})");
  EXPECT_EQ(
      reread<GroupRenamePayload>(R"(["g","n"])"),
      "invalid length 2, expected struct GroupRenamePayload with 3 elements at line 1 column 9");
  EXPECT_EQ(reread<GroupMemberRemovedPayload>(
                R"({"user_id":"u","group_id":"g","removed_by":"r","x":[]})"),
            R"({"group_id":"g","user_id":"u","removed_by":"r"})");
  EXPECT_EQ(reread<GroupMemberRemovedPayload>(R"(["g","u"])"),
            "invalid length 2, expected struct GroupMemberRemovedPayload with 3 elements at line 1 "
            "column 9");
  EXPECT_EQ(reread<GroupRoleChangePayload>(R"({"group_id":"g","new_role":"admin"})"),
            "missing field `target_user_id` at line 1 column 35");
  EXPECT_EQ(reread<GroupRoleChangePayload>(
                R"({"group_id":"g","target_user_id":"t","new_role":null,"changed_by":"c"})"),
            "invalid type: null, expected enum GroupRole at line 1 column 52");
  EXPECT_EQ(reread<GroupRoleChangePayload>(R"(["g","t","admin"])"),
            "invalid length 3, expected struct GroupRoleChangePayload with 4 elements at line 1 "
            "column 17");
}

VersionList random_versions(std::mt19937_64& rng) {
  VersionList v(rng() % 4);
  for (auto& x : v) x = uint8_t(rng());
  return v;
}

TEST(GroupPayloadJson, RandomRoundTrip) {
  std::mt19937_64 rng(0x9a0);
  auto text = [&] { return testing::random_text(rng, 8); };
  for (int i = 0; i < 300; ++i) {
    GroupRenamePayload rn{text(), text(), text()};
    EXPECT_EQ(GroupRenamePayload::from_json(rn.to_json()).value(), rn);
    GroupMlsCommitPayload c{text(), CommitType(rng() % 3), text(), rng(), {}, {}, {}, {}};
    if (rng() % 2) c.affected_member = text();
    if (rng() % 2) c.role = GroupRole(rng() % 2);
    if (rng() % 2) c.affected_member_rich = random_versions(rng);
    if (rng() % 2) c.affected_member_data = random_versions(rng);
    EXPECT_EQ(GroupMlsCommitPayload::from_json(c.to_json()).value(), c) << c.to_json();
    GroupMlsWelcomePayload w{text(), {}, text(), {}, {}, {}, {}, {}};
    if (rng() % 2) w.group_name = text();
    if (rng() % 2) w.created_by = text();
    for (size_t n = rng() % 4; n > 0; --n) {
      std::string u = text();
      w.member_list.push_back(u);
      if (rng() % 2) w.member_roles[u] = GroupRole(rng() % 2);
      if (rng() % 2) w.member_rich[u] = random_versions(rng);
      if (rng() % 2) w.member_data[u] = random_versions(rng);
    }
    EXPECT_EQ(GroupMlsWelcomePayload::from_json(w.to_json()).value(), w) << w.to_json();
    GroupRoleChangePayload rc{text(), text(), GroupRole(rng() % 2), text()};
    EXPECT_EQ(GroupRoleChangePayload::from_json(rc.to_json()).value(), rc);
    GroupMemberRemovedPayload rm{text(), text(), text()};
    EXPECT_EQ(GroupMemberRemovedPayload::from_json(rm.to_json()).value(), rm);
  }
}

}  // namespace
}  // namespace brenvik
