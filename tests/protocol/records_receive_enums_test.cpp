// Enumeration readers for values that arrive from peers.
#include <gtest/gtest.h>

#include "protocol/records/receive_enums.h"

namespace brenvik {
namespace {

template <typename Fn>
auto read_text(Fn fn, std::string_view text) {
  JsonReader r(text);
  return fn(r);
}

TEST(ReceiveEnums, AcceptedForms) {
  EXPECT_EQ(read_text(read_transport_type, R"("wifiDirect")").value(), TransportType::WifiDirect);
  EXPECT_EQ(read_text(read_transport_type, R"({"ble":null})").value(), TransportType::Ble);
  EXPECT_EQ(read_text(read_presence_status, R"({"away":null})").value(), PresenceStatus::Away);
  EXPECT_EQ(read_text(read_mls_message_type, R"("Proposal")").value(), MlsMessageType::Proposal);
}

TEST(ReceiveEnums, Refusals) {
  struct Case {
    const char* json;
    std::string error;
  };
  const Case transport[] = {
      {R"("wifi_direct")",
       "unknown variant `wifi_direct`, expected one of `internet`, `ble`, `wifiDirect`, "
       "`reticulum`, `nostr` at line 1 column 13"},
      {R"("wifidirect")",
       "unknown variant `wifidirect`, expected one of `internet`, `ble`, `wifiDirect`, "
       "`reticulum`, `nostr` at line 1 column 12"},
      {"3", "invalid type: integer `3`"},
      {"[]", "invalid type: sequence"},
  };
  for (const auto& c : transport) {
    auto r = read_text(read_transport_type, c.json);
    ASSERT_FALSE(r.ok()) << c.json;
    EXPECT_EQ(r.error().to_string().substr(0, c.error.size()), c.error) << r.error().to_string();
  }
  EXPECT_FALSE(read_text(read_presence_status, R"({"away":1})").ok());
  EXPECT_FALSE(read_text(read_presence_status, R"("Away")").ok());
  EXPECT_FALSE(read_text(read_mls_message_type, R"("application")").ok());
}

}  // namespace
}  // namespace brenvik
