// Files between two in-process devices over the simulated BLE link: the
// sender's window paced by acknowledgements, the receiver's reassembly and
// the bytes it hands the host; and the host's own chunk intake.
#include <chrono>

#include "crypto/sha256.h"
#include "facade_fixture.h"
#include "util/base64.h"
#include "util/hex.h"

namespace brenvik::ffi {
namespace {

using testing::Device;
using testing::link;
using testing::of_type;
using testing::settle;

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i * 131) ^ (i >> 8));
  return b;
}

// Ticks both devices and moves frames until the transfer stops moving.
void run(ManualClock& clock, Device& a, Device& b, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    settle(a, b);
    clock.advance(std::chrono::milliseconds(50));
    ASSERT_TRUE(body::brenvikprotocol_process(*a).ok());
    ASSERT_TRUE(body::brenvikprotocol_process(*b).ok());
  }
  settle(a, b);
}

TEST(FileTransfer, AFileCrossesInChunksAndArrivesByteForByte) {
  ManualClock clock;
  Device a("alice", clock), b("bob", clock);
  link(a, b);
  a.drain_events();
  b.drain_events();

  // Over BLE: chunks of 4,096 bytes, two in flight at a time.
  const Bytes data = pattern(4096 * 4 + 123);
  MediaMetadata meta;
  meta.mime_type = "application/pdf";
  meta.file_name = "report.pdf";
  meta.file_size = data.size();
  auto id =
      body::brenvikprotocol_send_media(*a, "bob", data, "report.pdf", ContentType::File, meta);
  ASSERT_TRUE(id.ok()) << id.error().display();
  EXPECT_TRUE(id->starts_with("file_"));
  run(clock, a, b, 8);

  auto received = of_type(b.drain_events(), "file_received");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].at("file_id"), *id);
  EXPECT_EQ(received[0].at("file_name"), "report.pdf");
  EXPECT_EQ(received[0].at("file_size"), data.size());
  EXPECT_EQ(received[0].at("sender"), "alice");
  EXPECT_EQ(received[0].at("content_type"), "file");
  EXPECT_EQ(received[0].at("app_id"), "demo.chat");
  auto bytes = base64_decode(received[0].at("file_data").get<std::string>());
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes.value(), data);

  auto sender_side = a.drain_events();
  auto progress = of_type(sender_side, "file_progress");
  ASSERT_EQ(progress.size(), 6u);  // the start and one per acknowledged chunk
  EXPECT_EQ(progress.front().at("chunks_sent"), 0);
  EXPECT_EQ(progress.back().at("chunks_sent"), 5);
  EXPECT_EQ(progress.back().at("percentage"), 100);
  auto done = of_type(sender_side, "media_sent");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].at("file_id"), *id);
  EXPECT_EQ(body::brenvikprotocol_get_pending_ack_count(*a), 0u);
  EXPECT_EQ(body::brenvikprotocol_get_retry_queue_size(*a), 0u);
  EXPECT_FALSE(body::brenvikprotocol_get_file_progress(*b, *id).has_value());
}

TEST(FileTransfer, SendFileAndRichSendsCheckTheirArguments) {
  ManualClock clock;
  Device a("alice", clock), b("bob", clock);
  link(a, b);
  auto r = body::brenvikprotocol_send_file(*a, "bob", Bytes{}, "empty.txt");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "Invalid argument: File is empty");

  RichMediaOptions bad;
  bad.forward_info = ForwardInfo{"alice", "not-a-uuid", 0, 1};
  r = body::brenvikprotocol_send_media_rich(*a, "bob", pattern(10), "x", ContentType::Image, bad);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().display().starts_with(
      "Invalid argument: Invalid forward_info.original_message_id: "))
      << r.error().display();

  RichMediaOptions chosen;
  chosen.file_id = "my-file";
  chosen.caption = "look";
  r = body::brenvikprotocol_send_media_rich(*a, "bob", pattern(10), "x.png", ContentType::Image,
                                            chosen);
  ASSERT_TRUE(r.ok()) << r.error().display();
  EXPECT_EQ(*r, "my-file");
  r = body::brenvikprotocol_send_media_rich(*a, "bob", pattern(10), "x.png", ContentType::Image,
                                            chosen);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(),
            "Invalid argument: file_id my-file already has an active outbound transfer");

  auto f = body::brenvikprotocol_send_file(*a, "bob", pattern(10), "a.txt");
  ASSERT_TRUE(f.ok());
  run(clock, a, b, 3);
  auto got = of_type(b.drain_events(), "file_received");
  ASSERT_EQ(got.size(), 2u);
  for (const auto& e : got) {
    // Plaintext drops the caption; the content type travels with chunk 0.
    EXPECT_FALSE(e.contains("caption"));
    EXPECT_EQ(e.at("content_type"), e.at("file_id") == "my-file" ? "image" : "file");
  }
}

