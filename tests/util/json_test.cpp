#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik {
namespace {

// ---------------------------------------------------------------- writer

TEST(JsonWriter, StringEscaping) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("ab\"c\x01") + "\xc3\xa9", "\"ab\\\"c\\u0001\xc3\xa9\""},
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {"back\\slash/slash", "\"back\\\\slash/slash\""},
      {std::string("\x00\x1f\x7f", 3), "\"\\u0000\\u001f\x7f\""},
      {"\x0b\x1e", "\"\\u000b\\u001e\""},
      {"", "\"\""},
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    json_append_string(out, in);
    EXPECT_EQ(out, want);
  }
}

TEST(JsonWriter, IntegersInFull) {
  JsonWriter w;
  w.begin_array()
      .u64(18446744073709551615ull)
      .i64(std::numeric_limits<int64_t>::min())
      .u64(0)
      .i64(-1)
      .end_array();
  EXPECT_EQ(w.text(), "[18446744073709551615,-9223372036854775808,0,-1]");
}

// One exponent style, pinned: "e" and the exponent, '-' only when negative.
TEST(JsonWriter, ShortestFloatsF64) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {-2.0, "-2.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {123456.789, "123456.789"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1.5e17, "1.5e17"},
      {1e21, "1e21"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (auto [v, want] : cases) {
    std::string out;
    json_append_f64(out, v);
    EXPECT_EQ(out, want) << v;
  }
}

TEST(JsonWriter, ShortestFloatsF32) {
  const std::pair<float, const char*> cases[] = {
      {0.1f, "0.1"},  // not the f64 expansion 0.10000000149011612
      {1.0f, "1.0"},
      {16777216.0f, "16777216.0"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e13"},
      {0.000001f, "0.000001"},
      {1e-7f, "1e-7"},
      {3.4028235e38f, "3.4028235e38"},
      {std::nanf(""), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
  };
  for (auto [v, want] : cases) {
    std::string out;
    json_append_f32(out, v);
    EXPECT_EQ(out, want) << v;
  }
}

TEST(JsonWriter, CompactStructureWithCommas) {
  JsonWriter w;
  w.begin_object()
      .field_str("type", "x")
      .key("list")
      .begin_array()
      .end_array()
      .key("nested")
      .begin_object()
      .field_bool("a", true)
      .field_null("b")
      .end_object()
      .key("bytes")
      .byte_array(Bytes{0, 7, 255})
      .key("arr")
      .begin_array()
      .begin_object()
      .end_object()
      .begin_array()
      .u64(1)
      .end_array()
      .str("s")
      .end_array()
      .field_f32("r", std::nanf(""))
      .end_object();
  EXPECT_EQ(w.text(), R"({"type":"x","list":[],"nested":{"a":true,"b":null},"bytes":[0,7,255],)"
                      R"("arr":[{},[1],"s"],"r":null})");
}

TEST(JsonWriter, GenericValueUsesTheSameRules) {
  nlohmann::json v = nlohmann::json::parse(R"({"k":[1,-2,1.0,1e16,"a/b"],"n":null})");
  EXPECT_EQ(json_dump(v), R"({"k":[1,-2,1.0,1e16,"a/b"],"n":null})");
}

TEST(JsonFloats, RandomValuesRoundTrip) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, 8);
    if (!std::isfinite(d)) continue;
    std::string s;
    json_append_f64(s, d);
    JsonReader r(s);
    auto back = r.read_f64();
    ASSERT_TRUE(back.ok()) << s << ": " << back.error().to_string();
    ASSERT_EQ(std::memcmp(&*back, &d, 8), 0) << s;

    uint32_t fb = uint32_t(bits);
    float f;
    std::memcpy(&f, &fb, 4);
    if (!std::isfinite(f)) continue;
    std::string t;
    json_append_f32(t, f);
    JsonReader rf(t);
    auto fback = rf.read_f32();
    ASSERT_TRUE(fback.ok()) << t;
    ASSERT_EQ(std::memcmp(&*fback, &f, 4), 0) << t;
  }
}

// ---------------------------------------------------------------- reader

const std::string_view kTransport[] = {"internet", "ble", "wifiDirect", "reticulum", "nostr"};

struct Rec {
  std::string id;
  uint64_t count = 0;
  std::optional<std::string> note;
  bool flag = false;
  size_t transport = 0;
};

constexpr JsonField kRecFields[] = {
    {"id", FieldRule::Required},         {"count", FieldRule::Required},
    {"note", FieldRule::Optional},       {"flag", FieldRule::Defaulted},
    {"transport", FieldRule::Defaulted},
};

