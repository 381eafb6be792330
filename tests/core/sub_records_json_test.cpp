#include <gtest/gtest.h>

#include "core/sub_records_json.h"

namespace brenvik {
namespace {

template <typename T>
std::string write(void (*fn)(JsonWriter&, const T&), const T& v) {
  JsonWriter w;
  fn(w, v);
  return w.take();
}

// The reader's message without its position, or the record written back.
std::string media_roundtrip(std::string_view text) {
  auto r = media_metadata_from_text(text);
  return r.ok() ? write(media_metadata_to_json, *r) : r.error().message;
}
std::string forward_roundtrip(std::string_view text) {
  auto r = forward_info_from_text(text);
  return r.ok() ? write(forward_info_to_json, *r) : r.error().message;
}
std::string reply_roundtrip(std::string_view text) {
  auto r = reply_context_from_text(text);
  return r.ok() ? write(reply_context_to_json, *r) : r.error().message;
}

TEST(MediaMetadataJson, WritingAndReading) {
  const std::pair<std::string, std::string> cases[] = {
      // Minimal record: exactly the three required members, in order.
      {R"({"mime_type":"a","file_name":"b","file_size":1})",
       R"({"mime_type":"a","file_name":"b","file_size":1})"},
      // Other order, an unknown member with nested values, all dropped on writing.
      {R"({"x":[1,{"y":null}],"file_size":2,"width":3,"file_name":"b","mime_type":"a"})",
       R"({"mime_type":"a","file_name":"b","file_size":2,"width":3})"},
      {R"({"mime_type":"a","file_name":"b"})", "missing field `file_size`"},
      {R"({"mime_type":"a"})", "missing field `file_name`"},
      {R"({"mime_type":"a","mime_type":"a","file_name":"b","file_size":1})",
       "duplicate field `mime_type`"},
      {R"({"width":null,"mime_type":"a","file_name":"b","file_size":1,"width":4})",
       "duplicate field `width`"},
      {R"({"width":null,"mime_type":"a","file_name":"b","file_size":1})",
       R"({"mime_type":"a","file_name":"b","file_size":1})"},
      {R"({"mime_type":"a","file_name":"b","file_size":1,"width":4294967295})",
       R"({"mime_type":"a","file_name":"b","file_size":1,"width":4294967295})"},
      {R"({"mime_type":"a","file_name":"b","file_size":18446744073709551615})",
       R"({"mime_type":"a","file_name":"b","file_size":18446744073709551615})"},
      {R"(["a","b",3])", R"({"mime_type":"a","file_name":"b","file_size":3})"},
      {R"(["a","b"])", "invalid length 2, expected struct MediaMetadata with 16 elements"},
      {R"(["a","b",1,null,null,null,null,null,null,null,null,null,null,null,null,null,null])",
       "trailing characters"},
      {"null", "invalid type: null, expected struct MediaMetadata"},
      {R"({"mime_type":"a","file_name":"b","file_size":1} )",
       R"({"mime_type":"a","file_name":"b","file_size":1})"},
      {R"({"mime_type":"a","file_name":"b","file_size":1}x)", "trailing characters"},
      {R"({"mime_type":1,"file_name":"b","file_size":1})",
       "invalid type: integer `1`, expected a string"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(media_roundtrip(in), want) << in;
}

TEST(MediaMetadataJson, IntegerRangesAndTypes) {
  // Prefix of the reader's message is what the rules fix.
  const std::pair<std::string, std::string> cases[] = {
      {"4294967296", "invalid value: "}, {"-1", "invalid value: "},
      {"1.5", "invalid type: "},         {"1e3", "invalid type: "},
      {"\"5\"", "invalid type: "},       {"99999999999999999999", "invalid type: "},
  };
  for (const auto& [width, prefix] : cases) {
    std::string text = R"({"mime_type":"a","file_name":"b","file_size":1,"width":)" + width + "}";
    auto r = media_metadata_from_text(text);
    ASSERT_FALSE(r.ok()) << width;
    EXPECT_EQ(r.error().message.rfind(prefix, 0), 0u) << width << ": " << r.error().message;
  }
}

TEST(MediaMetadataJson, AllFieldsInDeclarationOrder) {
  MediaMetadata m;
  m.mime_type = "video/mp4";
  m.file_name = "v.mp4";
  m.file_size = 10;
  m.duration_ms = 1;
  m.width = 2;
  m.height = 3;
  m.thumbnail_base64.emplace("t");
  m.media_id.emplace("i");
  m.download_url.emplace("https://x/y");
  m.thumbnail_url.emplace("u");
  m.encryption_key.emplace("k");
  m.iv.emplace("v");
  m.ciphertext_hash.emplace("h");
  m.sticker_provider.emplace("p");
  m.sticker_remote_id.emplace("r");
  m.sticker_kind.emplace("s");
  std::string text = write(media_metadata_to_json, m);
  EXPECT_EQ(text,
            R"({"mime_type":"video/mp4","file_name":"v.mp4","file_size":10,"duration_ms":1,)"
            R"("width":2,"height":3,"thumbnail_base64":"t","media_id":"i",)"
            R"("download_url":"https://x/y","thumbnail_url":"u","encryption_key":"k","iv":"v",)"
            R"("ciphertext_hash":"h","sticker_provider":"p","sticker_remote_id":"r",)"
            R"("sticker_kind":"s"})");
  EXPECT_EQ(media_metadata_from_text(text).value(), m);
}

TEST(ForwardInfoJson, WritingAndReading) {
  const std::string id = "0123abcd-4567-4def-89ab-cdef01234567";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"original_sender":"a","original_message_id":"0123ABCD45674DEF89ABCDEF01234567","original_timestamp":-5,"forward_count":2})",
       R"({"original_sender":"a","original_message_id":")" + id +
           R"(","original_timestamp":-5,"forward_count":2})"},
      {R"({"original_sender":"a","original_message_id":"{0123abcd-4567-4def-89ab-cdef01234567}","original_timestamp":1,"forward_count":1})",
       R"({"original_sender":"a","original_message_id":")" + id +
           R"(","original_timestamp":1,"forward_count":1})"},
      {R"({"original_sender":"","original_message_id":")" + id +
           R"(","original_timestamp":1,"forward_count":1})",
       "Invalid user ID: User ID cannot be empty"},
      {R"({"original_sender":"a","original_message_id":5,"original_timestamp":1,"forward_count":1})",
       "invalid type: integer `5`, expected a UUID string"},
      {R"(["a",")" + id + R"(",1])",
       "invalid length 3, expected struct ForwardInfo with 4 elements"},
      {R"(["a",")" + id + R"(",1,1])", R"({"original_sender":"a","original_message_id":")" + id +
                                           R"(","original_timestamp":1,"forward_count":1})"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(forward_roundtrip(in), want) << in;
}

