// A member's view of one MLS group (RFC 9420 §8, §11, §12): creation, commits
// that add and remove members or refresh the own leaf, Welcomes for the
// members added, application and handshake messages, and the processing of
// what other members send.
//
// Policy this engine applies to every group: cipher suite 0x0001, basic
// credentials, no past-epoch secrets kept, and a commit is merged by its
// author at once. What it sends: proposals and commits as PrivateMessage, the
// ratchet tree in each Welcome, proposals inline, no pre-shared keys.
//
// What it accepts is the group's processing policy (GroupConfig). The
// default is the messaging layer's: handshake messages only as
// PrivateMessage, no proposals kept (so a commit by reference is refused),
// no pre-shared keys, lifetimes of received leaves checked. A group that
// follows groups of other clients may take PublicMessage handshakes
// (`Mixed`), keep proposals for commits by reference, and keep resumption
// PSKs; external PSKs and the lifetime check are given per Group object
// (ReceiveOptions), never stored.
//
// Concurrency: every public method of Group takes the group's own mutex, so
// two encryptions from threads sharing one Group never reuse a ratchet
// generation. StagedCommit and StagedWelcome are plain values.
#pragma once

#include <mutex>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "crypto/ed25519.h"
#include "rfc9420/key_package_ops.h"
#include "rfc9420/key_schedule.h"
#include "rfc9420/mls_message.h"
#include "rfc9420/secret_tree.h"
#include "rfc9420/treekem.h"
#include "rfc9420/wire_format_policy.h"

namespace brenvik::rfc9420 {

// The parts of a group's behaviour kept with its state.
struct GroupConfig {
  SenderRatchetConfig sender_ratchet{32, 1000};
  uint32_t padding_size = 0;  // zero bytes appended to each PrivateMessage content
  bool use_ratchet_tree_extension = true;
  // Wire formats accepted for incoming proposals and commits.
  IncomingWireFormatPolicy incoming = IncomingWireFormatPolicy::AlwaysCiphertext;
  // Whether received proposals may be kept for commits by reference (RFC
  // 9420 §12.4). Stored as the presence of the group's proposal queue.
  bool keep_proposals = false;
  // Resumption PSKs of this many past epochs kept for PreSharedKey
  // proposals (§8.6); 0 keeps none and refuses resumption PSKs.
  uint32_t number_of_resumption_psks = 0;
  bool operator==(const GroupConfig&) const = default;
};

// A proposal kept for the current epoch under its ProposalRef (§5.2).
struct CachedProposal {
  ProposalRef ref;
  AuthenticatedContent content;
  bool operator==(const CachedProposal&) const = default;
};

// The resumption PSK of one past epoch of this group.
struct EpochResumptionPsk {
  uint64_t epoch = 0;
  crypto::SecretBytes secret;
  bool operator==(const EpochResumptionPsk&) const = default;
};

// The secrets of the current epoch besides the secret tree (which holds the
// encryption secret in derived form).
struct EpochKeys {
  crypto::SecretBytes sender_data_secret;
  crypto::SecretBytes exporter_secret;
  crypto::SecretBytes external_secret;
  crypto::SecretBytes confirmation_key;
  crypto::SecretBytes membership_key;
  crypto::SecretBytes resumption_psk;
  crypto::SecretBytes epoch_authenticator;
  crypto::SecretBytes init_secret;  // of the next epoch
};

// Everything one member knows about a group in one epoch. Persistence maps
// it onto the group-store records field by field.
struct GroupMemberState {
  GroupConfig config;
  GroupContext context;
  PublicTree tree;
  TreePrivateKeys keys;  // own leaf index inside
  EpochKeys secrets;
  SecretTree secret_tree;
  Bytes interim_transcript_hash;
  Bytes confirmation_tag;
  bool active = true;  // false once a merged commit removed this member or reinitialised the group
  bool reinitialised = false;             // a merged ReInit ended the group (active is false too)
  std::vector<CachedProposal> proposals;  // kept for this epoch (config.keep_proposals)
  std::vector<EpochResumptionPsk> resumption_psks;  // oldest first, current epoch last
};

// One occupied leaf.
struct Member {
  uint32_t leaf_index = 0;
  Bytes identity;  // the basic credential's identity
  SignaturePublicKey signature_key;
  HpkePublicKey encryption_key;
};

// A proposal carried by a commit, with the member that proposed it (the
// committer for inline proposals, the proposal's sender for references).
struct CommittedProposal {
  Proposal proposal;
  uint32_t sender = 0;
};

// A received commit, verified and computed but not yet applied.
class StagedCommit {
 public:
  uint32_t committer() const { return committer_; }
  // The committer's new leaf from its update path, nullptr without a path.
  const LeafNode* update_path_leaf() const { return path_leaf_ ? &*path_leaf_ : nullptr; }
  // The committed Add, Update, Remove and GroupContextExtensions proposals
  // in commit order.
  const std::vector<CommittedProposal>& proposals() const { return proposals_; }
  // Whether the commit removes this member (merging it ends the group for it).
  bool self_removed() const { return !next_.active && !next_.reinitialised; }
  // The committed ReInit, nullptr without one. Merging it ends the group;
  // its epoch authenticator stays readable.
  const ReInit* reinit() const { return reinit_ ? &*reinit_ : nullptr; }
  uint64_t epoch() const { return next_.context.epoch; }

