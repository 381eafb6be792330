#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/helpers/core_helpers.h"
#include "protocol/helpers/state_storage_error.h"
#include "util/base64.h"

namespace brenvik {
namespace {

const std::string kSuffix = "\xE2\x80\xA6 (truncated)";

TEST(TruncateTest, CutsAtTwoHundredBytesOnACharacterBoundary) {
  const std::string two_hundred(200, 'a');
  EXPECT_EQ(truncate_at_char_boundary(two_hundred), two_hundred);
  EXPECT_EQ(truncate_at_char_boundary(std::string(201, 'a')), two_hundred + kSuffix);
  EXPECT_EQ(truncate_at_char_boundary(""), "");

  // 199 ASCII bytes, then a 2-byte character spanning bytes 199..200: the
  // character would straddle the limit and is left out.
  const std::string straddle = std::string(199, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(truncate_at_char_boundary(straddle), std::string(199, 'a') + kSuffix);

  // A 4-byte character occupying bytes 198..201.
  const std::string four = std::string(198, 'a') + "\xF0\x9F\x98\x80" + "b";
  EXPECT_EQ(truncate_at_char_boundary(four), std::string(198, 'a') + kSuffix);

  // A 2-byte character ending exactly at byte 200 stays whole.
  const std::string fits = std::string(198, 'a') + "\xC3\xA9" + "b";
  EXPECT_EQ(truncate_at_char_boundary(fits), std::string(198, 'a') + "\xC3\xA9" + kSuffix);

  EXPECT_LE(truncate_at_char_boundary(std::string(5000, 'z')).size(), 200 + kSuffix.size());
}

TEST(TruncateTest, InvalidUtf8IsCutWithoutOverrunning) {
  // Nothing but continuation bytes: no boundary after the start.
  const std::string junk(300, '\x80');
  EXPECT_EQ(truncate_at_char_boundary(junk), kSuffix);
}

TEST(DecodeBase64PayloadTest, LimitIsCheckedBeforeDecoding) {
  // 1,048,576 base64 characters encode 786,432 bytes.
  const Bytes data(786'432, 0x5A);
  const std::string at_limit = base64_encode(data);
  ASSERT_EQ(at_limit.size(), 1'048'576u);
  auto ok = decode_base64_payload(at_limit);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), data);

  auto too_long = decode_base64_payload(at_limit + "=");
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error(), "payload too large: 1048577 encoded bytes exceeds 1048576 limit");
}

TEST(DecodeBase64PayloadTest, StrictStandardAlphabet) {
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {"", true},        {"aGk=", true}, {"aGk", false},  // padding required
      {"aGl=", false},                                    // stray trailing bits
      {"aG-=", false},                                    // URL-safe alphabet refused
      {"aGk=\n", false},
  };
  for (const Case& c : cases) {
    auto r = decode_base64_payload(c.text);
    EXPECT_EQ(r.ok(), c.ok) << c.text;
    if (!c.ok && !r.ok()) {
      EXPECT_FALSE(r.error().empty());
    }
  }
  EXPECT_EQ(decode_base64_payload("aGk=").value(), (Bytes{'h', 'i'}));
}

TEST(HexLowerTest, TwoLowercaseDigitsPerByte) {
  EXPECT_EQ(hex_lower({}), "");
  EXPECT_EQ(hex_lower(Bytes{0x00, 0xAB, 0x0F, 0xFF}), "00ab0fff");
}

TEST(FailureReasonCodeTest, NormalisesReasons) {
  const std::vector<std::string> codes = {
      "recipient_unreachable",   "relay_pushed",          "relay_stored",
      "relay_pushed_stored",     "transport_send_failed", "send_confirmation_timed_out",
      "transport_not_connected", "peer_not_reachable",    "message_too_large",
      "serialization_failed",    "crypto_failed",         "session_not_ready",
      "recipient_blocked",       "media_transfer_limit",  "group_not_found",
      "invalid_request",         "protocol_state_invalid"};
  for (const std::string& code : codes) EXPECT_EQ(failure_reason_code(code), code);

  const std::map<std::string, std::string> others = {
      {"Relay_Stored", "transport_send_failed"},
      {"relay_stored ", "transport_send_failed"},
      {"", "transport_send_failed"},
      {"Welcome send confirmation timed out", "send_confirmation_timed_out"},
      {"welcome send confirmation timed out", "transport_send_failed"},
      {"Connection reset by peer", "transport_send_failed"},
  };
  for (const auto& [reason, code] : others) EXPECT_EQ(failure_reason_code(reason), code) << reason;
}

