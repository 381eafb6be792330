#include "sealed/canonical_payload.h"

#include <limits>

namespace brenvik {

Result<Bytes, SealedError> canonical_payload(std::string_view label,
                                             std::span<const ByteView> fields) {
  size_t total = label.size();
  for (const auto& f : fields) {
    if (f.size() > std::numeric_limits<uint32_t>::max()) {
      return Err(SealedError::field_too_large(f.size()));
    }
    total += 4 + f.size();
  }
  Bytes out;
  out.reserve(total);
  append(out, as_bytes(label));
  for (const auto& f : fields) {
    put_u32_be(out, uint32_t(f.size()));
    append(out, f);
  }
  return out;
}

Result<Bytes, SealedError> canonical_payload(std::string_view label,
                                             std::initializer_list<ByteView> fields) {
  return canonical_payload(label, std::span<const ByteView>(fields.begin(), fields.size()));
}

namespace {

Result<Bytes, SealedError> control_payload(const Message& m, std::string_view label,
                                           bool with_timestamp) {
  std::string id = display_message_id(m.id);
  Bytes ts;
  put_u64_be(ts, uint64_t(m.timestamp));
  const ByteView fields[] = {as_bytes(m.sender), as_bytes(id), as_bytes(m.recipient),
                             as_bytes(m.content), ts};
  return canonical_payload(label, std::span<const ByteView>(fields, with_timestamp ? 5 : 4));
}

}  // namespace

Result<Bytes, SealedError> control_payload_v1(const Message& m) {
  return control_payload(m, kCtrlLabelV1, false);
}

Result<Bytes, SealedError> control_payload_v2(const Message& m) {
  return control_payload(m, kCtrlLabelV2, true);
}

Result<Bytes, SealedError> gateway_address_payload(std::string_view user_id, ByteView challenge) {
  BRENVIK_TRY(Bytes out, canonical_payload(kGatewayAddrLabel, {as_bytes(user_id)}));
  append(out, challenge);
  return out;
}

Result<IdentityAssertionParts, SealedError> identity_assertion_payload(ByteView a) {
  constexpr size_t kMin = kEd25519PublicKeyLength + kEd25519SignatureLength;
  if (a.size() < kMin) {
    return Err(SealedError::deserialization("Identity assertion is " + std::to_string(a.size()) +
                                            " bytes, minimum is " + std::to_string(kMin)));
  }
  return IdentityAssertionParts{a.subspan(0, 32), a.subspan(32, 64), a.subspan(kMin)};
}

Result<Bytes, SealedError> check_identity_assertion_sizes(ByteView key, ByteView sig,
                                                          ByteView payload) {
  if (key.size() != kEd25519PublicKeyLength) {
    return Err(SealedError::invalid_public_key("Ed25519 public key must be 32 bytes, got " +
                                               std::to_string(key.size())));
  }
  if (sig.size() != kEd25519SignatureLength) {
    return Err(SealedError::serialization("Identity assertion signature must be 64 bytes, got " +
                                          std::to_string(sig.size())));
  }
  Bytes out;
  out.reserve(96 + payload.size());
  append(out, key);
  append(out, sig);
  append(out, payload);
  return out;
}

}  // namespace brenvik
