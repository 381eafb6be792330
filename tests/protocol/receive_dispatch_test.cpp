// The dispatcher and the control gate: which internal kinds are gated,
// where each kind goes, the gate's verdicts on signed and unsigned frames,
// and the three conversation signals turned into host events.
#include <gtest/gtest.h>

#include "core/address.h"
#include "core_test_support.h"
#include "crypto/ed25519.h"
#include "protocol/receive/internal_kinds.h"
#include "protocol/reserved_markers.h"
#include "sealed/canonical_payload.h"
#include "util/base64.h"
#include "util/log.h"

namespace brenvik::testing {
namespace {

// A device identity: an Ed25519 key and the address it derives to.
struct Identity {
  crypto::Ed25519PrivateKey key;
  std::string address;

  static Identity make() {
    auto k = crypto::Ed25519PrivateKey::generate();
    EXPECT_TRUE(k.ok());
    std::string addr = derive_address(k.value().public_key()).value();
    return Identity{std::move(k).value(), std::move(addr)};
  }
  // Signs the message as a control message (the timestamp-binding payload
  // unless `v1`).
  void sign(Message& m, bool v1 = false) const {
    Bytes payload = (v1 ? control_payload_v1(m) : control_payload_v2(m)).value();
    auto sig = key.sign(payload).value();
    m.metadata["__ctrl_sig"] = base64_encode(ByteView(sig.data(), sig.size()));
    m.metadata["__ctrl_pk"] =
        base64_encode(ByteView(key.public_key().data(), key.public_key().size()));
  }
};

class DispatchTest : public CoreFixture {
 public:  // the case tables build frames through the fixture
  void SetUp() override { setup(plaintext_config()); }
  void setup(ProtocolConfig c) {
    c.local_user_id = "bob";
    events.clear();
    make_core(std::move(c));
    start();
  }
  Message from(const std::string& sender, std::string content) {
    MessageBuilder b(sender, "bob", "com.example.chat");
    b.with_content(std::move(content));
    Message m = std::move(b).build(clock);
    return m;
  }
  Message signed_from(const Identity& id, std::string content, bool v1 = false) {
    Message m = from(id.address, std::move(content));
    id.sign(m, v1);
    return m;
  }
  DispatchOutcome::Kind dispatch(Message m, std::optional<TransportType> t = TransportType::Ble) {
    return core->dispatch_message(m, t).kind;
  }
  std::vector<SecurityWarningReason> warning_reasons() const {
    std::vector<SecurityWarningReason> out;
    for (const auto& w : events_of<event::SecurityWarning>()) out.push_back(w.reason_code);
    return out;
  }
  static bool logged(const ScopedLogCapture& cap, std::string_view text) {
    for (const auto& e : cap.entries())
      if (e.message.find(text) != std::string::npos) return true;
    return false;
  }