TEST(FileTransfer, HostFedChunksAreJudgedAndAssembled) {
  ManualClock clock;
  Device a("alice", clock);
  const Bytes file = pattern(100);
  const std::string sum =
      "ad2a4b8d8b3d4f6a03b1b1d0f0a2f0ce05a1f0c1d3e1d4f2d3f1e4c1f0a2b3c4";  // not the file's
  auto feed = [&](uint32_t index, uint32_t total, uint64_t size, Bytes data, std::string checksum) {
    return body::brenvikprotocol_process_file_chunk(*a, "host-1", index, total, size, "h.bin",
                                                    checksum, std::move(data));
  };
  struct Row {
    const char* name;
    uint32_t index, total;
    std::string expected;
  };
  for (const Row& row :
       {Row{"no chunks", 0, 0, "Invalid argument: File chunk rejected: invalid_chunk"},
        Row{"index past the end", 4, 4, "Invalid argument: File chunk rejected: invalid_chunk"}}) {
    auto r = feed(row.index, row.total, 100, Bytes(10, 1), sum);
    ASSERT_FALSE(r.ok()) << row.name;
    EXPECT_EQ(r.error().display(), row.expected) << row.name;
  }

  ASSERT_TRUE(feed(0, 4, 100, Bytes(file.begin(), file.begin() + 25), sum).ok());
  auto p = body::brenvikprotocol_get_file_progress(*a, "host-1");
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->chunks_received, 1u);
  EXPECT_EQ(p->total_chunks, 4u);
  EXPECT_EQ(p->percentage, 25);
  auto fin = body::brenvikprotocol_finalize_file(*a, "host-1");
  ASSERT_FALSE(fin.ok());
  EXPECT_EQ(fin.error().display(), "Invalid state: File not found or incomplete");
  for (uint32_t i = 1; i < 4; ++i)
    ASSERT_TRUE(
        feed(i, 4, 100, Bytes(file.begin() + 25 * i, file.begin() + 25 * (i + 1)), sum).ok());
  // The checksum is wrong: the complete file fails its check, and the id is
  // remembered as failed.
  fin = body::brenvikprotocol_finalize_file(*a, "host-1");
  ASSERT_FALSE(fin.ok());
  auto again = feed(0, 4, 100, Bytes(10, 1), sum);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().display(), "Invalid state: File chunk rejected: previously_failed");

  // With the file's own checksum the same chunks assemble.
  auto digest = crypto::sha256(file);
  const std::string good = hex_encode(ByteView(digest.data(), digest.size()));
  for (uint32_t i = 0; i < 2; ++i)
    ASSERT_TRUE(body::brenvikprotocol_process_file_chunk(
                    *a, "host-3", i, 2, 100, "h.bin", good,
                    Bytes(file.begin() + 50 * i, file.begin() + 50 * (i + 1)))
                    .ok());
  EXPECT_TRUE(body::brenvikprotocol_finalize_file(*a, "host-3").ok());

  ASSERT_TRUE(
      body::brenvikprotocol_process_file_chunk(*a, "host-2", 0, 2, 20, "c", "s", Bytes(10, 1))
          .ok());
  EXPECT_TRUE(body::brenvikprotocol_cancel_file_transfer(*a, "host-2").ok());
  auto twice = body::brenvikprotocol_cancel_file_transfer(*a, "host-2");
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().display(), "Invalid state: File transfer not found");
  EXPECT_FALSE(body::brenvikprotocol_get_file_progress(*a, "nothing").has_value());
}

}  // namespace
}  // namespace brenvik::ffi
