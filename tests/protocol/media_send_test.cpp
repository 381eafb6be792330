#include <gtest/gtest.h>

#include "core_test_support.h"
#include "protocol/media/media_transfer.h"

namespace brenvik::testing {
namespace {

class MediaSendTest : public CoreFixture {
 protected:
  void SetUp() override { make_core(); }

  Result<std::string, ProtocolError> send(const std::string& to, size_t size,
                                          MediaSendRequest req = {},
                                          ContentType type = ContentType::File) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 31 + 7);
    return core->send_media(to, data, "note.bin", type, req);
  }
  // The recipient's acknowledgement of one chunk message.
  void ack(const Message& chunk_message) {
    MessageBuilder b(chunk_message.recipient, "alice", "com.example.chat");
    b.with_metadata("ack_for", display_message_id(chunk_message.id));
    core->settle_delivery_ack(std::move(b).build(clock));
  }
  static FileChunk chunk_of(const Message& m) {
    auto r = decode_file_chunk(*m.binary_content);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value() : FileChunk{};
  }
  bool no_trace() const {
    return core->TEST_outbound_media_transfers().empty() &&
           core->TEST_media_pump_states().empty() && core->TEST_media_descriptors().empty() &&
           core->TEST_media_binding_count() == 0 && events_of<event::FileProgress>().empty();
  }
};

TEST_F(MediaSendTest, RefusalsInOrderLeaveNoTrace) {
  auto ble = add_transport(TransportType::Ble);
  auto refused = [&](const char* name, Result<std::string, ProtocolError> r, std::string_view text,
                     std::string_view code) {
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_EQ(r.error().message(), text) << name;
    EXPECT_EQ(r.error().code(), code) << name;
    EXPECT_TRUE(no_trace()) << name;
    EXPECT_TRUE(ble->sent.empty()) << name;
  };
  refused("stopped, with a bad recipient too", send("", 10), "Protocol not started",
          "protocol_state_invalid");
  start();
  ASSERT_TRUE(core->pause().ok());
  refused("paused", send("bob", 10), "Protocol not started", "protocol_state_invalid");
  ASSERT_TRUE(core->resume().ok());
  events.clear();

  MediaSendRequest bad_app;
  bad_app.app_id = "";
  bad_app.file_id = "";
  auto r = send("", 10, bad_app);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().message().starts_with("Invalid recipient user ID: "));
  r = send("bob", 10, bad_app);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().message().starts_with("Invalid app_id: "));

  MediaSendRequest bad_reply;
  bad_reply.reply_to_msg = "not-a-uuid";
  bad_reply.file_id = "";
  r = send("bob", 10, bad_reply);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().message().starts_with("Invalid reply_to_msg: ")) << r.error().message();

  // {"caption":"..."} is 14 bytes around the caption.
  MediaSendRequest big;
  big.caption = std::string(32768 - 14 + 1, 'c');
  big.file_id = "";
  refused("extras one byte over, before the file id", send("bob", 10, big),
          "Rich extras too large: 32769 bytes serialized (max 32768)", "invalid_request");

  MediaSendRequest long_id;
  long_id.file_id = std::string(4097, 'f');
  refused("file id too long", send("bob", 10, long_id), "file_id length must be 1..=4096 bytes",
          "invalid_request");
  MediaSendRequest empty_id;
  empty_id.file_id = "";
  refused("file id empty", send("bob", 10, empty_id), "file_id length must be 1..=4096 bytes",
          "invalid_request");

  core->set_user_blocked("bob", true);
  refused("blocked", send("bob", 10), "User is blocked: bob", "recipient_blocked");
  core->set_user_blocked("bob", false);

  refused("empty file", send("bob", 0), "File is empty", "invalid_request");
  ble->set_status(TransportStatus::Unavailable);
  refused("no transport", send("bob", 10), "No available transport for media transfer",
          "transport_send_failed");
}

TEST_F(MediaSendTest, RequiredEncryptionWithoutMlsIsRefused) {
  ProtocolConfig c = plaintext_config();
  c.encryption.enabled = true;
  c.encryption.require_encryption = true;
  make_core(c);
  add_transport(TransportType::Internet);
  start();
  auto r = send("bob", 100);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), "crypto_failed");
  EXPECT_TRUE(r.error().message().starts_with(
      "Failed to encrypt message: MLS encryption is required (the default) but MLS is not "
      "initialized"));
  EXPECT_TRUE(r.error().message().ends_with("require_encryption=false to send plaintext media"));
  EXPECT_TRUE(no_trace());
}

