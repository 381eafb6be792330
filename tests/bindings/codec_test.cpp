// Value codec: exact byte forms and exact failure texts.
#include <gtest/gtest.h>

#include "bindings/codec.h"
#include "bindings/ffi_types.h"
#include "ffi_test_util.h"

namespace brenvik::ffi {
namespace {
using testing::be32;
using testing::cat;
using testing::str_field;

template <typename T>
std::string read_failure(const Bytes& bytes) {
  auto r = read_exact<T>(bytes);
  EXPECT_FALSE(r.ok());
  return r.ok() ? std::string("<no failure>") : r.error();
}

struct FailureCase {
  const char* name;
  std::string (*read)(const Bytes&);
  Bytes bytes;
  std::string expected;
};

TEST(ValueCodec, ReadFailuresCarryExactTexts) {
  const std::vector<FailureCase> cases = {
      {"optional tag only",
       &read_failure<std::optional<std::string>>,
       {1},
       "not enough bytes remaining in buffer (0 < 4)"},
      {"optional tag 2",
       &read_failure<std::optional<std::string>>,
       {2},
       "unexpected tag byte for Option"},
      {"negative string length",
       &read_failure<std::string>,
       {0xFF, 0xFF, 0xFF, 0xFF},
       "number too small to fit in target type"},
      {"negative sequence count", &read_failure<std::vector<std::string>>, be32(-2),
       "number too small to fit in target type"},
      {"second string missing", &read_failure<std::vector<std::string>>,
       cat({be32(2), str_field("a")}), "not enough bytes remaining in buffer (0 < 4)"},
      {"string body short", &read_failure<std::string>, cat({be32(5), {'a', 'b'}}),
       "not enough bytes remaining in buffer (2 < 5)"},
      {"bytes body short", &read_failure<Bytes>, cat({be32(5), {1, 2, 3}}),
       "not enough bytes remaining in buffer (3 < 5)"},
      {"invalid utf-8", &read_failure<std::string>, cat({be32(2), {0xC3, 0x28}}),
       "invalid utf-8 sequence of 1 bytes from index 0"},
      {"incomplete utf-8", &read_failure<std::string>, cat({be32(2), {'a', 0xE2}}),
       "incomplete utf-8 byte sequence from index 1"},
      {"bool 2", &read_failure<bool>, {2}, "unexpected byte for Boolean"},
      {"enum 0", &read_failure<MessagePriority>, be32(0), "Invalid MessagePriority enum value: 0"},
      {"priority 5", &read_failure<MessagePriority>, be32(5),
       "Invalid MessagePriority enum value: 5"},
      {"content type 10", &read_failure<ContentType>, be32(10),
       "Invalid ContentType enum value: 10"},
      {"transport 6", &read_failure<TransportType>, be32(6), "Invalid TransportType enum value: 6"},
      {"presence 4", &read_failure<PresenceStatus>, be32(4),
       "Invalid PresenceStatus enum value: 4"},
      {"overflow 3", &read_failure<OverflowPolicy>, be32(3),
       "Invalid OverflowPolicy enum value: 3"},
      {"verbosity 4", &read_failure<MlsVerbosity>, be32(4), "Invalid MlsVerbosity enum value: 4"},
      {"os 7", &read_failure<TelemetryOs>, be32(7), "Invalid TelemetryOs enum value: 7"},
      {"app state -1", &read_failure<AppState>, be32(-1), "Invalid AppState enum value: -1"},
      {"relay priority 4", &read_failure<RelayPriority>, be32(4),
       "Invalid RelayPriority enum value: 4"},
      {"priority 3 bytes",
       &read_failure<MessagePriority>,
       {0, 0, 2},
       "not enough bytes remaining in buffer (3 < 4)"},
      {"priority junk",
       &read_failure<MessagePriority>,
       {0, 0, 0, 2, 9},
       "junk data left in buffer after lifting (count: 1)"},
      {"u64 short",
       &read_failure<uint64_t>,
       {1, 2, 3},
       "not enough bytes remaining in buffer (3 < 8)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.read(c.bytes), c.expected) << c.name;
}

TEST(ValueCodec, WritesTheDocumentedBytes) {
  ForwardInfo fi{"a", "b", 1, 2};
  EXPECT_EQ(write_value(fi),
            (Bytes{0, 0, 0, 1, 'a', 0, 0, 0, 1, 'b', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2}));
  EXPECT_EQ(write_value(std::vector<std::string>{"a", "bc"}),
            (Bytes{0, 0, 0, 2, 0, 0, 0, 1, 'a', 0, 0, 0, 2, 'b', 'c'}));
  EXPECT_EQ(write_value(std::optional<std::string>{}), Bytes{0});
  EXPECT_EQ(write_value(std::optional<std::string>{""}), (Bytes{1, 0, 0, 0, 0}));
  EXPECT_EQ(write_value(MessagePriority::Medium), (Bytes{0, 0, 0, 2}));
  EXPECT_EQ(write_value(-2.5f), (Bytes{0xC0, 0x20, 0, 0}));
  EXPECT_EQ(write_value(int16_t(-85)), (Bytes{0xFF, 0xAB}));
  // The fallback relay configuration: 30, enabled, Normal.
  EXPECT_EQ(write_value(RelayConfig{30, true, RelayPriority::Normal}),
            (Bytes{0x1E, 0x01, 0x00, 0x00, 0x00, 0x02}));
  EXPECT_EQ(write_value(LockDiagnostics{}).size(), 17u);
}

TEST(ValueCodec, RecordsRoundTripInDeclaredOrder) {
  RichMessageOptions o;
  o.priority = MessagePriority::High;
  o.reply_context = ReplyContext{"alice", "hi", int64_t(-5), std::nullopt, "text"};
  o.media_metadata = MediaMetadata{};
  o.media_metadata->mime_type = "image/png";
  o.media_metadata->width = 640u;
  o.forward_info = ForwardInfo{"bob", "id", 7, 3};
  o.app_id = "app";
  Bytes b = write_value(o);
  auto back = read_exact<RichMessageOptions>(b);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(*back, o);
  // Every prefix of a record is refused, never read past its end.
  for (size_t n = 0; n < b.size(); ++n) {
    EXPECT_FALSE(read_exact<RichMessageOptions>(ByteView(b.data(), n)).ok()) << n;
  }
  // All seven tags absent is the smallest record.
  EXPECT_TRUE(read_exact<RichMessageOptions>(Bytes(7, 0)).ok());
}

TEST(ValueCodec, MapKeepsTheLaterValueOfARepeatedKey) {
  Bytes b = cat({be32(2), str_field("a"), str_field("1"), str_field("a"), str_field("2")});
  auto m = read_exact<std::map<std::string, std::string>>(b);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->size(), 1u);
  EXPECT_EQ(m->at("a"), "2");
}

TEST(ValueCodec, HugeCountsDoNotAllocateBeyondTheBuffer) {
  // A count of 2^31-1 strings in a 4-byte buffer fails on the first element.
  EXPECT_EQ(read_failure<std::vector<std::string>>(be32(0x7FFFFFFF)),
            "not enough bytes remaining in buffer (0 < 4)");
  EXPECT_EQ(read_failure<Bytes>(be32(0x7FFFFFFF)),
            "not enough bytes remaining in buffer (0 < 2147483647)");
}

TEST(ValueCodec, EnumVariantNamesAreTheSystemNames) {
  EXPECT_EQ(variant_name(MessagePriority::Critical), "Critical");
  EXPECT_EQ(variant_name(TransportType::WiFiDirect), "WiFiDirect");
  EXPECT_EQ(variant_name(SessionEstablishmentState::SessionPending), "SessionPending");
  EXPECT_EQ(variant_name(LifecycleState::Paused), "Paused");
}

}  // namespace
}  // namespace brenvik::ffi