  Identity alice = Identity::make();
};

using K = DispatchOutcome::Kind;

TEST(InternalKindTable, MatchesTheReservedMarkersAndGatesAllButTwo) {
  auto table = internal_kind_table();
  ASSERT_EQ(table.size(), 36u);
  size_t relay_notices = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(table[i].marker);
    // The send path refuses exactly what the dispatcher recognises.
    EXPECT_TRUE(is_reserved_content_marker(table[i].marker));
    if (table[i].relay_notice) {
      ++relay_notices;
      EXPECT_TRUE(table[i].gated);
    }
    bool ungated = table[i].marker == "__MLS_ENC__" || table[i].marker == "__GROUP_MSG__";
    EXPECT_EQ(table[i].gated, !ungated);
    EXPECT_EQ(table[i].route == KindRoute::AwaitingHandler, !table[i].reason.empty());
    // Each marker finds its own row, with or without a body.
    EXPECT_EQ(find_internal_kind(std::string(table[i].marker) + "{}"), &table[i]);
  }
  EXPECT_EQ(find_internal_kind("__SVC_OTHER__{}")->kind, InternalKind::Service);
  EXPECT_EQ(find_internal_kind("__MLS_ENC_CONFIRM__")->kind, InternalKind::EncryptedConfirm);
  EXPECT_EQ(find_internal_kind("_MLS_ENC__"), nullptr);
  EXPECT_EQ(find_internal_kind("hello"), nullptr);
  EXPECT_TRUE(is_control_content("__MLS_ENC_CONFIRM__"));
  EXPECT_FALSE(is_control_content("__MLS_ENC__{}"));
  EXPECT_FALSE(is_control_content("__GROUP_MSG__{}"));
  EXPECT_EQ(relay_notices, 6u) << "the relay server's six notices";
}

// Where each signed kind goes once the gate has admitted it.
TEST_F(DispatchTest, SignedKindsReachTheirRoute) {
  struct Row {
    std::string content;
    K outcome;
  };
  std::vector<Row> rows = {
      {"plain text", K::NotInternal},
      {"__DATA_V1__{}", K::NotInternal},
      {"__RICH_V1__{}", K::NotInternal},
      {"__MLS_ENC_CONFIRM__", K::NotInternal},
      {"__GRP_RELAY_REG__{}", K::NotInternal},
      {"__PRESENCE__{\"status\":\"online\",\"timestamp_ms\":1}", K::Consumed},
      {"__TYPING__not json", K::Consumed},
      {"__CONN_REJ__", K::Deferred},
      {"__MLS_KEY_PKG__{}", K::Deferred},
      {"__SVC_UNKNOWN__{}", K::Deferred},
      {"__GRP_MLS_MSG__{}", K::Deferred},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content);
    EXPECT_EQ(dispatch(signed_from(alice, row.content)), row.outcome);
  }
  EXPECT_TRUE(warning_reasons().empty());
}

TEST_F(DispatchTest, PlainTextIsNotGatedAndLogsNothing) {
  ScopedLogCapture cap(LogLevel::Trace);
  EXPECT_EQ(dispatch(from("alice", "hello")), K::NotInternal);
  for (const auto& e : cap.entries()) EXPECT_NE(e.target, ProtocolCore::kSecurityLogTarget);
}