 private:
  friend class Group;
  uint64_t from_epoch_ = 0;
  uint32_t committer_ = 0;
  std::optional<LeafNode> path_leaf_;
  std::vector<CommittedProposal> proposals_;
  std::optional<ReInit> reinit_;
  GroupMemberState next_;
};

struct ApplicationData {
  Bytes data;
};
struct ProposalReceived {
  Proposal proposal;
  // What Group::keep_proposal needs to keep it for a commit by reference.
  ProposalRef ref;
  AuthenticatedContent content;
};

// The result of processing one message: who sent it and what it carries.
struct ProcessedMessage {
  uint64_t epoch = 0;
  Sender sender;  // always a member here (others are refused)
  WireFormat wire_format = WireFormat::private_message;
  Bytes authenticated_data;
  std::variant<ApplicationData, ProposalReceived, StagedCommit> content;
};

// What a commit produces for the other members and the joiners.
struct CommitOutput {
  MlsMessage commit;                  // PrivateMessage for the current members
  std::optional<MlsMessage> welcome;  // when the commit adds members
};

// An external pre-shared key a Welcome may name (used to join groups made
// by other implementations; this engine never creates PSK groups).
struct ExternalPskEntry {
  Bytes psk_id;
  Bytes psk;
};

// What a Group object uses while receiving that is never stored: the
// external PSKs commits may name, and whether received leaves' lifetimes
// are checked. RFC 9420 §7.3 only RECOMMENDS that check; leaves of groups
// built long ago (test vectors) carry lifetimes that no longer share an
// instant. Leaves this engine sends are always checked.
struct ReceiveOptions {
  std::vector<ExternalPskEntry> external_psks;
  bool check_received_lifetimes = true;
};

struct WelcomeOptions {
  uint64_t now = 0;  // Unix seconds, for leaf lifetimes in the tree
  GroupConfig config;
  // A tree delivered apart from the Welcome; when absent the Welcome must
  // carry the ratchet_tree extension.
  std::optional<RatchetTree> ratchet_tree;
  std::vector<ExternalPskEntry> external_psks;
  // See ReceiveOptions: only a harness over old test groups turns it off.
  bool check_received_lifetimes = true;
};

class StagedWelcome;

class Group {
 public:
  // Creates a group with only this member at epoch 0 (`now` in Unix seconds
  // stamps the creator's leaf lifetime). InvalidArgument for an empty group
  // id or a credential not matching the signer.
  static Result<Group, Error> create(ByteView group_id, const CredentialWithKey& credential,
                                     const crypto::Ed25519PrivateKey& signer, uint64_t now,
                                     const GroupConfig& config = {},
                                     std::vector<Extension> extensions = {});
  // Adopts a state (from a Welcome or from storage); the caller checked it.
  explicit Group(GroupMemberState state) : state_(std::move(state)) {}
  Group(Group&& o) noexcept : state_(std::move(o.state_)), receive_(std::move(o.receive_)) {}
  Group& operator=(Group&& o) noexcept;
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  Bytes group_id() const;
  uint64_t epoch() const;
  uint32_t own_leaf_index() const;
  bool active() const;
  GroupContext context() const;
  std::vector<Member> members() const;
  // The leaf of a member, or nullopt when blank or outside the tree.
  std::optional<LeafNode> leaf(uint32_t leaf_index) const;
  crypto::SecretBytes epoch_authenticator() const;
  Result<crypto::SecretBytes, Error> export_secret(std::string_view label, ByteView context,
                                                   size_t length) const;
  // A copy of the whole state, for persistence.
  GroupMemberState snapshot() const;
  // What sending or receiving a message changes: the secret tree (with the
  // epoch, activity and sender-data secret that go with it in storage).
  struct MessageState {
    uint64_t epoch = 0;
    bool active = false;
    crypto::SecretBytes sender_data_secret;
    SecretTree secret_tree;
  };
  MessageState message_state() const;

