// Shared state for the fuzz targets and the seed generator: a deterministic
// random source, and MLS parties built from it, so that the generator and a
// target made from the same code hold the same keys and a saved message
// still decrypts when it is replayed.
#pragma once

#include <cstdint>

#include "crypto/ed25519.h"
#include "rfc9420/group.h"

namespace brenvik::fuzz {

// Replaces the process's random source (OpenSSL's, which every key, nonce and
// UUID of the library comes from) with a fixed stream started from `seed`.
// For fuzzing only: the keys it gives are predictable.
void use_deterministic_random(uint64_t seed);

// Unix seconds every MLS party is built at and processes messages at.
inline constexpr uint64_t kMlsNow = 1'750'000'000;

// A two-member group: alice (leaf 0) created it and added bob (leaf 1);
// both states are taken right after bob joined. Built once per process from
// the deterministic random source.
struct MlsPair {
  crypto::Ed25519PrivateKey alice_signer;
  crypto::Ed25519PrivateKey bob_signer;
  rfc9420::GroupMemberState alice;
  rfc9420::GroupMemberState bob;
};
const MlsPair& mls_pair();

// A client with a key package of its own (not in any group), the target of
// sealed Welcomes, and a third client's key package (for commits that add).
struct MlsJoiner {
  crypto::Ed25519PrivateKey signer;
  rfc9420::KeyPackageWithKeys key_package;
  rfc9420::KeyPackage third;
};
const MlsJoiner& mls_joiner();

// alice's side: signs `content` as a member of the pair's group, from leaf
// 0, with the given confirmation tag for a commit, and encrypts it under a
// copy of alice's secret tree. Fails only where the library refuses to
// protect (e.g. a content too large for the framing).
Result<rfc9420::MlsMessage, rfc9420::Error> seal_from_alice(rfc9420::Content content,
                                                            ByteView authenticated_data,
                                                            ByteView confirmation_tag);

// bob's side: decrypts a PrivateMessage of the pair's group with a copy of
// bob's secret tree (nothing of bob's state changes).
Result<rfc9420::AuthenticatedContent, rfc9420::Error> open_as_bob(
    const rfc9420::MlsMessage& message);

// A Welcome for the joiner made from encoded GroupSecrets and GroupInfo as
// given: the secrets sealed to the joiner's init key, the GroupInfo under the
// welcome key of the joiner secret found in `group_secrets` (an arbitrary key
// when they do not decode), so that every byte reaches the joiner's checks.
rfc9420::Welcome seal_welcome_to_joiner(ByteView group_secrets, ByteView group_info);

}  // namespace brenvik::fuzz
