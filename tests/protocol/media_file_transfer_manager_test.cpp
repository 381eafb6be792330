#include <gtest/gtest.h>

#include "crypto/sha256.h"
#include "protocol/media/file_transfer_manager.h"
#include "util/hex.h"

namespace brenvik {
namespace {

std::string sha_hex(const Bytes& b) {
  auto d = crypto::sha256(b);
  return hex_encode(ByteView(d.data(), d.size()));
}

class FileTransferManagerTest : public ::testing::Test {
 protected:
  // A chunk of a `size`-byte file cut into `total` pieces of `len` bytes.
  FileChunk chunk(const std::string& id, uint32_t index, uint32_t total, uint64_t size, size_t len,
                  uint8_t fill = 1, std::string checksum = "sum") {
    return FileChunk{id, "f.bin", size, total, index, Bytes(len, fill), std::move(checksum)};
  }
  Result<ChunkProgress, ChunkRejection> feed(FileTransferManager& m, const std::string& sender,
                                             FileChunk c) {
    return m.process_file_chunk(sender, std::move(c));
  }

  ManualClock clock;
};

TEST_F(FileTransferManagerTest, ChunkCapFollowsTheFileSizeLimit) {
  struct Row {
    uint64_t max_file_size;
    uint64_t expected;
  };
  for (Row r : {Row{104857600, 102401}, Row{1048575, 1024}, Row{1048576, 1025}}) {
    FileTransferManager m(FileTransferConfig{32768, r.max_file_size, 32, 16, UINT64_MAX}, clock);
    EXPECT_EQ(m.max_total_chunks(), r.expected) << r.max_file_size;
  }
  // A budget below one largest transfer is raised to it: 1000 + 1000 x 64.
  FileTransferManager small(FileTransferConfig{32768, 1000, 32, 16, 10}, clock);
  EXPECT_EQ(small.config().max_total_buffered_bytes, 65000u);
  FileTransferManager core_values(FileTransferConfig{}, clock);
  EXPECT_EQ(core_values.config().max_total_buffered_bytes, 134217728u);
}

TEST_F(FileTransferManagerTest, SplitsIntoIndexedChunksWithTheFileChecksum) {
  FileTransferManager m(FileTransferConfig{}, clock);
  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
  auto r = m.split_file("f", "a.bin", data, 30);
  ASSERT_TRUE(r.ok());
  const auto& chunks = r.value();
  ASSERT_EQ(chunks.size(), 4u);
  size_t lens[] = {30, 30, 30, 10};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(chunks[i].chunk_index, i);
    EXPECT_EQ(chunks[i].chunk_data.size(), lens[i]);
    EXPECT_EQ(chunks[i].chunk_data[0], uint8_t(30 * i));
    EXPECT_EQ(chunks[i].file_size, 100u);
    EXPECT_EQ(chunks[i].total_chunks, 4u);
    EXPECT_EQ(chunks[i].file_checksum, sha_hex(data));
  }

  struct Bad {
    size_t size;
    uint64_t chunk_size;
    std::string text;
  };
  FileTransferManager small(FileTransferConfig{32768, 2000, 32, 16, UINT64_MAX}, clock);
  for (const Bad& b :
       {Bad{2001, 100, "File size 2001 exceeds maximum 2000"}, Bad{0, 100, "File is empty"},
        Bad{10, 0, "Chunk size must be greater than zero"},
        Bad{1025, 1,
            "Chunk size 1 splits 1025 bytes into 1025 chunks, exceeding the "
            "receive-side cap of 1024; use a larger chunk size"}}) {
    auto e = small.split_file("f", "a", Bytes(b.size, 7), b.chunk_size);
    ASSERT_FALSE(e.ok()) << b.text;
    EXPECT_EQ(e.error().message(), b.text);
    EXPECT_EQ(e.error().code(), "invalid_request");
  }
}

TEST_F(FileTransferManagerTest, AssemblesOutOfOrderChunksAndChecksTheFile) {
  FileTransferManager m(FileTransferConfig{}, clock);
  Bytes data(70);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  auto chunks = m.split_file("f", "a.bin", data, 30).value();
  EXPECT_TRUE(feed(m, "alice", chunks[2]).ok());
  auto p = feed(m, "alice", chunks[0]);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().received_chunks, 2u);
  EXPECT_EQ(p.value().percentage, 66);
  EXPECT_FALSE(m.is_complete("f"));
  EXPECT_FALSE(m.finalize_file("f").has_value());  // incomplete: nothing changes
  EXPECT_TRUE(feed(m, "alice", chunks[1]).ok());
  EXPECT_TRUE(m.is_complete("f"));
  auto file = m.finalize_file("f");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(*file, data);
  EXPECT_EQ(m.active_transfers(), 0u);
  // A finished id is not failed: it may open a new transfer.
  EXPECT_TRUE(feed(m, "alice", chunks[0]).ok());
}

