#include <gtest/gtest.h>

#include "sealed/canonical_payload.h"
#include "util/hex.h"

namespace brenvik {
namespace {

Message control_message() {
  Message m;
  m.id = parse_message_id("0123ABCD-4567-4DEF-89AB-CDEF01234567").value();
  m.sender = "alice";
  m.recipient = "bob";
  m.content = "__CTRL__{}";
  m.timestamp = -1;
  return m;
}

TEST(CanonicalPayload, LayoutCases) {
  Bytes f256(256, 'x');
  struct Case {
    Bytes got;
    Bytes want;
  };
  auto label = [](std::string_view l) { return to_bytes(l); };
  Bytes with_empty = label("brenvik-ctrl-v1");
  append(with_empty, Bytes{0, 0, 0, 0});
  Bytes with_256 = label("L");
  append(with_256, Bytes{0, 0, 1, 0});
  append(with_256, f256);
  const Case cases[] = {
      {canonical_payload(kCtrlLabelV1, {}).value(), label("brenvik-ctrl-v1")},
      {canonical_payload(kCtrlLabelV1, {ByteView{}}).value(), with_empty},
      {canonical_payload("L", {f256}).value(), with_256},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(CanonicalPayload, ControlPayloadsExactBytes) {
  Message m = control_message();
  Bytes v1 = control_payload_v1(m).value();
  std::string id = "0123abcd-4567-4def-89ab-cdef01234567";  // always lowercase
  Bytes want = to_bytes("brenvik-ctrl-v1");
  for (std::string_view f : {std::string_view("alice"), std::string_view(id),
                             std::string_view("bob"), std::string_view("__CTRL__{}")}) {
    put_u32_be(want, uint32_t(f.size()));
    append(want, as_bytes(f));
  }
  EXPECT_EQ(v1, want);

  Bytes v2 = control_payload_v2(m).value();
  ASSERT_EQ(v2.size(), v1.size() + 12);
  EXPECT_EQ(v2[14], '2');
  EXPECT_TRUE(std::equal(v1.begin() + 15, v1.end(), v2.begin() + 15));
  EXPECT_EQ(hex_encode(ByteView(v2).subspan(v1.size())), "00000008ffffffffffffffff");

  Message other = m;
  other.content = "__CTRL__{!}";
  Bytes v1b = control_payload_v1(other).value();
  size_t content_at = v1.size() - m.content.size() - 4;
  EXPECT_TRUE(std::equal(v1.begin(), v1.begin() + content_at, v1b.begin()));
}

TEST(CanonicalPayload, GatewayAddressPayload) {
  Bytes challenge(32, 0xC5);
  Bytes p = gateway_address_payload("user1", challenge).value();
  EXPECT_EQ(p.size(), 23 + 4 + 5 + 32u);
  Bytes want = to_bytes("brenvik-gateway-addr-v1");
  append(want, Bytes{0, 0, 0, 5});
  append(want, to_bytes("user1"));
  append(want, challenge);
  EXPECT_EQ(p, want);
}

TEST(IdentityAssertion, SplitAndSizeChecks) {
  Bytes a96(96);
  for (size_t i = 0; i < a96.size(); ++i) a96[i] = uint8_t(i);
  auto parts = identity_assertion_payload(a96);
  ASSERT_TRUE(parts.ok());
  EXPECT_EQ(parts->public_key.size(), 32u);
  EXPECT_EQ(parts->signature[0], 32);
  EXPECT_TRUE(parts->payload.empty());

  auto short_one = identity_assertion_payload(ByteView(a96).subspan(0, 95));
  ASSERT_FALSE(short_one.ok());
  EXPECT_EQ(short_one.error().message(),
            "Deserialization failed: Identity assertion is 95 bytes, minimum is 96");

  Bytes k32(32, 1), k31(31, 1), s64(64, 2), s63(63, 2), pl{9, 9};
  const std::pair<std::string, std::string> cases[] = {
      {check_identity_assertion_sizes(k31, s63, pl).error().message(),
       "Invalid public key: Ed25519 public key must be 32 bytes, got 31"},
      {check_identity_assertion_sizes(k32, s63, pl).error().message(),
       "Serialization failed: Identity assertion signature must be 64 bytes, got 63"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
  Bytes joined = check_identity_assertion_sizes(k32, s64, pl).value();
  EXPECT_EQ(joined.size(), 98u);
  auto back = identity_assertion_payload(joined).value();
  EXPECT_EQ(Bytes(back.payload.begin(), back.payload.end()), pl);
}

}  // namespace
}  // namespace brenvik