TEST(PanicPayloadTextTest, TextOfEachPayloadKind) {
  auto text_of = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return panic_payload_text(std::current_exception());
    }
    return std::string("not thrown");
  };
  EXPECT_EQ(text_of([] { throw std::string("owned text"); }), "owned text");
  EXPECT_EQ(text_of([] { throw "static text"; }), "static text");
  EXPECT_EQ(text_of([] { throw std::runtime_error("runtime"); }), "runtime");
  EXPECT_EQ(text_of([] { throw 42; }), "<non-string panic payload>");
  struct Custom {};
  EXPECT_EQ(text_of([] { throw Custom{}; }), "<non-string panic payload>");
}

using T = TransportType;

struct BatteryCase {
  const char* name;
  std::optional<T> preferred;
  std::map<T, BatteryStatus> statuses;
  BatteryReading expected;
};

TEST(RelayBatteryReadingTest, PreferredFirstThenFixedOrder) {
  const BatteryCase cases[] = {
      {"nothing_known", std::nullopt, {}, {false, 0, false}},
      {"preferred_with_level",
       T::Ble,
       {{T::Ble, {40, true}}, {T::Internet, {90, false}}},
       {true, 40, true}},
      {"preferred_without_level_borrows_level_keeps_own_charging",
       T::Ble,
       {{T::Ble, {std::nullopt, true}}, {T::WifiDirect, {70, false}}, {T::Internet, {90, false}}},
       {true, 90, true}},
      {"preferred_without_level_level_from_later_transport",
       T::Internet,
       {{T::Internet, {std::nullopt, false}}, {T::Reticulum, {55, true}}},
       {true, 55, false}},
      {"preferred_without_level_nothing_else",
       T::Nostr,
       {{T::Nostr, {std::nullopt, true}}},
       {false, 0, true}},
      {"preferred_missing_from_snapshot",
       T::Ble,
       {{T::Nostr, {12, false}}, {T::Reticulum, {33, true}}},
       {true, 33, true}},
      {"no_preferred_order_internet_wifi_ble",
       std::nullopt,
       {{T::Ble, {10, false}}, {T::WifiDirect, {20, true}}},
       {true, 20, true}},
      {"no_preferred_charging_from_first_present_even_without_level",
       std::nullopt,
       {{T::Internet, {std::nullopt, true}}, {T::Ble, {61, false}}},
       {true, 61, true}},
      {"level_above_100_passed_on", std::nullopt, {{T::Ble, {250, false}}}, {true, 250, false}},
  };
  for (const BatteryCase& c : cases) {
    EXPECT_EQ(relay_battery_reading(c.preferred, c.statuses), c.expected) << c.name;
  }
}

TEST(StateStorageErrorTest, MessagesPerKind) {
  using K = StateStorageError::Kind;
  const std::pair<K, std::string> cases[] = {
      {K::NotFound, "Protocol state entry not found: outbox/1"},
      {K::Corrupted, "Protocol state entry corrupted: outbox/1"},
      {K::Store, "Failed to store protocol state: outbox/1"},
      {K::Load, "Failed to load protocol state: outbox/1"},
      {K::Delete, "Failed to delete protocol state: outbox/1"},
  };
  for (const auto& [kind, message] : cases) {
    EXPECT_EQ((StateStorageError{kind, "outbox/1"}.message()), message);
  }
}

TEST(StateStorageErrorTest, ResultTextPassesSuccessAndMessages) {
  Result<int, StateStorageError> good = 7;
  auto g = state_storage_error_text(std::move(good));
  ASSERT_TRUE(g.ok());
  EXPECT_EQ(g.value(), 7);

  Result<int, StateStorageError> bad = Err(StateStorageError{StateStorageError::Kind::Load, "io"});
  auto b = state_storage_error_text(std::move(bad));
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error(), "Failed to load protocol state: io");

  Result<void, StateStorageError> done;
  EXPECT_TRUE(state_storage_error_text(std::move(done)).ok());
}

}  // namespace
}  // namespace brenvik

#include "protocol/helpers/message_metadata.h"

namespace brenvik {
namespace {

TEST(WithMetadataTest, ReplacesAnExistingKeyAndKeepsOneEntry) {
  Message m = MessageBuilder("alice", "bob", "app").with_metadata("ack_for", "old").build();
  m = with_metadata(std::move(m), "ack_for", "new");
  m = with_metadata(std::move(m), "ack_hop_count", "2");
  EXPECT_EQ(m.metadata, (MessageMetadata{{"ack_for", "new"}, {"ack_hop_count", "2"}}));
}

}  // namespace
}  // namespace brenvik
