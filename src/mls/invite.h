// Invite codes and identity assertions.
//
// Invite bytes: version (1), flags (bit 0: a petname follows, bit 1: a
// signature follows), the 32-byte identity public key, the address text with
// a one-byte length, the petname (1..64 bytes) with a one-byte length, the
// 64-byte signature over invite_signing_payload(). The text form is base64url
// without padding.
//
// Identity assertion: public key (32) || Ed25519 signature of the payload
// (64) || payload, checked with strict verification.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/address.h"
#include "mls/mls_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

inline constexpr std::string_view kInviteLabel = "slsyxoa-wpumrg-s2";
inline constexpr uint8_t kInviteVersion = 1;
inline constexpr uint8_t kInviteFlagPetname = 0x01;
inline constexpr uint8_t kInviteFlagSignature = 0x02;
inline constexpr size_t kMaxPetnameBytes = 64;
inline constexpr size_t kIdentityAssertionMinimum = 96;

// Reads an invite's fields in order. Every failure is InvalidMessage:
// "Invite <field> length overflows", "Invite is truncated: <field> needs <n>
// bytes, <remaining> remain", "Invite has <n> trailing bytes".
class InviteCursor {
 public:
  explicit InviteCursor(ByteView bytes) : bytes_(bytes) {}
  // The view lives as long as the bytes given to the constructor.
  Result<ByteView, MlsError> read(size_t n, std::string_view field);
  Result<uint8_t, MlsError> read_byte(std::string_view field);
  // Succeeds when every byte was consumed.
  Result<void, MlsError> finish() const;
  size_t position() const { return pos_; }

 private:
  MlsError truncated(std::string_view field, size_t needed) const;
  ByteView bytes_;
  size_t pos_ = 0;
};

// The invite field errors (InvalidMessage).
MlsError invite_address_not_utf8();
MlsError invite_petname_not_utf8();
MlsError invite_address_invalid(const AddressError& e);

// canonical_payload("slsyxoa-wpumrg-s2", {0x01, address text, public key,
// petname or nothing}). A missing and an empty petname sign alike.
Result<Bytes, MlsError> invite_signing_payload(const Address& address, ByteView public_key,
                                               std::optional<std::string_view> petname);

// Writes an invite. The key must be 32 bytes and derive to `address`; an
// empty petname is none; a petname of more than 64 bytes or with a control
// or format character is refused; a signature must be 64 bytes. Nothing here
// signs: the caller passes the signature over invite_signing_payload().
Result<std::string, MlsError> create_invite(const Address& address, ByteView public_key,
                                            std::optional<std::string_view> petname,
                                            std::optional<ByteView> signature);

struct DecodedInvite {
  Bytes public_key;  // 32 bytes
  Address address;
  std::optional<std::string> petname;
  bool verified = false;  // a signature was carried and it verified
  bool operator==(const DecodedInvite&) const = default;
};

// Decodes and checks an invite text, stopping at the first failure: base64url
// (surrounding Unicode white space ignored, no padding, canonical bits),
// version, flags, key, address, petname, signature, no trailing bytes, the
// address derived from the key, the signature.
Result<DecodedInvite, MlsError> decode_invite(std::string_view text);

// The address payload an identity assertion proves: at least 96 bytes
// (Deserialization), a key on the curve (InvalidPublicKey), a signature that
// passes strict verification over the rest (VerificationFailed).
Result<Address, MlsError> check_identity_assertion(ByteView assertion);

// Key || signature || payload after checking the key (32, InvalidPublicKey)
// and signature (64, Serialization) sizes, the key first.
Result<Bytes, MlsError> join_identity_assertion(ByteView public_key, ByteView signature,
                                                ByteView payload);

}  // namespace brenvik::mls
