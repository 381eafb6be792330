#include <gtest/gtest.h>

#include "core/errors.h"
#include "core/identifier.h"
#include "core/sealed_error.h"

namespace brenvik {
namespace {

TEST(ErrorTexts, EveryVariantShowsItsFixedTextAndValue) {
  const std::pair<std::string, std::string> cases[] = {
      {CoreError::invalid_message("m").message(), "Invalid message: m"},
      {CoreError::invalid_user_id("u").message(), "Invalid user ID: u"},
      {CoreError::invalid_app_id("a").message(), "Invalid app ID: a"},
      {CoreError::invalid_ttl(0).message(), "Invalid TTL: 0"},
      {CoreError::invalid_hop_count(255).message(), "Invalid hop count: 255"},
      {CoreError::serialization("s").message(), "Serialization error: s"},
      {CoreError::deserialization("d").message(), "Deserialization error: d"},
      {CoreError::invalid_service_id("v").message(), "Invalid service ID: v"},
      {CoreError::other("").message(), ""},
      {CoreError::other("plain").message(), "plain"},
      {TransportError::not_available("x").message(), "Transport not available: x"},
      {TransportError::peer_not_reachable("x").message(), "Peer not reachable: x"},
      {TransportError::send_failed("x").message(), "Send failed: x"},
      {TransportError::receive_failed("x").message(), "Receive failed: x"},
      {TransportError::configuration("x").message(), "Configuration error: x"},
      {TransportError::serialization("x").message(), "Serialization error: x"},
      {TransportError(CoreError::deserialization("x")).message(),
       "Core error: Deserialization error: x"},
      {TransportError::message_too_large(1048577, 1048576).message(),
       "Message too large: 1048577 bytes exceeds limit of 1048576 bytes"},
      {TransportError::crypto("x").message(), "Crypto error: x"},
      {TransportError::other("").message(), ""},
      {SealedError::serialization("x").message(), "Serialization failed: x"},
      {SealedError::deserialization("x").message(), "Deserialization failed: x"},
      {SealedError::invalid_group_id("x").message(), "Invalid group id: x"},
      {SealedError::invalid_public_key("x").message(), "Invalid public key: x"},
      {SealedError::field_too_large(4294967296ULL).message(),
       "Field too large for canonical payload length prefix: 4294967296 bytes"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(Identifier, RulesInOrderWithLabelledMessages) {
  struct Case {
    std::string value;
    const char* want;  // nullptr: passes
  };
  const Case cases[] = {
      {std::string(256, 'a'), nullptr},
      {std::string(257, 'a'), "User ID exceeds the maximum length of 256 bytes (257 bytes)"},
      {"", "User ID cannot be empty"},
      {".", "User ID cannot be '.' or '..' (path traversal)"},
      {"..", "User ID cannot be '.' or '..' (path traversal)"},
      {"...", nullptr},
      {".a", nullptr},
      {"a\tb", "User ID contains ASCII control characters"},
      {"a\x7f", "User ID contains ASCII control characters"},
      {"\xc3\xa9", nullptr},
      {"a/b", "User ID contains invalid characters ('/', '\\', or ':')"},
      {"a\\b", "User ID contains invalid characters ('/', '\\', or ':')"},
      {"a:b", "User ID contains invalid characters ('/', '\\', or ':')"},
      // Both faults: the control character is reported.
      {"/\x01", "User ID contains ASCII control characters"},
  };
  for (const auto& c : cases) {
    auto r = validate_identifier(c.value, kUserIdLabel);
    if (!c.want) {
      EXPECT_TRUE(r.ok()) << c.value;
    } else {
      ASSERT_FALSE(r.ok()) << c.value;
      EXPECT_EQ(r.error().message(), c.want);
    }
  }
  // The character rules alone have no length limit.
  EXPECT_TRUE(check_identifier_chars(std::string(5000, 'a'), "Group ID segment").ok());
  EXPECT_EQ(validate_identifier("", kAppIdLabel).error().message(), "App ID cannot be empty");
}

}  // namespace
}  // namespace brenvik
