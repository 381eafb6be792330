// Building, validating and referencing key packages (RFC 9420 §10): the
// offer a client publishes so that others can add it to a group, and the
// private keys it keeps until a Welcome consumes the offer.
#pragma once

#include "crypto/ed25519.h"
#include "crypto/x25519.h"
#include "rfc9420/error.h"
#include "rfc9420/key_package.h"

namespace brenvik::rfc9420 {

// A member's credential together with the public key of its signer.
struct CredentialWithKey {
  Credential credential;
  SignaturePublicKey signature_key;
};

// The basic credential over `identity` with the signer's public key.
CredentialWithKey basic_credential(ByteView identity, const crypto::Ed25519PrivateKey& signer);

// Capabilities every leaf this engine makes carries: MLS 1.0, suite 0x0001,
// basic credentials; all other registry entries it uses are defaults.
Capabilities default_capabilities();

// Lifetime of the key packages this engine builds, in seconds relative to
// the build time: valid from an hour before (tolerating clocks behind ours)
// to 30 days after.
inline constexpr uint64_t kKeyPackageBackdate = 3600;
inline constexpr uint64_t kKeyPackageLifetime = 30 * 24 * 3600;
// Widest lifetime a received key package may claim.
inline constexpr uint64_t kMaxKeyPackageValidity = 90 * 24 * 3600;

// A key package with the private halves of its init and leaf encryption
// keys, kept by its owner until a Welcome made for it is joined.
struct KeyPackageWithKeys {
  KeyPackage key_package;
  crypto::X25519PrivateKey init_key;
  crypto::X25519PrivateKey encryption_key;
};

// Builds and signs a key package for `credential` (whose signature key must
// be the signer's) at `now` (Unix seconds): fresh init key pair derived from
// 32 random bytes, fresh leaf encryption key, default capabilities, no
// extensions. Errors: Crypto (randomness or signing), InvalidArgument when
// the credential's key is not the signer's.
Result<KeyPackageWithKeys, Error> build_key_package(const CredentialWithKey& credential,
                                                    const crypto::Ed25519PrivateKey& signer,
                                                    uint64_t now);

// Validates a received key package at `now` (Unix seconds): version,
// suite, distinct init and encryption keys of the right size, the leaf's
// source, capabilities and signature, the package signature, and the
// lifetime. A lifetime that does not contain `now` is KeyPackageLifetime
// (detail "expired" or "not yet valid"); a window wider than
// kMaxKeyPackageValidity is InvalidKeyPackage; every other fault is
// InvalidKeyPackage with the reason.
Result<void, Error> validate_key_package(const KeyPackage& kp, uint64_t now);
// The same; with `check_lifetime` false neither the window nor its width is
// checked (RFC 9420 §7.3 RECOMMENDS the check for received leaves only).
Result<void, Error> validate_key_package(const KeyPackage& kp, uint64_t now, bool check_lifetime);
// Whether validation refuses a window wider than kMaxKeyPackageValidity, or
// leaves that check (and its text) to a caller with its own limit.
enum class WindowWidthCheck : uint8_t { Engine, LeftToCaller };
Result<void, Error> validate_key_package(const KeyPackage& kp, uint64_t now, bool check_lifetime,
                                         WindowWidthCheck width);
// Decodes exactly one KeyPackage (Codec on bad or trailing bytes) and
// validates it.
Result<KeyPackage, Error> decode_and_validate_key_package(
    ByteView bytes, uint64_t now, WindowWidthCheck width = WindowWidthCheck::Engine);

// Whether a KeyPackageLifetime error means the window has closed (rather than
// not yet opened).
bool lifetime_expired(const KeyPackage& kp, uint64_t now);

// Checks a leaf's own rules common to every source: key sizes, a basic
// credential, capabilities listing MLS 1.0 and suite 0x0001 and the
// credential type in use, and the signature (group context for update and
// commit leaves). InvalidKeyPackage is not used here: errors are
// InvalidContent.
Result<void, Error> validate_leaf_node(const LeafNode& leaf, ByteView group_id,
                                       uint32_t leaf_index);

}  // namespace brenvik::rfc9420