TEST_F(MediaSendTest, BleTransferGoesOutInWindowsPacedByAcknowledgements) {
  auto ble = add_transport(TransportType::Ble);
  start();
  MediaSendRequest req;
  req.media_metadata = MediaMetadata{};
  req.media_metadata->mime_type = "audio/ogg";
  req.caption = "hi";  // plaintext: extras are dropped, the send goes on
  auto r = send("bob", 10000, req, ContentType::VoiceNote);
  ASSERT_TRUE(r.ok()) << r.error().message();
  const std::string id = r.value();
  EXPECT_EQ(id.size(), 41u);
  EXPECT_TRUE(id.starts_with("file_"));

  // 10,000 bytes at 4,096 a chunk: three chunks, a window of two.
  ASSERT_EQ(ble->sent.size(), 2u);
  auto progress = events_of<event::FileProgress>();
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0], (event::FileProgress{id, 0, 3, 0}));
  EXPECT_FALSE(core->TEST_outbound_media_transfers().at(id).extras.has_value());
  ASSERT_TRUE(core->TEST_media_descriptors().contains(id));
  EXPECT_EQ(core->TEST_media_descriptors().at(id).file_size, 10000u);

  const Message m0 = ble->sent[0];
  const Message m1 = ble->sent[1];
  for (const Message* m : {&m0, &m1}) {
    EXPECT_EQ(m->content_type, ContentType::FileChunk);
    EXPECT_TRUE(m->content.empty());
    EXPECT_TRUE(m->requires_ack);
    EXPECT_EQ(m->priority, MessagePriority::Medium);
    EXPECT_EQ(m->recipient, "bob");
    EXPECT_EQ(m->metadata.at("transport_preference"), "internet");
  }
  EXPECT_TRUE(m0.media_metadata.has_value());
  EXPECT_EQ(m0.metadata.at("original_content_type"), "voice_note");
  EXPECT_FALSE(m1.media_metadata.has_value());
  EXPECT_FALSE(m1.metadata.contains("original_content_type"));
  EXPECT_EQ(chunk_of(m0).chunk_index, 0u);
  EXPECT_EQ(chunk_of(m1).chunk_data.size(), 4096u);
  EXPECT_GT(m1.lamport_clock, m0.lamport_clock);

  // A full window sends nothing, tick after tick.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(ble->sent.size(), 2u);

  ack(m0);
  progress = events_of<event::FileProgress>();
  ASSERT_EQ(progress.size(), 2u);
  EXPECT_EQ(progress[1], (event::FileProgress{id, 1, 3, 33}));
  ASSERT_TRUE(core->process_tick().ok());
  ASSERT_EQ(ble->sent.size(), 3u);
  FileChunk last = chunk_of(ble->sent[2]);
  EXPECT_EQ(last.chunk_index, 2u);
  EXPECT_EQ(last.chunk_data.size(), 10000u - 2 * 4096);
  // Everything taken: later ticks send nothing more.
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(ble->sent.size(), 3u);

  ack(m1);
  EXPECT_TRUE(events_of<event::MediaSent>().empty());
  ack(ble->sent[2]);
  auto sent = events_of<event::MediaSent>();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], (event::MediaSent{id, "voice_note", "bob"}));
  EXPECT_EQ(events_of<event::FileProgress>().back(), (event::FileProgress{id, 3, 3, 100}));
  EXPECT_TRUE(core->TEST_outbound_media_transfers().empty());
  EXPECT_TRUE(core->TEST_media_pump_states().empty());
  EXPECT_TRUE(core->TEST_media_descriptors().empty());
  EXPECT_EQ(core->TEST_media_binding_count(), 0u);
  EXPECT_TRUE(core->TEST_outbox().chunks().empty());
}

TEST_F(MediaSendTest, InternetWindowRefillsExactlyTheAcknowledgedCount) {
  auto net = add_transport(TransportType::Internet);
  start();
  // 12 chunks of 262,144 bytes; a window of 8.
  auto r = send("bob", 262144 * 11 + 5);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(net->sent.size(), 8u);
  for (int i = 0; i < 3; ++i) ack(net->sent[i]);
  ASSERT_TRUE(core->process_tick().ok());
  ASSERT_EQ(net->sent.size(), 11u);
  EXPECT_EQ(chunk_of(net->sent[8]).chunk_index, 8u);
  EXPECT_EQ(chunk_of(net->sent[10]).chunk_index, 10u);
}

