// The receive pipeline on one core fed by a fake transport: each case hands
// over crafted frames and checks what reached the host, what was
// acknowledged, what was logged, and what the deduplicator kept.
#include <gtest/gtest.h>

#include <functional>

#include "core/rich_payload.h"
#include "core_test_support.h"
#include "util/log.h"

namespace brenvik::testing {
namespace {

class ReceivePipelineTest : public CoreFixture {
 public:  // the case tables build frames through the fixture
  void SetUp() override { setup(plaintext_config()); }
  void setup(ProtocolConfig c) {
    c.local_user_id = "bob";
    make_core(std::move(c));
    // The internet relay reaches every peer, so acknowledgements leave
    // through it and land in `link->sent`.
    link = add_transport(TransportType::Internet);
    start();
  }

  Message from(const std::string& sender, std::string content, bool requires_ack = true) {
    MessageBuilder b(sender, "bob", "com.example.chat");
    b.with_content(std::move(content)).with_requires_ack(requires_ack);
    return std::move(b).build(clock);
  }
  void inject(const Message& m) { link->inbound.push_back(m); }

  std::vector<Message> acks() const {
    std::vector<Message> out;
    for (const auto& m : link->sent)
      if (m.metadata.contains("ack_for")) out.push_back(m);
    return out;
  }
  size_t received_count() const { return events_of<event::MessageReceived>().size(); }
  static bool logged(const ScopedLogCapture& cap, std::string_view text) {
    for (const auto& e : cap.entries())
      if (e.message.find(text) != std::string::npos) return true;
    return false;
  }

  std::shared_ptr<FakeTransport> link;
};

TEST_F(ReceivePipelineTest, DeliversPlainTextAndAcknowledgesIt) {
  Message m = from("alice", "hello");
  m.lamport_clock = 41;
  m.hop_count = 2;
  inject(m);
  std::optional<Message> got = core->receive_message();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->content, "hello");
  EXPECT_FALSE(core->receive_message().has_value());

  auto ev = events_of<event::MessageReceived>();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].message_id, display_message_id(m.id));
  EXPECT_EQ(ev[0].transport, "internet");
  EXPECT_EQ(ev[0].hop_count, 2);
  EXPECT_EQ(ev[0].lamport_clock, 41u);
  EXPECT_EQ(ev[0].content_type, "text");
  EXPECT_EQ(core->lamport_clock(), 42u);

  auto a = acks();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].recipient, "alice");
  EXPECT_EQ(a[0].metadata.at("ack_for"), display_message_id(m.id));
  EXPECT_EQ(a[0].metadata.at("ack_hop_count"), "2");
  EXPECT_EQ(a[0].metadata.at("ack_transport"), "internet");
  EXPECT_EQ(core->TEST_seen_set_changes(), 1u);
}

