// Taking in an MLS message for a group or a 1:1 session: processing by the
// engine, the check that the authenticated sender is the member the envelope
// claims, and for commits the leaf checks and the commit enforcement that
// refuses membership commits from members without the admin role.
#pragma once

#include <optional>
#include <string_view>

#include "mls/group_store.h"
#include "mls/mls_error.h"
#include "rfc9420/mls_message.h"
#include "rfc9420/stored_group.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

// Processes `message` against `group` (held by the caller, so the group's
// lock is held throughout). Returns the plaintext of an application message,
// none for a proposal or a merged commit. A refused commit is discarded
// unmerged. `enforce` is the commit-enforcement switch; it never applies to
// session ids. `now_s` validates the key packages of committed Adds.
Result<std::optional<Bytes>, MlsError> process_incoming_message(const GroupStore& store,
                                                                rfc9420::StoredGroup& group,
                                                                std::string_view group_id,
                                                                const rfc9420::MlsMessage& message,
                                                                std::string_view claimed_sender,
                                                                bool enforce, uint64_t now_s);

// The leaf checks of a staged commit: the update path's leaf, each Update
// and Add proposal's leaf, and no ExternalSenders proposed.
Result<void, MlsError> verify_staged_commit(const rfc9420::StagedCommit& commit);

// Allow (success) or refuse (CommitNotAuthorized) a staged commit; fails open
// with a WARN when the admin set cannot be known. Metadata is read straight
// from storage; legacy roles are migrated in memory only.
Result<void, MlsError> enforce_commit_policy(const GroupStore& store, const rfc9420::Group& group,
                                             std::string_view group_id,
                                             const rfc9420::StagedCommit& commit,
                                             std::string_view committer, bool enforce);

}  // namespace brenvik::mls
