#include "mls/identity.h"

#include <algorithm>

#include "crypto/ed25519.h"
#include "crypto/sha256.h"

namespace brenvik::mls {
namespace {

MlsError bad_key() {
  return MlsError::invalid_public_key("Invalid Ed25519 public key: " +
                                      std::string(kSignatureErrorText));
}

}  // namespace

Result<bool, MlsError> verify_ed25519_signature(ByteView public_key, ByteView message,
                                                ByteView signature) {
  if (public_key.size() != crypto::kEd25519PublicKeySize) return Err(bad_key());
  if (signature.size() != crypto::kEd25519SignatureSize) {
    // The key decides first, so a bad key is reported even with a bad signature.
    if (!crypto::ed25519_check_point(public_key).ok()) return Err(bad_key());
    return Err(MlsError::verification_failed("Invalid signature format: " +
                                             std::string(kSignatureErrorText)));
  }
  auto v = crypto::ed25519_verify(public_key, message, signature);
  if (!v.ok()) return Err(bad_key());
  return v.value();
}

Result<Address, MlsError> address_from_public_key(ByteView public_key) {
  auto a = address_payload_from_public_key(public_key);
  if (!a.ok()) return Err(mls_error_from(a.error()));
  return a.value();
}

std::string derive_user_id_from_public_key(ByteView bytes) {
  auto digest = crypto::sha256(bytes);
  Address a;
  std::copy_n(digest.begin(), a.bytes.size(), a.bytes.begin());
  return encode_address(a);
}

}  // namespace brenvik::mls
