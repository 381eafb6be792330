// The sorted-table file format: exact bytes, the writer's block layout and
// every check of the reader.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "kesu/kv_store/lz4_frame.h"
#include "kesu/kv_store/sstable.h"
#include "kv_test_util.h"

namespace kesu {
namespace {

using namespace kvtest;

SharedBytes file_of(const Bytes& b) {
  return SharedBytes::copy_of(ByteView(b));
}

std::string parse_error(const Bytes& bytes, bool verify = true,
                        size_t cap = kDefaultMaxLz4LargeValue) {
  auto r = SsTable::parse(file_of(bytes), verify, cap);
  return r.ok() ? std::string("ok") : r.error().to_string();
}

TEST(SsTableFormat, EmptyTableIsExactlySeventeenBytes) {
  SsTableBuilder b(4096, CompressionType::LZ4, false);
  SsTablePtr t = b.finish();
  Bytes want = {'K', 'E', 'S', 'U', 0, 0, 0, 0, 0};
  brenvik::put_u32_le(want, xxh32_kesu({}));
  brenvik::put_u32_le(want, 5);
  ASSERT_EQ(t->data().to_vector(), want);

  auto parsed = SsTable::parse(t->data(), true);
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  EXPECT_EQ(parsed.value()->block_count(), 0u);
  EXPECT_TRUE(parsed.value()->first_key().empty());
  EXPECT_TRUE(parsed.value()->last_key().empty());
  EXPECT_FALSE(parsed.value()->get(bv("a")).has_value());
  EXPECT_FALSE(parsed.value()->contains_key(bv("a")));
  SsTableIter it(parsed.value(), KeyBound::unbounded(), KeyBound::unbounded());
  EXPECT_FALSE(it.next().has_value());
  EXPECT_FALSE(it.next_back().has_value());
}

// Two plain normal blocks: ["a"->"1","ab"->"2"] and ["b"->"3"].
struct TwoBlockFile {
  Bytes blocks;
  std::vector<RawMeta> metas;
  TwoBlockFile() {
    Bytes b0 = with_checksum(plain_block("1", {{1, "b", "2"}}));
    Bytes b1 = with_checksum(plain_block("3", {}));
    blocks = b0;
    brenvik::append(blocks, b1);
    metas = {{5, "a", 0, std::string("ab")}, {uint32_t(5 + b0.size()), "b", 0, std::string("b")}};
  }
  Bytes file() const { return assemble_table(blocks, metas); }
};

TEST(SsTableFormat, HandAssembledFileParsesAndReads) {
  TwoBlockFile f;
  auto t = SsTable::parse(file_of(f.file()), true);
  ASSERT_TRUE(t.ok()) << t.error().to_string();
  EXPECT_EQ(str(*t.value()->get(bv("ab"))), "2");
  EXPECT_EQ(str(*t.value()->get(bv("b"))), "3");
  EXPECT_EQ(str(t.value()->first_key()), "a");
  EXPECT_EQ(str(t.value()->last_key()), "b");
}

struct ParseCase {
  const char* name;
  std::function<Bytes()> make;
  bool verify;
  std::string want;
};

const std::string kInvalid = "Decode error: (Invalid bytes)";
const std::string kMismatch = "Decode error: Checksum mismatch. The data is corrupted.";

TEST(SsTableFormat, ParseRefusesEveryMalformedFileWithItsError) {
  const TwoBlockFile f;
  const Bytes good = f.file();
  auto mutate = [&](std::function<void(Bytes&)> fn) {
    return [=]() {
      Bytes b = good;
      fn(b);
      return b;
    };
  };
  auto with_metas = [&](std::function<void(std::vector<RawMeta>&)> fn) {
    return [=]() {
      std::vector<RawMeta> m = f.metas;
      fn(m);
      return assemble_table(f.blocks, m);
    };
  };
  auto with_block0 = [&](Bytes plain) {
    return [=]() {
      Bytes b0 = with_checksum(plain);
      Bytes b1 = with_checksum(plain_block("3", {}));
      Bytes blocks = b0;
      brenvik::append(blocks, b1);
      return assemble_table(blocks, {{5, "a", 0, std::string("ab")},
                                     {uint32_t(5 + b0.size()), "b", 0, std::string("b")}});
    };
  };
  const size_t m = brenvik::load_u32_le(good.data() + good.size() - 4);

  const std::vector<ParseCase> cases = {
      {"eight bytes", [&] { return Bytes(good.begin(), good.begin() + 8); }, true,
       "Decode error: (Invalid sstable bytes)"},
      {"empty", [] { return Bytes{}; }, true, "Decode error: (Invalid sstable bytes)"},
      {"nine bytes, meta offset 5", [] { return Bytes{'K', 'E', 'S', 'U', 0, 5, 0, 0, 0}; }, true,
       kInvalid},
      {"nine bytes, meta offset 0", [] { return Bytes{'K', 'E', 'S', 'U', 0, 0, 0, 0, 0}; }, true,
       kInvalid},
      {"nine bytes, meta offset 1", [] { return Bytes{'K', 'E', 'S', 'U', 0, 1, 0, 0, 0}; }, true,
       kInvalid},
      {"bad magic", mutate([](Bytes& b) { b[3] = 'V'; }), true,
       "Decode error: (Invalid magic number)"},
      {"version 1", mutate([](Bytes& b) { b[4] = 1; }), true,
       "Decode error: (Invalid schema version 1, current support max version is 0)"},
      {"version 200", mutate([](Bytes& b) { b[4] = 200; }), true,
       "Decode error: (Invalid schema version 200, current support max version is 0)"},
      {"meta offset past end", mutate([](Bytes& b) {
         brenvik::put_u32_le(b, 0);
         b.erase(b.end() - 8, b.end() - 4);
         b[b.size() - 4] = 0xff;
       }),
       true, kInvalid},
      {"meta offset leaves 3 bytes", mutate([](Bytes& b) {
         const uint32_t mm = uint32_t(b.size() - 7);
         b.resize(b.size() - 4);
         brenvik::put_u32_le(b, mm);
       }),
       true, kInvalid},
      {"block count above ten million",
       [&] { return assemble_table(f.blocks, f.metas, 10'000'001u); }, true, kInvalid},
      {"block count larger than the metas can be",
       [&] { return assemble_table(f.blocks, f.metas, 1000u); }, true, kInvalid},
      {"block count one more: meta read runs off",
       [&] { return assemble_table(f.blocks, f.metas, 3u); }, true, kInvalid},
      {"block count one less: checksum read elsewhere",
       [&] { return assemble_table(f.blocks, f.metas, 1u); }, true, kMismatch},
      {"meta key byte changed", mutate([&](Bytes& b) { b[m + 4 + 4 + 2] ^= 1; }), true, kMismatch},
      {"meta checksum changed", mutate([](Bytes& b) { b[b.size() - 8] ^= 0x40; }), true, kMismatch},
      {"compression type 2", with_metas([](auto& ms) { ms[1].flags = 2; }), true,
       "Decode error: (Invalid compression type: 2)"},
      {"compression type 127 on a large block", with_metas([](auto& ms) {
         ms[1].flags = 0xff;
         ms[1].last_key.reset();
       }),
       true, "Decode error: (Invalid compression type: 127)"},
      {"first block before the header", with_metas([](auto& ms) { ms[0].offset = 4; }), true,
       kInvalid},
      {"blocks out of file order",
       with_metas([](auto& ms) { std::swap(ms[0].offset, ms[1].offset); }), true, kInvalid},
      {"block shorter than its checksum",
       with_metas([&](auto& ms) { ms[1].offset = uint32_t(m - 3); }), true, kInvalid},
      {"block runs into the metas", with_metas([&](auto& ms) { ms[1].offset = uint32_t(m + 1); }),
       true, kInvalid},
      {"block payload byte changed, verified", mutate([](Bytes& b) { b[5] ^= 0x01; }), true,
       kMismatch},
      {"block payload byte changed, unverified", mutate([](Bytes& b) { b[5] ^= 0x01; }), false,
       "ok"},
      {"block checksum changed, unverified", mutate([](Bytes& b) { b[5 + 12] ^= 0x80; }), false,
       "ok"},
      {"block checksum changed, verified", mutate([](Bytes& b) { b[5 + 12] ^= 0x80; }), true,
       kMismatch},
      // Block structure faults carry valid checksums: import still refuses them.
      {"block with entry count 0", with_block0(Bytes{'1', 0, 0}), true, kInvalid},
      {"block keys not increasing", with_block0(plain_block("1", {{0, "a", "2"}})), true, kInvalid},
      {"block keys not increasing, unverified", with_block0(plain_block("1", {{0, "a", "2"}})),
       false, kInvalid},
      {"meta last key disagrees with block", with_metas([](auto& ms) { ms[0].last_key = "aa"; }),
       true, kInvalid},
      {"blocks out of key order", with_metas([](auto& ms) {
         ms[1].first_key = "a";
         ms[1].last_key = "a";
       }),
       true, kInvalid},
      {"empty first key", with_metas([](auto& ms) { ms[1].first_key = ""; }), true, kInvalid},
      {"plain payload flagged as LZ4", with_metas([](auto& ms) { ms[0].flags = 1; }), true,
       "Decode error: (ERROR_frameType_unknown)"},
      {"payload too short for an LZ4 frame header", with_metas([](auto& ms) { ms[1].flags = 1; }),
       true, "Decode error: (truncated LZ4 frame)"},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(parse_error(c.make(), c.verify), c.want) << c.name;
  }
  EXPECT_EQ(parse_error(good), "ok");
}

TEST(SsTableFormat, SharedPrefixRule) {
  struct Case {
    std::string key, first;
    size_t want;
  };
  const std::vector<Case> cases = {
      {"abd", "abc", 2},
      {"abc", "ab", 0},  // the whole shorter key is shared: written in full
      {"ab", "abc", 0},
      {"b", "abc", 0},
      {std::string(300, 'a') + "x", std::string(300, 'a'), 255},
      {std::string(256, 'a'), std::string(255, 'a') + "b", 255},
      {std::string(255, 'a') + "x", std::string(255, 'a'), 0},
      {std::string(100, 'q') + "z", std::string(100, 'q') + "y", 100},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(shared_prefix_len(bv(c.key), bv(c.first)), c.want)
        << c.key.size() << " vs " << c.first.size();
  }
}

// The payload of block i of a table written without compression.
Bytes plain_payload(const SsTable& t, size_t i) {
  const size_t s = t.meta()[i].offset;
  const size_t e = i + 1 < t.block_count() ? t.meta()[i + 1].offset : t.meta_offset();
  return Bytes(t.data().data() + s, t.data().data() + e - 4);
}

TEST(SsTableFormat, KeyExtendingTheFirstKeyIsWrittenWhole) {
  SsTableBuilder b(4096, CompressionType::None, false);
  b.add(bv("ab"), bv("x"));
  b.add(bv("abc"), bv("yz"));
  SsTablePtr t = b.finish();
  ASSERT_EQ(t->block_count(), 1u);
  const Bytes want = {'x', 0, 3, 0, 'a', 'b', 'c', 'y', 'z', 0, 0, 1, 0, 2, 0};
  EXPECT_EQ(plain_payload(*t, 0), want);
  EXPECT_EQ(str(*t->meta()[0].last_key), "abc");
}

TEST(SsTableFormat, OversizedValuesBecomeLargeBlocks) {
  struct Case {
    size_t block_size, value_len;
    bool large;
  };
  const std::vector<Case> cases = {
      {4096, 4096, false}, {4096, 4097, true}, {1 << 20, 65535, false}, {1 << 20, 65536, true}};
  for (const Case& c : cases) {
    SsTableBuilder b(c.block_size, CompressionType::None, false);
    b.add(bv("k1"), bv("v"));
    const std::string big(c.value_len, 'v');
    b.add(bv("k2"), bv(big));
    b.add(bv("k3"), bv("w"));
    SsTablePtr t = b.finish();
    auto parsed = SsTable::parse(t->data(), true);
    ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
    const SsTable& p = *parsed.value();
    if (c.large) {
      ASSERT_EQ(p.block_count(), 3u) << c.value_len;
      EXPECT_TRUE(p.meta()[1].is_large);
      EXPECT_FALSE(p.meta()[1].last_key.has_value());
      EXPECT_EQ(str(p.meta()[2].first_key), "k3");
    } else {
      EXPECT_FALSE(p.meta()[0].is_large) << c.value_len;
    }
    EXPECT_EQ(p.get(bv("k2"))->size(), c.value_len);
    EXPECT_EQ(str(*p.get(bv("k3"))), "w");
  }
}

TEST(SsTableFormat, CompressionOnlyWhenItPays) {
  std::mt19937_64 rng(7);
  struct Case {
    bool compressible;
    CompressionType want;
  };
  for (const Case c : {Case{true, CompressionType::LZ4}, Case{false, CompressionType::None}}) {
    SsTableBuilder b(4096, CompressionType::LZ4, false);
    const std::string v = c.compressible ? std::string(1000, 'z') : random_value(rng, 1000);
    b.add(bv("k"), bv(v));
    SsTablePtr t = b.finish();
    auto parsed = SsTable::parse(t->data(), true);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value()->meta()[0].compression_type, c.want);
    EXPECT_EQ(str(*parsed.value()->get(bv("k"))), v);
  }
}

TEST(SsTableFormat, BlockDecodeChecks) {
  const SharedBytes first = sb("k");
  struct Case {
    const char* name;
    Bytes plain;
    bool ok;
  };
  Bytes entries_short = plain_block("1", {{0, "m", "2"}});
  entries_short[entries_short.size() - 4] = 0x40;  // second offset beyond the section
  Bytes first_off_nonzero = plain_block("12", {});
  first_off_nonzero[2] = 1;
  Bytes dec_offsets = plain_block("1", {{0, "m", "2"}, {0, "n", "3"}});
  // entries: "1" | 00 01 00 'm' '2' | 00 01 00 'n' '3'  -> offsets 0,1,6; make third 0
  dec_offsets[dec_offsets.size() - 4] = 0;
  dec_offsets[dec_offsets.size() - 3] = 0;
  const std::vector<Case> cases = {
      {"valid, three entries", plain_block("1", {{1, "a", "2"}, {0, "z", ""}}), true},
      {"one byte", Bytes{1}, false},
      {"count zero", Bytes{'v', 0, 0}, false},
      {"count larger than the bytes", Bytes{0, 0, 5, 0}, false},
      {"first offset not zero", first_off_nonzero, false},
      {"second offset beyond the entries", entries_short, false},
      {"offsets decreasing", dec_offsets, false},
      {"entry header cut short", plain_block("1", {{0, "", ""}}), true /* replaced below */},
      {"shared longer than first key", plain_block("1", {{2, "z", ""}}), false},
      {"empty rebuilt key", plain_block("1", {{0, "", "x"}}), false},
      {"key equal to the first key", plain_block("1", {{0, "k", "x"}}), false},
      {"key smaller than the previous", plain_block("1", {{0, "m", ""}, {0, "l", ""}}), false},
  };
  for (Case c : cases) {
    if (std::string(c.name) == "entry header cut short") {
      // Two bytes of header only: shared, half a suffix length.
      c.plain = {'1', 0, 1, 0, 0, 1, 0, 2, 0};
      c.ok = false;
    }
    auto r = Block::decode(file_of(with_checksum(c.plain)), false, first, CompressionType::None);
    EXPECT_EQ(r.ok(), c.ok) << c.name;
    if (!r.ok()) {
      EXPECT_EQ(r.error().to_string(), kInvalid) << c.name;
    }
  }
  {
    // 255 shared bytes and a long suffix rebuild a key no key length can hold.
    const SharedBytes long_first = sb(std::string(255, 'a'));
    auto too_long = Block::decode(
        file_of(with_checksum(plain_block("1", {{255, std::string(65531, 'z'), ""}}))), false,
        long_first, CompressionType::None);
    ASSERT_FALSE(too_long.ok());
    EXPECT_EQ(too_long.error().to_string(), kInvalid);
    auto longest = Block::decode(
        file_of(with_checksum(plain_block("1", {{255, std::string(65535 - 255, 'z'), ""}}))), false,
        long_first, CompressionType::None);
    EXPECT_TRUE(longest.ok()) << "a key of exactly 65535 bytes";
  }
  auto r = Block::decode(file_of(with_checksum(plain_block("1", {}))), false, SharedBytes(),
                         CompressionType::None);
  EXPECT_FALSE(r.ok()) << "empty first key";
  auto short_raw = Block::decode(file_of(Bytes{1, 2, 3}), false, first, CompressionType::None);
  EXPECT_FALSE(short_raw.ok()) << "raw shorter than a checksum";
}

Bytes lz4_frame_of(size_t n, char fill) {
  Bytes out;
  const std::string plain(n, fill);
  lz4_frame_compress(bv(plain), out);
  return out;
}

TEST(SsTableFormat, Lz4OutputIsBounded) {
  // A normal block can never decode to more than its bounded plain size.
  Bytes bomb = with_checksum(lz4_frame_of(300'000, 0));
  auto normal = Block::decode(file_of(bomb), false, sb("k"), CompressionType::LZ4);
  ASSERT_FALSE(normal.ok());
  EXPECT_EQ(normal.error().to_string(),
            "Decode error: (LZ4 frame content exceeds the limit of 196607 bytes)");

  // A large block is held to the configured cap.
  Bytes blocks = with_checksum(lz4_frame_of(2 << 20, 'x'));
  Bytes file = assemble_table(blocks, {{5, "big", 0x81, std::nullopt}});
  EXPECT_EQ(parse_error(file, true, 1 << 20),
            "Decode error: (LZ4 frame content exceeds the limit of 1048576 bytes)");
  auto ok = SsTable::parse(file_of(file), true, 4 << 20);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value()->get(bv("big"))->size(), size_t(2 << 20));

  // The writer stores a large value above the cap plain, so it stays readable.
  SsTableBuilder b(4096, CompressionType::LZ4, false, 1 << 20);
  const std::string big(2 << 20, 'x');
  b.add(bv("big"), bv(big));
  SsTablePtr t = b.finish();
  EXPECT_EQ(t->meta()[0].compression_type, CompressionType::None);
  EXPECT_EQ(parse_error(t->data().to_vector(), true, 1 << 20), "ok");
}

TEST(SsTableFormat, TruncatedAndConcatenatedFrames) {
  Bytes frame = lz4_frame_of(1000, 'q');
  auto truncated = lz4_frame_decompress(ByteView(frame).first(frame.size() - 3), 1 << 20);
  EXPECT_FALSE(truncated.ok());
  auto empty = lz4_frame_decompress({}, 1 << 20);
  EXPECT_FALSE(empty.ok());
  Bytes two = frame;
  brenvik::append(two, frame);
  auto both = lz4_frame_decompress(two, 1 << 20);
  ASSERT_TRUE(both.ok()) << both.error();
  EXPECT_EQ(both.value().size(), 2000u);
  auto exact = lz4_frame_decompress(frame, 1000);
  EXPECT_TRUE(exact.ok());
  auto over = lz4_frame_decompress(frame, 999);
  EXPECT_FALSE(over.ok());
}

// Blocks the writer compresses are plain LZ4 frames: the independent lz4
// command-line tool decodes them to the block's plain form.
TEST(SsTableFormat, CompressedBlocksDecodeWithTheLz4Tool) {
  if (std::system("command -v lz4 >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "the lz4 command-line tool is not installed";
  }
  std::mt19937_64 rng(11);
  SsTableBuilder b(4096, CompressionType::LZ4, false);
  std::map<std::string, std::string> m;
  while (m.size() < 400) m[random_key(rng, 16)] = std::string(30, char('a' + rng() % 3));
  m["zzbig"] = std::string(100000, 'r');  // a large block too
  for (auto& [k, v] : m) b.add(bv(k), bv(v));
  SsTablePtr t = b.finish();
  const auto dir =
      std::filesystem::temp_directory_path() / ("kesu_lz4_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  size_t checked = 0;
  for (size_t i = 0; i < t->block_count(); ++i) {
    if (t->meta()[i].compression_type != CompressionType::LZ4) continue;
    const size_t s = t->meta()[i].offset;
    const size_t e = i + 1 < t->block_count() ? t->meta()[i + 1].offset : t->meta_offset();
    const auto in = dir / "block.lz4";
    const auto out = dir / "block.plain";
    {
      std::ofstream f(in, std::ios::binary);
      f.write(reinterpret_cast<const char*>(t->data().data() + s), std::streamsize(e - 4 - s));
    }
    const std::string cmd = "lz4 -d -q -f -c '" + in.string() + "' > '" + out.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "block " << i;
    std::ifstream f(out, std::ios::binary);
    Bytes tool((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // Our own plain form of the block: re-encode it uncompressed.
    Bytes ours;
    t->get_block(i)->encode(ours, CompressionType::None);
    ours.resize(ours.size() - 4);
    EXPECT_EQ(tool, ours) << "block " << i;
    ++checked;
  }
  std::filesystem::remove_all(dir);
  EXPECT_GE(checked, 2u);
}

}  // namespace
}  // namespace kesu
