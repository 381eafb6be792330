// Groups and key packages kept in a StorageProvider, so that every operation
// can start from a fresh load: nothing of a group needs to stay in memory
// between two calls.
//
// A StoredGroup holds the process-wide lock of its group id (per storage)
// for as long as it lives, so operations on one group never overlap (two encryptions can
// never reuse a ratchet generation, two commits never fork the stored
// epoch), whichever thread they come from.
//
// The last decoded state of each recently used group is kept in memory
// with the exact bytes it came from, and reused only while storage answers
// every load of an open with those same bytes (see stored_group.cpp).
//
// Write order when a commit is merged: the new epoch's key pairs first,
// then the ten labels of the group store (and "queued_proposals", emptied,
// for a group that keeps proposals), then the old epoch's key pairs and
// the own leaf nodes are deleted. A queue left from an older epoch by a
// crash is dropped at the next load. A crash between the steps leaves either
// the old group (with spare keys for an epoch it never reached) or the new
// group with its keys; never a group without the keys of its epoch.
#pragma once

#include <memory>
#include <mutex>

#include "rfc9420/group.h"
#include "rfc9420/group_store.h"

namespace brenvik::rfc9420 {

// A storage adapter failure as an engine error: Storage for the provider's
// failures, InvalidState for values that do not read or write.
Error storage_error(const StorageAdapterError& e);

// The stored form of a group's state, label by label, and back. The key
// pairs go under "encryption_epoch_key_pairs" beside it.
PersistedGroup to_persisted(const GroupMemberState& state);
std::vector<HpkeKeyPair> epoch_key_pairs(const GroupMemberState& state);
// Rebuilds a state; the key pairs are matched to the own leaf and its
// direct path by their public keys. InvalidState when the own leaf's key is
// missing from an active group or the parts disagree.
Result<GroupMemberState, Error> from_persisted(const PersistedGroup& stored,
                                               const std::vector<HpkeKeyPair>& key_pairs);

// The process-wide lock of a group id in one storage (several simulated
// devices in one process each have their own). Entries live while someone
// holds them. Holding two StoredGroups of the same group and storage in one
// thread deadlocks: open one at a time.
std::shared_ptr<std::mutex> group_lock(const StorageProvider& storage, ByteView group_id);

// A group's lock, taken and held. Lets a caller keep one group locked across
// several engine calls (delete, then install) so that no other operation on
// the group can run in between.
struct HeldGroupLock {
  std::shared_ptr<std::mutex> mu;  // outlives lock (declared before it)
  std::unique_lock<std::mutex> lock;
};
// Blocks until the group's lock is free, then holds it.
HeldGroupLock lock_group(const StorageProvider& storage, ByteView group_id);

class StoredGroup {
 public:
  // Locks the group id and loads the group; nothing when it is not stored.
  static Result<std::optional<StoredGroup>, Error> open(StorageProvider& storage,
                                                        ByteView group_id);
  // Creates a group, stores it, and returns it locked.
  static Result<StoredGroup, Error> create(StorageProvider& storage, ByteView group_id,
                                           const CredentialWithKey& credential,
                                           const crypto::Ed25519PrivateKey& signer, uint64_t now,
                                           const GroupConfig& config = {});
  // Adopts a staged Welcome: stores the group under its id (replacing
  // nothing: the caller deletes a previous group first if it wants to) and
  // deletes the key package record the Welcome was made for.
  static Result<StoredGroup, Error> join(StorageProvider& storage, StagedWelcome staged,
                                         ByteView key_package_ref);
  // The same under a lock the caller already holds.
  // REQUIRES: `held` is lock_group(storage, staged.group_id()).
  static Result<StoredGroup, Error> join(StorageProvider& storage, StagedWelcome staged,
                                         ByteView key_package_ref, HeldGroupLock held);

  // Gives up the group and hands its lock back, still held: the caller can
  // delete the group (delete_stored_group with the lock) with no other
  // operation slipping in between.
  HeldGroupLock release() &&;