TEST_F(MediaSendTest, RefusedChunkIsDeferredAndRetriedOnTheTransfersTransport) {
  auto ble = add_transport(TransportType::Ble);
  start();
  ble->refuse = TransportError::send_failed("radio busy");
  auto r = send("bob", 5000);
  ASSERT_TRUE(r.ok()) << "a refused chunk is not a failed send";
  EXPECT_EQ(ble->send_calls, 2);
  EXPECT_EQ(core->TEST_media_binding_count(), 2u);
  EXPECT_EQ(core->TEST_outbox().chunks().size(), 2u);
  for (const auto& [mid, _] : core->TEST_outbox().chunks())
    EXPECT_EQ(core->media_transfer_transport(mid), TransportType::Ble);
  // Another transport appears; the retry still goes to BLE.
  auto net = add_transport(TransportType::Internet);
  ble->refuse.reset();
  advance_ms(60'000);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(ble->sent.size(), 2u);
  EXPECT_TRUE(net->sent.empty());
}

TEST_F(MediaSendTest, ChunkThatFailsForGoodAbortsTheTransfer) {
  auto ble = add_transport(TransportType::Ble);
  start();
  auto r = send("bob", 5000);
  ASSERT_TRUE(r.ok());
  const std::string id = r.value();
  core->abort_outbound_media_transfer("unknown", "whatever");
  EXPECT_TRUE(events_of<event::MediaSendFailed>().empty());
  EXPECT_EQ(core->TEST_outbound_media_transfers().size(), 1u);

  (void)core->fail_outbox_entry(ble->sent[0].id, "max retries exceeded");
  auto failed = events_of<event::MediaSendFailed>();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0], (event::MediaSendFailed{id, "bob", "max retries exceeded"}));
  EXPECT_TRUE(core->TEST_outbound_media_transfers().empty());
  EXPECT_TRUE(core->TEST_media_pump_states().empty());
  EXPECT_TRUE(core->TEST_media_descriptors().empty());
  EXPECT_EQ(core->TEST_media_binding_count(), 0u);
  // The other chunk's late acknowledgement finds no transfer.
  ack(ble->sent[1]);
  EXPECT_TRUE(events_of<event::MediaSent>().empty());
  // The id is free again.
  MediaSendRequest again;
  again.file_id = id;
  EXPECT_TRUE(send("bob", 5000, again).ok());
}

TEST_F(MediaSendTest, CallerChosenFileIdIsKeptAndMayNotRunTwice) {
  add_transport(TransportType::Internet);
  start();
  MediaSendRequest req;
  req.file_id = std::string(4096, 'x');
  auto r = send("bob", 10, req);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), *req.file_id);
  auto again = send("carol", 10, req);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(),
            "file_id " + *req.file_id + " already has an active outbound transfer");
  auto a = send("bob", 10);
  auto b = send("bob", 10);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value(), b.value());
}

TEST_F(MediaSendTest, TransportChoiceForATransfer) {
  struct Row {
    const char* name;
    std::vector<TransportType> available;
    bool wifi_link;
    std::optional<TransportType> current;  // set by one earlier text send
    std::optional<TransportType> expected;
  };
  using T = TransportType;
  std::vector<Row> rows = {
      {"internet before BLE", {T::Ble, T::Internet}, false, {}, T::Internet},
      {"Wi-Fi Direct without a link is skipped", {T::Ble, T::WifiDirect}, false, {}, T::Ble},
      {"Wi-Fi Direct with a link", {T::Ble, T::WifiDirect}, true, {}, T::WifiDirect},
      {"only Reticulum and Nostr", {T::Reticulum, T::Nostr}, false, {}, std::nullopt},
      {"the current transport first", {T::Internet, T::Nostr}, false, T::Nostr, T::Nostr},
  };
  for (const Row& row : rows) {
    make_core();
    std::map<T, std::shared_ptr<FakeTransport>> fakes;
    for (T t : row.available) {
      fakes[t] = add_transport(t);
      if (row.wifi_link && t == T::WifiDirect) fakes[t]->peers.push_back({"bob", std::nullopt});
    }
    start();
    if (row.current) {
      MessageBuilder b("alice", "bob", "com.example.chat");
      b.with_content("x");
      ASSERT_TRUE(core->send_via_forced_transport(std::move(b).build(clock), *row.current).ok());
    }
    auto chosen = core->choose_media_transport("bob");
    if (row.expected) {
      ASSERT_TRUE(chosen.ok()) << row.name;
      EXPECT_EQ(chosen.value(), *row.expected) << row.name;
    } else {
      ASSERT_FALSE(chosen.ok()) << row.name;
      EXPECT_EQ(chosen.error().message(), "No available transport for media transfer");
    }
  }
}

