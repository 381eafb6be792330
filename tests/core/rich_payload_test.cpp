#include <gtest/gtest.h>

#include "core/rich_payload.h"
#include "util/log.h"

namespace brenvik {
namespace {

TEST(RichPayload, Parse) {
  const std::string id = "0123abcd-4567-4def-89ab-cdef01234567";
  struct Case {
    std::string content;
    bool parsed;
    size_t warnings;
    std::optional<ContentType> content_type;
    std::string warning_start;
  };
  const std::string fail = "Failed to parse sealed rich payload, surfacing raw text sender=\"bob\"";
  const Case cases[] = {
      {R"(__RICH_V1__{"text":"hi"})", true, 0, std::nullopt, ""},
      {R"(__RICH_V1__{"text":"hi","content_type":null})", true, 0, std::nullopt, ""},
      {"__RICH_V1__", false, 1, std::nullopt, fail + " error=\"EOF while parsing a value"},
      {"__RICH_V1__null", false, 1, std::nullopt, fail},
      {R"(__RICH_V1__"text")", false, 1, std::nullopt, fail},
      {R"(__RICH_V1__{"content_type":"text"})", false, 1, std::nullopt,
       fail + " error=\"missing field `text`"},
      {R"(__RICH_V1__{"text":"a","text":"b"})", false, 1, std::nullopt,
       fail + " error=\"duplicate field `text`"},
      {R"(__RICH_V1__{"text":"a","content_type":"file_chunk"})", true, 1, std::nullopt,
       "Sealed rich payload claims the internal FileChunk content type, ignoring the hint "
       "sender=\"bob\""},
      {R"(__RICH_V1__{"text":"a","content_type":"sticker"})", true, 0, ContentType::File, ""},
      {R"(__RICH_V1__{"text":"a","content_type":3})", false, 1, std::nullopt, fail},
      {R"(__RICH_V1__{"x":{"y":[1,2]},"text":"a"})", true, 0, std::nullopt, ""},
      {"__RICH_V1__{\"text\":\"a\"} \n", true, 0, std::nullopt, ""},
      {R"(__RICH_V1__{"text":"a"}{})", false, 1, std::nullopt,
       fail + " error=\"trailing characters"},
      {R"(__RICH_V1__["a",null,null,null,"poll"])", true, 0, ContentType::Poll, ""},
      {R"(__RICH_V1__["a",null,null,null,"poll",1])", false, 1, std::nullopt, fail},
      {R"(__RICH_V1__{"text":"a","forward_info":{"original_sender":"c"}})", false, 1, std::nullopt,
       fail},
      {R"(__RICH_V1_{"text":"a"})", false, 0, std::nullopt, ""},
      {R"(__rich_v1__{"text":"a"})", false, 0, std::nullopt, ""},
      {"__RICH", false, 0, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    ScopedLogCapture logs;
    auto p = RichPayloadV1::parse(c.content, "bob");
    EXPECT_EQ(p.has_value(), c.parsed) << c.content;
    if (p) {
      EXPECT_EQ(p->content_type, c.content_type) << c.content;
    }
    auto entries = logs.entries();
    ASSERT_EQ(entries.size(), c.warnings) << c.content;
    if (c.warnings) {
      EXPECT_EQ(entries[0].level, LogLevel::Warn);
      EXPECT_EQ(entries[0].target, "brenvik_protocol::protocol::types");
      EXPECT_EQ(entries[0].message.rfind(c.warning_start, 0), 0u) << entries[0].message;
    }
  }
}

TEST(RichPayload, WriteThenParse) {
  RichPayloadV1 p;
  p.text = "look";
  p.reply_context = ReplyContext{"carol", "q", 5, std::nullopt, "image"};
  p.media_metadata = MediaMetadata{};
  p.media_metadata->mime_type = "image/png";
  p.forward_info = ForwardInfo{"dave", MessageId{}, -1, 2};
  p.content_type = ContentType::Image;
  std::string content = p.to_content();
  EXPECT_EQ(content.rfind(R"(__RICH_V1__{"text":"look","reply_context":{)", 0), 0u);
  EXPECT_TRUE(content.ends_with(R"(,"content_type":"image"})")) << content;
  EXPECT_EQ(RichPayloadV1::parse(content, "x"), p);
}

TEST(RichPayload, ExtrasSizeLimit) {
  Message m;
  EXPECT_EQ(media_rich_extras_json(m), "{}");
  EXPECT_TRUE(encode_rich_extras(m).ok());

  // {"reply_context":{"sender":"s","text":"<n>"}} is 42 bytes plus n.
  m.reply_context = ReplyContext{"s", "", std::nullopt, std::nullopt, std::nullopt};
  const size_t overhead = media_rich_extras_json(m).size();
  ASSERT_EQ(overhead, 42u);
  m.reply_context->text.assign(kMaxRichExtrasBytes - overhead, 'x');
  EXPECT_EQ(media_rich_extras_json(m).size(), 32768u);
  EXPECT_TRUE(encode_rich_extras(m).ok());
  m.reply_context->text.push_back('x');
  auto r = encode_rich_extras(m);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Rich extras too large: 32769 bytes serialized (max 32768)");

  Message all;
  all.reply_context = ReplyContext{"s", "t", std::nullopt, std::nullopt, std::nullopt};
  all.media_metadata = MediaMetadata{};
  all.forwarded_from = ForwardInfo{"f", MessageId{}, 0, 1};
  std::string j = media_rich_extras_json(all);
  EXPECT_LT(j.find("reply_context"), j.find("media_metadata"));
  EXPECT_LT(j.find("media_metadata"), j.find("forward_info"));
}

}  // namespace
}  // namespace brenvik