// Every way a frame ends before it reaches the host. `frames` are handed
// over in order; the expectations cover the whole sequence.
TEST_F(ReceivePipelineTest, RefusalsAndDrops) {
  struct Row {
    const char* name;
    std::function<void(ProtocolCore&)> prepare;
    std::function<std::vector<Message>(ReceivePipelineTest&)> frames;
    size_t delivered;
    size_t acked;
    const char* log;  // a log line that must appear, or nullptr
    size_t warnings;  // security warnings raised
  };
  auto none = [](ProtocolCore&) {};
  std::vector<Row> rows = {
      {"own origin forged", none,
       [](ReceivePipelineTest& t) {
         Message m = t.from("bob", "hi");
         m.recipient = "carol";
         return std::vector<Message>{m};
       },
       0, 0, "Dropping inbound frame forging our own origin", 0},
      {"addressed to another device", none,
       [](ReceivePipelineTest& t) {
         Message m = t.from("alice", "hi");
         m.recipient = "carol";
         return std::vector<Message>{m};
       },
       0, 0, "this node does not relay", 0},
      {"from and to ourselves is ours", none,
       [](ReceivePipelineTest& t) { return std::vector<Message>{t.from("bob", "note to self")}; },
       1, 1, nullptr, 0},
      {"duplicate acknowledged again, delivered once", none,
       [](ReceivePipelineTest& t) {
         Message m = t.from("alice", "hi");
         return std::vector<Message>{m, m};
       },
       1, 2, nullptr, 0},
      {"duplicate without ack request is only dropped", none,
       [](ReceivePipelineTest& t) {
         Message m = t.from("alice", "hi", false);
         return std::vector<Message>{m, m};
       },
       1, 0, nullptr, 0},
      {"blocked sender", [](ProtocolCore& c) { c.set_user_blocked("alice", true); },
       [](ReceivePipelineTest& t) { return std::vector<Message>{t.from("alice", "hi")}; }, 0, 0,
       "Dropping message from blocked user", 0},
      {"unknown marker is ordinary content", none,
       [](ReceivePipelineTest& t) { return std::vector<Message>{t.from("alice", "__FOO__x")}; }, 1,
       1, nullptr, 0},
      {"unsigned control message refused, and again on resend", none,
       [](ReceivePipelineTest& t) {
         Message m = t.from("alice", "__CONN_REQ__{}");
         return std::vector<Message>{m, m};
       },
       0, 0, "control traffic must be signed", 1},
      {"relay-server notice without a handler is left unacknowledged", none,
       [](ReceivePipelineTest& t) {
         return std::vector<Message>{t.from("relay", "__GROUP_INFO__{}")};
       },
       0, 0, "has no handler on this node", 0},
      {"unreadable chunk is dropped for good and acknowledged, never delivered", none,
       [](ReceivePipelineTest& t) {
         Message m = t.from("alice", "{}");
         m.content_type = ContentType::FileChunk;
         return std::vector<Message>{m};
       },
       0, 1, "Failed to deserialize file chunk, dropping", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    events.clear();
    setup(plaintext_config());
    row.prepare(*core);
    ScopedLogCapture cap(LogLevel::Debug);
    for (const Message& m : row.frames(*this)) inject(m);
    core->drain_received();
    EXPECT_EQ(received_count(), row.delivered);
    EXPECT_EQ(acks().size(), row.acked);
    if (row.log) {
      EXPECT_TRUE(logged(cap, row.log)) << row.log;
    }
    EXPECT_EQ(events_of<event::SecurityWarning>().size(), row.warnings);
  }
}

// A refused or deferred id is forgotten, so the same frame is looked at
// again; a delivered one stays recorded.
TEST_F(ReceivePipelineTest, RefusedIdsAreForgottenDeliveredOnesKept) {
  Message deferred = from("alice", "__CONN_REQ__{}");
  Message plain = from("alice", "hi");
  inject(deferred);
  inject(plain);
  core->drain_received();
  EXPECT_FALSE(core->deduplicator().is_duplicate(display_message_id(deferred.id)));
  EXPECT_TRUE(core->deduplicator().is_duplicate(display_message_id(plain.id)));
}

TEST_F(ReceivePipelineTest, PlaintextRefusedWhenEncryptionRequired) {
  ProtocolConfig c = plaintext_config();
  c.encryption.enabled = true;
  c.encryption.require_encryption = true;
  setup(c);
  ScopedLogCapture cap(LogLevel::Warn);
  Message first = from("alice", "hi");
  inject(first);
  inject(first);  // forgotten, so refused again rather than treated as a duplicate
  inject(from("alice", "again"));
  inject(from("carol", "hello"));
  core->drain_received();
  EXPECT_EQ(received_count(), 0u);
  EXPECT_TRUE(acks().empty());
  EXPECT_TRUE(logged(cap, "Rejecting unencrypted inbound message (encryption policy)"));
  auto warnings = events_of<event::SecurityWarning>();
  ASSERT_EQ(warnings.size(), 2u);  // once per sender
  EXPECT_EQ(warnings[0].peer_id, "alice");
  EXPECT_EQ(warnings[0].reason_code, SecurityWarningReason::PlaintextReceiveRejected);
  EXPECT_EQ(warnings[0].reason, "Inbound plaintext message rejected by encryption policy");
  EXPECT_EQ(warnings[1].peer_id, "carol");
  EXPECT_FALSE(core->deduplicator().is_duplicate(display_message_id(first.id)));
}

TEST_F(ReceivePipelineTest, ReadyMessagesComeFirstWithoutPolling) {
  {
    auto g = lock_shared_state(*core->TEST_shared());
    ASSERT_TRUE(g.ok());
    (*g)->ready_messages.push_back(from("alice", "one"));
    (*g)->ready_messages.push_back(from("alice", "two"));
  }
  inject(from("alice", "three"));
  EXPECT_EQ(core->receive_message()->content, "one");
  EXPECT_EQ(core->receive_message()->content, "two");
  EXPECT_EQ(link->inbound.size(), 1u);  // not polled yet
  EXPECT_EQ(core->receive_message()->content, "three");
  EXPECT_EQ(received_count(), 1u);  // the ready ones were announced by their producer
}

// Delivery and its events do not depend on the lifecycle.
TEST_F(ReceivePipelineTest, ReceivesWhilePausedAndStopped) {
  ASSERT_TRUE(core->pause().ok());
  inject(from("alice", "paused"));
  EXPECT_TRUE(core->receive_message().has_value());
  ASSERT_TRUE(core->stop().ok());
  inject(from("alice", "stopped"));
  EXPECT_TRUE(core->receive_message().has_value());
  EXPECT_EQ(received_count(), 2u);
}

TEST_F(ReceivePipelineTest, TickPollsFramesNoIngressDrained) {
  inject(from("alice", "late"));
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(received_count(), 1u);
  EXPECT_TRUE(link->inbound.empty());
  EXPECT_EQ(acks().size(), 1u);
}

TEST_F(ReceivePipelineTest, PoisonedSharedStateEndsTheCallWithNothing) {
  inject(from("alice", "hi"));
  try {
    auto g = core->TEST_shared()->lock();
    throw 1;
  } catch (int) {
  }
  ScopedLogCapture cap(LogLevel::Error);
  EXPECT_FALSE(core->receive_message().has_value());
  EXPECT_TRUE(logged(cap, "Failed to lock shared state in receive_message"));
  EXPECT_EQ(link->inbound.size(), 1u);  // left queued
}

// ------------------------------------------------------- acknowledgements

class AckSettlementTest : public ReceivePipelineTest {
 protected:
  // Sends one message to alice and returns its id.
  MessageId send_to_alice() {
    auto id = core->send_message("alice", "hello", SendOptions{});
    EXPECT_TRUE(id.ok());
    return id.value();
  }
  Message ack_from(const std::string& sender, const MessageId& id,
                   std::map<std::string, std::string> extra = {}) {
    Message m = from(sender, "", false);
    m.metadata["ack_for"] = display_message_id(id);
    for (auto& [k, v] : extra) m.metadata[k] = v;
    return m;
  }
};

TEST_F(AckSettlementTest, AcknowledgementsSettleOnlyFromTheRecipient) {
  struct Row {
    const char* name;
    bool block_alice;
    std::string sender;
    std::map<std::string, std::string> extra;
    bool settles;
    std::string transport;
    uint8_t hops;
  };
  std::vector<Row> rows = {
      {"recipient, defaults", false, "alice", {}, true, "ble", 0},
      {"mixed-case Wi-Fi Direct and signed hops",
       false,
       "alice",
       {{"ack_transport", "WiFi-Direct"}, {"ack_hop_count", "+7"}},
       true,
       "wifiDirect",
       7},
      {"hop count out of range", false, "alice", {{"ack_hop_count", "256"}}, true, "ble", 0},
      {"someone else", false, "mallory", {}, false, "", 0},
      {"blocked recipient", true, "alice", {}, false, "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    events.clear();
    setup(plaintext_config());
    if (row.block_alice) core->set_user_blocked("alice", true);
    MessageId id = row.block_alice ? [&] {
      core->set_user_blocked("alice", false);
      MessageId i = send_to_alice();
      core->set_user_blocked("alice", true);
      return i;
    }()
                                   : send_to_alice();
    inject(ack_from(row.sender, id, row.extra));
    EXPECT_FALSE(core->receive_message().has_value());  // never handed to the host
    auto delivered = events_of<event::MessageDelivered>();
    EXPECT_EQ(received_count(), 0u);
    if (!row.settles) {
      EXPECT_TRUE(delivered.empty());
      EXPECT_EQ(core->ack_manager().size(), 1u);
      EXPECT_EQ(core->TEST_outbox().entries().size(), 1u);
      continue;
    }
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].message_id, display_message_id(id));
    EXPECT_EQ(delivered[0].transport, row.transport);
    EXPECT_EQ(delivered[0].hop_count, row.hops);
    EXPECT_EQ(core->ack_manager().size(), 0u);
    EXPECT_TRUE(core->TEST_outbox().entries().empty());
  }
}

