#include <gtest/gtest.h>

#include "core_test_support.h"

namespace brenvik::testing {
namespace {

class SendPathTest : public CoreFixture {
 protected:
  void SetUp() override { make_core(); }
};

// Each row makes two refusals true at once; the earlier one in the fixed
// order must win.
TEST_F(SendPathTest, RefusalOrder) {
  struct Row {
    const char* name;
    bool paused;
    std::string recipient;
    std::optional<std::string> app_id;
    bool blocked;
    std::string content;
    std::optional<ContentType> type;
    std::optional<std::string> reply_to;
    bool big_extras;
    std::string expected;
  };
  const std::string big(262145, 'a');
  const std::string exact(262144, 'a');
  std::vector<Row> rows = {
      {"paused before any argument",
       true,
       "",
       std::nullopt,
       false,
       "hi",
       {},
       {},
       false,
       "Protocol not started"},
      {"recipient before app id",
       false,
       "",
       "a:b",
       false,
       "hi",
       {},
       {},
       false,
       "Invalid recipient user ID: Invalid user ID: User ID cannot be empty"},
      {"recipient with slash",
       false,
       "a/b",
       {},
       false,
       "hi",
       {},
       {},
       false,
       "Invalid recipient user ID: Invalid user ID: User ID contains invalid characters ('/', "
       "'\\', or ':')"},
      {"app id before blocked",
       false,
       "bob",
       "a:b",
       true,
       "hi",
       {},
       {},
       false,
       "Invalid app_id: Invalid app ID: App ID contains invalid characters ('/', '\\', or ':')"},
      {"empty explicit app id is refused",
       false,
       "bob",
       "",
       false,
       "hi",
       {},
       {},
       false,
       "Invalid app_id: Invalid app ID: App ID cannot be empty"},
      {"blocked before size", false, "bob", {}, true, big, {}, {}, false, "User is blocked: bob"},
      {"size before marker",
       false,
       "bob",
       {},
       false,
       "__PRESENCE__" + big,
       {},
       {},
       false,
       "Message content too large: 262157 bytes (max 262144); use send_media for large payloads"},
      {"marker before file chunk",
       false,
       "bob",
       {},
       false,
       "__SVC_x",
       ContentType::FileChunk,
       {},
       false,
       "Message content must not start with a reserved internal prefix"},
      {"file chunk before reply",
       false,
       "bob",
       {},
       false,
       "hi",
       ContentType::FileChunk,
       "zz",
       false,
       "FileChunk is an internal content type and cannot be sent directly"},
      {"reply before extras",
       false,
       "bob",
       {},
       false,
       "hi",
       {},
       "zz",
       true,
       "Invalid reply_to_msg: Invalid message: Invalid message id: invalid length"},
      {"extras too large", false, "bob", {}, false, "hi", {}, {}, true, ""},
  };
  auto ble = add_transport(TransportType::Ble);
  start();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.paused) {
      ASSERT_TRUE(core->pause().ok());
    }
    core->set_user_blocked("bob", r.blocked);
    SendOptions o;
    o.app_id = r.app_id;
    o.content_type = r.type;
    o.reply_to_msg = r.reply_to;
    if (r.big_extras) {
      ReplyContext rc;
      rc.sender = "carol";
      rc.text = std::string(40000, 'q');
      o.reply_context = rc;
    }
    auto res = core->send_message(r.recipient, r.content, o);
    ASSERT_FALSE(res.ok());
    if (r.expected.empty()) {
      EXPECT_TRUE(res.error().message().starts_with("Rich extras too large: "))
          << res.error().message();
    } else {
      EXPECT_EQ(res.error().message(), r.expected);
    }
    if (r.paused) {
      ASSERT_TRUE(core->resume().ok());
    }
  }
  core->set_user_blocked("bob", false);
  EXPECT_EQ(ble->send_calls, 0);
  EXPECT_EQ(core->lamport_clock(), 0u);
  // The edges that pass: exactly 262144 bytes, a marker in lower case or later.
  for (const std::string& ok : {exact, std::string("__presence__"), std::string("x__PRESENCE__")}) {
    EXPECT_TRUE(core->send_message("bob", ok, {}).ok());
  }
}