  StoredGroup(StoredGroup&&) noexcept = default;
  StoredGroup& operator=(StoredGroup&&) noexcept = default;

  Group& group() { return *group_; }
  const Group& group() const { return *group_; }

  // Writes back what changed since the load: the message secrets only when
  // the epoch stayed, the whole group (in the order above) after a merge.
  // On failure the stored group is the one before, or (a failure inside the
  // group store) a torn write that the next load refuses.
  Result<void, Error> save();

  // The operations of Group, each followed by save(). On any error nothing
  // is written.
  Result<CommitOutput, Error> add_members(std::span<const KeyPackage> key_packages,
                                          const crypto::Ed25519PrivateKey& signer, uint64_t now);
  Result<CommitOutput, Error> remove_members(std::span<const uint32_t> leaf_indices,
                                             const crypto::Ed25519PrivateKey& signer);
  Result<CommitOutput, Error> self_update(const crypto::Ed25519PrivateKey& signer);
  Result<MlsMessage, Error> create_application_message(ByteView data,
                                                       const crypto::Ed25519PrivateKey& signer,
                                                       ByteView authenticated_data = {});
  // Processes and saves (the receiving ratchet moved); a staged commit is
  // not applied until merge_staged_commit.
  Result<ProcessedMessage, Error> process_message(const MlsMessage& message, uint64_t now);
  Result<void, Error> merge_staged_commit(StagedCommit staged);
  // Group::keep_proposal, then the queue is written under
  // "queued_proposals" (whose presence marks a group that keeps proposals).
  Result<void, Error> keep_proposal(const ProposalReceived& proposal);

 private:
  StoredGroup(StorageProvider& storage, std::shared_ptr<std::mutex> mu,
              std::unique_lock<std::mutex> lock, Group group, uint64_t saved_epoch)
      : storage_(&storage),
        mu_(std::move(mu)),
        lock_(std::move(lock)),
        group_(std::make_unique<Group>(std::move(group))),
        saved_epoch_(saved_epoch) {}
  Result<void, Error> store_full(const GroupMemberState& state,
                                 std::optional<uint64_t> previous_epoch);
  // After a successful message-secrets write: the remembered decode of this
  // group now answers to the bytes just stored.
  void remember_message_secrets(const Bytes& stored, SecretTree secret_tree);
  // Writes the kept proposals of `state` (its group id and proposals only).
  Result<void, Error> write_proposals(const GroupMemberState& state);

  StorageProvider* storage_;
  std::shared_ptr<std::mutex> mu_;  // outlives lock_ (declared before it)
  std::unique_lock<std::mutex> lock_;
  std::unique_ptr<Group> group_;
  uint64_t saved_epoch_;
  size_t saved_proposals_ = 0;  // proposals in the stored queue
};

// Builds a key package and stores its private record under its
// KeyPackageRef ("kaltra_key_package").
Result<KeyPackageWithKeys, Error> generate_stored_key_package(
    StorageProvider& storage, const CredentialWithKey& credential,
    const crypto::Ed25519PrivateKey& signer, uint64_t now);

// Stages a Welcome with the first of its recipients whose key package
// record is in storage. The record is not consumed until StoredGroup::join.
// InvalidWelcome when no recipient's record is stored.
struct StagedStoredWelcome {
  StagedWelcome staged;
  KeyPackageRef key_package_ref;
};
Result<StagedStoredWelcome, Error> stage_stored_welcome(StorageProvider& storage,
                                                        const Welcome& welcome,
                                                        const WelcomeOptions& options);

// Deletes every record of a stored group (the epoch's key pairs included).
// A group that is not stored is not an error.
Result<void, Error> delete_stored_group(StorageProvider& storage, ByteView group_id);
// The same under a lock the caller already holds.
// REQUIRES: `held` holds lock_group(storage, group_id).
Result<void, Error> delete_stored_group(StorageProvider& storage, ByteView group_id,
                                        const HeldGroupLock& held);

}  // namespace brenvik::rfc9420
