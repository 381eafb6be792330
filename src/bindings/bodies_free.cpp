// Free functions of the exported interface that need no protocol object.
#include "bindings/ffi_bodies.h"
#include "core/address.h"
#include "crypto/ed25519.h"
#include "sealed/canonical_payload.h"

namespace brenvik::ffi::body {

namespace {

InterfaceError mls_error(std::string text) {
  return InterfaceError::with_message(InterfaceError::Kind::Mls, std::move(text));
}

}  // namespace

Result<std::string, InterfaceError> func_derive_address(Bytes public_key) {
  auto r = derive_address(public_key);
  if (!r.ok()) return Err(mls_error(r.error().message()));
  return std::move(r).value();
}

// The address an identity assertion (key || signature || signed data)
// proves: only once the signature over the signed data verifies under the
// key it carries.
Result<std::string, InterfaceError> func_verify_identity_assertion(Bytes assertion) {
  auto parts = identity_assertion_payload(assertion);
  // The MLS layer reports a short assertion by its own text, without the
  // envelope layer's "Deserialization failed: " wrapping.
  if (!parts.ok()) return Err(mls_error(parts.error().text));
  const IdentityAssertionParts& p = parts.value();
  if (auto c = crypto::ed25519_check_point(p.public_key); !c.ok())
    return Err(mls_error("Invalid Ed25519 public key: " +
                         std::string(crypto::crypto_error_message(c.error()))));
  auto v = crypto::ed25519_verify(p.public_key, p.payload, p.signature);
  if (!v.ok())
    return Err(mls_error("Invalid Ed25519 public key: " +
                         std::string(crypto::crypto_error_message(v.error()))));
  if (!v.value())
    return Err(mls_error("Identity assertion signature does not verify under its public key"));
  auto addr = derive_address(p.public_key);
  if (!addr.ok()) return Err(mls_error(addr.error().message()));
  return std::move(addr).value();
}

}  // namespace brenvik::ffi::body
