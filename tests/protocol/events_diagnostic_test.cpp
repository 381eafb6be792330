// The diagnostic text form never shows content or peer identifiers; the
// redaction walk reaches exactly the identifier fields; copies are deep.
#include <gtest/gtest.h>

#include "protocol/events/protocol_event.h"

namespace brenvik {
namespace {

using namespace event;

struct DiagCase {
  const char* name;
  ProtocolEvent event;
  std::string text;
};

TEST(EventDiagnostic, TextForms) {
  MessageReceived mr;
  mr.message_id = "m";
  mr.sender = "alice";
  mr.recipient = "bob";
  mr.content = "h\xC3\xA9llo";  // 6 bytes, 5 characters
  mr.hop_count = 2;
  mr.transport = "ble";
  mr.timestamp = 1;
  mr.lamport_clock = 3;
  mr.content_type = "text";
  mr.app_id = "app";
  MediaMetadata mm;
  mm.encryption_key = "SECRET";
  mr.media_metadata = mm;

  GroupMessageReceived gm{
      "g", "s", "", "ts", "mid", std::string("r"), std::nullopt, mm, std::string("image")};

  const std::vector<DiagCase> cases = {
      {"neighbor lost", NeighborLost{"peer-1"}, R"(NeighborLost { peer_id: "[REDACTED]" })"},
      {"message received without reply", mr,
       R"(MessageReceived { message_id: "m", sender: "[REDACTED]", recipient: "[REDACTED]", content: "[REDACTED 6 bytes]", hop_count: 2, transport: "ble", timestamp: 1, lamport_clock: 3, reply_to_msg: "[REDACTED]", reply_context: false, content_type: "text", forward_info: false, encrypted: false, app_id: "app" })"},
      {"group message received shows four fields", gm,
       R"(GroupMessageReceived { group_id: "g", sender: "[REDACTED]", content: "[REDACTED 0 bytes]", forward_info: false })"},
      {"username never shown", UsernameResolved{"bob", {}, 2, 0},
       R"(UsernameResolved { username: "<redacted>", claim_count: 0, rejected: 2, truncated: 0 })"},
      {"fork resolved prints members in full", GroupEpochForkResolved{"g", 4, {"a", "b\"c"}},
       R"(GroupEpochForkResolved { group_id: "g", resolved_epoch: 4, failed_members: ["a", "b\"c"] })"},
      {"partial failure prints counts", GroupMessagePartialFailure{"g", {"a", "b"}, {"c"}},
       R"(GroupMessagePartialFailure { group_id: "g", failed_count: 2, succeeded_count: 1 })"},
      {"delivery report prints counts",
       GroupMessageDeliveryReport{"g", "m", {"a"}, {}, {"x", "y", "z"}},
       R"(GroupMessageDeliveryReport { group_id: "g", message_id: "m", delivered_count: 1, pushed_count: 0, missed_reissued_count: 3 })"},
      {"rssi none", NeighborDiscovered{"p", "ble", std::nullopt},
       R"(NeighborDiscovered { peer_id: "[REDACTED]", transport: "ble", rssi: None })"},
      {"rssi some", NeighborDiscovered{"p", "ble", int16_t(-70)},
       R"(NeighborDiscovered { peer_id: "[REDACTED]", transport: "ble", rssi: Some(-70) })"},
      {"connection request presence flags",
       ConnectionRequestReceived{"s", "Sam", 4, Bytes{1}, std::nullopt},
       R"(ConnectionRequestReceived { sender: "[REDACTED]", sender_name: "[REDACTED]", timestamp: 4, has_key_package: true, has_initial_message: false })"},
      {"file data summary",
       FileReceived{"f", "n", 1, "s", "file", std::nullopt, "AAAA", std::nullopt, std::string("c"),
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt},
       R"(FileReceived { file_id: "f", file_name: "n", file_size: 1, sender: "[REDACTED]", content_type: "file", file_data: "[4 bytes base64]", timestamp: None, caption: true, reply_to_msg: "[REDACTED]", reply_context: false, forward_info: false, app_id: None })"},
      {"attachment data summary", DataAttachmentReceived{"sp", "p", "h", "QUJD"},
       R"(DataAttachmentReceived { space_id: "[REDACTED]", peer_id: "[REDACTED]", hash: "h", data: "[4 base64 chars]" })"},
      {"presence enum names",
       PresenceUpdated{"p", PresenceStatus::Away, 5, int64_t(4), PresenceSource::Peer},
       R"(PresenceUpdated { peer_id: "[REDACTED]", status: Away, timestamp: 5, last_seen_ms: Some(4), source: Peer })"},
      {"scores as pairs", DorsScoreUpdated{{{"ble", 0.5f}, {"nostr", 1.0f}}},
       R"(DorsScoreUpdated { scores: [("ble", 0.5), ("nostr", 1)] })"},
      {"renamed skips old name", GroupRenamed{"g", "new", std::string("old"), "c"},
       R"(GroupRenamed { group_id: "g", new_name: "new", renamed_by: "[REDACTED]" })"},
      {"service body summary and capability count",
       ServiceDiscovered{"q", "s", "1", "p", {{"a", "1"}, {"b", "2"}}, 3},
       R"(ServiceDiscovered { query_id: "q", service_id: "s", version: "1", provider_peer_id: "[REDACTED]", capabilities_count: 2, hop_count: 3 })"},
      {"control characters escaped", RelayDemoted{"a\nb\x01"},
       R"(RelayDemoted { reason: "a\nb\u{1}" })"},
      {"NUL escaped by its number", RelayDemoted{std::string("a\0b\x7f", 4)},
       R"(RelayDemoted { reason: "a\u{0}b\u{7f}" })"},
      {"optional text unmarked", GroupError{"r", std::string("g")},
       R"(GroupError { reason: "r", group_id: Some("g") })"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.event.diagnostic_text(), c.text);
  }
}

