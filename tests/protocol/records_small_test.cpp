// Seen-set entries, custody receipts, raw telemetry events, platforms, the
// discovery record, username fields and base64 byte fields.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/small_records.h"

namespace brenvik {
namespace {

template <typename Fn>
auto read_text(Fn fn, std::string_view text) {
  JsonReader r(text);
  return fn(r);
}

TEST(SeenIdJson, ReadsAndRefuses) {
  auto ok = read_text(SeenId::from_json, R"({"id":"m1","seen_at_ms":-5})");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, (SeenId{"m1", -5}));
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {R"({"id":"m1","seen_at_ms":1.5})", "invalid type: floating point `1.5`, expected i64"},
      {R"({"id":"m1","seen_at_ms":9223372036854775808})",
       "invalid value: integer `9223372036854775808`, expected i64"},
      {R"({"id":"m1"})", "missing field `seen_at_ms`"},
      {R"({"id":"a","id":"b","seen_at_ms":1})", "duplicate field `id`"},
      {R"(["m1"])", "invalid length 1, expected struct SeenId with 2 elements"},
      {R"(["m1",1,2])", "trailing characters"},
      {R"("m1")", "invalid type: string \"m1\", expected struct SeenId"},
  };
  for (const auto& c : cases) {
    auto r = read_text(SeenId::from_json, c.json);
    ASSERT_FALSE(r.ok()) << c.json;
    EXPECT_EQ(r.error().message.substr(0, std::string(c.error).size()), c.error)
        << c.json << " -> " << r.error().message;
  }
}

TEST(SeenIdJson, RoundTrip) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 100; ++i) {
    SeenId s{"id-" + std::to_string(rng()), static_cast<int64_t>(rng())};
    JsonWriter w;
    s.to_json(w);
    auto back = read_text(SeenId::from_json, w.text());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, s);
  }
}

TEST(CustodyReceiptJson, GenericValueRules) {
  auto parse = [](const char* text) { return CustodyReceipt::from_json(*parse_json(text)); };
  auto ok = parse(R"({"v":1,"id":"x","hold_ms":0,"sig":"extra"})");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, (CustodyReceipt{1, "x", 0}));
  EXPECT_EQ(parse(R"({"v":1,"id":"a","id":"b","hold_ms":0})")->id, "b");
  EXPECT_EQ(parse(R"([2,"y",18446744073709551615])")->hold_ms, 18446744073709551615ULL);
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {R"({"v":256,"id":"x","hold_ms":0})", "invalid value: integer `256`, expected u8"},
      {R"({"v":-1,"id":"x","hold_ms":0})", "invalid value: integer `-1`, expected u8"},
      {R"({"v":1.0,"id":"x","hold_ms":0})", "invalid type: floating point"},
      {R"({"v":1,"id":"x","hold_ms":-3})", "invalid value: integer `-3`, expected u64"},
      {R"({"v":1,"id":7,"hold_ms":0})", "invalid type: integer `7`, expected a string"},
      {R"({"v":1,"hold_ms":0})", "missing field `id`"},
      {R"([1,"x",0,0])", "invalid length 4, expected fewer elements in array"},
      {R"([1,"x"])", "invalid length 2, expected struct CustodyReceipt with 3 elements"},
      {R"("r")", "invalid type: string \"r\", expected struct CustodyReceipt"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.json);
    ASSERT_FALSE(r.ok()) << c.json;
    EXPECT_EQ(r.error().substr(0, std::string(c.error).size()), c.error)
        << c.json << " -> " << r.error();
  }
}

TEST(RawEventJson, SortsDataAndRequiresKey) {
  auto e = read_text(RawEvent::from_json, R"({"type":"t","ts_ms":-1,"data":{"b":1,"a":[2,null]}})");
  ASSERT_TRUE(e.ok());
  JsonWriter w;
  e->to_json(w);
  EXPECT_EQ(w.text(), R"({"type":"t","ts_ms":-1,"data":{"a":[2,null],"b":1}})");
  EXPECT_TRUE(read_text(RawEvent::from_json, R"({"type":"t","ts_ms":1,"data":null})").ok());
  auto missing = read_text(RawEvent::from_json, R"({"type":"t","ts_ms":1})");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "missing field `data`");
  auto back = read_text(RawEvent::from_json, w.text());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, *e);
}

TEST(TelemetryPlatformJson, Spellings) {
  EXPECT_EQ(read_text(read_telemetry_platform, R"("macos")").value(), TelemetryPlatform::Macos);
  EXPECT_EQ(read_text(read_telemetry_platform, R"({"ios":null})").value(), TelemetryPlatform::Ios);
  EXPECT_EQ(read_text(read_telemetry_platform, R"("macOS")").error().message,
            "unknown variant `macOS`, expected one of `ios`, `android`, `linux`, `macos`, "
            "`windows`, `other`");
  for (uint8_t i = 0; i < 6; ++i) {
    std::string text = "\"" + std::string(telemetry_platform_name(TelemetryPlatform(i))) + "\"";
    EXPECT_EQ(read_text(read_telemetry_platform, text).value(), TelemetryPlatform(i));
  }
}

TEST(DiscoveryRecordJson, ExactBytes) {
  DiscoveryRecordV1 d{1, "bob", "addr1", Bytes{1, 2, 3}, Bytes{0xAB, 0x01}, -7, Bytes{0xFF}};
  EXPECT_EQ(
      write_discovery_claim_json(d),
      R"({"v":1,"username":"bob","address":"addr1","pubkey":"AQID","nostr_author":"ab01","issued_at_ms":-7,"sig":"/w=="})");
}

TEST(UsernameFieldJson, NormalizedOnly) {
  EXPECT_EQ(read_text(read_username_field, R"("bob")").value(), "bob");
  EXPECT_FALSE(read_text(read_username_field, "null").value().has_value());
  // Normalization lower-cases, so a capital letter means the stored text
  // was never normalized.
  auto fw = read_text(read_username_field, R"("Bob")");
  ASSERT_FALSE(fw.ok());
  EXPECT_EQ(fw.error().message, "username is not in normalized form");
  auto empty = read_text(read_username_field, R"("")");
  ASSERT_FALSE(empty.ok());
  EXPECT_NE(empty.error().message, "username is not in normalized form");
  auto list = read_text(read_username_list_field, R"(["a","bob"])");
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(*list, (std::vector<std::string>{"a", "bob"}));
  EXPECT_FALSE(read_text(read_username_list_field, R"(["a","Bob"])").ok());
}

TEST(Base64FieldJson, CanonicalOnly) {
  EXPECT_EQ(read_text(read_bytes_base64, R"("AA==")").value(), Bytes{0});
  EXPECT_FALSE(read_text(read_bytes_base64, R"("AA")").ok());
  EXPECT_FALSE(read_text(read_bytes_base64, R"("AB==")").ok());  // unused bits set
  EXPECT_FALSE(read_text(read_bytes_base64, R"("AA ==")").ok());
  JsonWriter w;
  write_bytes_base64(w, Bytes{1, 2, 3});
  EXPECT_EQ(w.text(), R"("AQID")");
}

}  // namespace
}  // namespace brenvik
