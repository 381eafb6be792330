// Data-sync frame bodies read from the parsed frame object: defaults,
// absence rules of `want` and `to`, refusals, and the written form read back.
#include <gtest/gtest.h>

#include <random>

#include "protocol/records/sync_body.h"
#include "random_message.h"
#include "util/json_reader.h"

namespace brenvik {
namespace {

Result<SyncBody, std::string> read(std::string_view text) {
  auto v = parse_json(text);
  if (!v.ok()) return Err(v.error().to_string());
  return read_sync_body(*v);
}

// The body written back, or the refusal text.
std::string reread(std::string_view text) {
  auto b = read(text);
  return b.ok() ? write_sync_frame_json(*b) : b.error();
}

TEST(SyncBodyJson, ReadsWithDefaultsAndWritesBack) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"v":1,"k":"vv","docs":{}})",
       R"({"v":1,"k":"vv","reply":false,"partial":false,"docs":{}})"},
      {R"({"v":1,"k":"vv","docs":{},"want":null})",
       R"({"v":1,"k":"vv","reply":false,"partial":false,"docs":{}})"},
      {R"({"v":1,"k":"vv","docs":{},"want":[]})",
       R"({"v":1,"k":"vv","reply":false,"partial":false,"docs":{},"want":[]})"},
      {R"({"docs":{"a":"t1"},"gone":{"b":"f"},"reply":true,"k":"vv","v":1,"partial":true,"want":["x*"]})",
       R"({"v":1,"k":"vv","reply":true,"partial":true,"docs":{"a":"t1"},"gone":{"b":"f"},"want":["x*"]})"},
      {R"({"v":1,"k":"delta","doc":"d","blob":"not base64!","x":[1,2]})",
       R"({"v":1,"k":"delta","doc":"d","blob":"not base64!"})"},
      {R"({"k":"snap","v":1,"doc":"d","blob":"AA=="})",
       R"({"v":1,"k":"snap","doc":"d","blob":"AA=="})"},
      {R"({"v":1,"k":"need_snap","doc":"first","doc":"second"})",
       R"({"v":1,"k":"need_snap","doc":"second"})"},
      {R"({"v":1,"k":"need_blob","hash":"h"})", R"({"v":1,"k":"need_blob","hash":"h"})"},
      {R"({"v":1,"k":"need_blob","hash":"h","to":null})", R"({"v":1,"k":"need_blob","hash":"h"})"},
      {R"({"v":1,"k":"need_blob","hash":"h","to":"p"})",
       R"({"v":1,"k":"need_blob","hash":"h","to":"p"})"},
      {R"({"v":1,"k":"blob_gone","hash":"h"})", R"({"v":1,"k":"blob_gone","hash":"h"})"},
      {R"({"v":1,"k":"chunk","hash":"h","i":4294967295,"n":0,"blob":""})",
       R"({"v":1,"k":"chunk","hash":"h","i":4294967295,"n":0,"blob":""})"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

TEST(SyncBodyJson, Refusals) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"v":1,"k":"vv"})", "missing field `docs`"},
      {R"({"v":1,"docs":{}})", "missing field `k`"},
      {R"({"v":1,"k":"VV","docs":{}})",
       "unknown variant `VV`, expected one of `vv`, `delta`, `snap`, `need_snap`, `need_blob`, "
       "`blob_gone`, `chunk`"},
      {R"({"v":1,"k":"versions","docs":{}})",
       "unknown variant `versions`, expected one of `vv`, `delta`, `snap`, `need_snap`, "
       "`need_blob`, `blob_gone`, `chunk`"},
      {R"({"v":1,"k":3})", "invalid type: integer `3`, expected a variant tag string"},
      {R"({"v":1,"k":"vv","docs":{"a":1}})", "invalid type: integer `1`, expected a string"},
      {R"({"v":1,"k":"vv","docs":[]})", "invalid type: sequence, expected a map"},
      {R"({"v":1,"k":"vv","docs":{},"reply":null})", "invalid type: null, expected a boolean"},
      {R"({"v":1,"k":"vv","docs":{},"gone":null})", "invalid type: null, expected a map"},
      {R"({"v":1,"k":"vv","docs":{},"want":[1]})", "invalid type: integer `1`, expected a string"},
      {R"({"v":1,"k":"delta","doc":"d"})", "missing field `blob`"},
      {R"({"v":1,"k":"snap","blob":"b"})", "missing field `doc`"},
      {R"({"v":1,"k":"need_blob","hash":"h","to":5})",
       "invalid type: integer `5`, expected a string"},
      {R"({"v":1,"k":"chunk","hash":"h","i":-1,"n":1,"blob":""})",
       "invalid value: integer `-1`, expected u32"},
      {R"({"v":1,"k":"chunk","hash":"h","i":4294967296,"n":1,"blob":""})",
       "invalid value: integer `4294967296`, expected u32"},
      {R"({"v":1,"k":"chunk","hash":"h","i":2.0,"n":1,"blob":""})",
       "invalid type: floating point `2.0`, expected u32"},
      {R"({"v":1,"k":"chunk","hash":"h","i":1,"blob":""})", "missing field `n`"},
      {R"([1,"vv"])", "invalid type: sequence, expected internally tagged enum SyncBody"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(reread(in), want) << in;
}

SyncBody random_body(std::mt19937_64& rng) {
  auto text = [&] { return testing::random_text(rng, 8); };
  switch (rng() % 7) {
    case 0: {
      SyncBody::Versions b{rng() % 2 == 1, rng() % 2 == 1, {}, {}, std::nullopt};
      for (size_t i = rng() % 4; i > 0; --i) b.docs[text()] = text();
      for (size_t i = rng() % 3; i > 0; --i) b.gone[text()] = text();
      if (rng() % 2) {
        b.want.emplace();
        for (size_t i = rng() % 3; i > 0; --i) b.want->push_back(text());
      }
      return {b};
    }
    case 1:
      return {SyncBody::Delta{text(), text()}};
    case 2:
      return {SyncBody::Snapshot{text(), text()}};
    case 3:
      return {SyncBody::NeedSnapshot{text()}};
    case 4: {
      SyncBody::NeedBlob b{text(), std::nullopt};
      if (rng() % 2) b.to = text();
      return {b};
    }
    case 5:
      return {SyncBody::BlobGone{text()}};
    default:
      return {SyncBody::Chunk{text(), uint32_t(rng()), uint32_t(rng()), text()}};
  }
}

TEST(SyncBodyJson, RandomBodiesRoundTrip) {
  std::mt19937_64 rng(0x5eed);
  for (int i = 0; i < 1000; ++i) {
    SyncBody b = random_body(rng);
    std::string text = write_sync_frame_json(b);
    auto back = read(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.error();
    EXPECT_EQ(*back, b) << text;
  }
}

}  // namespace
}  // namespace brenvik
