// Golden bytes of the stored and exchanged protocol records: every case reads
// a text and gives either the record written back or the reader's refusal
// with its position, so that the writer's bytes and the reader's texts are
// pinned together whatever the two are built from.
#include <gtest/gtest.h>

#include "protocol/records/encrypted_message_json.h"
#include "protocol/records/media_rich_extras.h"
#include "protocol/records/pending_message.h"
#include "protocol/records/small_records.h"
#include "protocol/records/welcome_message_json.h"

namespace brenvik {
namespace {

struct Golden {
  const char* in;
  const char* out;
};

// Reads one whole text with `read` and writes it back with `write`, or gives
// the refusal.
template <typename T, typename Read, typename Write>
std::string roundtrip(std::string_view text, Read read, Write write) {
  JsonReader r(text);
  Result<T, JsonError> v = read(r);
  if (v.ok()) {
    if (auto st = r.finish(); !st.ok()) return st.error().to_string();
  }
  if (!v.ok()) return v.error().to_string();
  JsonWriter w;
  write(w, *v);
  return w.take();
}

template <typename T>
void run_member_cases(const Golden* cases, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    auto got = roundtrip<T>(
        cases[i].in, [](JsonReader& r) { return T::from_json(r); },
        [](JsonWriter& w, const T& v) { v.to_json(w); });
    EXPECT_EQ(got, cases[i].out) << "case " << i << ": " << cases[i].in;
  }
}

TEST(RecordsGolden, SeenId) {
  const Golden cases[] = {
      {R"({"seen_at_ms":-3,"id":"x"})", "{\"id\":\"x\",\"seen_at_ms\":-3}"},
      {R"(["x",9223372036854775807])", "{\"id\":\"x\",\"seen_at_ms\":9223372036854775807}"},
      {R"({"id":"x"})", "missing field `seen_at_ms` at line 1 column 10"},
      {R"({"id":"x","id":"y","seen_at_ms":1})", "duplicate field `id` at line 1 column 14"},
      {R"(["x"])", "invalid length 1, expected struct SeenId with 2 elements at line 1 column 5"},
      {R"(["x",1,2])", "trailing characters at line 1 column 8"},
      {R"({"id":1,"seen_at_ms":1})",
       "invalid type: integer `1`, expected a string at line 1 column 7"},
      {"[]", "invalid length 0, expected struct SeenId with 2 elements at line 1 column 2"},
  };
  run_member_cases<SeenId>(cases, std::size(cases));
}

TEST(RecordsGolden, RawEvent) {
  const Golden cases[] = {
      {R"({"data":{"b":[1,2.5,null],"a":"x"},"ts_ms":5,"type":"t"})",
       "{\"type\":\"t\",\"ts_ms\":5,\"data\":{\"a\":\"x\",\"b\":[1,2.5,null]}}"},
      {R"(["t",-1,null])", "{\"type\":\"t\",\"ts_ms\":-1,\"data\":null}"},
      {R"({"type":"t","ts_ms":5})", "missing field `data` at line 1 column 22"},
      {R"({"type":"t","ts_ms":5,"data":1,"data":2})", "duplicate field `data` at line 1 column 37"},
      {R"({"type":"t","ts_ms":"5","data":1})",
       "invalid type: string \"5\", expected i64 at line 1 column 23"},
      {R"(["t",1])",
       "invalid length 2, expected struct RawEvent with 3 elements at line 1 column 7"},
  };
  run_member_cases<RawEvent>(cases, std::size(cases));
}

TEST(RecordsGolden, RichSendExtras) {
  const Golden cases[] = {
      {R"({"forward_info":["bob","00000000-0000-4000-8000-00000000000c",7,1],"media_metadata":["a","b",3],"reply_context":["carol","hi"]})",
       "{\"reply_context\":{\"sender\":\"carol\",\"text\":\"hi\"},\"media_metadata\":{\"mime_"
       "type\":\"a\",\"file_name\":\"b\",\"file_size\":3},\"forward_info\":{\"original_sender\":"
       "\"bob\",\"original_message_id\":\"00000000-0000-4000-8000-00000000000c\",\"original_"
       "timestamp\":7,\"forward_count\":1}}"},
      {"{}", "{}"},
      {"[]", "{}"},
      {R"([null,null,null])", "{}"},
      {R"([null,null,null,null])", "trailing characters at line 1 column 17"},
      {R"({"reply_context":null,"reply_context":null})",
       "duplicate field `reply_context` at line 1 column 37"},
      {R"({"media_metadata":{"mime_type":"a"}})", "missing field `file_name` at line 1 column 35"},
      {"null", "invalid type: null, expected struct RichSendExtras at line 1 column 4"},
  };
  run_member_cases<RichSendExtras>(cases, std::size(cases));
}

TEST(RecordsGolden, PendingMessage) {
  const Golden cases[] = {
      {R"({"queued_at":"2025-03-07T10:00:00.5+01:00","app_id":"a/b","rich":{"reply_context":["carol","hi"]},"media_metadata":["a","b",3],"content_type":"image","forwarded_from":["bob","00000000-0000-4000-8000-00000000000c",7,1],"reply_to_msg":"00000000-0000-4000-8000-00000000000d","message_id":"00000000-0000-4000-8000-00000000000e","priority":{"High":null},"content":"hello"})",
       "{\"content\":\"hello\",\"priority\":\"high\",\"message_id\":\"00000000-0000-4000-8000-"
       "00000000000e\",\"reply_to_msg\":\"00000000-0000-4000-8000-00000000000d\",\"forwarded_"
       "from\":{\"original_sender\":\"bob\",\"original_message_id\":\"00000000-0000-4000-8000-"
       "00000000000c\",\"original_timestamp\":7,\"forward_count\":1},\"content_type\":\"image\","
       "\"media_metadata\":{\"mime_type\":\"a\",\"file_name\":\"b\",\"file_size\":3},\"rich\":{"
       "\"reply_context\":{\"sender\":\"carol\",\"text\":\"hi\"}},\"app_id\":\"a/"
       "b\",\"queued_at\":\"2025-03-07T09:00:00.500Z\"}"},
      {R"(["c","low","00000000-0000-4000-8000-00000000000e",null,null,"text",null,null,null,"2025-03-07T09:05:00Z"])",
       "{\"content\":\"c\",\"priority\":\"low\",\"message_id\":\"00000000-0000-4000-8000-"
       "00000000000e\",\"reply_to_msg\":null,\"content_type\":\"text\",\"queued_at\":\"2025-03-"
       "07T09:05:00Z\"}"},
      {R"(["c","low","00000000-0000-4000-8000-00000000000e",null,null,"text",null,null,null])",
       "invalid length 9, expected struct PendingMessage with 10 elements at line 1 column 82"},
      {R"({"content":"c","priority":"low","message_id":"00000000-0000-4000-8000-00000000000e","queued_at":"2025-03-07T09:05:00Z","rich":null,"content_type":"no-such-type"})",
       "{\"content\":\"c\",\"priority\":\"low\",\"message_id\":\"00000000-0000-4000-8000-"
       "00000000000e\",\"reply_to_msg\":null,\"content_type\":\"file\",\"queued_at\":\"2025-03-"
       "07T09:05:00Z\"}"},
      {R"({"content":"c","priority":"low","message_id":"00000000-0000-4000-8000-00000000000e"})",
       "missing field `queued_at` at line 1 column 84"},
      {R"({"content":"c","priority":"lowest","message_id":"00000000-0000-4000-8000-00000000000e","queued_at":"2025-03-07T09:05:00Z"})",
       "unknown variant `lowest`, expected one of `low`, `medium`, `high`, `critical`, `Low`, "
       "`Medium`, `High`, `Critical` at line 1 column 34"},
      {R"({"content":"c","priority":"low","message_id":"x","queued_at":"2025-03-07T09:05:00Z"})",
       "UUID parsing failed: invalid length at line 1 column 48"},
      {R"({"content":"c","priority":"low","message_id":"00000000-0000-4000-8000-00000000000e","queued_at":"yesterday"})",
       "invalid RFC 3339 date-time: input is not an RFC 3339 date-time at line 1 column 107"},
      {R"({"content":"c","priority":"low","message_id":"00000000-0000-4000-8000-00000000000e","queued_at":"2025-03-07T09:05:00Z","content_type":null})",
       "invalid type: null, expected a string at line 1 column 138"},
      {R"({"content":"c","content":"d"})", "duplicate field `content` at line 1 column 24"},
  };
  run_member_cases<PendingMessage>(cases, std::size(cases));
}

TEST(RecordsGolden, MediaRichExtras) {
  const Golden cases[] = {
      {R"({"forward_info":["bob","00000000-0000-4000-8000-00000000000c",7,1],"reply_context":["carol","hi"],"reply_to_msg":"not a uuid","caption":"cap"})",
       "{\"caption\":\"cap\",\"reply_to_msg\":\"not a "
       "uuid\",\"reply_context\":{\"sender\":\"carol\",\"text\":\"hi\"},\"forward_info\":{"
       "\"original_sender\":\"bob\",\"original_message_id\":\"00000000-0000-4000-8000-"
       "00000000000c\",\"original_timestamp\":7,\"forward_count\":1}}"},
      {"{}", "{}"},
      {R"(["cap"])", "{\"caption\":\"cap\"}"},
      {R"({"caption":null,"caption":"x"})", "duplicate field `caption` at line 1 column 25"},
      {R"({"caption":1})", "invalid type: integer `1`, expected a string at line 1 column 12"},
      {R"({} x)", "trailing characters at line 1 column 4"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::string_view in = cases[i].in;
    auto r =
        read_rich_extras_json(ByteView(reinterpret_cast<const uint8_t*>(in.data()), in.size()));
    std::string got;
    if (r.ok()) {
      Bytes b = write_rich_extras_json(*r);
      got.assign(b.begin(), b.end());
    } else {
      got = r.error().to_string();
    }
    EXPECT_EQ(got, cases[i].out) << "case " << i << ": " << cases[i].in;
  }
}

TEST(RecordsGolden, WelcomeMessage) {
  const Golden cases[] = {
      {R"({"timestamp_ms":5,"group_name":"G","inviter_id":"alice","welcome_data":[1,2,255],"group_id":"grp-1"})",
       "{\"group_id\":\"grp-1\",\"welcome_data\":[1,2,255],\"inviter_id\":\"alice\",\"group_name\":"
       "\"G\",\"timestamp_ms\":5}"},
      {R"(["grp-1",[],"alice",null,0])",
       "{\"group_id\":\"grp-1\",\"welcome_data\":[],\"inviter_id\":\"alice\",\"group_name\":null,"
       "\"timestamp_ms\":0}"},
      {R"({"group_id":"grp-1","welcome_data":[],"inviter_id":"alice","timestamp_ms":0})",
       "{\"group_id\":\"grp-1\",\"welcome_data\":[],\"inviter_id\":\"alice\",\"group_name\":null,"
       "\"timestamp_ms\":0}"},
      {R"(["grp-1",[],"alice"])",
       "invalid length 3, expected struct WelcomeMessage with 5 elements at line 1 column 20"},
      {R"(["",[],"alice",null,0])", "Group ID cannot be empty at line 1 column 3"},
      {R"(["grp-1",[256],"alice",null,0])",
       "invalid value: integer `256`, expected u8 at line 1 column 13"},
      {R"({"group_id":"grp-1","group_id":"grp-1"})",
       "duplicate field `group_id` at line 1 column 30"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    auto r = welcome_message_from_json(std::string_view(cases[i].in));
    std::string got = r.ok() ? welcome_message_to_json(*r) : r.error().to_string();
    EXPECT_EQ(got, cases[i].out) << "case " << i << ": " << cases[i].in;
  }
}

TEST(RecordsGolden, EncryptedMessage) {
  const Golden cases[] = {
      {R"({"timestamp_ms":5,"sender_id":"s","ciphertext":[0,9],"epoch":3,"message_type":"Commit","group_id":"grp-1"})",
       "{\"group_id\":\"grp-1\",\"message_type\":\"Commit\",\"epoch\":3,\"ciphertext\":[0,9],"
       "\"sender_id\":\"s\",\"timestamp_ms\":5}"},
      {R"(["grp-1","Application",0,[],"",0])",
       "{\"group_id\":\"grp-1\",\"message_type\":\"Application\",\"epoch\":0,\"ciphertext\":[],"
       "\"sender_id\":\"\",\"timestamp_ms\":0}"},
      {R"(["grp-1","application",0,[],"",0])",
       "unknown variant `application`, expected one of `Application`, `Welcome`, `Commit`, "
       "`Proposal` at line 1 column 22"},
      {R"(["grp-1","Application",0,[],""])",
       "invalid length 5, expected struct EncryptedMessage with 6 elements at line 1 column 31"},
      {R"({"group_id":"","message_type":"Application","epoch":0,"ciphertext":[],"sender_id":"","timestamp_ms":0})",
       "Group ID cannot be empty at line 1 column 14"},
      {R"({"group_id":"grp-1","epoch":-1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 30"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    auto r = encrypted_message_from_json(std::string_view(cases[i].in));
    std::string got = r.ok() ? encrypted_message_to_json(*r) : r.error().to_string();
    EXPECT_EQ(got, cases[i].out) << "case " << i << ": " << cases[i].in;
  }
}

}  // namespace
}  // namespace brenvik