std::vector<std::string> identifiers(ProtocolEvent e) {
  std::vector<std::string> seen;
  e.for_each_identifier([&](std::string& s) { seen.push_back(s); });
  return seen;
}

TEST(EventRedaction, VisitsExactlyIdentifierFields) {
  ForwardInfo f;
  f.original_sender = "orig";
  MessageSent ms{"m", "s", "r", "content", "low", true, 1, 2, f};
  EXPECT_EQ(identifiers(ms), (std::vector<std::string>{"s", "r", "orig"}));

  EXPECT_TRUE(identifiers(GroupError{"reason", std::nullopt}).empty());
  EXPECT_EQ(identifiers(GroupError{"reason", std::string("g")}), (std::vector<std::string>{"g"}));

  UsernameResolved ur{"name", {{"ad1", "pk1", 0}, {"ad2", "pk2", 0}}, 0, 0};
  EXPECT_EQ(identifiers(ur), (std::vector<std::string>{"name", "ad1", "pk1", "ad2", "pk2"}));

  GroupInfo gi{"g", "n", "c", "t", {{"u1", "admin", "1"}}};
  EXPECT_EQ(identifiers(gi), (std::vector<std::string>{"g", "c", "u1"}));

  // message ids are not identifiers
  EXPECT_EQ(identifiers(GroupMessageSent{"g", {"m1"}, 1}), (std::vector<std::string>{"g"}));
  EXPECT_EQ(identifiers(GroupMessageDeliveryReport{"g", "m", {"a"}, {"b"}, {"c"}}),
            (std::vector<std::string>{"g", "a", "b", "c"}));

  MessageReceived mr;
  mr.sender = "s";
  mr.recipient = "r";
  mr.reply_to_msg = "not-an-id";
  mr.reply_context = ReplyContext{"quoted-sender", "t", {}, {}, {}};
  EXPECT_EQ(identifiers(mr), (std::vector<std::string>{"s", "r", "quoted-sender"}));
}

TEST(EventRedaction, RewriteChangesOnlyIdentifiers) {
  ProtocolEvent e = UserGroups{{{"g1", "name", "t"}}};
  e.for_each_identifier([](std::string& s) { s = "H(" + s + ")"; });
  const auto* ug = e.get_if<UserGroups>();
  ASSERT_NE(ug, nullptr);
  EXPECT_EQ(ug->groups[0].group_id, "H(g1)");
  EXPECT_EQ(ug->groups[0].name, "name");
}

TEST(EventValue, CopiesAreDeep) {
  MessageReceived mr;
  mr.reply_context = ReplyContext{"s", "t", {}, {}, {}};
  MediaMetadata mm;
  mm.encryption_key = "k";
  mr.media_metadata = mm;
  ProtocolEvent a = mr;
  ProtocolEvent b = a;
  b.get_if<MessageReceived>()->reply_context->text = "changed";
  b.clear_media_key_material();
  EXPECT_EQ(a.get_if<MessageReceived>()->reply_context->text, "t");
  EXPECT_EQ(a.get_if<MessageReceived>()->media_metadata->encryption_key, "k");
  EXPECT_NE(a, b);

  ProtocolEvent c = ServiceDiscovered{"q", "s", "1", "p", {{"a", "1"}}, 1};
  ProtocolEvent d = c;
  d.get_if<ServiceDiscovered>()->capabilities["b"] = "2";
  EXPECT_EQ(c.get_if<ServiceDiscovered>()->capabilities.size(), 1u);
}

TEST(EventValue, KindNumbersFollowDeclarationOrder) {
  EXPECT_EQ(ProtocolEvent(MessageSent{}).kind(), 0u);
  EXPECT_EQ(ProtocolEvent(RelayDemotedBattery{}).kind(), 23u);
  EXPECT_EQ(ProtocolEvent(GroupRenamed{}).kind(), 53u);
  EXPECT_EQ(ProtocolEvent(SecurityWarning{}).kind(), 64u);
  EXPECT_EQ(ProtocolEvent(MessageRelayed{}).kind(), 65u);
  EXPECT_EQ(ProtocolEvent(DataDocUnsyncable{}).kind(), 74u);
  EXPECT_EQ(ProtocolEvent(DataDocUnsyncable{}).tag(), "data_doc_unsyncable");
}

}  // namespace
}  // namespace brenvik
