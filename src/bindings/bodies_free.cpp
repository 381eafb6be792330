// Free functions of the exported interface that need no protocol object.
#include "bindings/ffi_bodies.h"
#include "bindings/mls_access.h"
#include "core/address.h"
#include "mls/identity.h"
#include "mls/invite.h"

namespace brenvik::ffi::body {

Result<std::string, InterfaceError> func_derive_address(Bytes public_key) {
  auto r = mls::address_from_public_key(public_key);
  if (!r.ok()) return Err(mls_interface_error(r.error()));
  return encode_address(r.value());
}

// The address an identity assertion (key || signature || signed data)
// proves, once the signature over the signed data passes strict verification.
Result<std::string, InterfaceError> func_verify_identity_assertion(Bytes assertion) {
  auto r = mls::check_identity_assertion(assertion);
  if (!r.ok()) return Err(mls_interface_error(r.error()));
  return encode_address(r.value());
}

Result<ParsedInvite, InterfaceError> func_parse_invite(std::string invite) {
  auto r = mls::decode_invite(invite);
  if (!r.ok()) return Err(mls_interface_error(r.error()));
  mls::DecodedInvite& d = r.value();
  return ParsedInvite{encode_address(d.address), std::move(d.public_key), std::move(d.petname),
                      d.verified};
}

}  // namespace brenvik::ffi::body