// An acknowledgement is never recorded as a received id, and one naming a
// message this device never sent changes nothing.
TEST_F(AckSettlementTest, StrayAcknowledgementIsHarmless) {
  Message stray = ack_from("mallory", new_message_id());
  inject(stray);
  inject(from("alice", "", false));
  core->drain_received();
  EXPECT_FALSE(core->deduplicator().is_duplicate(display_message_id(stray.id)));
  EXPECT_TRUE(events_of<event::MessageDelivered>().empty());
}

// ------------------------------------------------------------ rich content

TEST(ParseRichContent, UnpacksValidPayloadsAndKeepsInvalidOnesRaw) {
  ManualClock clock;
  MessageBuilder builder("alice", "bob", "app");
  builder.with_content("x");
  Message base = std::move(builder).build(clock);
  base.reply_context = ReplyContext{"carol", "old", {}, {}, {}};

  RichPayloadV1 rich;
  rich.text = "look";
  MediaMetadata media;
  media.mime_type = "image/png";
  media.file_name = "a.png";
  media.file_size = 10;
  rich.media_metadata = media;
  rich.content_type = ContentType::Image;
  struct Row {
    const char* name;
    std::string text;
    std::string content;
    ContentType type;
    bool has_media;
  };
  std::vector<Row> rows = {
      {"rich payload", rich.to_content(), "look", ContentType::Image, true},
      {"marker with broken JSON", "__RICH_V1__{nope", "__RICH_V1__{nope", ContentType::Text, false},
      {"plain text", "plain", "plain", ContentType::Text, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Message m = base;
    m.metadata["encrypted"] = "false";
    parse_rich_content(m, row.text);
    EXPECT_EQ(m.content, row.content);
    EXPECT_EQ(m.content_type, row.type);
    EXPECT_EQ(m.media_metadata.has_value(), row.has_media);
    EXPECT_FALSE(m.reply_context.has_value());
    EXPECT_EQ(m.metadata.at("encrypted"), "true");
  }
}

}  // namespace
}  // namespace brenvik::testing
