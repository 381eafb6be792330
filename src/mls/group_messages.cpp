#include "mls/group_messages.h"

#include <algorithm>
#include <map>

#include "mls/group_metadata.h"
#include "mls/leaf_identity.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

using rfc9420::CommittedProposal;

ByteView identity_of(const rfc9420::LeafNode& leaf) {
  const Bytes* id = leaf.credential.basic_identity();
  return id ? ByteView(*id) : ByteView();
}

std::string sender_text(const rfc9420::Sender& s) {
  return std::visit(
      [](const auto& b) -> std::string {
        using T = std::remove_cvref_t<decltype(b)>;
        if constexpr (std::is_same_v<T, rfc9420::MemberSender>)
          return "member " + std::to_string(b.value);
        else if constexpr (std::is_same_v<T, rfc9420::ExternalSenderIndex>)
          return "external sender " + std::to_string(b.value);
        else if constexpr (std::is_same_v<T, rfc9420::NewMemberProposalSender>)
          return "a new member (proposal)";
        else
          return "a new member (commit)";
      },
      s.body);
}

Result<void, MlsError> verify_sender_leaf(const rfc9420::Group& group,
                                          const rfc9420::Sender& sender, std::string_view claimed) {
  auto index = sender.leaf_index();
  if (!index)
    return Err(MlsError::with_text(
        MlsError::Kind::UnsupportedSender,
        "a message was authenticated to " + sender_text(sender) +
            ", which is not a group member; this SDK issues and expects only member senders"));
  auto leaf = group.leaf(*index);
  if (!leaf)
    return Err(MlsError::with_text(MlsError::Kind::UnsupportedSender,
                                   "tree integrity: a message was authenticated to leaf " +
                                       std::to_string(*index) + ", which is not in the tree"));
  ByteView identity = identity_of(*leaf);
  BRENVIK_TRY_VOID(check_leaf_identity(identity, leaf->signature_key, LeafSource::MessageSender));
  if (!std::ranges::equal(identity, as_bytes(claimed)))
    return Err(
        MlsError::sender_identity_mismatch(std::string(claimed), truncate_for_display(identity)));
  return {};
}

constexpr std::string_view kFailOpenUnreadable =
    "Commit enforcement: could not read group metadata \xe2\x80\x94 merging (unknown admin set "
    "fails open)";
constexpr std::string_view kFailOpenNone =
    "Commit enforcement: no group metadata \xe2\x80\x94 merging (unknown admin set fails open)";
constexpr std::string_view kFailOpenNoAdmin =
    "Commit enforcement: no admin role stored \xe2\x80\x94 merging (unknown admin set fails open)";

std::string join_list(const std::vector<std::string>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + v[i];
  return out + "]";
}

}  // namespace

Result<void, MlsError> verify_staged_commit(const rfc9420::StagedCommit& commit) {
  if (const rfc9420::LeafNode* leaf = commit.update_path_leaf())
    BRENVIK_TRY_VOID(
        check_leaf_identity(identity_of(*leaf), leaf->signature_key, LeafSource::CommitUpdatePath));
  for (const CommittedProposal& p : commit.proposals())
    if (const auto* u = std::get_if<rfc9420::Update>(&p.proposal.body))
      BRENVIK_TRY_VOID(check_leaf_identity(identity_of(*u->leaf_node), u->leaf_node->signature_key,
                                           LeafSource::CommittedUpdate));
  for (const CommittedProposal& p : commit.proposals())
    if (const auto* a = std::get_if<rfc9420::Add>(&p.proposal.body))
      BRENVIK_TRY_VOID(check_leaf_identity(identity_of(a->key_package->leaf_node),
                                           a->key_package->leaf_node.signature_key,
                                           LeafSource::CommittedAdd));
  for (const CommittedProposal& p : commit.proposals())
    if (const auto* g = std::get_if<rfc9420::GroupContextExtensions>(&p.proposal.body))
      for (const auto& ext : g->extensions)
        if (ext.extension_type == rfc9420::extension_type::external_senders)
          return Err(MlsError::with_text(
              MlsError::Kind::UnsupportedSender,
              "a commit proposes an ExternalSenders group-context extension, which would "
              "authorize a non-member to send into this group"));
  return {};
}

