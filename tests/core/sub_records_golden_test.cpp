// Golden bytes of the media, forward and reply records: every case reads a
// text and gives either the record written back or the reader's refusal with
// its position, so that the writer's bytes and the reader's texts are pinned
// together whatever the two are built from.
#include <gtest/gtest.h>

#include "core/sub_records_json.h"

namespace brenvik {
namespace {

struct Golden {
  const char* in;
  const char* out;
};

template <typename T>
std::string roundtrip(Result<T, JsonError> (*read)(std::string_view),
                      void (*write)(JsonWriter&, const T&), std::string_view text) {
  auto r = read(text);
  if (!r.ok()) return r.error().to_string();
  JsonWriter w;
  write(w, *r);
  return w.take();
}

TEST(SubRecordsGolden, MediaMetadata) {
  const Golden cases[] = {
      {R"({"sticker_kind":"p","sticker_remote_id":"o","sticker_provider":"n","ciphertext_hash":"m","iv":"l","encryption_key":"k","thumbnail_url":"j","download_url":"i","media_id":"h","thumbnail_base64":"g","height":6,"width":5,"duration_ms":4,"file_size":3,"file_name":"b","mime_type":"a"})",
       "{\"mime_type\":\"a\",\"file_name\":\"b\",\"file_size\":3,\"duration_ms\":4,\"width\":5,"
       "\"height\":6,\"thumbnail_base64\":\"g\",\"media_id\":\"h\",\"download_url\":\"i\","
       "\"thumbnail_url\":\"j\",\"encryption_key\":\"k\",\"iv\":\"l\",\"ciphertext_hash\":\"m\","
       "\"sticker_provider\":\"n\",\"sticker_remote_id\":\"o\",\"sticker_kind\":\"p\"}"},
      {R"(["a","b",3,4,5,6,"g","h","i","j","k","l","m","n","o","p"])",
       "{\"mime_type\":\"a\",\"file_name\":\"b\",\"file_size\":3,\"duration_ms\":4,\"width\":5,"
       "\"height\":6,\"thumbnail_base64\":\"g\",\"media_id\":\"h\",\"download_url\":\"i\","
       "\"thumbnail_url\":\"j\",\"encryption_key\":\"k\",\"iv\":\"l\",\"ciphertext_hash\":\"m\","
       "\"sticker_provider\":\"n\",\"sticker_remote_id\":\"o\",\"sticker_kind\":\"p\"}"},
      {R"(["a","b",3,null,null,6])",
       "{\"mime_type\":\"a\",\"file_name\":\"b\",\"file_size\":3,\"height\":6}"},
      {R"({"mime_type":"a","file_name":"b","file_size":0,"duration_ms":null,"iv":null})",
       "{\"mime_type\":\"a\",\"file_name\":\"b\",\"file_size\":0}"},
      {R"({"file_name":"b","file_size":1})", "missing field `mime_type` at line 1 column 31"},
      {R"({"mime_type":"a","file_name":"b"})", "missing field `file_size` at line 1 column 33"},
      {R"({"mime_type":"a","file_name":"b","file_size":1,"sticker_kind":"x","sticker_kind":"y"})",
       "duplicate field `sticker_kind` at line 1 column 80"},
      {R"({"mime_type":"a","file_name":"b","file_size":1,"width":"x"})",
       "invalid type: string \"x\", expected u32 at line 1 column 58"},
      {R"({"mime_type":"a","file_name":"b","file_size":1,"height":-1})",
       "invalid value: integer `-1`, expected u32 at line 1 column 58"},
      {R"({"mime_type":"a","file_name":"b","file_size":1,"duration_ms":1.0})",
       "invalid type: floating point `1.0`, expected u64 at line 1 column 64"},
      {R"({"mime_type":"a","file_name":"b","file_size":1,"thumbnail_url":5})",
       "invalid type: integer `5`, expected a string at line 1 column 64"},
      {R"(["a"])",
       "invalid length 1, expected struct MediaMetadata with 16 elements at line 1 column 5"},
      {"[]", "invalid length 0, expected struct MediaMetadata with 16 elements at line 1 column 2"},
      {"null", "invalid type: null, expected struct MediaMetadata at line 1 column 4"},
      {"\"a\"", "invalid type: string \"a\", expected struct MediaMetadata at line 1 column 3"},
      {R"({"mime_type":"a","file_name":"b","file_size":1,"zz":{"a":[1,2]}})",
       "{\"mime_type\":\"a\",\"file_name\":\"b\",\"file_size\":1}"},
      {"{\"mime_type\":\"\\u00e9\\n\\\"\",\"file_name\":\"/\\u007f\",\"file_size\":1}",
       "{\"mime_type\":\"\xC3\xA9\\n\\\"\",\"file_name\":\"/\x7F\",\"file_size\":1}"},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(roundtrip(media_metadata_from_text, media_metadata_to_json, cases[i].in),
              cases[i].out)
        << "case " << i << ": " << cases[i].in;
}

TEST(SubRecordsGolden, ForwardInfo) {
  const Golden cases[] = {
      {R"({"forward_count":2,"original_timestamp":-5,"original_message_id":"00000000-0000-4000-8000-00000000000A","original_sender":"alice"})",
       "{\"original_sender\":\"alice\",\"original_message_id\":\"00000000-0000-4000-8000-"
       "00000000000a\",\"original_timestamp\":-5,\"forward_count\":2}"},
      {R"(["bob","{00000000-0000-4000-8000-0000000000ff}",7,0])",
       "{\"original_sender\":\"bob\",\"original_message_id\":\"00000000-0000-4000-8000-"
       "0000000000ff\",\"original_timestamp\":7,\"forward_count\":0}"},
      {R"(["bob","0000000000004000800000000000000b",7,4294967295])",
       "{\"original_sender\":\"bob\",\"original_message_id\":\"00000000-0000-4000-8000-"
       "00000000000b\",\"original_timestamp\":7,\"forward_count\":4294967295}"},
      {R"(["bob","urn:uuid:00000000-0000-4000-8000-00000000000c",7,1])",
       "{\"original_sender\":\"bob\",\"original_message_id\":\"00000000-0000-4000-8000-"
       "00000000000c\",\"original_timestamp\":7,\"forward_count\":1}"},
      {R"(["bob","not-a-uuid",7,1])", "UUID parsing failed: invalid length at line 1 column 19"},
      {R"(["bob",5,7,1])", "invalid type: integer `5`, expected a UUID string at line 1 column 8"},
      {R"(["",  "00000000-0000-4000-8000-00000000000c",7,1])",
       "Invalid user ID: User ID cannot be empty at line 1 column 3"},
      {R"(["bob","00000000-0000-4000-8000-00000000000c",7,4294967296])",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 58"},
      {R"(["bob","00000000-0000-4000-8000-00000000000c",7])",
       "invalid length 3, expected struct ForwardInfo with 4 elements at line 1 column 48"},
      {R"({"original_sender":"bob","original_message_id":"00000000-0000-4000-8000-00000000000c","original_timestamp":1})",
       "missing field `forward_count` at line 1 column 109"},
      {R"({"original_sender":"bob","original_sender":"bob"})",
       "duplicate field `original_sender` at line 1 column 42"},
      {"null", "invalid type: null, expected struct ForwardInfo at line 1 column 4"},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(roundtrip(forward_info_from_text, forward_info_to_json, cases[i].in), cases[i].out)
        << "case " << i << ": " << cases[i].in;
}

TEST(SubRecordsGolden, ReplyContext) {
  const Golden cases[] = {
      {R"({"reply_content_type":"image","reply_media_label":"photo","timestamp":-1,"text":"hi","sender":"carol"})",
       "{\"sender\":\"carol\",\"text\":\"hi\",\"timestamp\":-1,\"reply_media_label\":\"photo\","
       "\"reply_content_type\":\"image\"}"},
      {R"(["carol","hi"])", "{\"sender\":\"carol\",\"text\":\"hi\"}"},
      {R"(["carol","hi",null,null,"x"])",
       "{\"sender\":\"carol\",\"text\":\"hi\",\"reply_content_type\":\"x\"}"},
      {R"({"sender":"carol","text":"hi","timestamp":9223372036854775807})",
       "{\"sender\":\"carol\",\"text\":\"hi\",\"timestamp\":9223372036854775807}"},
      {R"({"sender":"carol","text":"hi","timestamp":9223372036854775808})",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 61"},
      {R"({"sender":"carol"})", "missing field `text` at line 1 column 18"},
      {R"({"text":"hi","sender":"a b"})", "{\"sender\":\"a b\",\"text\":\"hi\"}"},
      {R"(["carol"])",
       "invalid length 1, expected struct ReplyContext with 5 elements at line 1 column 9"},
      {R"(["carol","hi",1,"a","b","c"])", "trailing characters at line 1 column 25"},
      {"true", "invalid type: boolean `true`, expected struct ReplyContext at line 1 column 4"},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(roundtrip(reply_context_from_text, reply_context_to_json, cases[i].in), cases[i].out)
        << "case " << i << ": " << cases[i].in;
}

}  // namespace
}  // namespace brenvik
