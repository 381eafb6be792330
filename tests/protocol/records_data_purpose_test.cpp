// Data purposes of media transfers and the string-collection and
// failure-code fields of stored data-store and welcome records.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/data_purpose_json.h"
#include "random_message.h"

namespace brenvik {
namespace {

std::string reread(std::string_view text) {
  auto p = read_data_purpose_json(as_bytes(text));
  return p.ok() ? write_data_purpose_json(*p) : p.error().to_string();
}

TEST(DataPurposeJson, ReadsAndWritesBack) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"p":"snapshot","doc":"d1"})", R"({"p":"snapshot","doc":"d1"})"},
      {R"({"doc":"d1","p":"snapshot"})", R"({"p":"snapshot","doc":"d1"})"},
      {R"({"p":"attachment","hash":"h","doc":"ignored","x":[1,{}]})",
       R"({"p":"attachment","hash":"h"})"},
      {R"(["attachment","h"])", R"({"p":"attachment","hash":"h"})"},
      {"{\"p\":\"snapshot\",\"doc\":\"a\\\"\"} \r\n\t", R"({"p":"snapshot","doc":"a\""})"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

TEST(DataPurposeJson, Refusals) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"p":"snapshot","hash":"h"})", "missing field `doc` at line 1 column 27"},
      {R"({"p":"Snapshot","doc":"d"})",
       "unknown variant `Snapshot`, expected `attachment` or `snapshot` at line 1 column 15"},
      {R"({"doc":"d"})", "missing field `p` at line 1 column 11"},
      {R"({"p":"snapshot","p":"snapshot","doc":"d"})", "duplicate field `p` at line 1 column 19"},
      {R"({"p":"snapshot","doc":"a","doc":"b"})", "duplicate field `doc` at line 1 column 31"},
      {R"({"p":"snapshot","doc":7})",
       "invalid type: integer `7`, expected a string at line 1 column 23"},
      {R"(["snapshot"])",
       "invalid length 0, expected struct variant DataPurpose::Snapshot with 1 element at line 1 "
       "column 12"},
      {R"(null)",
       "invalid type: null, expected internally tagged enum DataPurpose at line 1 column 4"},
      {R"({"p":"snapshot","doc":"d"}x)", "trailing characters at line 1 column 27"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

TEST(DataPurposeJson, DescriptorFieldTakesNullAsNoPurpose) {
  for (const char* text : {"null", "  null"}) {
    JsonReader r(std::string_view{text});
    auto p = read_data_purpose_field(r);
    ASSERT_TRUE(p.ok()) << text;
    EXPECT_FALSE(p->has_value());
  }
  JsonReader r(std::string_view(R"({"p":"attachment","hash":"h"})"));
  auto p = read_data_purpose_field(r);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(*p, (DataPurpose{DataPurpose::Attachment{"h"}}));
}

TEST(DataPurposeJson, RandomRoundTrip) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 500; ++i) {
    std::string s = testing::random_text(rng, 12);
    DataPurpose p =
        rng() % 2 ? DataPurpose{DataPurpose::Attachment{s}} : DataPurpose{DataPurpose::Snapshot{s}};
    std::string text = write_data_purpose_json(p);
    auto back = read_data_purpose_json(as_bytes(text));
    ASSERT_TRUE(back.ok()) << text;
    EXPECT_EQ(*back, p);
  }
}

template <typename Fn>
std::string field(Fn fn, std::string_view text) {
  JsonReader r(text);
  auto v = fn(r);
  if (!v.ok()) return v.error().to_string();
  std::string out;
  if constexpr (requires { v->has_value(); }) {
    out = v->has_value() ? std::string(enum_json_text(**v)) : "none";
  } else {
    for (const auto& s : *v) out += s + ";";
  }
  return out;
}

TEST(StoredStringFields, DocsAreASetQuarantinedAList) {
  EXPECT_EQ(field(read_string_set_field, R"([ "b", "a", "b" ])"), "a;b;");
  EXPECT_EQ(field(read_string_list_field, R"(["x","x"])"), "x;x;");
  EXPECT_EQ(field(read_string_list_field, "[]"), "");
  EXPECT_EQ(field(read_string_set_field, R"(["a",1])"),
            "invalid type: integer `1`, expected a string at line 1 column 6");
  EXPECT_EQ(field(read_string_list_field, R"("x")"),
            "invalid type: string \"x\", expected a sequence at line 1 column 3");
  EXPECT_EQ(field(read_string_set_field, "null"),
            "invalid type: null, expected a sequence at line 1 column 4");
}

TEST(StoredStringFields, LastReasonCode) {
  const std::pair<const char*, const char*> cases[] = {
      {R"("TIMEOUT")", "TIMEOUT"},
      {R"({"TIMEOUT":null})", "TIMEOUT"},
      {R"("RETRY_EXHAUSTED")", "RETRY_EXHAUSTED"},
      {"null", "none"},
      {R"("timeout")",
       "unknown variant `timeout`, expected one of `TRANSPORT_UNAVAILABLE`, `PEER_UNREACHABLE`, "
       "`PEER_DISCONNECTED`, `TIMEOUT`, `INTERNAL_ERROR`, `RETRY_EXHAUSTED` at line 1 column 9"},
      {"3", "invalid type: integer `3`, expected enum FailureReasonCode at line 1 column 1"},
  };
  for (const auto& [in, want] : cases)
    EXPECT_EQ(field(read_failure_reason_code_field, in), want) << in;
  for (auto code : {std::optional<WelcomeFailureReason>(),
                    std::optional(WelcomeFailureReason::PeerDisconnected)}) {
    JsonWriter w;
    w.begin_object();
    write_failure_reason_code_field(w, "c", code);
    w.end_object();
    JsonReader r(w.text());
    ASSERT_TRUE(r.begin_object().ok());
    std::string_view key;
    ASSERT_TRUE(r.next_key(key).value());
    EXPECT_EQ(read_failure_reason_code_field(r).value(), code) << w.text();
  }
}

}  // namespace
}  // namespace brenvik
