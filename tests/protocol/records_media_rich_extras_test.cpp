// Rich extras of a media send and the metadata section of a media chunk:
// member order, absent fields left out, refusals, and random round trips.
#include <gtest/gtest.h>

#include <random>

#include "core/sub_records_json.h"
#include "protocol/records/media_rich_extras.h"
#include "random_message.h"

namespace brenvik {
namespace {

std::string text_of(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

std::string reread(std::string_view text) {
  auto x = read_rich_extras_json(as_bytes(text));
  return x.ok() ? text_of(write_rich_extras_json(*x)) : x.error().to_string();
}

constexpr const char* kId = "0123abcd-4567-4def-89ab-cdef01234567";

TEST(MediaRichExtrasJson, WritesPresentFieldsInOrder) {
  MediaRichExtras x;
  EXPECT_EQ(text_of(write_rich_extras_json(x)), "{}");
  x.caption = "cap";
  EXPECT_EQ(text_of(write_rich_extras_json(x)), R"({"caption":"cap"})");
  x.forward_info = ForwardInfo{"alice", *parse_message_id(kId), -5, 2};
  EXPECT_EQ(
      text_of(write_rich_extras_json(x)),
      std::string(
          R"({"caption":"cap","forward_info":{"original_sender":"alice","original_message_id":")") +
          kId + R"(","original_timestamp":-5,"forward_count":2}})");
  x.reply_to_msg = "not-a-uuid";
  x.reply_context = ReplyContext{"bob", "q", std::nullopt, std::nullopt, std::nullopt};
  EXPECT_EQ(
      text_of(write_rich_extras_json(x)),
      std::string(
          R"({"caption":"cap","reply_to_msg":"not-a-uuid","reply_context":{"sender":"bob","text":"q"},"forward_info":{"original_sender":"alice","original_message_id":")") +
          kId + R"(","original_timestamp":-5,"forward_count":2}})");
}

TEST(MediaRichExtrasJson, ReadsAndRefuses) {
  const std::pair<std::string, std::string> cases[] = {
      {"{}", "{}"},
      {"[]", "{}"},
      {R"({"other":[1,{"a":null}]})", "{}"},
      {R"({"caption":null,"reply_context":null,"forward_info":null})", "{}"},
      {R"(["c","r"])", R"({"caption":"c","reply_to_msg":"r"})"},
      {"{\"caption\":\"c\"}  \n", R"({"caption":"c"})"},
      {"null", "invalid type: null, expected struct MediaRichExtras at line 1 column 4"},
      {R"({"caption":"a","caption":"a"})", "duplicate field `caption` at line 1 column 24"},
      {R"(["c","r",null,null,1])", "trailing characters at line 1 column 20"},
      {R"({"caption":1})", "invalid type: integer `1`, expected a string at line 1 column 12"},
      {std::string(R"({"forward_info":{"original_sender":"a/b","original_message_id":")") + kId +
           R"(","original_timestamp":1,"forward_count":1}})",
       "Invalid user ID: User ID contains invalid characters ('/', '\\', or ':') at line 1 "
       "column 40"},
      {R"({"reply_context":{"text":"q"}})", "missing field `sender` at line 1 column 29"},
      {R"({"caption":"c"} x)", "trailing characters at line 1 column 17"},
      {R"({"caption":"c"}{})", "trailing characters at line 1 column 16"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

TEST(MediaRichExtrasJson, RandomRoundTrip) {
  std::mt19937_64 rng(0xca9);
  for (int i = 0; i < 500; ++i) {
    Message m = testing::random_message(rng);
    MediaRichExtras x;
    if (rng() % 2) x.caption = testing::random_text(rng, 10);
    if (rng() % 2) x.reply_to_msg = testing::random_text(rng, 10);
    x.reply_context = m.reply_context;
    x.forward_info = m.forwarded_from;
    Bytes text = write_rich_extras_json(x);
    auto back = read_rich_extras_json(text);
    ASSERT_TRUE(back.ok()) << text_of(text) << ": " << back.error().to_string();
    EXPECT_EQ(*back, x);
  }
}

TEST(MediaMetadataDocument, ReadsOneRecordAndKeepsKeyMaterial) {
  auto m = read_media_metadata_document(as_bytes(
      R"( {"mime_type":"image/png","file_name":"a.png","file_size":3,"encryption_key":"k","iv":"v"} )"));
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m->encryption_key, "k");
  EXPECT_EQ(m->iv, "v");
  const std::pair<const char*, const char*> refused[] = {
      {"null", "invalid type: null, expected struct MediaMetadata at line 1 column 4"},
      {R"({"mime_type":"a","file_name":"b"})", "missing field `file_size` at line 1 column 33"},
      {R"(["a","b",1] 2)", "trailing characters at line 1 column 13"},
  };
  for (const auto& [in, want] : refused) {
    auto r = read_media_metadata_document(as_bytes(in));
    ASSERT_FALSE(r.ok()) << in;
    EXPECT_EQ(r.error().to_string(), want) << in;
  }
}

}  // namespace
}  // namespace brenvik