Result<Rec, JsonError> read_rec(std::string_view text) {
  JsonReader r(text);
  Rec rec;
  auto st = read_record(r, "struct Rec", kRecFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        BRENVIK_TRY(rec.id, r.read_string());
        return {};
      }
      case 1: {
        BRENVIK_TRY(rec.count, r.read_u64());
        return {};
      }
      case 2: {
        BRENVIK_TRY(rec.note, r.read_optional_string());
        return {};
      }
      case 3: {
        BRENVIK_TRY(rec.flag, r.read_bool());
        return {};
      }
      case 4: {
        BRENVIK_TRY(rec.transport, read_unit_enum(r, "enum TransportType", kTransport));
        return {};
      }
    }
    return {};
  });
  if (!st.ok()) return Err(std::move(st).error());
  BRENVIK_TRY_VOID(r.finish());
  return rec;
}

struct ReadCase {
  const char* name;
  std::string input;
  const char* error;  // nullptr: must read
};

// The record rules as one table: unknown keys, duplicates, missing fields,
// the array form, types, ranges, enumerations, syntax and positions.
TEST(JsonReader, RecordRulesTable) {
  const ReadCase cases[] = {
      {"plain", R"({"id":"x","count":1})", nullptr},
      {"keys in any order", R"({"count":1,"id":"x","note":null})", nullptr},
      {"unknown key is skipped", R"({"id":"x","zz":[1,{"a":null,"b":"\ud800"}],"count":1})",
       nullptr},
      {"duplicate key", R"({"id":"x","count":1,"id":"x"})",
       "duplicate field `id` at line 1 column 24"},
      {"duplicate even when equal", R"({"id":"x","count":1,"count":1})",
       "duplicate field `count` at line 1 column 27"},
      {"missing required", R"({"id":"x"})", "missing field `count` at line 1 column 10"},
      {"first missing in declared order", R"({"note":"n"})",
       "missing field `id` at line 1 column 12"},
      {"wrong type", R"({"id":5,"count":1})",
       "invalid type: integer `5`, expected a string at line 1 column 7"},
      {"negative for unsigned", R"({"id":"x","count":-1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 20"},
      {"whole float for integer", R"({"id":"x","count":5.0})",
       "invalid type: floating point `5.0`, expected u64 at line 1 column 21"},
      {"exponent for integer", R"({"id":"x","count":1e3})",
       "invalid type: floating point `1000.0`, expected u64 at line 1 column 21"},
      {"beyond u64", R"({"id":"x","count":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 38"},
      {"u64 max", R"({"id":"x","count":18446744073709551615})", nullptr},
      {"string for bool", R"({"id":"x","count":1,"flag":"yes"})",
       "invalid type: string \"yes\", expected a boolean at line 1 column 32"},
      {"null for required string", R"({"id":null,"count":1})",
       "invalid type: null, expected a string at line 1 column 10"},
      {"array form", R"(["x",1,null])", nullptr},
      {"array form with defaults", R"(["x",1,"n",true,"ble"])", nullptr},
      {"array too short for optional", R"(["x",1])",
       "invalid length 2, expected struct Rec with 5 elements at line 1 column 7"},
      {"array too short", R"(["x"])",
       "invalid length 1, expected struct Rec with 5 elements at line 1 column 5"},
      {"array too long", R"(["x",1,null,true,"ble",7])", "trailing characters at line 1 column 24"},
      {"not a record", R"("str")",
       "invalid type: string \"str\", expected struct Rec at line 1 column 5"},
      {"not a record: number", "12",
       "invalid type: integer `12`, expected struct Rec at line 1 column 2"},
      {"empty input", "", "EOF while parsing a value at line 1 column 0"},
      {"only whitespace", " \n ", "EOF while parsing a value at line 2 column 1"},
      {"eof in object", R"({"id":"x")", "EOF while parsing an object at line 1 column 9"},
      {"eof in string", R"({"id":"x)", "EOF while parsing a string at line 1 column 8"},
      {"eof after colon", R"({"id":)", "EOF while parsing a value at line 1 column 6"},
      {"eof in list", R"(["x")", "EOF while parsing a list at line 1 column 4"},
      {"eof after comma in list", R"(["x",)", "EOF while parsing a value at line 1 column 5"},
      {"eof in literal", R"({"id":"x","count":1,"note":nu)",
       "EOF while parsing a value at line 1 column 29"},
      {"trailing characters", R"({"id":"x","count":1} x)",
       "trailing characters at line 1 column 22"},
      {"trailing whitespace is fine", "{\"id\":\"x\",\"count\":1} \r\n\t", nullptr},
      {"trailing comma", R"({"id":"x",})", "trailing comma at line 1 column 11"},
      {"missing colon", R"({"id" "x"})", "expected `:` at line 1 column 7"},
      {"unquoted key", R"({id:1})", "key must be a string at line 1 column 2"},
      {"missing comma", R"({"id":"x" "count":1})", "expected `,` or `}` at line 1 column 11"},
      {"bad literal", R"({"id":"x","count":1,"flag":tru})", "expected ident at line 1 column 31"},
      {"position on a later line", "{\n  \"id\": 5,\n  \"count\": 1\n}",
       "invalid type: integer `5`, expected a string at line 2 column 9"},
      {"enum by name", R"({"id":"x","count":1,"transport":"wifiDirect"})", nullptr},
      {"enum wrong case", R"({"id":"x","count":1,"transport":"wifidirect"})",
       "unknown variant `wifidirect`, expected one of `internet`, `ble`, `wifiDirect`, "
       "`reticulum`, `nostr` at line 1 column 44"},
      {"enum as single-key object", R"({"id":"x","count":1,"transport":{"ble":null}})", nullptr},
      {"enum object with value", R"({"id":"x","count":1,"transport":{"ble":1}})",
       "invalid type: integer `1`, expected unit at line 1 column 40"},
      {"enum of wrong type", R"({"id":"x","count":1,"transport":3})",
       "invalid type: integer `3`, expected enum TransportType at line 1 column 33"},
      {"escapes", R"({"id":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00","count":1})", nullptr},
      {"lone leading surrogate", R"({"id":"\ud83d","count":1})",
       "unexpected end of hex escape at line 1 column 14"},
      {"lone trailing surrogate", R"({"id":"\ude00","count":1})",
       "lone leading surrogate in hex escape at line 1 column 13"},
      {"surrogate then non-surrogate", R"({"id":"\ud83d\u0041","count":1})",
       "lone leading surrogate in hex escape at line 1 column 19"},
      {"bad escape", R"({"id":"\x","count":1})", "invalid escape at line 1 column 9"},
      {"bad hex escape", R"({"id":"\u12g4","count":1})", "invalid escape at line 1 column 12"},
      {"raw control character", std::string("{\"id\":\"a\x01\",\"count\":1}"),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
      {"invalid utf-8 in a read string", std::string("{\"id\":\"\xc3\x28\",\"count\":1}"),
       "invalid unicode code point at line 1 column 10"},
      {"invalid utf-8 in a skipped value",
       std::string("{\"zz\":\"\xff\",\"id\":\"x\",\"count\":1}"), nullptr},
      {"leading zero", R"({"id":"x","count":01})", "invalid number at line 1 column 20"},
      {"plus sign", R"({"id":"x","count":+1})", "expected value at line 1 column 19"},
  };
  for (const auto& c : cases) {
    auto r = read_rec(c.input);
    if (c.error == nullptr) {
      EXPECT_TRUE(r.ok()) << c.name << ": " << (r.ok() ? "" : r.error().to_string());
    } else {
      ASSERT_FALSE(r.ok()) << c.name;
      EXPECT_EQ(r.error().to_string(), c.error) << c.name;
    }
  }
}