TEST_F(FileTransferManagerTest, CorruptFilesAreDroppedAndRemembered) {
  FileTransferManager m(FileTransferConfig{}, clock);
  Bytes data(10, 5);
  std::string upper = sha_hex(data);
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(feed(m, "alice", chunk("f", 0, 1, 10, 10, 5, upper)).ok());
  EXPECT_FALSE(m.finalize_file("f").has_value());
  EXPECT_EQ(m.active_transfers(), 0u);
  EXPECT_EQ(feed(m, "alice", chunk("f", 0, 1, 10, 10, 5, upper)).error(),
            ChunkRejection::PreviouslyFailed);
}

TEST_F(FileTransferManagerTest, RefusesChunksWhoseClaimsDoNotHold) {
  FileTransferManager m(FileTransferConfig{}, clock);
  ASSERT_TRUE(feed(m, "alice", chunk("open", 0, 2, 20, 10)).ok());
  struct Row {
    const char* name;
    std::string sender;
    FileChunk c;
    ChunkRejection expected;
  };
  std::vector<Row> rows = {
      {"no chunks", "alice", chunk("x", 0, 0, 10, 5), ChunkRejection::InvalidChunk},
      {"index past the end", "alice", chunk("x", 2, 2, 10, 5), ChunkRejection::InvalidChunk},
      {"empty file", "alice", chunk("x", 0, 1, 0, 5), ChunkRejection::InvalidChunk},
      {"file too large", "alice", chunk("x", 0, 1, 104857601, 5), ChunkRejection::InvalidChunk},
      {"more chunks than bytes", "alice", chunk("x", 0, 11, 10, 1), ChunkRejection::InvalidChunk},
      {"empty data", "alice", chunk("x", 0, 1, 10, 0), ChunkRejection::InvalidChunk},
      {"data longer than the file", "alice", chunk("x", 0, 1, 10, 11),
       ChunkRejection::InvalidChunk},
      {"another sender", "mallory", chunk("open", 1, 2, 20, 10), ChunkRejection::SenderMismatch},
      {"other total", "alice", chunk("open", 1, 3, 20, 10), ChunkRejection::MetadataMismatch},
      {"other checksum", "alice", chunk("open", 1, 2, 20, 10, 1, "x"),
       ChunkRejection::MetadataMismatch},
      {"more bytes than the file", "alice", chunk("open", 1, 2, 20, 11),
       ChunkRejection::InvalidChunk},
  };
  for (Row& row : rows) {
    auto r = feed(m, row.sender, row.c);
    ASSERT_FALSE(r.ok()) << row.name;
    EXPECT_EQ(r.error(), row.expected) << row.name;
  }
  // None of these harmed the open transfer.
  EXPECT_TRUE(feed(m, "alice", chunk("open", 1, 2, 20, 10)).ok());
  EXPECT_TRUE(m.is_complete("open"));
}

TEST_F(FileTransferManagerTest, DuplicateChunkReplacesTheCopyAndChargesTheDifference) {
  FileTransferManager m(FileTransferConfig{}, clock);
  ASSERT_TRUE(feed(m, "alice", chunk("f", 3, 5, 100, 10)).ok());
  EXPECT_EQ(m.total_buffered_bytes(), 74u);
  auto p = feed(m, "alice", chunk("f", 3, 5, 100, 12, 9));
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().received_chunks, 1u);
  EXPECT_EQ(m.total_buffered_bytes(), 76u);
}

