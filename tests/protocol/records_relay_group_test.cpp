// Relay group records (errors, the user's groups, rosters, delivery
// reports): defaults, refusals of whole records for one bad entry, and
// random records written by a generic JSON writer and read back.
#include <gtest/gtest.h>

#include <random>

#include <nlohmann/json.hpp>

#include "protocol/records/relay_group_records.h"
#include "random_message.h"
#include "util/json_writer.h"

namespace brenvik {
namespace {

template <typename T>
std::string error_of(std::string_view text) {
  auto r = T::from_json(text);
  return r.ok() ? "accepted" : r.error().to_string();
}

TEST(RelayGroupJson, ReadsWithDefaults) {
  EXPECT_EQ(GroupErrorPayload::from_json(R"({"reason":"denied"})").value(),
            (GroupErrorPayload{"denied", std::nullopt}));
  EXPECT_EQ(GroupErrorPayload::from_json(R"({"reason":"denied","group_id":null})").value(),
            (GroupErrorPayload{"denied", std::nullopt}));
  EXPECT_EQ(GroupErrorPayload::from_json(R"(["denied","g1"])").value(),
            (GroupErrorPayload{"denied", "g1"}));
  EXPECT_EQ(UserGroupsPayload::from_json(R"({"groups":[]})").value(), UserGroupsPayload{});
  EXPECT_EQ(
      UserGroupsPayload::from_json(
          R"({"groups":[["g","n","2024"],{"created_at":"t","name":"m","group_id":"h","x":1}]})")
          .value(),
      (UserGroupsPayload{{{"g", "n", "2024"}, {"h", "m", "t"}}}));
  auto info = GroupInfoPayload::from_json(
      R"({"group_id":"g","name":"n","created_by":"u","created_at":"t","members":[{"user_id":"a","role":"owner","joined_at":"j"}]})");
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->members.at(0).role, "owner");
  EXPECT_EQ(RelayGroupDeliveryReport::from_json(R"({"group_id":"g1","message_id":"m1"})").value(),
            (RelayGroupDeliveryReport{"g1", "m1", {}, {}, {}}));
  EXPECT_EQ(
      RelayGroupDeliveryReport::from_json(
          R"(["g1","m1",["a","a"],[],[{"username":"u1"},["u2","offline"]]])")
          .value(),
      (RelayGroupDeliveryReport{"g1", "m1", {"a", "a"}, {}, {{"u1", ""}, {"u2", "offline"}}}));
}

TEST(RelayGroupJson, Refusals) {
  EXPECT_EQ(error_of<GroupErrorPayload>(R"({"group_id":"g1"})"),
            "missing field `reason` at line 1 column 17");
  EXPECT_EQ(
      error_of<GroupErrorPayload>(R"([])"),
      "invalid length 0, expected struct GroupErrorPayload with 2 elements at line 1 column 2");
  EXPECT_EQ(error_of<GroupErrorPayload>(R"({"reason":null})"),
            "invalid type: null, expected a string at line 1 column 14");
  EXPECT_EQ(error_of<UserGroupsPayload>("{}"), "missing field `groups` at line 1 column 2");
  EXPECT_EQ(
      error_of<UserGroupsPayload>(R"([])"),
      "invalid length 0, expected struct UserGroupsPayload with 1 element at line 1 column 2");
  EXPECT_EQ(error_of<UserGroupsPayload>(R"({"groups":[{"group_id":"g","name":"n"}]})"),
            "missing field `created_at` at line 1 column 38");
  EXPECT_EQ(error_of<UserGroupsPayload>(
                R"({"groups":[{"group_id":"g","name":"n","created_at":1700000000}]})"),
            "invalid type: integer `1700000000`, expected a string at line 1 column 61");
  EXPECT_EQ(error_of<UserGroupsPayload>(R"({"groups":[["g","n"]]})"),
            "invalid length 2, expected struct UserGroupSummaryPayload with 3 elements at line 1 "
            "column 20");
  EXPECT_EQ(
      error_of<GroupInfoPayload>(
          R"({"group_id":"g","name":"n","created_by":"u","created_at":"t","members":[["a","r"]]})"),
      "invalid length 2, expected struct GroupInfoMemberPayload with 3 elements at line 1 "
      "column 81");
  EXPECT_EQ(
      error_of<GroupInfoPayload>(R"(["g","n","u","t"])"),
      "invalid length 4, expected struct GroupInfoPayload with 5 elements at line 1 column 17");
  EXPECT_EQ(error_of<RelayGroupDeliveryReport>(R"({"group_id":"g1"})"),
            "missing field `message_id` at line 1 column 17");
  EXPECT_EQ(error_of<RelayGroupDeliveryReport>(
                R"({"group_id":"g","message_id":"m","missed":[{"reason":"r"}]})"),
            "missing field `username` at line 1 column 57");
  EXPECT_EQ(error_of<RelayGroupDeliveryReport>(
                R"({"group_id":"g","message_id":"m","delivered":[],"delivered":[]})"),
            "duplicate field `delivered` at line 1 column 59");
  EXPECT_EQ(error_of<RelayGroupDeliveryReport>(R"({"group_id":"g","message_id":"m","pushed":[1]})"),
            "invalid type: integer `1`, expected a string at line 1 column 44");
  EXPECT_EQ(error_of<RelayGroupDeliveryReport>(R"(["g"])"),
            "invalid length 1, expected struct RelayGroupDeliveryReport with 5 elements at line 1 "
            "column 5");
  EXPECT_EQ(
      error_of<RelayGroupDeliveryReport>(R"({"group_id":"g","message_id":"m","missed":[[]]})"),
      "invalid length 0, expected struct RelayGroupDeliveryMiss with 2 elements at line 1 "
      "column 45");
  EXPECT_EQ(error_of<RelayGroupDeliveryReport>(R"({"group_id":"g","message_id":"m"} [])"),
            "trailing characters at line 1 column 35");
}

// Random reports and rosters written by the generic writer (object form,
// keys in random order through the map) and read back.
TEST(RelayGroupJson, RandomRecordsReadBack) {
  std::mt19937_64 rng(0x2e1a);
  auto text = [&] { return testing::random_text(rng, 8); };
  for (int i = 0; i < 300; ++i) {
    RelayGroupDeliveryReport rep{text(), text(), {}, {}, {}};
    nlohmann::json j = {{"group_id", rep.group_id}, {"message_id", rep.message_id}};
    if (rng() % 2) {
      for (size_t n = rng() % 3; n > 0; --n) rep.delivered.push_back(text());
      j["delivered"] = rep.delivered;
    }
    for (size_t n = rng() % 3; n > 0; --n) rep.pushed.push_back(text());
    j["pushed"] = rep.pushed;
    nlohmann::json missed = nlohmann::json::array();
    for (size_t n = rng() % 3; n > 0; --n) {
      RelayGroupDeliveryMiss m{text(), rng() % 2 ? text() : ""};
      missed.push_back(m.reason.empty()
                           ? nlohmann::json{{"username", m.username}}
                           : nlohmann::json{{"username", m.username}, {"reason", m.reason}});
      rep.missed.push_back(m);
    }
    j["missed"] = missed;
    std::string dumped = json_dump(j);
    auto back = RelayGroupDeliveryReport::from_json(dumped);
    ASSERT_TRUE(back.ok()) << dumped << ": " << back.error().to_string();
    EXPECT_EQ(*back, rep) << dumped;

    GroupInfoPayload info{text(), text(), text(), text(), {}};
    nlohmann::json members = nlohmann::json::array();
    for (size_t n = rng() % 3; n > 0; --n) {
      info.members.push_back({text(), text(), text()});
      const auto& m = info.members.back();
      members.push_back({m.user_id, m.role, m.joined_at});  // array form
    }
    nlohmann::json ji = {{"group_id", info.group_id},
                         {"name", info.name},
                         {"created_by", info.created_by},
                         {"created_at", info.created_at},
                         {"members", members}};
    EXPECT_EQ(GroupInfoPayload::from_json(json_dump(ji)).value(), info);
  }
}

}  // namespace
}  // namespace brenvik