TEST(JsonReader, ReadsValuesIntoFields) {
  auto r = read_rec(R"({"note":"n","count":18446744073709551615,"id":"a\u00e9\ud83d\ude00",)"
                    R"("transport":{"ble":null},"flag":true,"extra":{"k":[1,2,3]}})");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->id, "a\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(r->count, 18446744073709551615ull);
  EXPECT_EQ(r->note, "n");
  EXPECT_TRUE(r->flag);
  EXPECT_EQ(r->transport, 1u);

  auto a = read_rec(R"(["x",2,null])");
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a->count, 2u);
  EXPECT_FALSE(a->note.has_value());
  EXPECT_FALSE(a->flag);
}

struct NumCase {
  std::string input;
  const char* error;
};

TEST(JsonReader, IntegerRanges) {
  const NumCase u8_cases[] = {
      {"255", nullptr},
      {"256", "invalid value: integer `256`, expected u8 at line 1 column 3"},
      {"-0", "invalid type: floating point `-0.0`, expected u8 at line 1 column 2"}};
  for (const auto& c : u8_cases) {
    JsonReader r(c.input);
    auto v = r.read_u8();
    if (!c.error) {
      EXPECT_TRUE(v.ok()) << c.input;
    } else {
      ASSERT_FALSE(v.ok()) << c.input;
      EXPECT_EQ(v.error().to_string(), c.error);
    }
  }
  const NumCase i64_cases[] = {
      {"-9223372036854775808", nullptr},
      {"9223372036854775807", nullptr},
      {"9223372036854775808",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 19"},
      {"-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e18`, expected i64 at line 1 column 20"},
      {"+1", "expected value at line 1 column 1"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
  };
  for (const auto& c : i64_cases) {
    JsonReader r(c.input);
    auto v = r.read_i64();
    if (!c.error) {
      EXPECT_TRUE(v.ok()) << c.input;
    } else {
      ASSERT_FALSE(v.ok()) << c.input;
      EXPECT_EQ(v.error().to_string(), c.error) << c.input;
    }
  }
}

TEST(JsonReader, FloatRanges) {
  const std::pair<const char*, double> ok[] = {{"1e-400", 0.0}, {"-1e-400", -0.0}, {"0.5", 0.5},
                                               {"12", 12.0},    {"-3", -3.0},      {"1E2", 100.0}};
  for (auto [in, want] : ok) {
    JsonReader r(in);
    auto v = r.read_f64();
    ASSERT_TRUE(v.ok()) << in;
    EXPECT_EQ(*v, want) << in;
    EXPECT_EQ(std::signbit(*v), std::signbit(want)) << in;
  }
  for (const char* in : {"1e400", "-1e400", "0.5e400"}) {
    JsonReader r(in);
    auto v = r.read_f64();
    ASSERT_FALSE(v.ok()) << in;
    EXPECT_EQ(v.error().message, "number out of range") << in;
  }
  JsonReader big("1e300");
  auto f = big.read_f32();
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(std::isinf(*f));
}

std::string nested(int depth, char open, char close) {
  return std::string(size_t(depth), open) + std::string(size_t(depth), close);
}

TEST(JsonReader, RecursionLimitIs128Levels) {
  for (auto [open, close] : {std::pair{'[', ']'}}) {
    EXPECT_TRUE(parse_json(nested(128, open, close)).ok());
    auto deep = parse_json(nested(129, open, close));
    ASSERT_FALSE(deep.ok());
    EXPECT_EQ(deep.error().to_string(), "recursion limit exceeded at line 1 column 129");
  }
  std::string objs;
  for (int i = 0; i < 129; ++i) objs += "{\"a\":";
  objs += "1" + std::string(129, '}');
  auto o = parse_json(objs);
  ASSERT_FALSE(o.ok());
  EXPECT_EQ(o.error().message, "recursion limit exceeded");
  // Skipping an unknown value is held to the same limit.
  auto skipped = read_rec("{\"id\":\"x\",\"count\":1,\"zz\":" + nested(128, '[', ']') + "}");
  ASSERT_FALSE(skipped.ok());
  EXPECT_EQ(skipped.error().message, "recursion limit exceeded");
  EXPECT_TRUE(read_rec("{\"id\":\"x\",\"count\":1,\"zz\":" + nested(127, '[', ']') + "}").ok());
}

TEST(JsonReader, UnknownVariantWording) {
  const std::string_view one[] = {"a"};
  const std::string_view two[] = {"a", "b"};
  EXPECT_EQ(unknown_variant_message("x", {}), "unknown variant `x`, there are no variants");
  EXPECT_EQ(unknown_variant_message("x", one), "unknown variant `x`, expected `a`");
  EXPECT_EQ(unknown_variant_message("x", two), "unknown variant `x`, expected `a` or `b`");
}

TEST(JsonReader, MarkAndResetAllowLookAhead) {
  // A tagged record whose tag is not the first key: find it, then read again.
  JsonReader r(R"({"v":7,"type":"b"})");
  auto m = r.mark();
  ASSERT_TRUE(r.begin_object().ok());
  std::string_view key;
  std::string tag;
  while (*r.next_key(key)) {
    if (key == "type") {
      tag = *r.read_string();
    } else {
      ASSERT_TRUE(r.skip_value().ok());
    }
  }
  EXPECT_EQ(tag, "b");
  r.reset(m);
  ASSERT_TRUE(r.begin_object().ok());
  ASSERT_TRUE(*r.next_key(key));
  EXPECT_EQ(key, "v");
  EXPECT_EQ(*r.read_u64(), 7u);
}

TEST(JsonReader, PeekObjectStringFindsTagAnywhere) {
  struct Case {
    const char* input;
    std::optional<std::string> tag;
    const char* error;
  };
  const Case cases[] = {
      {R"({"type":"a","v":1})", "a", nullptr},
      {R"({"v":[1,{"type":"x"}],"type":"b"})", "b", nullptr},
      {R"({"v":1})", std::nullopt, nullptr},
      {R"({"type":5})", std::nullopt,
       "invalid type: integer `5`, expected a string at line 1 column 9"},
      {R"({"v":1,)", std::nullopt, "EOF while parsing a value at line 1 column 7"},
  };
  for (const auto& c : cases) {
    JsonReader r(c.input);
    auto t = peek_object_string(r, "type");
    EXPECT_EQ(r.offset(), 0u) << c.input;  // position restored either way
    if (c.error) {
      ASSERT_FALSE(t.ok()) << c.input;
      EXPECT_EQ(t.error().to_string(), c.error);
      continue;
    }
    ASSERT_TRUE(t.ok()) << c.input << ": " << t.error().to_string();
    EXPECT_EQ(*t, c.tag) << c.input;
    EXPECT_TRUE(r.skip_value().ok());
    EXPECT_TRUE(r.finish().ok());
  }
}

TEST(JsonReader, GenericValues) {
  auto v = parse_json(R"( {"a":[1,-2,2.5,true,null,"s"],"a":{"b":18446744073709551615}} )");
  ASSERT_TRUE(v.ok()) << v.error().to_string();
  // A repeated key keeps the last value in a generic value.
  EXPECT_EQ((*v)["a"]["b"].get<uint64_t>(), 18446744073709551615ull);
  auto w = parse_json(R"([1,-2,2.5,true,null,"s"])");
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(json_dump(*w), R"([1,-2,2.5,true,null,"s"])");
  auto bad = parse_json("[1] [2]");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().to_string(), "trailing characters at line 1 column 5");
}

TEST(JsonReader, ByteArrays) {
  JsonReader r("[0,255,7]");
  auto b = r.read_byte_array();
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(*b, (Bytes{0, 255, 7}));
  JsonReader bad("[0,256]");
  auto e = bad.read_byte_array();
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().to_string(), "invalid value: integer `256`, expected u8 at line 1 column 6");
}