TEST_F(FileTransferManagerTest, LimitsTransfersGloballyAndPerSender) {
  FileTransferManager m(FileTransferConfig{}, clock);
  for (int i = 0; i < 16; ++i)
    ASSERT_TRUE(feed(m, "alice", chunk("a" + std::to_string(i), 0, 2, 20, 10)).ok());
  EXPECT_EQ(feed(m, "alice", chunk("a16", 0, 2, 20, 10)).error(),
            ChunkRejection::SenderQuotaExceeded);
  for (int i = 0; i < 16; ++i)
    ASSERT_TRUE(feed(m, "bob", chunk("b" + std::to_string(i), 0, 2, 20, 10)).ok());
  EXPECT_EQ(feed(m, "carol", chunk("c0", 0, 2, 20, 10)).error(), ChunkRejection::TooManyTransfers);
  // The refused id stays failed while its chunks keep coming.
  clock.advance(std::chrono::seconds(299));
  m.prune_stale(std::chrono::seconds(300));
  EXPECT_EQ(feed(m, "carol", chunk("c0", 1, 2, 20, 10)).error(), ChunkRejection::PreviouslyFailed);
}

TEST_F(FileTransferManagerTest, BudgetRefusalDropsTheTransfer) {
  FileTransferManager big(FileTransferConfig{32768, 100000, 32, 16, 10}, clock);
  // Raised to one largest transfer: 100000 + 1024 x 64.
  ASSERT_EQ(big.config().max_total_buffered_bytes, 165536u);
  ASSERT_TRUE(feed(big, "alice", chunk("f", 0, 4, 100000, 50000)).ok());
  ASSERT_TRUE(feed(big, "bob", chunk("g", 0, 4, 100000, 60000)).ok());
  ASSERT_TRUE(feed(big, "carol", chunk("h", 0, 4, 100000, 50000)).ok());
  EXPECT_EQ(big.total_buffered_bytes(), 160192u);
  EXPECT_EQ(feed(big, "alice", chunk("f", 1, 4, 100000, 10000)).error(),
            ChunkRejection::BufferBudgetExhausted);
  EXPECT_FALSE(big.progress("f").has_value());
  EXPECT_TRUE(big.progress("g").has_value());
  EXPECT_EQ(big.total_buffered_bytes(), 110128u);
  EXPECT_EQ(feed(big, "alice", chunk("f", 2, 4, 100000, 10)).error(),
            ChunkRejection::PreviouslyFailed);
}

TEST_F(FileTransferManagerTest, PruningDropsIdleTransfersAndForgetsOldFailures) {
  FileTransferManager m(FileTransferConfig{}, clock);
  ASSERT_TRUE(feed(m, "alice", chunk("idle", 0, 2, 20, 10)).ok());
  clock.advance(std::chrono::seconds(200));
  ASSERT_TRUE(feed(m, "alice", chunk("busy", 0, 2, 20, 10)).ok());
  clock.advance(std::chrono::seconds(101));
  auto stale = m.prune_stale(std::chrono::seconds(300));
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0].file_id, "idle");
  EXPECT_EQ(stale[0].sender, "alice");
  EXPECT_TRUE(m.has_failed("idle"));
  clock.advance(std::chrono::seconds(301));
  m.prune_stale(std::chrono::seconds(300));
  EXPECT_FALSE(m.has_failed("idle"));
  // Cancelling is not failing; abandoning is.
  ASSERT_TRUE(feed(m, "alice", chunk("c", 0, 2, 20, 10)).ok());
  EXPECT_TRUE(m.cancel_transfer("c"));
  EXPECT_FALSE(m.cancel_transfer("c"));
  EXPECT_FALSE(m.has_failed("c"));
  m.abandon_transfer("never-seen");
  EXPECT_TRUE(m.has_failed("never-seen"));
}

TEST(SeenIdSetTest, KeepsTheNewest1024ByFirstInsertion) {
  ManualClock clock;
  SeenIdSet s(clock, {1, 2});
  for (int i = 0; i < 1025; ++i) s.insert("id" + std::to_string(i));
  EXPECT_EQ(s.size(), 1024u);
  EXPECT_FALSE(s.contains_and_touch("id0"));
  EXPECT_TRUE(s.contains_and_touch("id1"));
  // Touching does not move an id: id1 is still the next to go.
  s.insert("id1");
  s.insert("new");
  EXPECT_FALSE(s.contains_and_touch("id1"));
  EXPECT_TRUE(s.contains_and_touch("id2"));
}

TEST(ChunkPercentage, TruncatesAndCaps) {
  EXPECT_EQ(chunk_percentage(0, 0), 0);
  EXPECT_EQ(chunk_percentage(1, 3), 33);
  EXPECT_EQ(chunk_percentage(3, 3), 100);
  EXPECT_EQ(chunk_percentage(10, 3), 255);
}

}  // namespace
}  // namespace brenvik