// One field varied at a time inside an otherwise valid ForwardInfo: the
// user-id check, the four UUID text forms and the integer widths.
TEST(ForwardInfoJson, FieldRules) {
  const std::string id = "0123abcd-4567-4def-89ab-cdef01234567";
  auto record = [&](std::string sender, std::string uuid, std::string ts, std::string count) {
    return R"({"original_sender":)" + sender + R"(,"original_message_id":)" + uuid +
           R"(,"original_timestamp":)" + ts + R"(,"forward_count":)" + count + "}";
  };
  const std::string ok = "accepted";
  struct Case {
    std::string sender, uuid, ts, count, want;
  };
  const std::string q = "\"" + id + "\"";
  const Case cases[] = {
      {"\"" + std::string(256, 'a') + "\"", q, "1", "1", ok},
      {"\"" + std::string(257, 'a') + "\"", q, "1", "1",
       "Invalid user ID: User ID exceeds the maximum length of 256 bytes (257 bytes)"},
      {R"(".")", q, "1", "1", "Invalid user ID: User ID cannot be '.' or '..' (path traversal)"},
      {R"("..")", q, "1", "1", "Invalid user ID: User ID cannot be '.' or '..' (path traversal)"},
      {R"("a\\b")", q, "1", "1",
       "Invalid user ID: User ID contains invalid characters ('/', '\\', or ':')"},
      {R"("a:b")", q, "1", "1",
       "Invalid user ID: User ID contains invalid characters ('/', '\\', or ':')"},
      {R"("a\u0007")", q, "1", "1", "Invalid user ID: User ID contains ASCII control characters"},
      {R"("a")", R"("urn:uuid:0123ABCD-4567-4DEF-89AB-CDEF01234567")", "1", "1", ok},
      {R"("a")", R"("0123abcd45674def89abcdef01234567")", "1", "1", ok},
      {R"("a")", R"("0123abcd-4567")", "1", "1", "UUID parsing failed: "},
      {R"("a")", q, "-5", "4294967295", ok},
      {R"("a")", q, "1", "4294967296", "invalid value: integer `4294967296`, expected u32"},
      {R"("a")", q, "1", "-1", "invalid value: integer `-1`, expected u32"},
      {R"("a")", q, "1", "1.0", "invalid type: floating point `1.0`, expected u32"},
      {R"("a")", q, "9223372036854775808", "1",
       "invalid value: integer `9223372036854775808`, expected i64"},
      {"null", q, "1", "1", "invalid type: null, expected a string"},
  };
  for (const auto& c : cases) {
    std::string text = record(c.sender, c.uuid, c.ts, c.count);
    auto r = forward_info_from_text(text);
    std::string got = r.ok() ? ok : r.error().message;
    EXPECT_EQ(got.substr(0, c.want.size()), c.want) << text;
    if (c.want != ok) {
      EXPECT_FALSE(r.ok()) << text;
    }
  }
  // A key differing only in case is unknown, so the real one is missing.
  EXPECT_EQ(forward_roundtrip(R"({"Original_sender":"a","original_message_id":")" + id +
                              R"(","original_timestamp":1,"forward_count":1})"),
            "missing field `original_sender`");
  EXPECT_EQ(forward_roundtrip("{}"), "missing field `original_sender`");
  EXPECT_EQ(reply_roundtrip("{}"), "missing field `sender`");
}