// The gate's refusals, each with its throttled warning.
TEST_F(DispatchTest, GateRefusals) {
  Identity mallory = Identity::make();
  struct Row {
    const char* name;
    std::function<Message(DispatchTest&)> make;
    std::optional<TransportType> arrival;
    std::vector<SecurityWarningReason> warnings;
    const char* log;
  };
  using R = SecurityWarningReason;
  std::vector<Row> rows = {
      {"unsigned control",
       [](DispatchTest& t) { return t.from(t.alice.address, "__DATA_V1__{}"); },
       TransportType::Ble,
       {R::UnsignedControlRejected},
       "control traffic must be signed"},
      {"signature without key",
       [](DispatchTest& t) {
         Message m = t.signed_from(t.alice, "__PRESENCE__{}");
         m.metadata.erase("__ctrl_pk");
         return m;
       },
       TransportType::Ble,
       {R::ControlSignatureInvalid},
       "Control message has signature but missing public key"},
      {"key without signature",
       [](DispatchTest& t) {
         Message m = t.signed_from(t.alice, "__PRESENCE__{}");
         m.metadata.erase("__ctrl_sig");
         return m;
       },
       TransportType::Ble,
       {R::ControlSignatureInvalid},
       "missing signature (malformed)"},
      {"signature not base64",
       [](DispatchTest& t) {
         Message m = t.signed_from(t.alice, "__PRESENCE__{}");
         m.metadata["__ctrl_sig"] = "!!";
         return m;
       },
       TransportType::Ble,
       {R::ControlSignatureInvalid},
       "Invalid control signature encoding: "},
      {"content changed after signing",
       [](DispatchTest& t) {
         Message m = t.signed_from(t.alice, "__PRESENCE__{}");
         m.content = "__PRESENCE__{ }";
         return m;
       },
       TransportType::Ble,
       {R::ControlSignatureInvalid},
       "Control message signature verification failed"},
      {"key of someone else",
       [&mallory](DispatchTest& t) {
         Message m = t.from(t.alice.address, "__PRESENCE__{}");
         mallory.sign(m);
         return m;
       },
       TransportType::Ble,
       {R::SenderAddressMismatch, R::ControlSignatureInvalid},
       "signature verification failed"},
      {"direct frame from another link peer",
       [](DispatchTest& t) {
         Message m = t.signed_from(t.alice, "__CONN_REQ__{}");
         m.transport_peer_id = "carol";
         return m;
       },
       TransportType::Ble,
       {R::TransportIdentityMismatch},
       "claimed sender does not match transport peer"},
      {"relay-server kind over BLE unsigned",
       [](DispatchTest& t) { return t.from("relay", "__GROUP_INFO__{}"); },
       TransportType::Ble,
       {R::UnsignedControlRejected},
       "control traffic must be signed"},
      {"relay-server kind replayed (no transport)",
       [](DispatchTest& t) { return t.from("relay", "__GROUP_INFO__{}"); },
       std::nullopt,
       {R::UnsignedControlRejected},
       "control traffic must be signed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    setup(plaintext_config());
    ScopedLogCapture cap(LogLevel::Debug);
    EXPECT_EQ(dispatch(row.make(*this), row.arrival), K::Rejected);
    EXPECT_EQ(warning_reasons(), row.warnings);
    EXPECT_TRUE(logged(cap, row.log)) << row.log;
  }
}

TEST_F(DispatchTest, GateAdmissions) {
  // A relayed frame's carrier is not its origin.
  Message relayed = signed_from(alice, "__CONN_REQ__{}");
  relayed.transport_peer_id = "carol";
  relayed.hop_count = 2;
  EXPECT_EQ(dispatch(relayed), K::Deferred);
  // The relay server's own notices come unsigned, straight from the relay.
  EXPECT_EQ(dispatch(from("relay", "__GROUP_INFO__{}"), TransportType::Internet), K::Deferred);
  // Encrypted traffic and relay group messages pass untouched.
  EXPECT_EQ(dispatch(from("relay", "__GROUP_MSG__{}"), TransportType::Internet), K::Deferred);
  EXPECT_EQ(dispatch(from(alice.address, "__MLS_ENC__{")), K::Consumed);
  EXPECT_TRUE(warning_reasons().empty());
}

TEST_F(DispatchTest, RequiredTransportIdentityRefusesFramesWithoutOne) {
  ProtocolConfig c = plaintext_config();
  c.switches.require_transport_identity = true;
  setup(c);
  EXPECT_EQ(dispatch(from("relay", "__GROUP_INFO__{}"), TransportType::Internet), K::Rejected);
  EXPECT_EQ(dispatch(signed_from(alice, "__CONN_REJ__")), K::Rejected);
  Message direct = signed_from(alice, "__CONN_REJ__");
  direct.transport_peer_id = alice.address;
  EXPECT_EQ(dispatch(direct), K::Deferred);
  // The warning is throttled per peer and reason.
  EXPECT_EQ(warning_reasons(),
            (std::vector<SecurityWarningReason>{SecurityWarningReason::TransportIdentityMismatch,
                                                SecurityWarningReason::TransportIdentityMismatch}));
}

TEST_F(DispatchTest, FreshnessWindowAndDowngrade) {
  ProtocolConfig c = plaintext_config();
  c.switches.session_switch = true;  // freshness enforcement
  setup(c);
  const int64_t now = clock.wall_unix_ms();
  struct Row {
    const char* name;
    int64_t timestamp;
    K outcome;
  };
  std::vector<Row> rows = {
      {"exactly 48 h ahead", now + 172'800'000, K::Consumed},
      {"one ms beyond 48 h ahead", now + 172'800'001, K::Rejected},
      {"exactly 30 days old", now - 2'592'000'000, K::Consumed},
      {"one ms older than 30 days", now - 2'592'000'001, K::Rejected},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Message m = from(alice.address, "__PRESENCE__{\"status\":\"away\",\"timestamp_ms\":1}");
    m.timestamp = row.timestamp;
    alice.sign(m);
    EXPECT_EQ(dispatch(m), row.outcome);
  }
  EXPECT_TRUE(core->TEST_control_gate().has_proved_freshness(alice.address));
  // Held to the newer payload: an older-payload presence is a downgrade, an
  // older-payload key package is still let in.
  EXPECT_EQ(dispatch(signed_from(alice, "__PRESENCE__{}", /*v1=*/true)), K::Rejected);
  EXPECT_EQ(dispatch(signed_from(alice, "__MLS_KEY_PKG__{}", /*v1=*/true)), K::Deferred);
  // A peer that never signed the newer payload may use the older one.
  Identity carol = Identity::make();
  EXPECT_EQ(dispatch(signed_from(carol, "__PRESENCE__{}", /*v1=*/true)), K::Consumed);
  // Stale and skewed frames and the downgrade share one throttled reason.
  EXPECT_EQ(warning_reasons(),
            (std::vector<SecurityWarningReason>{SecurityWarningReason::StaleControlFrame}));
}

TEST_F(DispatchTest, FreshnessNotEnforcedAdmitsOldFrames) {
  Message m = from(alice.address, "__PRESENCE__{}");
  m.timestamp = clock.wall_unix_ms() - 365LL * 86'400'000;
  alice.sign(m);
  EXPECT_EQ(dispatch(m), K::Consumed);
  auto adm = core->authenticate_control_message(m, TransportType::Ble);
  EXPECT_TRUE(adm.admitted);
  EXPECT_TRUE(adm.is_signed);
  EXPECT_FALSE(adm.fresh_timestamp_ms.has_value());
}

// ------------------------------------------------------------------ signals

TEST_F(DispatchTest, ConversationSignals) {
  struct Row {
    const char* name;
    std::string content;
    const char* warn;  // expected WARN text, nullptr when an event is raised
  };
  std::string ids256 = "[", ids257;
  for (int i = 0; i < 256; ++i) ids256 += std::string(i ? "," : "") + "\"m\"";
  ids257 = ids256 + ",\"m\"]";
  ids256 += "]";
  std::vector<Row> rows = {
      {"presence", R"(__PRESENCE__{"status":"away","timestamp_ms":5,"extra":[1]})", nullptr},
      {"presence as array", R"(__PRESENCE__["offline",5])", nullptr},
      {"presence unknown status", R"(__PRESENCE__{"status":"busy","timestamp_ms":5})",
       "Failed to parse Presence payload"},
      {"presence duplicate key",
       R"(__PRESENCE__{"status":"away","status":"away","timestamp_ms":5})",
       "Failed to parse Presence payload"},
      {"presence trailing text", R"(__PRESENCE__{"status":"away","timestamp_ms":5} x)",
       "Failed to parse Presence payload"},
      {"presence negative time", R"(__PRESENCE__{"status":"away","timestamp_ms":-1})",
       "Dropping presence update with negative timestamp"},
      {"typing", R"(__TYPING__{"conversation_id":"c1","is_typing":true,"timestamp_ms":0})",
       nullptr},
      {"typing negative time checked before empty id",
       R"(__TYPING__{"conversation_id":"","is_typing":true,"timestamp_ms":-1})",
       "Dropping typing indicator with negative timestamp"},
      {"typing empty conversation",
       R"(__TYPING__{"conversation_id":"","is_typing":true,"timestamp_ms":1})",
       "Dropping typing indicator with empty conversation_id"},
      {"typing missing field", R"(__TYPING__{"conversation_id":"c","timestamp_ms":1})",
       "Failed to parse TypingIndicator payload"},
      {"receipt at time zero", R"(__READ_RECEIPT__{"message_ids":["a","b"],"timestamp_ms":0})",
       nullptr},
      {"receipt with 256 ids",
       "__READ_RECEIPT__{\"message_ids\":" + ids256 + ",\"timestamp_ms\":1}", nullptr},
      {"receipt with 257 ids",
       "__READ_RECEIPT__{\"message_ids\":" + ids257 + ",\"timestamp_ms\":1}",
       "Dropping read receipt exceeding max message_ids count=257"},
      {"receipt empty", R"(__READ_RECEIPT__{"message_ids":[],"timestamp_ms":1})",
       "Dropping read receipt with empty message_ids"},
      {"receipt negative time", R"(__READ_RECEIPT__{"message_ids":["a"],"timestamp_ms":-5})",
       "Dropping read receipt with negative timestamp"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    events.clear();
    ScopedLogCapture cap(LogLevel::Warn);
    EXPECT_EQ(dispatch(signed_from(alice, row.content)), K::Consumed);
    if (row.warn) {
      EXPECT_TRUE(logged(cap, row.warn)) << row.warn;
      EXPECT_TRUE(events.empty());
    } else {
      EXPECT_TRUE(cap.entries().empty());
      EXPECT_EQ(events.size(), 1u);
    }
  }
}

TEST_F(DispatchTest, SignalEventsCarryTheirFields) {
  dispatch(signed_from(alice, R"(__PRESENCE__{"status":"away","timestamp_ms":77})"));
  dispatch(signed_from(alice,
                       R"(__TYPING__{"conversation_id":"c9","is_typing":false,"timestamp_ms":3})"));
  dispatch(signed_from(alice, R"(__READ_RECEIPT__{"message_ids":["x","y","x"],"timestamp_ms":9})"));
  auto p = events_of<event::PresenceUpdated>();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].peer_id, alice.address);
  EXPECT_EQ(p[0].status, PresenceStatus::Away);
  EXPECT_EQ(p[0].timestamp, 77);
  EXPECT_FALSE(p[0].last_seen_ms.has_value());
  EXPECT_EQ(p[0].source, PresenceSource::Peer);
  auto t = events_of<event::TypingIndicatorReceived>();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].conversation_id, "c9");
  EXPECT_FALSE(t[0].is_typing);
  auto r = events_of<event::ReadReceiptReceived>();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].message_ids, (std::vector<std::string>{"x", "y", "x"}));
  EXPECT_EQ(r[0].timestamp, 9);
}