// Plain byte arrays take a direct scan; every other form must read exactly
// as the general path reads it, errors and positions included.
TEST(JsonReader, ByteArrayForms) {
  struct Case {
    const char* input;
    std::optional<Bytes> bytes;
    const char* error;
  };
  const Case cases[] = {
      {"[]", Bytes{}, nullptr},
      {" [ ] ", Bytes{}, nullptr},
      {"[ 1 ,\n2\t, 250 ]", Bytes{1, 2, 250}, nullptr},
      {"[0,0]", Bytes{0, 0}, nullptr},
      {"[01]", std::nullopt, "invalid number at line 1 column 3"},
      {"[1,]", std::nullopt, "trailing comma at line 1 column 4"},
      {"[1 2]", std::nullopt, "expected `,` or `]` at line 1 column 4"},
      {"[1.0]", std::nullopt, "invalid type: floating point `1.0`, expected u8 at line 1 column 4"},
      {"[-1]", std::nullopt, "invalid value: integer `-1`, expected u8 at line 1 column 3"},
      {"[1000]", std::nullopt, "invalid value: integer `1000`, expected u8 at line 1 column 5"},
      {"[1e2]", std::nullopt,
       "invalid type: floating point `100.0`, expected u8 at line 1 column 4"},
      {"[1", std::nullopt, "EOF while parsing a list at line 1 column 2"},
      {"\"ab\"", std::nullopt,
       "invalid type: string \"ab\", expected a sequence at line 1 column 4"},
  };
  for (const auto& c : cases) {
    JsonReader r(c.input);
    auto b = r.read_byte_array();
    if (c.bytes) {
      ASSERT_TRUE(b.ok()) << c.input << ": " << b.error().to_string();
      EXPECT_EQ(*b, *c.bytes) << c.input;
      EXPECT_TRUE(r.finish().ok()) << c.input;
    } else {
      ASSERT_FALSE(b.ok()) << c.input;
      EXPECT_EQ(b.error().to_string(), c.error) << c.input;
    }
  }
  // Inside a list the reader carries on after the scanned array.
  JsonReader r("[[1,2] , [3],[]]");
  ASSERT_TRUE(r.begin_array().ok());
  std::vector<Bytes> got;
  for (;;) {
    auto more = r.next_element();
    ASSERT_TRUE(more.ok()) << more.error().to_string();
    if (!*more) break;
    got.push_back(*r.read_byte_array());
  }
  EXPECT_EQ(got, (std::vector<Bytes>{{1, 2}, {3}, {}}));
  EXPECT_TRUE(r.finish().ok());
}

}  // namespace
}  // namespace brenvik
