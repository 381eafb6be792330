// Data values as the host exchanges them with the data store: the tagged
// object and array forms, every refusal with its text and position, the
// written form of floats and attachments, and random round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "protocol/records/data_value_json.h"
#include "random_message.h"

namespace brenvik {
namespace {

// The value written back, or the refusal with its position.
std::string reread(std::string_view text) {
  auto v = read_data_value_json(text);
  return v.ok() ? write_data_value_json(*v) : v.error().to_string();
}

TEST(DataValueJson, ReadsAndWritesBack) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"kind":"null"})", R"({"kind":"null"})"},
      {R"({"value":[1,"x"],"kind":"null"})", R"({"kind":"null"})"},
      {R"({"kind":"bool","value":true})", R"({"kind":"bool","value":true})"},
      {R"({"value":-9223372036854775808,"kind":"int"})",
       R"({"kind":"int","value":-9223372036854775808})"},
      {R"({"kind":"int","value":9223372036854775807})",
       R"({"kind":"int","value":9223372036854775807})"},
      {R"({"kind":"float","value":3})", R"({"kind":"float","value":3.0})"},
      {R"({"kind":"float","value":-0})", R"({"kind":"float","value":-0.0})"},
      {R"({"kind":"float","value":0.1})", R"({"kind":"float","value":0.1})"},
      {R"({"kind":"text","value":"a\"b\u0001\u00e9"})",
       "{\"kind\":\"text\",\"value\":\"a\\\"b\\u0001\xc3\xa9\"}"},
      {R"({"kind":"bytes","value":[0,255]})", R"({"kind":"bytes","value":[0,255]})"},
      {R"({"kind":"bytes","value":[]})", R"({"kind":"bytes","value":[]})"},
      {R"({"kind":"attachment","hash":"h","size":18446744073709551615})",
       R"({"kind":"attachment","hash":"h","size":18446744073709551615})"},
      {R"({"kind":"attachment","hash":"h","size":1,"name":null,"mime":""})",
       R"({"kind":"attachment","hash":"h","size":1,"mime":""})"},
      {R"({"kind":"text","value":"x","extra":{"deep":[null]}})", R"({"kind":"text","value":"x"})"},
      {"{\"kind\":\"int\",\"value\":1}\n \t\r", R"({"kind":"int","value":1})"},
      // Array form: the tag, then the variant's fields in declared order.
      {R"(["text","x"])", R"({"kind":"text","value":"x"})"},
      {R"(["null"])", R"({"kind":"null"})"},
      {R"(["attachment","h",2,"n",null])",
       R"({"kind":"attachment","hash":"h","size":2,"name":"n"})"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

TEST(DataValueJson, Refusals) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"value":1})", "missing field `kind` at line 1 column 11"},
      {R"({"kind":"int","kind":"int","value":1})", "duplicate field `kind` at line 1 column 20"},
      {R"({"kind":"Text","value":"x"})",
       "unknown variant `Text`, expected one of `null`, `bool`, `int`, `float`, `text`, `bytes`, "
       "`attachment` at line 1 column 14"},
      {R"({"kind":1})",
       "invalid type: integer `1`, expected a variant tag string at line 1 column 9"},
      {R"({"kind":"int"})", "missing field `value` at line 1 column 14"},
      {R"({"kind":"int","value":1,"value":2})", "duplicate field `value` at line 1 column 31"},
      {R"({"kind":"int","value":5.0})",
       "invalid type: floating point `5.0`, expected i64 at line 1 column 25"},
      {R"({"kind":"int","value":1e3})",
       "invalid type: floating point `1000.0`, expected i64 at line 1 column 25"},
      {R"({"kind":"int","value":9223372036854775808})",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 41"},
      {R"({"kind":"int","value":-9223372036854775809})",
       "invalid type: floating point `-9.223372036854776e18`, expected i64 at line 1 column 42"},
      {R"({"kind":"int","value":-0})",
       "invalid type: floating point `-0.0`, expected i64 at line 1 column 24"},
      {R"({"kind":"float","value":1e400})", "number out of range at line 1 column 29"},
      {R"({"kind":"float","value":null})", "invalid type: null, expected f64 at line 1 column 28"},
      {R"({"kind":"bool","value":"true"})",
       "invalid type: string \"true\", expected a boolean at line 1 column 29"},
      {R"({"kind":"bytes","value":[256]})",
       "invalid value: integer `256`, expected u8 at line 1 column 28"},
      {R"({"kind":"bytes","value":[-1]})",
       "invalid value: integer `-1`, expected u8 at line 1 column 27"},
      {R"({"kind":"bytes","value":"AAE="})",
       "invalid type: string \"AAE=\", expected a sequence at line 1 column 30"},
      {R"({"kind":"attachment","hash":"h"})", "missing field `size` at line 1 column 32"},
      {R"({"kind":"attachment","hash":"h","size":-1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 41"},
      {R"(["int"])",
       "invalid length 0, expected struct variant DataValue::Int with 1 element at line 1 column "
       "7"},
      {R"(["attachment","h",1])",
       "invalid length 2, expected struct variant DataValue::Attachment with 4 elements at line "
       "1 column 20"},
      {R"(["int",1,2])", "trailing characters at line 1 column 10"},
      {R"([])", "invalid length 0, expected tag at line 1 column 2"},
      {R"("text")",
       "invalid type: string \"text\", expected internally tagged enum DataValue at line 1 column "
       "6"},
      {R"({"kind":"int","value":1} {"kind":"null"})", "trailing characters at line 1 column 26"},
      {R"({"kind":"int","value":1)", "EOF while parsing an object at line 1 column 23"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

TEST(DataValueJson, NonFiniteFloatIsWrittenAsNullAndNotReadBack) {
  for (double d : {std::nan(""), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity()}) {
    std::string text = write_data_value_json({DataValue::Float{d}});
    EXPECT_EQ(text, R"({"kind":"float","value":null})");
    EXPECT_FALSE(read_data_value_json(text).ok());
  }
}

TEST(DataValueJson, BytesInputMustBeUtf8) {
  const std::string bad = "{\"kind\":\"text\",\"value\":\"\xff\"}";
  EXPECT_FALSE(read_data_value_json(as_bytes(bad)).ok());
  // A skipped key's value is only checked for syntax.
  const std::string skipped = "{\"kind\":\"null\",\"x\":\"\xff\"}";
  EXPECT_TRUE(read_data_value_json(as_bytes(skipped)).ok());
}

DataValue random_value(std::mt19937_64& rng) {
  switch (rng() % 7) {
    case 0:
      return {DataValue::Null{}};
    case 1:
      return {DataValue::Bool{rng() % 2 == 1}};
    case 2:
      return {DataValue::Int{int64_t(rng())}};
    case 3: {
      double d;
      do {
        uint64_t bits = rng();
        std::memcpy(&d, &bits, sizeof d);
      } while (!std::isfinite(d));
      return {DataValue::Float{d}};
    }
    case 4:
      return {DataValue::Text{testing::random_text(rng, 20)}};
    case 5: {
      Bytes b(rng() % 40);
      for (auto& x : b) x = uint8_t(rng());
      return {DataValue::Bytes{b}};
    }
    default: {
      DataValue::Attachment a{testing::random_text(rng, 10), rng(), std::nullopt, std::nullopt};
      if (rng() % 2) a.name = testing::random_text(rng, 6);
      if (rng() % 2) a.mime = testing::random_text(rng, 6);
      return {a};
    }
  }
}

TEST(DataValueJson, RandomValuesRoundTrip) {
  std::mt19937_64 rng(0xda7a);
  for (int i = 0; i < 2000; ++i) {
    DataValue v = random_value(rng);
    std::string text = write_data_value_json(v);
    auto back = read_data_value_json(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.error().to_string();
    EXPECT_EQ(*back, v) << text;
    EXPECT_EQ(write_data_value_json(*back), text);
  }
}

}  // namespace
}  // namespace brenvik
