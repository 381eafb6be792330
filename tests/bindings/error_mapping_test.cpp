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

// The core's error of any operation, and of a send, as the host reads it:
// variant number and whole text. The rows where the two vocabularies name a
// thing differently are the ones that go wrong silently.
TEST(ErrorMapping, ProtocolErrorsOfOperationsAndOfSends) {
  struct Case {
    ProtocolError in;
    int32_t number;
    std::string text;
    int32_t send_number;  // through map_send_error
    std::string send_text;
  };
  const std::vector<Case> cases = {
      {ProtocolError::not_started(), 1, "Protocol not started", 1, "Protocol not started"},
      {ProtocolError::invalid_config("initial_ttl must be greater than 0"), 3,
       "Invalid configuration: initial_ttl must be greater than 0", 3,
       "Invalid configuration: initial_ttl must be greater than 0"},
      {ProtocolError::recipient_blocked("mallory"), 11, "User is blocked: mallory", 11,
       "User is blocked: mallory"},
      {ProtocolError::invalid_input("message_ids must not be empty"), 20,
       "Invalid argument: message_ids must not be empty", 20,
       "Invalid argument: message_ids must not be empty"},
      {ProtocolError::key_package_unavailable("bob"), 5,
       "No key package available for recipient: bob", 5,
       "No key package available for recipient: bob"},
      {ProtocolError::session_not_ready(SessionReadiness::HaveKeyPackage), 6,
       "Session not ready: HaveKeyPackage", 6, "Session not ready: HaveKeyPackage"},
      {ProtocolError::internal("Shared state mutex poisoned"), 14, "Shared state mutex poisoned",
       14, "Shared state mutex poisoned"},
      {ProtocolError::router("no route"), 14, "Router error: no route", 14,
       "Router error: no route"},
      {ProtocolError::data_doc_too_large(10, 5), 23,
       "Document is over the size cap: document is 10 bytes compacted, over the 5 byte cap", 23,
       "Document is over the size cap: document is 10 bytes compacted, over the 5 byte cap"},
      {ProtocolError::core(CoreError::invalid_user_id("empty")), 20,
       "Invalid argument: Invalid user ID: empty", 20, "Invalid argument: Invalid user ID: empty"},
      {ProtocolError::transport(TransportError::send_failed("queue full")), 15,
       "Transport error: Send failed: queue full", 4, "Failed to send message: queue full"},
      {ProtocolError::transport(TransportError::not_available("BLE")), 15,
       "Transport error: Transport not available: BLE", 4,
       "Failed to send message: Transport not available: BLE"},
  };
  for (const auto& c : cases) {
    InterfaceError e = to_interface_error(c.in);
    EXPECT_EQ(e.number(), c.number) << c.text;
    EXPECT_EQ(e.display(), c.text);
    InterfaceError s = map_send_error(c.in);
    EXPECT_EQ(s.number(), c.send_number) << c.send_text;
    EXPECT_EQ(s.display(), c.send_text);
  }
}

}  // namespace
}  // namespace brenvik::ffi