  // Commits adding the given key packages (each validated at `now`), with
  // an update path, and merges it. InvalidKeyPackage / KeyPackageLifetime
  // for a bad package, InvalidArgument for an empty list or a member whose
  // signature key is already in the group.
  Result<CommitOutput, Error> add_members(std::span<const KeyPackage> key_packages,
                                          const crypto::Ed25519PrivateKey& signer, uint64_t now);
  // Commits removing the given leaves, with an update path, and merges it.
  // InvalidArgument for an empty list, a blank or unknown leaf, or the own leaf.
  Result<CommitOutput, Error> remove_members(std::span<const uint32_t> leaf_indices,
                                             const crypto::Ed25519PrivateKey& signer);
  // Commits with only an update path (fresh keys for the own leaf) and merges it.
  Result<CommitOutput, Error> self_update(const crypto::Ed25519PrivateKey& signer);

  // An application message in the current epoch.
  Result<MlsMessage, Error> create_application_message(ByteView data,
                                                       const crypto::Ed25519PrivateKey& signer,
                                                       ByteView authenticated_data = {});

  // Decrypts and verifies a message of another member. A commit comes back
  // staged; nothing of it applies until merge_staged_commit. Errors:
  // InvalidContent (not a PrivateMessage), WrongGroup, WrongEpoch /
  // EpochTooOld (their texts are distinct sentences), DecryptionFailed,
  // InvalidSender (own or blank leaf), InvalidSignature, the ratchet errors,
  // InvalidCommit / UnsupportedProposal / InvalidConfirmationTag for
  // commits, GroupInactive once removed. `now` (Unix seconds) validates the
  // key packages of committed Adds.
  Result<ProcessedMessage, Error> process_message(const MlsMessage& message, uint64_t now);
  // Applies a staged commit of this group's current epoch (InvalidArgument
  // when the group moved on since it was staged).
  Result<void, Error> merge_staged_commit(StagedCommit staged);

  // Keeps a proposal that process_message returned, for commits of this
  // epoch that name it by reference; emptied at every epoch change.
  // InvalidArgument when the group keeps no proposals or the proposal is of
  // another epoch. Keeping the same proposal twice keeps it once.
  Result<void, Error> keep_proposal(const ProposalReceived& proposal);
  // The proposals kept for the current epoch, in the order kept.
  std::vector<CachedProposal> kept_proposals() const;

  // Options used by later process_message calls on this object (not stored).
  void set_receive_options(ReceiveOptions options);

 private:
  struct Prepared;
  Result<CommitOutput, Error> commit_locked(std::vector<Proposal> proposals, bool with_path,
                                            const crypto::Ed25519PrivateKey& signer,
                                            std::vector<const KeyPackage*> added_packages);
  Result<StagedCommit, Error> stage_commit_locked(const AuthenticatedContent& ac, uint64_t now);

  mutable std::mutex mu_;
  GroupMemberState state_;
  ReceiveOptions receive_;
};

// A Welcome decrypted and checked, before the group is adopted, so that the
// caller can inspect the group id, the members and the group context
// extensions and refuse before anything is kept.
class StagedWelcome {
 public:
  const Bytes& group_id() const { return state_.context.group_id; }
  uint64_t epoch() const { return state_.context.epoch; }
  const std::vector<Extension>& group_context_extensions() const {
    return state_.context.extensions;
  }
  std::vector<Member> members() const;
  uint32_t own_leaf_index() const { return state_.keys.own_leaf(); }
  // The leaf index of the member that signed the GroupInfo.
  uint32_t inviter_leaf_index() const { return signer_; }
  // Turns the staged Welcome into the group. Refuses (InvalidWelcome) a
  // group context that carries an ExternalSenders extension: this engine
  // accepts messages only from members.
  Result<Group, Error> into_group() &&;

 private:
  friend Result<StagedWelcome, Error> stage_welcome(const Welcome&, const KeyPackageWithKeys&,
                                                    const WelcomeOptions&);
  GroupMemberState state_;
  uint32_t signer_ = 0;
};

// The secrets and GroupInfo of a Welcome, decrypted but not yet checked.
struct DecryptedWelcome {
  GroupSecrets secrets;
  crypto::SecretBytes psk_secret;
  GroupInfo group_info;
};
// Finds the recipient entry of `own` (by KeyPackageRef), decrypts the group
// secrets with its init key, resolves external PSKs and decrypts the
// GroupInfo. Errors: InvalidWelcome, Codec, UnsupportedProposal (resumption
// PSKs).
Result<DecryptedWelcome, Error> decrypt_welcome(const Welcome& welcome, const KeyPackage& own,
                                                const crypto::X25519PrivateKey& init_key,
                                                std::span<const ExternalPskEntry> external_psks);

// Decrypts a Welcome made for `own` (its KeyPackageRef must be among the
// recipients), verifies the GroupInfo signature, the tree and its hash, and
// the confirmation tag, and derives the epoch's secrets. Errors:
// InvalidWelcome with the reason, Codec, Crypto.
Result<StagedWelcome, Error> stage_welcome(const Welcome& welcome, const KeyPackageWithKeys& own,
                                           const WelcomeOptions& options);

}  // namespace brenvik::rfc9420