// -------------------------------------------------------- encrypted entry

TEST_F(DispatchTest, EncryptedMessagesWithoutMlsAreReported) {
  struct Row {
    const char* name;
    bool withhold;
    std::string payload;
    K outcome;
    DecryptionFailureCode code;
  };
  const std::string json =
      R"({"message_type":"Application","epoch":1,"ciphertext":[1,2],"sender_id":"a",)"
      R"("timestamp_ms":5,"group_id":"session:a:b"})";
  std::vector<Row> rows = {
      {"undecodable, acknowledged", false, "{nope", K::Consumed,
       DecryptionFailureCode::InvalidPayload},
      {"undecodable, withheld", true, "%%%", K::Deferred, DecryptionFailureCode::InvalidPayload},
      {"decodable, no MLS", false, json, K::Consumed, DecryptionFailureCode::NotInitialized},
      {"decodable, no MLS, withhold does not apply", true, json, K::Consumed,
       DecryptionFailureCode::NotInitialized},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProtocolConfig c = plaintext_config();
    c.switches.report_decryption_failures = row.withhold;
    setup(c);
    EXPECT_EQ(dispatch(from("alice", "__MLS_ENC__" + row.payload)), row.outcome);
    auto f = events_of<event::MessageDecryptionFailed>();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].code, row.code);
    EXPECT_EQ(f[0].sender, "alice");
  }
}

}  // namespace
}  // namespace brenvik::testing
