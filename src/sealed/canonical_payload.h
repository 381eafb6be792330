// The byte strings that identity-key signatures cover: a domain-separation
// label, then each field as a big-endian u32 length and its bytes. A label
// per purpose keeps a signature made for one purpose from verifying for
// another.
#pragma once

#include <array>
#include <initializer_list>
#include <string_view>

#include "core/message.h"
#include "core/sealed_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

inline constexpr std::string_view kCtrlLabelV1 = "brenvik-ctrl-v1";
inline constexpr std::string_view kCtrlLabelV2 = "brenvik-ctrl-v2";
inline constexpr std::string_view kGatewayAddrLabel = "brenvik-gateway-addr-v1";

// label || (u32be len || bytes) for each field. Fails with FieldTooLarge for a
// field longer than 4294967295 bytes.
Result<Bytes, SealedError> canonical_payload(std::string_view label,
                                             std::initializer_list<ByteView> fields);
Result<Bytes, SealedError> canonical_payload(std::string_view label,
                                             std::span<const ByteView> fields);

// Fields: sender, id (36-char lowercase text), recipient, content.
Result<Bytes, SealedError> control_payload_v1(const Message& message);
// v1's fields plus the timestamp as 8 bytes big-endian two's complement.
Result<Bytes, SealedError> control_payload_v2(const Message& message);
// canonical_payload(gateway label, {user_id}) followed by the raw challenge.
Result<Bytes, SealedError> gateway_address_payload(std::string_view user_id, ByteView challenge);

inline constexpr size_t kEd25519PublicKeyLength = 32;
inline constexpr size_t kEd25519SignatureLength = 64;

struct IdentityAssertionParts {
  ByteView public_key;  // 32 bytes; views into the assertion passed in
  ByteView signature;   // 64 bytes
  ByteView payload;     // the rest, possibly empty
};

// Splits key || signature || payload; fewer than 96 bytes is Deserialization.
// The views live as long as `assertion`.
Result<IdentityAssertionParts, SealedError> identity_assertion_payload(ByteView assertion);

// Joins the three after checking the key (32) and signature (64) sizes, the
// key first.
Result<Bytes, SealedError> check_identity_assertion_sizes(ByteView public_key, ByteView signature,
                                                          ByteView payload);

}  // namespace brenvik
