// Golden bytes of the group payloads exchanged through the group mesh: every
// case reads a text and gives either the payload written back or the
// reader's refusal with its position.
#include <gtest/gtest.h>

#include "protocol/records/group_payloads.h"

namespace brenvik {
namespace {

struct Golden {
  const char* in;
  const char* out;
};

// Records whose from_json reads a whole text and whose to_json writes one.
template <typename T>
void run_text_cases(const Golden* cases, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    auto r = T::from_json(std::string_view(cases[i].in));
    std::string got = r.ok() ? r->to_json() : r.error().to_string();
    EXPECT_EQ(got, cases[i].out) << "case " << i << ": " << cases[i].in;
  }
}

TEST(RecordsGolden, GroupPayloads) {
  const Golden renames[] = {
      {R"({"renamed_by":"c","new_name":"b\n","group_id":"a"})",
       "{\"group_id\":\"a\",\"new_name\":\"b\\n\",\"renamed_by\":\"c\"}"},
      {R"(["a","b","c"])", "{\"group_id\":\"a\",\"new_name\":\"b\",\"renamed_by\":\"c\"}"},
      {R"(["a","b"])",
       "invalid length 2, expected struct GroupRenamePayload with 3 elements at line 1 column 9"},
      {R"({"group_id":"a","new_name":"b"})", "missing field `renamed_by` at line 1 column 31"},
      {R"({"group_id":"a","group_id":"a"})", "duplicate field `group_id` at line 1 column 26"},
  };
  run_text_cases<GroupRenamePayload>(renames, std::size(renames));
  const Golden commits[] = {
      {R"({"affected_member_data":[1,2],"affected_member_rich":[3],"role":{"admin":null},"affected_member":"u","epoch":7,"ciphertext":"x","commit_type":"keyupdate","group_id":"g"})",
       "{\"group_id\":\"g\",\"commit_type\":\"keyupdate\",\"ciphertext\":\"x\",\"epoch\":7,"
       "\"affected_member\":\"u\",\"role\":\"admin\",\"affected_member_rich\":[3],\"affected_"
       "member_data\":[1,2]}"},
      {R"(["g","add","x",0])",
       "{\"group_id\":\"g\",\"commit_type\":\"add\",\"ciphertext\":\"x\",\"epoch\":0}"},
      {R"(["g","add","x",0,null,null,null,null])",
       "{\"group_id\":\"g\",\"commit_type\":\"add\",\"ciphertext\":\"x\",\"epoch\":0}"},
      {R"(["g","add","x",0,"u","member",[],[255]])",
       "{\"group_id\":\"g\",\"commit_type\":\"add\",\"ciphertext\":\"x\",\"epoch\":0,\"affected_"
       "member\":\"u\",\"role\":\"member\",\"affected_member_rich\":[],\"affected_member_data\":["
       "255]}"},
      {R"(["g","Add","x",0])",
       "unknown variant `Add`, expected one of `add`, `remove`, `keyupdate` at line 1 column 10"},
      {R"(["g","remove","x",-1])", "invalid value: integer `-1`, expected u64 at line 1 column 20"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1,"role":"owner"})",
       "{\"group_id\":\"g\",\"commit_type\":\"add\",\"ciphertext\":\"x\",\"epoch\":1,\"role\":"
       "\"member\"}"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1,"role":{}})",
       "invalid length 0, expected a single variant key at line 1 column 72"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x","epoch":1,"affected_member_rich":[256]})",
       "invalid value: integer `256`, expected u8 at line 1 column 90"},
      {R"({"group_id":"g","commit_type":"add","ciphertext":"x"})",
       "missing field `epoch` at line 1 column 53"},
  };
  run_text_cases<GroupMlsCommitPayload>(commits, std::size(commits));
  const Golden role_changes[] = {
      {R"({"changed_by":"c","new_role":"admin","target_user_id":"t","group_id":"g"})",
       "{\"group_id\":\"g\",\"target_user_id\":\"t\",\"new_role\":\"admin\",\"changed_by\":\"c\"}"},
      {R"(["g","t",{"member":null},"c"])",
       "{\"group_id\":\"g\",\"target_user_id\":\"t\",\"new_role\":\"member\",\"changed_by\":"
       "\"c\"}"},
      {R"(["g","t","anything","c"])",
       "{\"group_id\":\"g\",\"target_user_id\":\"t\",\"new_role\":\"member\",\"changed_by\":"
       "\"c\"}"},
      {R"(["g","t",5,"c"])",
       "invalid type: integer `5`, expected enum GroupRole at line 1 column 10"},
      {R"(["g","t","admin"])",
       "invalid length 3, expected struct GroupRoleChangePayload with 4 elements at line 1 column "
       "17"},
  };
  run_text_cases<GroupRoleChangePayload>(role_changes, std::size(role_changes));
  const Golden removals[] = {
      {R"({"removed_by":"r","user_id":"u","group_id":"g"})",
       "{\"group_id\":\"g\",\"user_id\":\"u\",\"removed_by\":\"r\"}"},
      {R"(["g","u","r"])", "{\"group_id\":\"g\",\"user_id\":\"u\",\"removed_by\":\"r\"}"},
      {R"(["g","u","r","x"])", "trailing characters at line 1 column 14"},
      {R"({"group_id":"g","user_id":"u"})", "missing field `removed_by` at line 1 column 30"},
  };
  run_text_cases<GroupMemberRemovedPayload>(removals, std::size(removals));
}

}  // namespace
}  // namespace brenvik