TEST_F(MediaSendTest, PerPeerLimitCountsEveryTransferByExactId) {
  add_transport(TransportType::Internet);
  start();
  EXPECT_EQ(core->count_active_media_transfers_to("bob"), 0u);
  EXPECT_TRUE(core->check_media_transfer_limit("bob", false).ok());
  // Clear-text sends are never limited, but they count for sealed ones.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(send("bob", 10).ok());
  ASSERT_TRUE(send("Bob", 10).ok());
  EXPECT_EQ(core->count_active_media_transfers_to("bob"), 3u);
  EXPECT_EQ(core->count_active_media_transfers_to("Bob"), 1u);
  EXPECT_EQ(core->count_active_data_transfers_to("bob"), 0u);
  auto limited = core->check_media_transfer_limit("bob", false);
  ASSERT_FALSE(limited.ok());
  EXPECT_EQ(limited.error().message(),
            "Too many concurrent media transfers to bob; retry after an active transfer completes");
  EXPECT_EQ(limited.error().code(), "media_transfer_limit");
  EXPECT_TRUE(core->check_media_transfer_limit("Bob", false).ok());
}

TEST(MediaEnvelope, FlagsVersionsAndLimits) {
  FileChunk c{"f", "n", 3, 1, 0, Bytes{1, 2, 3}, "s"};
  Bytes encoded = c.encode_binary();
  MediaMetadata meta;
  meta.mime_type = "image/png";
  MediaRichExtras extras;
  extras.caption = "cap";
  DataPurpose purpose{DataPurpose::Snapshot{"doc"}};

  struct Row {
    const char* name;
    MediaEnvelopeParts parts;
    uint8_t flags;
    uint8_t version;
  };
  std::vector<Row> rows = {
      {"a later chunk", {}, 0x00, 1},
      {"content type only", {nullptr, ContentType::Image, nullptr, nullptr}, 0x02, 1},
      {"with metadata", {&meta, ContentType::Image, nullptr, nullptr}, 0x03, 1},
      {"with extras", {nullptr, ContentType::File, &extras, nullptr}, 0x06, 2},
      {"data layer", {nullptr, ContentType::File, &extras, &purpose}, 0x0E, 3},
  };
  for (const Row& row : rows) {
    auto env = build_media_envelope(row.parts, encoded);
    ASSERT_TRUE(env.ok()) << row.name;
    const Bytes& b = env.value().bytes;
    EXPECT_EQ(b[0], row.flags) << row.name;
    EXPECT_EQ(env.value().version, row.version) << row.name;
    // The chunk is always the tail, without a length.
    ASSERT_GE(b.size(), encoded.size() + 1);
    EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), b.end() - encoded.size())) << row.name;
  }
  auto typed = build_media_envelope({nullptr, ContentType::Image, nullptr, nullptr}, encoded);
  const Bytes& t = typed.value().bytes;
  ASSERT_EQ(t.size(), 1 + 1 + 5 + encoded.size());
  EXPECT_EQ(t[1], 5);
  EXPECT_EQ(std::string(t.begin() + 2, t.begin() + 7), "image");

  MediaMetadata huge;
  huge.thumbnail_base64 = std::string(262144, 'A');
  auto too_big = build_media_envelope({&huge, ContentType::Image, nullptr, nullptr}, encoded);
  ASSERT_FALSE(too_big.ok());
  EXPECT_EQ(too_big.error().code(), "serialization_failed");
  EXPECT_TRUE(too_big.error().message().starts_with("Serialization error: media metadata length "));
  EXPECT_TRUE(
      too_big.error().message().ends_with(" exceeds maximum 262144 (thumbnail too large?)"));
}

TEST_F(MediaSendTest, ClearTransferCarriesAThumbnailTooLargeForAnEnvelope) {
  auto net = add_transport(TransportType::Internet);
  start();
  MediaSendRequest req;
  req.media_metadata = MediaMetadata{};
  req.media_metadata->thumbnail_base64 = std::string(262144, 'A');
  ASSERT_TRUE(send("bob", 100, req, ContentType::Image).ok());
  ASSERT_EQ(net->sent.size(), 1u);
  EXPECT_EQ(net->sent[0].media_metadata->thumbnail_base64->size(), 262144u);
}

}  // namespace
}  // namespace brenvik::testing
