// Errors of the message layer and the transports as the host sees them.
#include <gtest/gtest.h>

#include "bindings/error_mapping.h"

namespace brenvik::ffi {
namespace {

TEST(ErrorMapping, CoreErrors) {
  struct Case {
    CoreError in;
    int32_t number;
    std::string text;
  };
  const std::vector<Case> cases = {
      {CoreError::invalid_user_id("bad"), 20, "Invalid argument: Invalid user ID: bad"},
      {CoreError::invalid_message("m"), 20, "Invalid argument: Invalid message: m"},
      {CoreError::invalid_app_id("a"), 20, "Invalid argument: Invalid app ID: a"},
      {CoreError::invalid_ttl(0), 20, "Invalid argument: Invalid TTL: 0"},
      {CoreError::invalid_hop_count(255), 20, "Invalid argument: Invalid hop count: 255"},
      {CoreError::invalid_service_id("s"), 20, "Invalid argument: Invalid service ID: s"},
      {CoreError::deserialization("eof"), 16, "Serialization error: eof"},
      {CoreError::serialization("too big"), 16, "Serialization error: too big"},
      {CoreError::other("plain"), 14, "plain"},
  };
  for (const auto& c : cases) {
    InterfaceError e = core_error_to_interface_error(c.in);
    EXPECT_EQ(e.number(), c.number) << c.text;
    EXPECT_EQ(e.display(), c.text);
  }
}

TEST(ErrorMapping, TransportErrorsOfSendsAndOfOtherOperations) {
  TransportError sf = TransportError::send_failed("no route");
  EXPECT_EQ(send_transport_error_to_interface_error(sf).number(), 4);
  EXPECT_EQ(send_transport_error_to_interface_error(sf).display(),
            "Failed to send message: no route");
  EXPECT_EQ(transport_error_to_interface_error(sf).number(), 15);
  EXPECT_EQ(transport_error_to_interface_error(sf).display(),
            "Transport error: Send failed: no route");

  TransportError na = TransportError::not_available("BLE");
  EXPECT_EQ(send_transport_error_to_interface_error(na).display(),
            "Failed to send message: Transport not available: BLE");
}

}  // namespace
}  // namespace brenvik::ffi