Result<void, MlsError> enforce_commit_policy(const GroupStore& store, const rfc9420::Group& group,
                                             std::string_view group_id,
                                             const rfc9420::StagedCommit& commit,
                                             std::string_view committer, bool enforce) {
  if (!enforce || is_session_group_id(group_id)) return {};
  std::vector<std::string> added;
  AddedIdentityWalk adds(commit.proposals());
  while (auto id = adds.next()) added.push_back(std::move(*id));
  std::vector<uint32_t> removed_leaves;
  bool any_add = false;
  for (const CommittedProposal& p : commit.proposals()) {
    if (const auto* r = std::get_if<rfc9420::Remove>(&p.proposal.body))
      removed_leaves.push_back(r->removed);
    if (std::holds_alternative<rfc9420::Add>(p.proposal.body)) any_add = true;
  }
  if (!any_add && removed_leaves.empty()) return {};

  const std::vector<rfc9420::Member> members = group.members();
  std::map<uint32_t, std::string> roster;
  ProvenLeafWalk walk(members);
  while (auto e = walk.next()) roster.emplace(e->first, std::move(e->second));
  std::vector<std::string> removed;
  for (uint32_t idx : removed_leaves)
    if (auto it = roster.find(idx); it != roster.end()) removed.push_back(it->second);

  auto loaded = store.storage().load(kGroupMetadataType, group_id);
  if (!loaded.ok()) {
    BRENVIK_LOG(LogLevel::Warn, kGroupLogTarget, {"message", kFailOpenUnreadable},
                {"group_id", group_id}, {"error", MlsError::storage(loaded.error()).message()});
    return {};
  }
  if (!loaded.value()) {
    BRENVIK_LOG(LogLevel::Warn, kGroupLogTarget, {"message", kFailOpenNone},
                {"group_id", group_id});
    return {};
  }
  auto read = read_group_metadata(*loaded.value());
  if (!read.ok()) {
    BRENVIK_LOG(LogLevel::Warn, kGroupLogTarget, {"message", kFailOpenUnreadable},
                {"group_id", group_id},
                {"error", MlsError::deserialization(read.error()).message()});
    return {};
  }
  GroupMetadata metadata = std::move(read).value();
  if (metadata.roles.empty() && metadata.has_legacy_role_keys()) metadata.migrate_legacy_roles();
  if (!metadata.has_admin()) {
    BRENVIK_LOG(LogLevel::Warn, kGroupLogTarget, {"message", kFailOpenNoAdmin},
                {"group_id", group_id});
    return {};
  }
  auto is_admin = [&](std::string_view id) { return metadata.role_of(id) == GroupRole::Admin; };
  bool allowed = is_admin(committer);
  for (const CommittedProposal& p : commit.proposals()) {
    if (!std::holds_alternative<rfc9420::Add>(p.proposal.body) &&
        !std::holds_alternative<rfc9420::Remove>(p.proposal.body))
      continue;
    auto it = roster.find(p.sender);
    if (it == roster.end() || !is_admin(it->second)) allowed = false;
  }
  if (allowed) return {};
  BRENVIK_LOG(
      LogLevel::Warn, kGroupLogTarget,
      {"message", "Commit enforcement: refusing an unauthorized membership commit before merge"},
      {"group_id", group_id}, {"committer", committer}, {"added", join_list(added)},
      {"removed", join_list(removed)});
  return Err(MlsError::commit_not_authorized(std::string(committer), std::move(added),
                                             std::move(removed)));
}

Result<std::optional<Bytes>, MlsError> process_incoming_message(const GroupStore& store,
                                                                rfc9420::StoredGroup& group,
                                                                std::string_view group_id,
                                                                const rfc9420::MlsMessage& message,
                                                                std::string_view claimed_sender,
                                                                bool enforce, uint64_t now_s) {
  const auto wf = message.wire_format();
  if (wf != rfc9420::WireFormat::private_message && wf != rfc9420::WireFormat::public_message)
    return Err(MlsError::with_text(MlsError::Kind::Decryption,
                                   "Invalid protocol message: not a public or private message"));
  auto processed = group.process_message(message, now_s);
  if (!processed.ok())
    return Err(mls_error_from_engine(processed.error(), MlsError::Kind::Decryption));
  rfc9420::ProcessedMessage pm = std::move(processed).value();
  BRENVIK_TRY_VOID(verify_sender_leaf(group.group(), pm.sender, claimed_sender));
  if (auto* app = std::get_if<rfc9420::ApplicationData>(&pm.content))
    return std::optional<Bytes>(std::move(app->data));
  if (std::holds_alternative<rfc9420::ProposalReceived>(pm.content)) {
    BRENVIK_LOG(LogLevel::Debug, kGroupLogTarget, {"message", "Received proposal message"});
    return std::optional<Bytes>();
  }
  auto& staged = std::get<rfc9420::StagedCommit>(pm.content);
  BRENVIK_LOG(LogLevel::Debug, kGroupLogTarget, {"message", "Received commit message, merging"});
  BRENVIK_TRY_VOID(verify_staged_commit(staged));
  BRENVIK_TRY_VOID(
      enforce_commit_policy(store, group.group(), group_id, staged, claimed_sender, enforce));
  auto merged = group.merge_staged_commit(std::move(staged));
  if (!merged.ok())
    return Err(mls_error_from_engine(merged.error(), MlsError::Kind::Decryption,
                                     "Failed to merge commit: "));
  return std::optional<Bytes>();
}

}  // namespace brenvik::mls
