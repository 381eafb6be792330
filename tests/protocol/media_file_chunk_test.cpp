#include <gtest/gtest.h>

#include "protocol/media/file_chunk.h"
#include "util/base64.h"

namespace brenvik {
namespace {

FileChunk sample() {
  return FileChunk{"file_1", "photo.jpg", 10, 2, 1, Bytes{1, 2, 3, 4, 5}, std::string(64, 'a')};
}

void put_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

TEST(FileChunkBinary, RoundTripsAndHasTheFixedLayout) {
  FileChunk empty;
  Bytes e = empty.encode_binary();
  EXPECT_EQ(e.size(), 32u);
  auto back = decode_file_chunk(e);
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ(back.value(), empty);

  FileChunk c = sample();
  Bytes b = c.encode_binary();
  ASSERT_EQ(b.size(), 32u + 6 + 9 + 5 + 64);
  // file_id_len little-endian, then the id; file_size right after the name.
  EXPECT_EQ(b[0], 6);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 10), "file_1");
  EXPECT_EQ(b[8 + 6 + 9], 10);  // file_size low byte
  EXPECT_EQ(b[16 + 6 + 9], 2);  // total_chunks
  EXPECT_EQ(b[20 + 6 + 9], 1);  // chunk_index
  // Trailing bytes are ignored.
  b.push_back(0xFF);
  b.push_back(0x00);
  auto r = decode_file_chunk(b);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), c);
}

TEST(FileChunkBinary, RefusesEveryBrokenFieldWithItsText) {
  const Bytes full = sample().encode_binary();
  const size_t after_name = 8 + 6 + 9;
  struct Row {
    const char* name;
    Bytes input;
    std::string expected;
  };
  Bytes big_id;
  put_u32(big_id, 4097);  // only the length is present
  Bytes max_id;
  put_u32(max_id, 4096);
  max_id.insert(max_id.end(), 4096, 'x');
  Bytes bad_name;
  put_u32(bad_name, 0);
  put_u32(bad_name, 2);
  bad_name.push_back(0xC3);
  bad_name.push_back(0x28);
  Bytes big_data(full.begin(), full.begin() + after_name + 16);
  put_u32(big_data, 134217729);
  Bytes big_sum(full.begin(), full.begin() + after_name + 20 + 5);
  put_u32(big_sum, 4097);
  std::vector<Row> rows = {
      {"empty input", {}, "unexpected end of data reading u32"},
      {"file_id_len over the maximum even when short", big_id,
       "file_id_len 4097 exceeds maximum 4096"},
      {"file_id of the maximum length is read, then the name length is missing", max_id,
       "unexpected end of data reading u32"},
      {"file id shorter than its length", Bytes(full.begin(), full.begin() + 7),
       "unexpected end of data reading bytes"},
      {"ends right after file_size", Bytes(full.begin(), full.begin() + after_name + 8),
       "unexpected end of data reading u32"},
      {"ends inside file_size", Bytes(full.begin(), full.begin() + after_name + 3),
       "unexpected end of data reading u64"},
      {"file_name not UTF-8", bad_name,
       "invalid file_name UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"chunk_data_len over the maximum", big_data,
       "chunk_data_len 134217729 exceeds maximum 134217728"},
      {"checksum_len over the maximum", big_sum, "checksum_len 4097 exceeds maximum 4096"},
      {"checksum cut short", Bytes(full.begin(), full.end() - 1),
       "unexpected end of data reading bytes"},
  };
  for (const Row& row : rows) {
    auto r = decode_file_chunk(row.input);
    ASSERT_FALSE(r.ok()) << row.name;
    EXPECT_EQ(r.error().message(), row.expected) << row.name;
  }
}

TEST(FileChunkBinary, EncoderWritesOverlongFieldsThatReadersRefuse) {
  FileChunk c = sample();
  c.file_name = std::string(4097, 'n');
  auto r = decode_file_chunk(c.encode_binary());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, FileChunkDecodeError::Kind::ExceedsMax);
  EXPECT_EQ(r.error().field, "file_name_len");
}

TEST(FileChunkJson, ReadsAnyKeyOrderAndTheArrayForm) {
  const std::string data = base64_encode(Bytes{1, 2, 3});
  std::string ordered = R"({"file_id":"f","file_name":"n","file_size":3,"total_chunks":1,)"
                        R"("chunk_index":0,"chunk_data":")" +
                        data + R"(","file_checksum":"c"})";
  std::string reversed = R"({"file_checksum":"c","chunk_data":")" + data +
                         R"(","chunk_index":0,"total_chunks":1,"file_size":3,"file_name":"n",)"
                         R"("extra":[1,{"x":2}],"file_id":"f"})";
  std::string array = R"(["f","n",3,1,0,")" + data + R"(","c"])";
  FileChunk expected{"f", "n", 3, 1, 0, Bytes{1, 2, 3}, "c"};
  for (const std::string& text : {ordered, reversed, array}) {
    auto r = file_chunk_from_json(text);
    ASSERT_TRUE(r.ok()) << text << ": " << r.error().to_string();
    EXPECT_EQ(r.value(), expected);
  }
  struct Row {
    std::string text;
    std::string starts;
  };
  std::vector<Row> bad = {
      {R"({"file_id":"f","file_id":"g","file_name":"n","file_size":3,"total_chunks":1,)"
       R"("chunk_index":0,"chunk_data":"AQID","file_checksum":"c"})",
       "duplicate field `file_id`"},
      {R"({"file_id":"f","file_name":"n","file_size":3,"total_chunks":1,"chunk_index":0,)"
       R"("chunk_data":"AQID"})",
       "missing field `file_checksum`"},
      {R"(["f","n",3,1,0,"AQID"])", "invalid length 6, expected struct FileChunk with 7 elements"},
      {R"({"file_id":"f","file_name":"n","file_size":-1,"total_chunks":1,"chunk_index":0,)"
       R"("chunk_data":"AQID","file_checksum":"c"})",
       "invalid value: integer `-1`"},
  };
  for (const Row& row : bad) {
    auto r = file_chunk_from_json(row.text);
    ASSERT_FALSE(r.ok()) << row.text;
    EXPECT_TRUE(r.error().message.starts_with(row.starts)) << r.error().message;
  }
}

}  // namespace
}  // namespace brenvik
