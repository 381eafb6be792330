// The stateless identity operations: Ed25519 verification, the address
// payload of an identity key, and the user id of any byte string. They touch
// no shared state and may run on any thread.
#pragma once

#include <string>

#include "core/address.h"
#include "mls/mls_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

// The Ed25519 library's fixed error text, appended to the two refusals below.
inline constexpr std::string_view kSignatureErrorText = "signature error";

// RFC 8032 verification (small-order keys and commitments are not refused
// here). The key is tested first: not 32 bytes or not a curve point is
// InvalidPublicKey "Invalid Ed25519 public key: signature error"; then a
// signature that is not 64 bytes is VerificationFailed "Invalid signature
// format: signature error". A well-formed signature that does not verify is
// false, not an error.
Result<bool, MlsError> verify_ed25519_signature(ByteView public_key, ByteView message,
                                                ByteView signature);

// The 20-byte address payload of a 32-byte key (not tested for being a
// curve point); another length is InvalidPublicKey "Ed25519 public key must
// be 32 bytes, got N".
Result<Address, MlsError> address_from_public_key(ByteView public_key);

// The address text of the first 20 bytes of SHA-256 over any bytes, the
// empty string included. Never fails.
std::string derive_user_id_from_public_key(ByteView bytes);

}  // namespace brenvik::mls