TEST_F(SendPathTest, RequiredEncryptionWithoutMlsFails) {
  ProtocolConfig c = plaintext_config();
  c.encryption.enabled = true;
  c.encryption.require_encryption = true;
  make_core(c);
  add_transport(TransportType::Ble);
  start();
  auto r = core->send_message("bob", "hi", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), "crypto_failed");
  EXPECT_TRUE(
      r.error().message().starts_with("Failed to encrypt message: MLS encryption is required"));
}

TEST_F(SendPathTest, AcceptedSendRaisesSwitchThenSentAndWaitsForAck) {
  auto net = add_transport(TransportType::Internet);
  start();
  auto r = core->send_message("bob", "hello", {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(net->sent.size(), 1u);
  EXPECT_EQ(net->sent[0].content, "hello");
  EXPECT_EQ(net->sent[0].id, r.value());
  auto sw = events_of<event::TransportSwitched>();
  ASSERT_EQ(sw.size(), 1u);
  EXPECT_FALSE(sw[0].from.has_value());
  EXPECT_EQ(sw[0].to, "internet");
  ASSERT_EQ(events_of<event::MessageSent>().size(), 1u);
  EXPECT_EQ(events_of<event::MessageSent>()[0].message_id, display_message_id(r.value()));
  EXPECT_TRUE(core->ack_manager().is_pending(r.value()));
  ASSERT_TRUE(core->TEST_outbox().entries().contains(r.value()));
  EXPECT_EQ(core->TEST_outbox().entries().at(r.value()).attempt_count, 1u);
  // The router's events reached the host through the registry's sink.
  EXPECT_EQ(events_of<event::DorsScoreUpdated>().size(), 1u);
  EXPECT_EQ(events_of<event::DorsTransportSelected>().size(), 1u);
  // A second send on the same transport raises no switch.
  ASSERT_TRUE(core->send_message("bob", "again", {}).ok());
  EXPECT_EQ(events_of<event::TransportSwitched>().size(), 1u);
}

TEST_F(SendPathTest, RefusedSendIsDeferredAndRetriedWithBackoff) {
  auto net = add_transport(TransportType::Internet);
  net->refuse = TransportError::peer_not_reachable("bob is offline");
  start();
  auto r = core->send_message("bob", "hi", {});
  ASSERT_TRUE(r.ok());
  auto d = events_of<event::MessageDeferred>();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].reason, "peer_not_reachable");
  EXPECT_EQ(d[0].retry_count, 0u);
  ASSERT_TRUE(d[0].next_retry_at.has_value());
  EXPECT_EQ(*d[0].next_retry_at, clock.wall_unix_ms() + 1000);
  EXPECT_TRUE(core->TEST_outbox().entries().contains(r.value()));
  EXPECT_EQ(core->retry_queue().size(), 1u);
  // Not due yet: nothing is resent.
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(net->send_calls, 1);
  advance_ms(1000);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(net->send_calls, 2);
  auto retrying = events_of<event::MessageRetrying>();
  ASSERT_EQ(retrying.size(), 1u);
  EXPECT_EQ(retrying[0].retry_count, 1u);
  EXPECT_EQ(retrying[0].next_retry_at, clock.wall_unix_ms() + 2000);
  // The carrier comes back: the next retry is accepted and tracked.
  net->refuse.reset();
  advance_ms(2000);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(net->sent.size(), 1u);
  EXPECT_TRUE(core->ack_manager().is_pending(r.value()));
  EXPECT_EQ(core->TEST_outbox().entries().at(r.value()).attempt_count, 2u);
  EXPECT_EQ(core->retry_queue().size(), 0u);
}

TEST_F(SendPathTest, RetryPassResendsAtMostTwentyPerTick) {
  auto net = add_transport(TransportType::Internet);
  net->refuse = TransportError::send_failed("down");
  start();
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(core->send_message("bob", "m" + std::to_string(i), {}).ok());
  int base = net->send_calls;
  net->refuse.reset();
  advance_ms(1000);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(net->send_calls - base, 20);
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(net->send_calls - base, 30);
}