TEST(ReplyContextJson, WritingAndReading) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(["bob","hi"])", R"({"sender":"bob","text":"hi"})"},
      {R"({"sender":"bob","text":"q","timestamp":-3,"reply_content_type":"sticker"})",
       R"({"sender":"bob","text":"q","timestamp":-3,"reply_content_type":"sticker"})"},
      {R"({"sender":"","text":"q"})", "Invalid user ID: User ID cannot be empty"},
      {R"({"text":"q"})", "missing field `sender`"},
      {R"(["bob"])", "invalid length 1, expected struct ReplyContext with 5 elements"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reply_roundtrip(in), want) << in;
}

TEST(ReplyContextJson, StringEscapes) {
  ReplyContext c{"bob", "a\nb\x1f/\xc3\xa9\"\\", std::nullopt, std::nullopt, std::nullopt};
  EXPECT_EQ(write(reply_context_to_json, c),
            "{\"sender\":\"bob\",\"text\":\"a\\nb\\u001f/\xc3\xa9\\\"\\\\\"}");
}

TEST(SubRecordJson, OptionalReadersTakeNullAsAbsent) {
  JsonReader r(std::string_view("null"));
  auto f = read_optional_forward_info_json(r);
  ASSERT_TRUE(f.ok());
  EXPECT_FALSE(f->has_value());
  JsonReader r2(std::string_view("  \n{\"sender\":\"x\",\"text\":\"\"}\n "));
  auto c = read_optional_reply_context_json(r2);
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c->has_value());
  EXPECT_TRUE(r2.finish().ok());
}

}  // namespace
}  // namespace brenvik
