// Host event JSON: one golden line per event kind, plus the optional-field
// rules (left out versus null) and the code tables.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>
#include "protocol/events/event_json.h"

#include "util/json_reader.h"

namespace brenvik {
namespace {

using namespace event;

ForwardInfo fwd() {
  ForwardInfo f;
  f.original_sender = "alice";
  f.original_message_id = *parse_message_id("0123abcd-0000-4000-8000-00000000beef");
  f.original_timestamp = -5;
  f.forward_count = 2;
  return f;
}
constexpr const char* kFwdJson =
    R"({"original_sender":"alice","original_message_id":"0123abcd-0000-4000-8000-00000000beef","original_timestamp":-5,"forward_count":2})";

struct Golden {
  ProtocolEvent event;
  std::string json;
};

std::vector<Golden> goldens() {
  std::vector<Golden> g;
  g.push_back(
      {MessageSent{"m1", "a", "b", "hi", "high", true, 7, 18446744073709551615ULL, fwd()},
       std::string(
           R"({"type":"message_sent","message_id":"m1","sender":"a","recipient":"b","content":"hi","priority":"high","requires_ack":true,"timestamp":7,"lamport_clock":18446744073709551615,"forward_info":)") +
           kFwdJson + "}"});
  {
    MessageReceived e;
    e.message_id = "m2";
    e.sender = "a";
    e.recipient = "b";
    e.content = "x\"y";
    e.hop_count = 3;
    e.transport = "ble";
    e.timestamp = -1;
    e.lamport_clock = 9;
    e.content_type = "text";
    e.encrypted = true;
    e.app_id = "app";
    g.push_back(
        {e,
         R"({"type":"message_received","message_id":"m2","sender":"a","recipient":"b","content":"x\"y","hop_count":3,"transport":"ble","timestamp":-1,"lamport_clock":9,"content_type":"text","encrypted":true,"app_id":"app"})"});
    e.reply_to_msg = "r1";
    e.reply_context = ReplyContext{"c", "quoted", std::nullopt, std::nullopt, std::nullopt};
    MediaMetadata mm;
    mm.mime_type = "image/png";
    mm.file_name = "p.png";
    mm.file_size = 10;
    e.media_metadata = mm;
    e.forward_info = fwd();
    g.push_back(
        {e,
         std::string(
             R"({"type":"message_received","message_id":"m2","sender":"a","recipient":"b","content":"x\"y","hop_count":3,"transport":"ble","timestamp":-1,"lamport_clock":9,"reply_to_msg":"r1","reply_context":{"sender":"c","text":"quoted"},"content_type":"text","media_metadata":{"mime_type":"image/png","file_name":"p.png","file_size":10},"forward_info":)") +
             kFwdJson + R"(,"encrypted":true,"app_id":"app"})"});
  }
  g.push_back(
      {MessageDelivered{"m", 12, 1, "nostr"},
       R"({"type":"message_delivered","message_id":"m","latency_ms":12,"hop_count":1,"transport":"nostr"})"});
  g.push_back({MessageFailed{"m", "why", 4},
               R"({"type":"message_failed","message_id":"m","reason":"why","retry_count":4})"});
  g.push_back(
      {MessageDecryptionFailed{"m", "s", DecryptionFailureCode::PendingQueueDropped, "r"},
       R"({"type":"message_decryption_failed","message_id":"m","sender":"s","code":"PENDING_QUEUE_DROPPED","reason":"r"})"});
  g.push_back({TransportSwitched{std::nullopt, "ble", "r"},
               R"({"type":"transport_switched","from":null,"to":"ble","reason":"r"})"});
  g.push_back({RelayPromoted{5, std::nullopt},
               R"({"type":"relay_promoted","connection_count":5,"battery_level":null})"});
  g.push_back({RelayPromoted{5, uint8_t(80)},
               R"({"type":"relay_promoted","connection_count":5,"battery_level":80})"});
  g.push_back({RelayDemoted{"r"}, R"({"type":"relay_demoted","reason":"r"})"});
  g.push_back({NeighborDiscovered{"p", "ble", std::nullopt},
               R"({"type":"neighbor_discovered","peer_id":"p","transport":"ble","rssi":null})"});
  g.push_back({NeighborDiscovered{"p", "ble", int16_t(-70)},
               R"({"type":"neighbor_discovered","peer_id":"p","transport":"ble","rssi":-70})"});
  g.push_back({NeighborLost{"p"}, R"({"type":"neighbor_lost","peer_id":"p"})"});
  g.push_back({IdentityReady{"addr"}, R"({"type":"identity_ready","address":"addr"})"});
  g.push_back(
      {NetworkMetrics{1, 2, std::numeric_limits<float>::quiet_NaN(), 3},
       R"({"type":"network_metrics","neighbor_count":1,"relay_count":2,"delivery_ratio":null,"avg_latency_ms":3})"});
  g.push_back(
      {NetworkMetrics{1, 2, 0.5f, 3},
       R"({"type":"network_metrics","neighbor_count":1,"relay_count":2,"delivery_ratio":0.5,"avg_latency_ms":3})"});
  g.push_back(
      {FileProgress{"f", 1, 4, 25},
       R"({"type":"file_progress","file_id":"f","chunks_sent":1,"total_chunks":4,"percentage":25})"});
  {
    FileReceived e;
    e.file_id = "f";
    e.file_name = "n";
    e.file_size = 3;
    e.sender = "s";
    e.content_type = "file";
    e.file_data = "AAE=";
    g.push_back(
        {e,
         R"({"type":"file_received","file_id":"f","file_name":"n","file_size":3,"sender":"s","content_type":"file","file_data":"AAE="})"});
    e.timestamp = 5;
    e.caption = "cap";
    e.reply_to_msg = "r";
    e.reply_context = ReplyContext{"c", "t", 1, "lbl", "image"};
    e.forward_info = fwd();
    e.app_id = "app";
    g.push_back(
        {e,
         std::string(
             R"({"type":"file_received","file_id":"f","file_name":"n","file_size":3,"sender":"s","content_type":"file","file_data":"AAE=","timestamp":5,"caption":"cap","reply_to_msg":"r","reply_context":{"sender":"c","text":"t","timestamp":1,"reply_media_label":"lbl","reply_content_type":"image"},"forward_info":)") +
             kFwdJson + R"(,"app_id":"app"})"});
  }
  g.push_back(
      {FileReceiveFailed{"f", "n", "s", "r"},
       R"({"type":"file_receive_failed","file_id":"f","file_name":"n","sender":"s","reason":"r"})"});
  g.push_back({MediaSent{"f", "image", "r"},
               R"({"type":"media_sent","file_id":"f","content_type":"image","recipient":"r"})"});
  g.push_back({MediaSendFailed{"f", "r", "why"},
               R"({"type":"media_send_failed","file_id":"f","recipient":"r","reason":"why"})"});
  g.push_back(
      {MessageDeferred{"m", "r", "session_not_ready", 2, std::nullopt},
       R"({"type":"message_deferred","message_id":"m","recipient":"r","reason":"session_not_ready","retry_count":2,"next_retry_at":null})"});
  g.push_back(
      {MessageRetrying{"m", "r", 2, 99},
       R"({"type":"message_retrying","message_id":"m","recipient":"r","retry_count":2,"next_retry_at":99})"});
  g.push_back(
      {MessageUndeliverable{"m", "r", "why", std::nullopt},
       R"({"type":"message_undeliverable","message_id":"m","recipient":"r","reason":"why"})"});
  g.push_back(
      {MessageUndeliverable{"m", "r", "why", std::string("f")},
       R"({"type":"message_undeliverable","message_id":"m","recipient":"r","reason":"why","file_id":"f"})"});
  g.push_back(
      {MediaResendRequired{"f", "r", "n", 9, std::nullopt},
       R"({"type":"media_resend_required","file_id":"f","recipient":"r","file_name":"n","file_size":9})"});
  g.push_back({AckEvicted{"m", "low", "capacity"},
               R"({"type":"ack_evicted","message_id":"m","priority":"low","reason":"capacity"})"});
  g.push_back(
      {FragmentAssemblyEvicted{"m", 50, "stale"},
       R"({"type":"fragment_assembly_evicted","message_id":"m","completion_percent":50,"reason":"stale"})"});
  g.push_back({RelayDemotedBattery{10, 20},
               R"({"type":"relay_demoted_battery","battery_level":10,"min_required":20})"});
  g.push_back(
      {SecureSessionEstablished{"p", "g", true, false},
       R"({"type":"secure_session_established","peer_id":"p","group_id":"g","is_session":true,"initiated_by_local":false})"});
  g.push_back({SecureSessionFailed{"p", "r"},
               R"({"type":"secure_session_failed","peer_id":"p","reason":"r"})"});
  g.push_back({ConvergenceDiag{"st", "p", "d"},
               R"({"type":"convergence_diag","stage":"st","peer_id":"p","detail":"d"})"});
  g.push_back(
      {WelcomeSendAttempted{"p", "m", "g", 1},
       R"({"type":"welcome_send_attempted","peer_id":"p","message_id":"m","group_id":"g","attempt":1})"});
  g.push_back(
      {WelcomeSendSucceeded{"p", "m", "g", 2},
       R"({"type":"welcome_send_succeeded","peer_id":"p","message_id":"m","group_id":"g","attempt":2})"});
  g.push_back(
      {WelcomeSendFailed{"p", "m", "g", 3, WelcomeFailureReason::Timeout, std::nullopt, true,
                         std::nullopt},
       R"({"type":"welcome_send_failed","peer_id":"p","message_id":"m","group_id":"g","attempt":3,"reason_code":"TIMEOUT","retryable":true})"});
  g.push_back(
      {WelcomeSendFailed{"p", "m", "g", 3, WelcomeFailureReason::TransportUnavailable,
                         std::string("down"), false, int64_t(7)},
       R"({"type":"welcome_send_failed","peer_id":"p","message_id":"m","group_id":"g","attempt":3,"reason_code":"TRANSPORT_UNAVAILABLE","transport_error":"down","retryable":false,"next_retry_at":7})"});
  g.push_back(
      {WelcomeSendExpired{"p", "m", 6, WelcomeFailureReason::RetryExhausted},
       R"({"type":"welcome_send_expired","peer_id":"p","message_id":"m","attempt":6,"reason_code":"RETRY_EXHAUSTED"})"});
  g.push_back(
      {ConnectionRequestReceived{"s", "Sam", 4, Bytes{1, 2, 3}, std::nullopt},
       R"({"type":"connection_request_received","sender":"s","sender_name":"Sam","timestamp":4,"key_package":[1,2,3]})"});
  g.push_back(
      {ConnectionRequestUndeliverable{"r", "m", "why"},
       R"({"type":"connection_request_undeliverable","recipient":"r","message_id":"m","reason":"why"})"});
  g.push_back(
      {ConnectionAccepted{"a", "Ann", 4, std::nullopt},
       R"({"type":"connection_accepted","accepted_by":"a","accepted_by_name":"Ann","timestamp":4})"});
  g.push_back({ConnectionRejected{"x"}, R"({"type":"connection_rejected","rejected_by":"x"})"});
  g.push_back({ConnectionRequestCancelled{"x"},
               R"({"type":"connection_request_cancelled","cancelled_by":"x"})"});
  g.push_back(
      {GroupCreated{"g", "Team"}, R"({"type":"group_created","group_id":"g","name":"Team"})"});
  g.push_back(
      {GroupMessageReceived{"g", "s", "c", "2026-01-01T00:00:00Z", "m", std::nullopt, std::nullopt,
                            std::nullopt, std::nullopt},
       R"({"type":"group_message_received","group_id":"g","sender":"s","content":"c","timestamp":"2026-01-01T00:00:00Z","message_id":"m"})"});
  g.push_back(
      {GroupMemberAdded{"g", "u", "by", std::string("Team"), true},
       R"({"type":"group_member_added","group_id":"g","user_id":"u","added_by":"by","group_name":"Team","authorized":true})"});
  g.push_back(
      {GroupMemberRemoved{"g", "u", "by", std::nullopt},
       R"({"type":"group_member_removed","group_id":"g","user_id":"u","removed_by":"by"})"});
  g.push_back(
      {GroupMemberRemoved{"g", "u", "by", false},
       R"({"type":"group_member_removed","group_id":"g","user_id":"u","removed_by":"by","authorized":false})"});
  g.push_back(
      {GroupInfo{"g", "n", "c", "1700", {{"u1", "admin", "1701"}, {"u2", "member", "1702"}}},
       R"({"type":"group_info","group_id":"g","name":"n","created_by":"c","created_at":"1700","members":[{"user_id":"u1","role":"admin","joined_at":"1701"},{"user_id":"u2","role":"member","joined_at":"1702"}]})"});
  g.push_back(
      {UserGroups{{{"g", "n", "5"}}},
       R"({"type":"user_groups","groups":[{"group_id":"g","name":"n","created_at":"5"}]})"});
  g.push_back({GroupError{"r", std::nullopt}, R"({"type":"group_error","reason":"r"})"});
  g.push_back({GroupRelaySyncChanged{"g", true, "r"},
               R"({"type":"group_relay_sync_changed","group_id":"g","synced":true,"reason":"r"})"});
  g.push_back(
      {UsernameResolved{"bob", {}, 1, 0},
       R"({"type":"username_resolved","username":"bob","claims":[],"rejected":1,"truncated":0})"});
  g.push_back(
      {UsernameResolved{"bob", {{"ad", "pk", -2}}, 0, 3},
       R"({"type":"username_resolved","username":"bob","claims":[{"address":"ad","public_key":"pk","issued_at_ms":-2}],"rejected":0,"truncated":3})"});
  g.push_back(
      {GroupMessageSent{"g", {"m1", "m2"}, 3},
       R"({"type":"group_message_sent","group_id":"g","message_ids":["m1","m2"],"member_count":3})"});
  g.push_back(
      {GroupMessagePartialFailure{"g", {"a"}, {}},
       R"({"type":"group_message_partial_failure","group_id":"g","failed_members":["a"],"succeeded_members":[]})"});
  g.push_back(
      {GroupMessageDeliveryReport{"g", "m", {"a"}, {"b"}, {"c", "d"}},
       R"({"type":"group_message_delivery_report","group_id":"g","message_id":"m","delivered":["a"],"pushed":["b"],"missed_reissued":["c","d"]})"});
  g.push_back({GroupRichExtrasDropped{"g", {"x"}},
               R"({"type":"group_rich_extras_dropped","group_id":"g","unknown_members":["x"]})"});
  g.push_back(
      {GroupUnauthorizedMembershipChange{"g", "c", {"a"}, {"b"}, "r", true},
       R"({"type":"group_unauthorized_membership_change","group_id":"g","committer":"c","added":["a"],"removed":["b"],"reason":"r","enforced":true})"});
  g.push_back({GroupEpochForkDetected{"g", std::nullopt},
               R"({"type":"group_epoch_fork_detected","group_id":"g","local_epoch":null})"});
  g.push_back(
      {GroupEpochForkResolved{"g", 8, {"a"}},
       R"({"type":"group_epoch_fork_resolved","group_id":"g","resolved_epoch":8,"failed_members":["a"]})"});
  g.push_back(
      {GroupRoleChanged{"g", "u", "admin", "c"},
       R"({"type":"group_role_changed","group_id":"g","user_id":"u","new_role":"admin","changed_by":"c"})"});
  g.push_back(
      {GroupRenamed{"g", "new", std::nullopt, "c"},
       R"({"type":"group_renamed","group_id":"g","new_name":"new","old_name":null,"renamed_by":"c"})"});
  g.push_back(
      {ServiceDiscovered{"q", "svc", "1", "p", {}, 2},
       R"({"type":"service_discovered","query_id":"q","service_id":"svc","version":"1","provider_peer_id":"p","capabilities":{},"hop_count":2})"});
  g.push_back(
      {ServiceDiscovered{"q", "svc", "1", "p", {{"k", "v"}}, 2},
       R"({"type":"service_discovered","query_id":"q","service_id":"svc","version":"1","provider_peer_id":"p","capabilities":{"k":"v"},"hop_count":2})"});
  g.push_back(
      {ServiceRequestReceived{"r", "svc", "get", "{}", "s"},
       R"({"type":"service_request_received","request_id":"r","service_id":"svc","method":"get","body":"{}","sender":"s"})"});
  g.push_back(
      {ServiceResponseReceived{"r", "svc", "ok", "b", "p"},
       R"({"type":"service_response_received","request_id":"r","service_id":"svc","status":"ok","body":"b","provider_peer_id":"p"})"});
  g.push_back(
      {PresenceUpdated{"p", PresenceStatus::Away, 3, std::nullopt, PresenceSource::Reticulum},
       R"({"type":"presence_updated","peer_id":"p","status":"away","timestamp":3,"source":"reticulum"})"});
  g.push_back(
      {PresenceUpdated{"p", PresenceStatus::Online, 3, int64_t(2), PresenceSource::Peer},
       R"({"type":"presence_updated","peer_id":"p","status":"online","timestamp":3,"last_seen_ms":2,"source":"peer"})"});
  g.push_back(
      {TypingIndicatorReceived{"s", "c", true, 1},
       R"({"type":"typing_indicator_received","sender":"s","conversation_id":"c","is_typing":true,"timestamp":1})"});
  g.push_back(
      {ReadReceiptReceived{"s", {"m"}, 1},
       R"({"type":"read_receipt_received","sender":"s","message_ids":["m"],"timestamp":1})"});
  g.push_back(
      {DorsScoreUpdated{{{"ble", 0.5f}, {"nostr", std::numeric_limits<float>::quiet_NaN()}}},
       R"({"type":"dors_score_updated","scores":[["ble",0.5],["nostr",null]]})"});
  g.push_back(
      {DorsTransportSelected{std::nullopt, "ble", TransportSelectionReason::InitialSelection,
                             0.25f},
       R"({"type":"dors_transport_selected","from":null,"transport":"ble","reason_code":"INITIAL_SELECTION","score":0.25})"});
  g.push_back(
      {DorsTransportSwitched{std::string("ble"), "internet",
                             TransportSelectionReason::CurrentUnavailable, std::nullopt},
       R"({"type":"dors_transport_switched","from":"ble","to":"internet","reason_code":"CURRENT_UNAVAILABLE"})"});
  g.push_back(
      {DorsEscalationTriggered{EscalationPhase::Applied, "ble", "nostr",
                               EscalationReasonCode::LowTtl, std::string("d")},
       R"({"type":"dors_escalation_triggered","phase":"APPLIED","from":"ble","to":"nostr","reason_code":"LOW_TTL","reason_detail":"d"})"});
  g.push_back(
      {SecurityWarning{"p", SecurityWarningReason::KeyPackageOutsideValidityWindow, "r"},
       R"({"type":"security_warning","peer_id":"p","reason_code":"KEY_PACKAGE_OUTSIDE_VALIDITY_WINDOW","reason":"r"})"});
  g.push_back(
      {MessageRelayed{"m", "s", "r", 2, 5},
       R"({"type":"message_relayed","message_id":"m","sender":"s","recipient":"r","hop_count":2,"remaining_ttl":5})"});
  g.push_back({UserBlocked{"u"}, R"({"type":"user_blocked","user_id":"u"})"});
  g.push_back({UserUnblocked{"u"}, R"({"type":"user_unblocked","user_id":"u"})"});
  g.push_back({DataChanged{"sp", "d", 10},
               R"({"type":"data_changed","space_id":"sp","doc_id":"d","delta_bytes":10})"});
  g.push_back({DataDocRemoved{"sp", "d", DocRemovalOrigin::Local},
               R"({"type":"data_doc_removed","space_id":"sp","doc_id":"d","by":"local"})"});
  g.push_back(
      {DataDocSizeWarning{"sp", "d", 70000, 65536},
       R"({"type":"data_doc_size_warning","space_id":"sp","doc_id":"d","compacted_bytes":70000,"cap_bytes":65536})"});
  g.push_back({DataAttachmentRequested{"sp", "p", "h"},
               R"({"type":"data_attachment_requested","space_id":"sp","peer_id":"p","hash":"h"})"});
  g.push_back(
      {DataAttachmentReceived{"sp", "p", "h", "QQ=="},
       R"({"type":"data_attachment_received","space_id":"sp","peer_id":"p","hash":"h","data":"QQ=="})"});
  g.push_back(
      {DataAttachmentUnavailable{"sp", "p", "h", "gone"},
       R"({"type":"data_attachment_unavailable","space_id":"sp","peer_id":"p","hash":"h","reason":"gone"})"});
  g.push_back(
      {DataDocUnsyncable{"sp", "d", 5, "r"},
       R"({"type":"data_doc_unsyncable","space_id":"sp","doc_id":"d","bytes":5,"reason":"r"})"});
  return g;
}

TEST(EventJson, GoldenLinePerKind) {
  std::set<size_t> kinds;
  for (const auto& [event, json] : goldens()) {
    SCOPED_TRACE(std::string(event.kind_name()));
    EXPECT_EQ(serialize_event_json(event), json);
    kinds.insert(event.kind());
  }
  // The table must cover every kind, so that a new kind without a golden
  // line fails here.
  EXPECT_EQ(kinds.size(), ProtocolEvent::kKindCount);
}

TEST(EventJson, EveryGoldenLineIsValidJsonWithTagFirst) {
  for (const auto& [event, json] : goldens()) {
    auto parsed = parse_json(json);
    ASSERT_TRUE(parsed.ok()) << json;
    std::string prefix = std::string(R"({"type":")") + std::string(event.tag()) + "\"";
    EXPECT_EQ(json.rfind(prefix, 0), 0u) << json;
  }
}

TEST(EventJson, CodeTablesWriteEveryValue) {
  const std::vector<std::pair<SecurityWarningReason, std::string>> sec = {
      {SecurityWarningReason::SenderAddressMismatch, "SENDER_ADDRESS_MISMATCH"},
      {SecurityWarningReason::StaleControlFrame, "STALE_CONTROL_FRAME"},
      {SecurityWarningReason::GatewayAddressDeclarationRefused,
       "GATEWAY_ADDRESS_DECLARATION_REFUSED"},
      {SecurityWarningReason::NostrKeyPackageSlotExhausted, "NOSTR_KEY_PACKAGE_SLOT_EXHAUSTED"}};
  for (const auto& [v, text] : sec) EXPECT_EQ(enum_json_text(v), text);
  const char* decrypt[] = {"INVALID_PAYLOAD",
                           "NOT_INITIALIZED",
                           "INVALID_CIPHERTEXT",
                           "IDENTITY_MISMATCH",
                           "CRYPTO_FAILURE",
                           "PENDING_QUEUE_DROPPED",
                           "UNKNOWN"};
  for (uint8_t i = 0; i < 7; ++i) EXPECT_EQ(enum_json_text(DecryptionFailureCode(i)), decrypt[i]);
  const char* esc[] = {"FALLBACK_SUCCESS", "RETRY_THRESHOLD", "POOR_SIGNAL",
                       "CONGESTION",       "LOW_TTL",         "LOW_SUCCESS_RATE"};
  for (uint8_t i = 0; i < 6; ++i) EXPECT_EQ(enum_json_text(EscalationReasonCode(i)), esc[i]);
  const char* sel[] = {"INITIAL_SELECTION", "PRIMARY_SELECTED",   "PRIMARY_SUCCESS",
                       "FALLBACK_SUCCESS",  "ESCALATION_APPLIED", "CURRENT_UNAVAILABLE"};
  for (uint8_t i = 0; i < 6; ++i) EXPECT_EQ(enum_json_text(TransportSelectionReason(i)), sel[i]);
  const char* wel[] = {"TRANSPORT_UNAVAILABLE", "PEER_UNREACHABLE", "PEER_DISCONNECTED", "TIMEOUT",
                       "INTERNAL_ERROR",        "RETRY_EXHAUSTED"};
  for (uint8_t i = 0; i < 6; ++i) EXPECT_EQ(enum_json_text(WelcomeFailureReason(i)), wel[i]);
  EXPECT_EQ(enum_json_text(EscalationPhase::Triggered), "TRIGGERED");
  EXPECT_EQ(enum_json_text(DocRemovalOrigin::Peer), "peer");
  EXPECT_EQ(enum_json_text(PresenceStatus::Offline), "offline");
  EXPECT_EQ(enum_json_text(PresenceSource::Internet), "internet");
}

TEST(EventJson, MediaKeyMaterialReachesJsonOnlyUntilCleared) {
  MessageReceived e;
  MediaMetadata mm;
  mm.mime_type = "a/b";
  mm.encryption_key = "KEY";
  mm.iv = "IV";
  e.media_metadata = mm;
  ProtocolEvent ev(e);
  EXPECT_NE(serialize_event_json(ev).find("\"encryption_key\":\"KEY\""), std::string::npos);
  ProtocolEvent host = ev;
  host.clear_media_key_material();
  std::string json = serialize_event_json(host);
  EXPECT_EQ(json.find("encryption_key"), std::string::npos);
  EXPECT_EQ(json.find("\"iv\""), std::string::npos);
  // The source event (what observer sinks get) keeps its keys.
  EXPECT_TRUE(ev.get_if<MessageReceived>()->media_metadata->encryption_key.has_value());
}

}  // namespace
}  // namespace brenvik