TEST_F(SendPathTest, PacedRetryPassSpendsTheBucket) {
  ProtocolConfig c = plaintext_config();
  c.retry.pacing_enabled = true;
  make_core(c);
  auto net = add_transport(TransportType::Internet);
  net->refuse = TransportError::send_failed("down");
  start();
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(core->send_message("bob", "m" + std::to_string(i), {}).ok());
  int base = net->send_calls;
  net->refuse.reset();
  advance_ms(1000);
  ASSERT_TRUE(core->process_tick().ok());  // first paced tick: full bucket
  EXPECT_EQ(net->send_calls - base, 20);
  EXPECT_DOUBLE_EQ(core->TEST_retry_tokens(), 4.0);
  ASSERT_TRUE(core->process_tick().ok());  // no time passed: 4 tokens
  EXPECT_EQ(net->send_calls - base, 24);
  EXPECT_DOUBLE_EQ(core->TEST_retry_tokens(), 0.0);
  ASSERT_TRUE(core->process_tick().ok());  // empty bucket: nothing
  EXPECT_EQ(net->send_calls - base, 24);
  advance_ms(250);  // 2 tokens
  ASSERT_TRUE(core->process_tick().ok());
  EXPECT_EQ(net->send_calls - base, 26);
}

TEST_F(SendPathTest, UnacknowledgedMessageRetriesUntilMaxRetries) {
  auto net = add_transport(TransportType::Internet);
  start();
  auto id = core->send_message("bob", "hello", {});
  ASSERT_TRUE(id.ok());
  for (int i = 0; i < 3000 && core->TEST_outbox().entries().contains(id.value()); ++i) {
    advance_ms(1000);
    ASSERT_TRUE(core->process_tick().ok());
  }
  auto retrying = events_of<event::MessageRetrying>();
  ASSERT_EQ(retrying.size(), 10u);
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(retrying[i].retry_count, i);
  auto failed = events_of<event::MessageFailed>();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].reason, "Max retries exceeded");
  EXPECT_EQ(failed[0].retry_count, 10u);
  EXPECT_FALSE(core->TEST_outbox().entries().contains(id.value()));
  EXPECT_FALSE(core->ack_manager().is_pending(id.value()));
  EXPECT_EQ(net->sent.size(), 11u);  // the first send and ten resends
  EXPECT_EQ(core->transports().link_stats(TransportType::Internet)->failures, 1u);
}

TEST_F(SendPathTest, DeliveryAcknowledgementSettlesOnlyFromTheRecipient) {
  auto net = add_transport(TransportType::Internet);
  start();
  auto id = core->send_message("bob", "hello", {});
  ASSERT_TRUE(id.ok());
  Message ack = MessageBuilder("mallory", "alice", "com.example.chat")
                    .with_metadata("ack_for", display_message_id(id.value()))
                    .with_metadata("ack_hop_count", "2")
                    .with_metadata("ack_transport", "internet")
                    .build();
  core->settle_delivery_ack(ack);
  EXPECT_TRUE(core->TEST_outbox().entries().contains(id.value()));
  ack.sender = "bob";
  advance_ms(120);
  core->settle_delivery_ack(ack);
  EXPECT_FALSE(core->TEST_outbox().entries().contains(id.value()));
  EXPECT_FALSE(core->ack_manager().is_pending(id.value()));
  auto delivered = events_of<event::MessageDelivered>();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].latency_ms, 120u);
  EXPECT_EQ(delivered[0].hop_count, 2);
  EXPECT_EQ(delivered[0].transport, "internet");
  EXPECT_EQ(core->transports().link_stats(TransportType::Internet)->successes, 1u);
}

