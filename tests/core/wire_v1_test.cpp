#include <gtest/gtest.h>

#include <random>

#include "core/wire_v1.h"
#include "random_message.h"
#include "util/base64.h"
#include "util/hex.h"
#include "util/leb128.h"

namespace brenvik {
namespace {

Bytes str_field(std::string_view s) {
  Bytes b(s.size() + 1);
  b[0] = uint8_t(s.size());
  std::copy(s.begin(), s.end(), b.begin() + 1);
  return b;
}

// A frame assembled field by field so that single fields can be replaced.
struct RawFrame {
  Bytes lead{0xF5};
  Bytes id = Bytes(16, 0x11);
  Bytes sender = str_field("alice");
  Bytes recipient = str_field("bob");
  Bytes app_id = str_field("app");
  Bytes priority{2};
  Bytes ttl{8};
  Bytes hop_count{0};
  Bytes timestamp{0x02};
  Bytes lamport{0x05};
  Bytes content_type{0};
  Bytes content = str_field("hi");
  Bytes binary{0};
  Bytes media{0};
  Bytes metadata{0};
  Bytes requires_ack{1};
  Bytes reply_to{0};
  Bytes forwarded{0};
  Bytes extensions{0};

  Bytes bytes() const {
    Bytes out;
    for (const Bytes* part : {&lead, &id, &sender, &recipient, &app_id, &priority, &ttl, &hop_count,
                              &timestamp, &lamport, &content_type, &content, &binary, &media,
                              &metadata, &requires_ack, &reply_to, &forwarded, &extensions}) {
      append(out, *part);
    }
    return out;
  }
};

std::string decode_text(const Bytes& b) {
  auto r = decode_wire_v1(b);
  return r.ok() ? "ok" : r.error().message();
}

Message base_message() {
  Message m;
  m.id = parse_message_id("0123abcd-4567-4def-89ab-cdef01234567").value();
  m.sender = "alice";
  m.recipient = "bob";
  m.app_id = "app";
  return m;
}

TEST(WireV1, MinimalMessageExactBytes) {
  Message m;  // empty strings, no optional fields
  m.priority = MessagePriority::High;
  m.ttl = 8;
  m.timestamp = 1;
  m.lamport_clock = 300;
  m.requires_ack = true;
  Bytes want{0xF5};
  append(want, m.id.bytes);
  append(want, Bytes{0, 0, 0, 2, 8, 0, 0x02, 0xAC, 0x02, 0, 0, 0, 0, 0, 1, 0, 0, 0});
  EXPECT_EQ(encode_wire_v1(m).value(), want);
}

TEST(WireV1, TimestampZigzag) {
  const std::pair<int64_t, Bytes> cases[] = {
      {0, {0x00}}, {-1, {0x01}}, {1, {0x02}}, {63, {0x7E}}, {-64, {0x7F}}, {64, {0x80, 0x01}},
  };
  for (const auto& [ts, want] : cases) {
    Message m;
    m.timestamp = ts;
    Bytes f = encode_wire_v1(m).value();
    // leading byte, id, three empty strings, priority, ttl, hop count.
    EXPECT_EQ(Bytes(f.begin() + 23, f.begin() + 23 + want.size()), want) << ts;
  }
}

TEST(WireV1, Base64TailExtension) {
  Bytes hundred(100);
  for (size_t i = 0; i < hundred.size(); ++i) hundred[i] = uint8_t(i * 7);
  std::string b64_100 = base64_encode(hundred);
  ASSERT_EQ(b64_100.size(), 136u);
  Bytes b46(46, 0xAB);
  std::string b64_46 = base64_encode(b46);  // 64 characters ending "=="
  ASSERT_EQ(b64_46.size(), 64u);
  std::string non_canonical = b64_46;
  non_canonical[61] = 'r';  // spare bits set before "=="
  struct Case {
    std::string content;
    std::string carried_text;
    size_t tail_bytes;  // 0: no extension 1
  };
  const Case cases[] = {
      {std::string(63, 'A'), std::string(63, 'A'), 0},
      {b64_46, "", 46},
      {"___________" + b64_100, "___________", 100},
      {non_canonical, non_canonical, 0},
      {std::string(61, 'A') + "===", std::string(61, 'A') + "===", 0},
      {"short", "short", 0},
      {"é " + std::string(64, 'Q'), "é ", 48},
  };
  for (const auto& c : cases) {
    Message m = base_message();
    m.content = c.content;
    Bytes f = encode_wire_v1(m).value();
    // The content field holds exactly the carried text (length-prefixed,
    // right after the content type byte at a fixed offset for these ids).
    Bytes field;
    leb128_put_u64(field, c.carried_text.size());
    append(field, as_bytes(c.carried_text));
    const size_t content_at = 1 + 16 + 6 + 4 + 4 + 3 + 1 + 1 + 1;
    EXPECT_EQ(Bytes(f.begin() + content_at, f.begin() + content_at + field.size()), field)
        << c.content;
    auto back = decode_wire_v1(f);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(back->content, c.content);
    // The carried text is in the frame, the tail is not (as text).
    bool has_ext = f.back() != 0;
    EXPECT_EQ(has_ext, c.tail_bytes != 0) << c.content;
    if (c.tail_bytes) {
      EXPECT_LT(f.size(), 40 + c.carried_text.size() + c.tail_bytes + 8);
    }
  }
}

TEST(WireV1, WritesSubRecordsAsTheyStand) {
  // Stripping key material is the transport encoding's job, not the frame's.
  Message m = base_message();
  m.media_metadata = MediaMetadata{};
  m.media_metadata->encryption_key = "k";
  m.media_metadata->iv = "v";
  auto back = decode_wire_v1(encode_wire_v1(m).value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, m);
}

TEST(WireV1, MetadataSortedByKeyBytes) {
  Message m = base_message();
  m.metadata = {{"b", "2"}, {"a", "1"}, {"ab", "3"}};
  Bytes f = encode_wire_v1(m).value();
  Bytes want{3, 1, 'a', 1, '1', 2, 'a', 'b', 1, '3', 1, 'b', 1, '2'};
  EXPECT_NE(std::search(f.begin(), f.end(), want.begin(), want.end()), f.end());
}

TEST(WireV1, ReaderMapsOutOfRangeBytesAndIgnoresExtras) {
  RawFrame raw;
  raw.priority = {7};
  raw.content_type = {200};
  auto m = decode_wire_v1(raw.bytes());
  ASSERT_TRUE(m.ok()) << m.error().message();
  EXPECT_EQ(m->priority, MessagePriority::Medium);
  EXPECT_EQ(m->content_type, ContentType::File);
  EXPECT_EQ(m->timestamp, 1);
  EXPECT_EQ(m->lamport_clock, 5u);
  EXPECT_FALSE(m->compact_wire);

  Bytes extra = raw.bytes();
  append(extra, Bytes{0xDE, 0xAD});
  auto m2 = decode_wire_v1(extra);
  ASSERT_TRUE(m2.ok());
  EXPECT_EQ(*m2, *m);

  RawFrame dup;
  dup.metadata = {2, 1, 'k', 1, '1', 1, 'k', 1, '2'};
  EXPECT_EQ(decode_wire_v1(dup.bytes())->metadata.at("k"), "2");

  RawFrame big_clock;
  big_clock.lamport = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  EXPECT_EQ(decode_wire_v1(big_clock.bytes())->lamport_clock, 9223372036854775807ULL);
}

TEST(WireV1, ExtensionsUseFirstEntryPerTag) {
  std::string r1 = R"({"sender":"x","text":"first"})";
  std::string r2 = R"({"sender":"y","text":"second"})";
  RawFrame raw;
  raw.extensions = {3, 3, 1, 0xEE};  // count 3; tag 3 with one byte
  raw.extensions.push_back(2);
  append(raw.extensions, str_field(r1));
  raw.extensions.push_back(2);
  append(raw.extensions, str_field(r2));
  auto m = decode_wire_v1(raw.bytes());
  ASSERT_TRUE(m.ok()) << m.error().message();
  ASSERT_TRUE(m->reply_context);
  EXPECT_EQ(m->reply_context->text, "first");
}

TEST(WireV1, DecodeFailures) {
  const std::string media = R"({"mime_type":"a","file_name":"b","file_size":1})";
  auto with = [](auto change) {
    RawFrame f;
    change(f);
    return f.bytes();
  };
  const std::pair<Bytes, std::string> cases[] = {
      {{}, "Deserialization error: not a wire v1 frame: empty input"},
      {{0x7B}, "Deserialization error: not a wire v1 frame: unexpected leading byte 0x7B"},
      {{0xF5}, "Deserialization error: wire v1 decode: unexpected end of input"},
      {with([](RawFrame& f) { f.requires_ack = {2}; }),
       "Deserialization error: wire v1 decode: boolean byte 0x02 is neither 0 nor 1"},
      {with([](RawFrame& f) { f.binary = {2}; }),
       "Deserialization error: wire v1 decode: option byte 0x02 is neither 0 nor 1"},
      {with([](RawFrame& f) {
         f.content = {2, 'a', 0xFF};
       }),
       "Deserialization error: wire v1 decode: string is not valid UTF-8: invalid utf-8 "
       "sequence of 1 bytes from index 1"},
      {with([](RawFrame& f) {
         f.lamport = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02};
       }),
       "Deserialization error: wire v1 decode: varint does not terminate within its maximum "
       "length"},
      {with([](RawFrame& f) { f.lamport = Bytes(11, 0x80); }),
       "Deserialization error: wire v1 decode: varint does not terminate within its maximum "
       "length"},
      {with([](RawFrame& f) {
         f.extensions = {1, 0x80, 0x80, 0x04, 0};
       }),
       "Deserialization error: wire v1 decode: varint does not terminate within its maximum "
       "length"},
      // A count the input cannot hold fails early, without reserving for it.
      {with([](RawFrame& f) {
         f.metadata = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
       }),
       "Deserialization error: wire v1 decode: unexpected end of input"},
      {with([](RawFrame& f) { f.binary = {1, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}; }),
       "Deserialization error: wire v1 decode: unexpected end of input"},
      {with([&](RawFrame& f) {
         f.media = {1};
         append(f.media, str_field(media + " "));
       }),
       "ok"},
      {with([&](RawFrame& f) {
         f.media = {1};
         append(f.media, str_field(media + "x"));
       }),
       "Deserialization error: media_metadata: trailing characters at line 1 column " +
           std::to_string(media.size() + 1)},
      {with([&](RawFrame& f) {
         f.media = {1};
         append(f.media, str_field("null"));
       }),
       "Deserialization error: media_metadata: invalid type: null, expected struct "
       "MediaMetadata at line 1 column 4"},
      {with([](RawFrame& f) {
         f.forwarded = {1};
         append(f.forwarded, str_field("{}"));
       }),
       "Deserialization error: forwarded_from: missing field `original_sender` at line 1 column 2"},
      {with([](RawFrame& f) {
         f.extensions = {1, 2};
         append(f.extensions, str_field("[1]"));
       }),
       "Deserialization error: reply_context: invalid type: integer `1`, expected a string at "
       "line 1 column 2"},
      {with([](RawFrame& f) { f.sender = str_field(""); }),
       "Invalid user ID: User ID cannot be empty"},
      {with([](RawFrame& f) { f.recipient = str_field("a/b"); }),
       "Invalid user ID: User ID contains invalid characters ('/', '\\', or ':')"},
      {with([](RawFrame& f) { f.app_id = str_field(".."); }),
       "Invalid app ID: App ID cannot be '.' or '..' (path traversal)"},
  };
  for (const auto& [bytes, want] : cases) EXPECT_EQ(decode_text(bytes), want) << hex_encode(bytes);
}

TEST(WireV1, EveryTruncationFailsWithEarlyEnd) {
  Message m = base_message();
  m.content = "___________" + base64_encode(Bytes(100, 3));
  m.binary_content = Bytes{1, 2, 3};
  m.media_metadata = MediaMetadata{};
  m.media_metadata->mime_type = "m";
  m.metadata = {{"k", "v"}};
  m.reply_to_msg = m.id;
  m.forwarded_from = ForwardInfo{"carol", m.id, -9, 2};
  m.reply_context = ReplyContext{"dave", "q", 5, std::nullopt, "text"};
  Bytes f = encode_wire_v1(m).value();
  for (size_t n = 1; n < f.size(); ++n) {
    EXPECT_EQ(decode_text(Bytes(f.begin(), f.begin() + n)),
              "Deserialization error: wire v1 decode: unexpected end of input")
        << n;
  }
  EXPECT_EQ(decode_wire_v1(f).value(), m);
}

}  // namespace

namespace {

TEST(WireV1, RandomMessagesRoundTrip) {
  std::mt19937_64 rng(2024);
  for (int i = 0; i < 2000; ++i) {
    Message m = testing::random_message(rng);
    Bytes f = encode_wire_v1(m).value();
    auto back = decode_wire_v1(f);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(*back, m);
  }
}

}  // namespace
}  // namespace brenvik
