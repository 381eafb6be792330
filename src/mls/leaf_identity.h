// The leaf identity proof: a group member's MLS leaf proves the identity its
// credential claims only when the address derived from its signature key is,
// byte for byte, that identity. The roster and commit enforcement walk the
// leaves with the three cursors below.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "mls/mls_error.h"
#include "rfc9420/group.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

// Success when the address text of `signature_key` is exactly
// `claimed_identity`; otherwise LeafAddressMismatch with the claimed identity
// as truncate_for_display() shows it and the derived text ("<no address: "
// + the derivation error + ">" for a key that is not 32 bytes).
Result<void, MlsError> check_leaf_identity(ByteView claimed_identity, ByteView signature_key,
                                           LeafSource source);

// The first 80 bytes as text (each invalid UTF-8 sequence as U+FFFD), and
// "\u2026 (truncated)" after them when the input was longer.
std::string truncate_for_display(ByteView bytes);

// Walks the members in leaf order and yields the identities that prove
// themselves; an unproven member is logged at WARN (with the group id) and
// counted in `skipped` (saturating), a proven one that is not UTF-8 is
// skipped silently. `members` and `skipped` must outlive the walk.
class ProvenMemberWalk {
 public:
  ProvenMemberWalk(std::span<const rfc9420::Member> members, std::string_view group_id,
                   uint32_t& skipped)
      : members_(members), group_id_(group_id), skipped_(skipped) {}
  std::optional<std::string> next();

 private:
  std::span<const rfc9420::Member> members_;
  size_t pos_ = 0;
  std::string_view group_id_;
  uint32_t& skipped_;
};

// All of a walk at once.
std::vector<std::string> proven_group_members(std::span<const rfc9420::Member> members,
                                              std::string_view group_id, uint32_t& skipped);

// The same walk for commit enforcement: unproven leaves are skipped without
// a log or a count; yields (leaf index, identity).
class ProvenLeafWalk {
 public:
  explicit ProvenLeafWalk(std::span<const rfc9420::Member> members) : members_(members) {}
  std::optional<std::pair<uint32_t, std::string>> next();

 private:
  std::span<const rfc9420::Member> members_;
  size_t pos_ = 0;
};

// The identities a commit adds: its Add proposals in commit order, each key
// package's credential identity when it is UTF-8.
class AddedIdentityWalk {
 public:
  explicit AddedIdentityWalk(std::span<const rfc9420::CommittedProposal> proposals)
      : proposals_(proposals) {}
  std::optional<std::string> next();

 private:
  std::span<const rfc9420::CommittedProposal> proposals_;
  size_t pos_ = 0;
};

}  // namespace brenvik::mls
