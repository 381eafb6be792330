// ProtocolError texts and codes, and the small shared defaults and rules.
#include <gtest/gtest.h>

#include "protocol/common/protocol_error.h"
#include "protocol/core/core_defaults.h"

namespace brenvik {
namespace {

struct ErrCase {
  ProtocolError error;
  std::string text;
  std::string code;
};

TEST(ProtocolErrorTest, TextsAndCodes) {
  const std::vector<ErrCase> cases = {
      {ProtocolError::not_started(), "Protocol not started", "protocol_state_invalid"},
      {ProtocolError::already_started(), "Protocol already started", "protocol_state_invalid"},
      {ProtocolError::invalid_config("Protocol is not paused"),
       "Invalid configuration: Protocol is not paused", "invalid_request"},
      {ProtocolError::core(CoreError::invalid_hop_count(255)), "Core error: Invalid hop count: 255",
       "serialization_failed"},
      {ProtocolError::transport(TransportError::not_available("ble")),
       "Transport error: Transport not available: ble", "transport_not_connected"},
      {ProtocolError::transport(TransportError::peer_not_reachable("p")),
       "Transport error: Peer not reachable: p", "peer_not_reachable"},
      {ProtocolError::transport(TransportError::serialization("x")),
       "Transport error: Serialization error: x", "serialization_failed"},
      {ProtocolError::transport(TransportError::message_too_large(10, 5)),
       "Transport error: Message too large: 10 bytes exceeds limit of 5 bytes",
       "message_too_large"},
      {ProtocolError::transport(TransportError::crypto("c")), "Transport error: Crypto error: c",
       "crypto_failed"},
      {ProtocolError::transport(TransportError::configuration("c")),
       "Transport error: Configuration error: c", "transport_send_failed"},
      {ProtocolError::transport(TransportError(CoreError::other("o"))),
       "Transport error: Core error: o", "transport_send_failed"},
      {ProtocolError::router("r"), "Router error: r", "transport_send_failed"},
      {ProtocolError::reliability("r"), "Reliability error: r", "transport_send_failed"},
      {ProtocolError::mls("m"), "MLS error: m", "crypto_failed"},
      {ProtocolError::mls_not_initialized(), "MLS encryption not initialized", "session_not_ready"},
      {ProtocolError::key_package_unavailable("bob"), "No key package available for recipient: bob",
       "session_not_ready"},
      {ProtocolError::session_not_ready(SessionReadiness::HaveKeyPackage),
       "Session not ready: HaveKeyPackage", "session_not_ready"},
      {ProtocolError::encryption_failed("e"), "Failed to encrypt message: e", "crypto_failed"},
      {ProtocolError::service("s"), "Service error: s", "transport_send_failed"},
      {ProtocolError::serialization("s"), "Serialization error: s", "serialization_failed"},
      {ProtocolError::recipient_blocked("u"), "User is blocked: u", "recipient_blocked"},
      {ProtocolError::media_transfer_limit("r"),
       "Too many concurrent media transfers to r; retry after an active transfer completes",
       "media_transfer_limit"},
      {ProtocolError::group_not_found("g"), "Group not found: g", "group_not_found"},
      {ProtocolError::permission_denied("no"), "no", "invalid_request"},
      {ProtocolError::invalid_state(""), "", "protocol_state_invalid"},
      {ProtocolError::invalid_input("bad"), "bad", "invalid_request"},
      {ProtocolError::data_layer_disabled(), "Data layer is disabled", "data_unavailable"},
      {ProtocolError::data_layer_no_storage(),
       "Data layer has no storage; initialize_mls must run first", "data_unavailable"},
      {ProtocolError::data_doc_too_large(70000, 65536),
       "Document is 70000 bytes compacted, over the 65536 byte cap", "data_doc_too_large"},
      {ProtocolError::data_corrupt("c"), "Document data is corrupt: c", "data_corrupt"},
      {ProtocolError::telemetry_config_invalid("api_key"), "telemetry config invalid: api_key",
       "invalid_request"},
      {ProtocolError::internal(""), "", "transport_send_failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.error.kind_name()));
    EXPECT_EQ(c.error.message(), c.text);
    EXPECT_EQ(c.error.code(), c.code);
  }
}

TEST(CoreDefaults, TelemetryDefaults) {
  TelemetryConfig c;
  c.api_key = "k";
  c.app_id = "a";
  EXPECT_EQ(c.app_version, "0.0.0");
  EXPECT_EQ(c.flush_interval, std::chrono::seconds(30));
  EXPECT_EQ(c.second_upload_interval, std::chrono::seconds(5));
  EXPECT_EQ(c.max_batch_bytes, 262144u);
  EXPECT_EQ(c.max_buffered_records, 4096u);
  EXPECT_TRUE(c.enabled_switch);
  EXPECT_FALSE(c.installation_id_override.has_value());
  EXPECT_EQ(c.small_count, 1);
}

TEST(CoreDefaults, SmallErrorTexts) {
  EXPECT_EQ((StoreKeyError{StoreKeyError::Kind::NotConfigured, "d"}.message()),
            "no store key is configured: d");
  EXPECT_EQ((StoreKeyError{StoreKeyError::Kind::NotUsable, "d"}.message()),
            "the configured store key is not usable: d");
  EXPECT_EQ((StoreKeyError{StoreKeyError::Kind::SourceFailed, "d"}.message()),
            "the store key source failed: d");
  EXPECT_EQ((ChunkDecodeError{ChunkDecodeError::Kind::Truncated, "file_id", 0, 0, ""}.message()),
            "unexpected end of data reading file_id");
  EXPECT_EQ((ChunkDecodeError{ChunkDecodeError::Kind::OverLimit, "file_name_len", 300, 255, ""}
                 .message()),
            "file_name_len 300 exceeds maximum 255");
  EXPECT_EQ(
      (ChunkDecodeError{ChunkDecodeError::Kind::BadText, "file_name", 0, 0, "bad byte"}.message()),
      "invalid file_name UTF-8: bad byte");
}

TEST(CoreDefaults, LogNames) {
  const char* t[] = {"Internet", "BLE", "WiFiDirect", "Reticulum", "Nostr"};
  for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(transport_type_log_name(TransportType(i)), t[i]);
  EXPECT_EQ(transport_status_log_name(TransportStatus::Disconnected), "Disconnected");
  EXPECT_EQ(session_readiness_name(SessionReadiness::SessionConfirmed), "SessionConfirmed");
}

TEST(CoreDefaults, CountingRules) {
  std::map<std::string, std::string> roles = {{"a", "admin"}, {"b", "member"}};
  EXPECT_EQ(count_admins(roles, std::string("admin")), 1u);
  roles["b"] = "admin";
  EXPECT_EQ(count_admins(roles, std::string("admin")), 2u);

  EXPECT_EQ(other_member_count({"me", "x", "me", "y"}, "me"), 2u);
  EXPECT_EQ(other_member_count({"x", "x"}, "me"), 2u);

  EXPECT_EQ(members_to_resend({"c", "me", "a", "b"}, "me", {"a"}),
            (std::vector<std::string>{"c", "b"}));
  EXPECT_EQ(members_in_neither({"d", "me", "a", "b", "c"}, "me", {"a"}, {"b"}),
            (std::vector<std::string>{"d", "c"}));

  std::vector<std::pair<std::string, int>> transfers = {{"p", 1}, {"q", 2}, {"p", 3}};
  EXPECT_EQ(count_for_peer(transfers, "p", [](const auto& t) { return t.first; }), 2u);

  std::map<std::string, int> table = {{"a", 1}, {"b", 2}, {"c", 3}};
  std::set<std::string> seen;
  std::vector<std::pair<std::string, int>> removed;
  take_expired_ids({"c", "zz", "a"}, table, seen,
                   [&](const std::string& id, int v) { removed.emplace_back(id, v); });
  EXPECT_EQ(removed, (std::vector<std::pair<std::string, int>>{{"c", 3}, {"a", 1}}));
  EXPECT_EQ(seen, (std::set<std::string>{"a", "c"}));
  EXPECT_EQ(table.size(), 1u);
}

}  // namespace
}  // namespace brenvik