TEST_F(SendPathTest, OutboxEvictsTheOldestAtCapacity) {
  start();
  std::vector<MessageId> ids;
  for (int i = 0; i < 501; ++i) {
    Message m = MessageBuilder("alice", "bob", "com.example.chat").build(clock);
    ids.push_back(m.id);
    core->outbox_insert(m);
    advance_ms(1);
  }
  EXPECT_EQ(core->TEST_outbox().entries().size(), 500u);
  EXPECT_FALSE(core->TEST_outbox().entries().contains(ids[0]));
  auto failed = events_of<event::MessageFailed>();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].message_id, display_message_id(ids[0]));
  EXPECT_EQ(failed[0].reason, "Outbox capacity exceeded");
  // Re-inserting a present id evicts nothing.
  core->outbox_insert(MessageBuilder("alice", "bob", "x").build(clock));
  EXPECT_EQ(events_of<event::MessageFailed>().size(), 2u);
  Message again = MessageBuilder("alice", "bob", "x").build(clock);
  again.id = ids[5];
  core->outbox_insert(again);
  EXPECT_EQ(events_of<event::MessageFailed>().size(), 2u);
  // A message that wants no acknowledgement never enters.
  MessageBuilder nb("alice", "bob", "x");
  nb.with_requires_ack(false);
  Message no_ack = std::move(nb).build(clock);
  core->outbox_insert(no_ack);
  EXPECT_FALSE(core->TEST_outbox().entries().contains(no_ack.id));
}

TEST_F(SendPathTest, ChunkOutboxEvictsSilently) {
  for (int i = 0; i < 101; ++i) {
    MessageBuilder b("alice", "bob", "x");
    b.with_content_type(ContentType::FileChunk);
    Message m = std::move(b).build(clock);
    core->outbox_insert(m);
    advance_ms(1);
  }
  EXPECT_EQ(core->TEST_outbox().chunks().size(), 100u);
  EXPECT_TRUE(events_of<event::MessageFailed>().empty());
}

TEST_F(SendPathTest, ControlSignalsCarryTheirMarkersAndLimits) {
  auto net = add_transport(TransportType::Internet);
  start();
  ASSERT_TRUE(core->send_presence_update("bob", PresenceStatus::Away).ok());
  ASSERT_EQ(net->sent.size(), 1u);
  EXPECT_EQ(net->sent[0].content, "__PRESENCE__{\"status\":\"away\",\"timestamp_ms\":" +
                                      std::to_string(clock.wall_unix_ms()) + "}");
  EXPECT_EQ(net->sent[0].priority, MessagePriority::Low);
  ASSERT_TRUE(core->send_read_receipt("bob", std::vector<std::string>(256, "id")).ok());
  auto r = core->send_read_receipt("bob", std::vector<std::string>(257, "id"));
  EXPECT_EQ(r.error().message(), "message_ids exceeds maximum of 256");
  EXPECT_EQ(core->send_read_receipt("bob", {}).error().message(), "message_ids must not be empty");
  core->set_user_blocked("bob", true);
  EXPECT_EQ(core->send_typing_indicator("bob", "", true).error().message(), "User is blocked: bob");
  core->set_user_blocked("bob", false);
  EXPECT_EQ(core->send_typing_indicator("bob", "", true).error().message(),
            "conversation_id must not be empty");
  // No transport takes it: still an id, kept in the outbox.
  net->refuse = TransportError::send_failed("down");
  auto deferred = core->send_typing_indicator("bob", "c1", true);
  ASSERT_TRUE(deferred.ok());
  EXPECT_TRUE(core->TEST_outbox().entries().contains(deferred.value()));
  ASSERT_TRUE(core->pause().ok());
  EXPECT_EQ(core->send_presence_update("bob", PresenceStatus::Online).error().message(),
            "Protocol not started");
}

TEST(MessageJsonIntake, ReadsDefaultsAndRefusesBadIdentities) {
  std::string base =
      R"({"id":"67e55044-10b1-426f-9247-bb680e5fe0c8","sender":"a","recipient":"b","app_id":"x",)"
      R"("priority":"High","ttl":8,"hop_count":0,"timestamp":1,"content":"hi"})";
  auto m = parse_message_json(base);
  ASSERT_TRUE(m.ok()) << m.error();
  EXPECT_TRUE(m.value().requires_ack);
  EXPECT_EQ(m.value().priority, MessagePriority::High);
  EXPECT_EQ(m.value().content_type, ContentType::Text);
  std::string bad = base;
  bad.replace(bad.find("\"a\""), 3, "\"..\"");
  auto e = parse_message_json(bad);
  ASSERT_FALSE(e.ok());
  EXPECT_NE(e.error().find("Invalid user ID: User ID cannot be '.' or '..' (path traversal)"),
            std::string::npos);
}

}  // namespace
}  // namespace brenvik::testing
