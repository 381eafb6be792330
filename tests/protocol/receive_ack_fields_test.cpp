// The hop count and transport read from a peer's delivery acknowledgement.
#include <gtest/gtest.h>

#include <string>

#include "protocol/receive/ack_fields.h"

namespace brenvik {
namespace {

TEST(AckFields, HopCount) {
  struct Case {
    std::optional<std::string_view> in;
    uint8_t out;
  };
  const Case cases[] = {
      {std::nullopt, 0},
      {"", 0},
      {"0", 0},
      {"7", 7},
      {"+7", 7},
      {"255", 255},
      {"256", 0},
      {"-1", 0},
      {"+", 0},
      {"-", 0},
      {"1a", 0},
      {" 3", 0},
      {"3 ", 0},
      {"++3", 0},
      {"007", 7},
      {"99999999999999999999999", 0},
      {"0000000000000000000000012", 12},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parse_ack_hop_count(c.in), c.out) << (c.in ? std::string(*c.in) : "<absent>");
}

TEST(AckFields, TransportByName) {
  struct Case {
    std::optional<std::string_view> in;
    TransportType out;
  };
  const Case cases[] = {
      {std::nullopt, TransportType::Ble},
      {"", TransportType::Ble},
      {"ble", TransportType::Ble},
      {"bluetooth", TransportType::Ble},
      {"internet", TransportType::Internet},
      {"INTERNET", TransportType::Internet},
      {"WiFi-Direct", TransportType::WifiDirect},
      {"wifidirect", TransportType::WifiDirect},
      {"Wifi_Direct", TransportType::WifiDirect},
      {"wifi direct", TransportType::Ble},
      {"Reticulum", TransportType::Reticulum},
      {"nostr", TransportType::Nostr},
      {"nostr ", TransportType::Ble},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ack_transport_from_name(c.in), c.out) << (c.in ? std::string(*c.in) : "<absent>");
}

}  // namespace
}  // namespace brenvik
