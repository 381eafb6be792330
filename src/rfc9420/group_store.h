// Persistence of MLS groups and key material through a storage provider.
//
// Every value goes into the embedding program's storage with one call: the
// storage type is a label naming the kind of value, the key is the SHA-256
// hex digest of a small compact-JSON key record, and the value is compact
// JSON with byte strings written as arrays of decimal numbers 0-255. Nothing
// is cached here and nothing is retried; the provider makes each single call
// atomic and the caller serialises operations on one group.
//
// The labels, the key forms and the write order below are a storage format:
// a program reading an older install relies on them, so they do not change.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "crypto/secret.h"
#include "rfc9420/framing.h"
#include "rfc9420/group_context.h"
#include "rfc9420/key_package.h"
#include "rfc9420/key_schedule.h"
#include "rfc9420/ratchet_tree.h"
#include "rfc9420/secret_tree.h"
#include "rfc9420/wire_format_policy.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::rfc9420 {

// ---------------------------------------------------------------------------
// The storage provider.

// A failure reported by the storage itself; `text` is shown to the user
// after "Storage error: ".
struct StorageFailure {
  std::string text;
  bool operator==(const StorageFailure&) const = default;
};

// Key-value storage addressed by (type, key). Implementations make each call
// atomic; they may be called from several threads.
class StorageProvider {
 public:
  virtual ~StorageProvider() = default;
  virtual Result<void, StorageFailure> store(std::string_view type, std::string_view key,
                                             ByteView value) = 0;
  // The stored bytes, or nothing when the key holds no value.
  virtual Result<std::optional<Bytes>, StorageFailure> load(std::string_view type,
                                                            std::string_view key) = 0;
  // Deleting a key that holds nothing succeeds unless the provider says otherwise.
  virtual Result<void, StorageFailure> delete_(std::string_view type, std::string_view key) = 0;
};

// An in-memory provider for tests and benchmarks. Thread-safe. It can log
// its calls so that tests can check the order of writes, and can be armed
// to fail one later call.
class MemoryStorageProvider : public StorageProvider {
 public:
  enum class Op { Store, Load, Delete };
  struct Call {
    Op op;
    std::string type;
    std::string key;
    bool operator==(const Call&) const = default;
  };

  Result<void, StorageFailure> store(std::string_view type, std::string_view key,
                                     ByteView value) override;
  Result<std::optional<Bytes>, StorageFailure> load(std::string_view type,
                                                    std::string_view key) override;
  Result<void, StorageFailure> delete_(std::string_view type, std::string_view key) override;

  // Makes the n-th call from now on (1 = the next one) fail with `text`
  // without touching the stored values. Later calls succeed again.
  void fail_nth_call(uint64_t n, std::string text);
  // Starts or stops logging calls (off at first, so that long runs do not
  // grow the log).
  void record_calls(bool on);
  // Every call logged, oldest first (failed calls included).
  std::vector<Call> calls() const;
  void clear_calls();
  // Direct access to the stored values, bypassing the call log.
  std::optional<Bytes> peek(std::string_view type, std::string_view key) const;
  void poke(std::string_view type, std::string_view key, ByteView value);
  size_t size() const;
  // Number of values stored under a type.
  size_t count(std::string_view type) const;

 private:
  // Logs the call; returns the failure when this call was armed to fail.
  std::optional<StorageFailure> begin_call(Op op, std::string_view type, std::string_view key);

  mutable std::mutex mu_;
  std::map<std::pair<std::string, std::string>, Bytes, std::less<>> values_;
  std::vector<Call> calls_;
  bool record_ = false;
  uint64_t countdown_ = 0;  // 0 = not armed
  std::string fail_text_;
};

// ---------------------------------------------------------------------------
// Errors of the storage adapter.

class StorageAdapterError {
 public:
  enum class Kind {
    Serialization,    // a value could not be written as JSON
    Deserialization,  // stored bytes are not the expected JSON value
    Storage,          // the provider failed
  };
  StorageAdapterError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
  static StorageAdapterError storage(StorageFailure f) {
    return {Kind::Storage, std::move(f.text)};
  }

  Kind kind() const { return kind_; }
  // The cause, the parser's message or the storage's text.
  const std::string& detail() const { return detail_; }
  // "Serialization failed: <cause>", "Deserialization failed: <parser
  // message>" or "Storage error: <storage text>".
  std::string message() const;
  bool operator==(const StorageAdapterError&) const = default;

 private:
  Kind kind_;
  std::string detail_;
};

// ---------------------------------------------------------------------------
// Labels (storage types) and key digests.

namespace store_label {
inline constexpr std::string_view tree = "tree";
inline constexpr std::string_view confirmation_tag = "confirmation_tag";
inline constexpr std::string_view group_context = "group_context";
inline constexpr std::string_view interim_transcript_hash = "interim_transcript_hash";
inline constexpr std::string_view group_epoch_secrets = "group_epoch_secrets";
inline constexpr std::string_view own_leaf_index = "own_leaf_index";
inline constexpr std::string_view message_secrets = "message_secrets";
inline constexpr std::string_view resumption_psk_store = "resumption_psk_store";
inline constexpr std::string_view join_config = "mls_join_config";
inline constexpr std::string_view group_state = "kaltra_group_state";
inline constexpr std::string_view own_leaf_nodes = "own_leaf_nodes";
inline constexpr std::string_view queued_proposals = "queued_proposals";
inline constexpr std::string_view encryption_epoch_key_pairs = "encryption_epoch_key_pairs";
inline constexpr std::string_view encryption_key_pair = "encryption_key_pair";
inline constexpr std::string_view key_package = "kaltra_key_package";
}  // namespace store_label

// SHA-256 of the key record, as 64 lower-case hex characters.
// {"value":{"vec":[b0,...]}} over the group id:
std::string group_key_digest(ByteView group_id);
// The same form over a KeyPackageRef:
std::string package_key_digest(ByteView key_package_ref);
// {"key":{"vec":[b0,...]}} over an HPKE public key:
std::string encryption_key_digest(ByteView hpke_public_key);
// {"group_id":{"value":{"vec":[...]}},"epoch":E,"leaf_index":L}:
std::string epoch_key_digest(ByteView group_id, uint64_t epoch, uint32_t leaf_index);

// ---------------------------------------------------------------------------
// Stored values.

// An HPKE (X25519) key pair: a member's leaf or path key.
struct HpkeKeyPair {
  Bytes public_key;
  crypto::SecretBytes private_key;
  bool operator==(const HpkeKeyPair&) const = default;
};

// A key package with the private keys that make it usable to join.
struct KeyPackageRecord {
  KeyPackage key_package;
  crypto::SecretBytes private_init_key;
  crypto::SecretBytes private_encryption_key;
  bool operator==(const KeyPackageRecord&) const = default;
};

// The message secrets of one epoch: the sender-data secret and the secret
// tree with its ratchets, so that a reloaded group keeps its place in every
// sender's ratchet.
struct MessageSecrets {
  uint64_t epoch = 0;
  crypto::SecretBytes sender_data_secret;
  SecretTree secret_tree;
};

// "message_secrets": the current epoch's message secrets and those of past
// epochs still kept for late messages (none when max_epochs is 0).
struct MessageSecretsStore {
  uint32_t max_epochs = 0;
  std::vector<MessageSecrets> past_epoch_trees;  // oldest first
  MessageSecrets message_secrets;
};

// "resumption_psk_store": a ring of the last resumption PSKs.
struct StoredResumptionPsk {
  uint64_t epoch = 0;
  crypto::SecretBytes secret;
  bool operator==(const StoredResumptionPsk&) const = default;
};
struct ResumptionPskStore {
  uint32_t max_number_of_secrets = 0;
  std::vector<StoredResumptionPsk> resumption_psk;
  uint32_t cursor = 0;  // next slot to overwrite once the ring is full
  bool operator==(const ResumptionPskStore&) const = default;
};

// "mls_join_config". The defaults are this library's group configuration:
// handshake and application messages encrypted both ways, no padding, no
// past epochs, no resumption PSKs, the tree inside Welcomes.
struct JoinConfig {
  WireFormatPolicy wire_format_policy;
  uint32_t padding_size = 0;
  uint32_t max_past_epochs = 0;
  uint32_t number_of_resumption_psks = 0;
  bool use_ratchet_tree_extension = true;
  SenderRatchetConfig sender_ratchet_configuration;
  bool operator==(const JoinConfig&) const = default;
};

// "kaltra_group_state": Operational, Inactive (removed from the group), or a
// commit of our own that was staged and not merged yet. The pending commit
// is kept as its AuthenticatedContent plus the path secret of our leaf
// (empty for a commit without a path): enough to merge it after a restart.
struct GroupOperational {
  bool operator==(const GroupOperational&) const = default;
};
struct GroupInactive {
  bool operator==(const GroupInactive&) const = default;
};
struct PendingCommit {
  AuthenticatedContent commit;
  crypto::SecretBytes path_secret;
  bool operator==(const PendingCommit&) const = default;
};
using GroupState = std::variant<GroupOperational, GroupInactive, PendingCommit>;

// An entry of "queued_proposals".
struct QueuedProposal {
  ProposalRef proposal_ref;
  AuthenticatedContent content;
  bool operator==(const QueuedProposal&) const = default;
};

// Everything a group store writes; one field per label, in write order.
struct PersistedGroup {
  PublicTree tree;                          // "tree" (written with its tree hash)
  Bytes confirmation_tag;                   // "confirmation_tag"
  GroupContext group_context;               // "group_context" (its group id keys every label)
  Bytes interim_transcript_hash;            // "interim_transcript_hash"
  EpochSecrets epoch_secrets;               // "group_epoch_secrets"
  uint32_t own_leaf_index = 0;              // "own_leaf_index"
  MessageSecretsStore message_secrets;      // "message_secrets"
  ResumptionPskStore resumption_psk_store;  // "resumption_psk_store"
  JoinConfig join_config;                   // "mls_join_config"
  GroupState state;                         // "kaltra_group_state"

  ByteView group_id() const { return group_context.group_id; }
};

// What a group load returns: the stored group plus the two labels that are
// only ever read or deleted.
struct LoadedGroup {
  PersistedGroup group;
  std::vector<LeafNode> own_leaf_nodes;                         // empty when none stored
  std::optional<std::vector<QueuedProposal>> queued_proposals;  // nothing stored: none
};

// ---------------------------------------------------------------------------
// Composite operations.

using StoreResult = Result<void, StorageAdapterError>;

// Writes the ten labels in this order, each under the group key: "tree",
// "confirmation_tag", "group_context", "interim_transcript_hash",
// "group_epoch_secrets", "own_leaf_index", "message_secrets",
// "resumption_psk_store", "mls_join_config", "kaltra_group_state". The first
// failure ends the store; values written before it stay.
StoreResult store_group(StorageProvider& storage, const PersistedGroup& group);

// The labels a group load reads, in its order (all under the group key).
inline constexpr std::array<std::string_view, 12> kGroupLoadLabels = {
    store_label::group_state,      store_label::tree,
    store_label::queued_proposals, store_label::group_epoch_secrets,
    store_label::group_context,    store_label::own_leaf_index,
    store_label::message_secrets,  store_label::interim_transcript_hash,
    store_label::confirmation_tag, store_label::resumption_psk_store,
    store_label::join_config,      store_label::own_leaf_nodes,
};

// Reads "kaltra_group_state", "tree", "queued_proposals",
// "group_epoch_secrets", "group_context", "own_leaf_index",
// "message_secrets", "interim_transcript_hash", "confirmation_tag",
// "resumption_psk_store", "mls_join_config" and "own_leaf_nodes". The group
// is absent (nothing returned) when "kaltra_group_state" or any other label
// of the group store holds nothing. A stored group whose parts do not
// belong together (another group id or epoch, a tree that does not hash to
// its stored hash or to the context's, a torn write of an earlier store) is
// a Deserialization error, never a group assembled from two epochs.
Result<std::optional<LoadedGroup>, StorageAdapterError> load_group(StorageProvider& storage,
                                                                   ByteView group_id);

// Deletes the group-keyed labels in the order "tree", "confirmation_tag",
// "group_context", "interim_transcript_hash", "own_leaf_index",
// "group_epoch_secrets", "message_secrets", "resumption_psk_store",
// "mls_join_config", "own_leaf_nodes", "kaltra_group_state",
// "queued_proposals", then the "encryption_epoch_key_pairs" entry of
// (epoch, own leaf). Stops at the first failure.
StoreResult delete_group(StorageProvider& storage, ByteView group_id, uint64_t epoch,
                         uint32_t own_leaf_index);

// ---------------------------------------------------------------------------
// Single-label operations.

// "message_secrets" and "kaltra_group_state" of a group, written on their own
// after a message is protected or unprotected and when a commit is staged.
StoreResult write_message_secrets(StorageProvider& storage, const PersistedGroup& group);
// The same write from the message secrets alone.
StoreResult write_message_secrets(StorageProvider& storage, ByteView group_id,
                                  const MessageSecretsStore& secrets);
StoreResult write_group_state(StorageProvider& storage, const PersistedGroup& group);

// "encryption_epoch_key_pairs" under the epoch key; nothing stored reads as
// an empty list.
StoreResult write_epoch_key_pairs(StorageProvider& storage, ByteView group_id, uint64_t epoch,
                                  uint32_t leaf_index, const std::vector<HpkeKeyPair>& pairs);
Result<std::vector<HpkeKeyPair>, StorageAdapterError> read_epoch_key_pairs(StorageProvider& storage,
                                                                           ByteView group_id,
                                                                           uint64_t epoch,
                                                                           uint32_t leaf_index);
StoreResult delete_epoch_key_pairs(StorageProvider& storage, ByteView group_id, uint64_t epoch,
                                   uint32_t leaf_index);

// "encryption_key_pair" under the encryption key of the public key.
StoreResult write_encryption_key_pair(StorageProvider& storage, const HpkeKeyPair& pair);
Result<std::optional<HpkeKeyPair>, StorageAdapterError> read_encryption_key_pair(
    StorageProvider& storage, ByteView public_key);
StoreResult delete_encryption_key_pair(StorageProvider& storage, ByteView public_key);

// "kaltra_key_package" under the package key of the KeyPackageRef.
StoreResult write_key_package(StorageProvider& storage, ByteView key_package_ref,
                              const KeyPackageRecord& record);
Result<std::optional<KeyPackageRecord>, StorageAdapterError> read_key_package(
    StorageProvider& storage, ByteView key_package_ref);
StoreResult delete_key_package(StorageProvider& storage, ByteView key_package_ref);

// "own_leaf_nodes": nothing stored reads as an empty list.
StoreResult write_own_leaf_nodes(StorageProvider& storage, ByteView group_id,
                                 const std::vector<LeafNode>& leaves);
Result<std::vector<LeafNode>, StorageAdapterError> read_own_leaf_nodes(StorageProvider& storage,
                                                                       ByteView group_id);
StoreResult delete_own_leaf_nodes(StorageProvider& storage, ByteView group_id);

// "queued_proposals".
StoreResult write_queued_proposals(StorageProvider& storage, ByteView group_id,
                                   const std::vector<QueuedProposal>& queue);
Result<std::optional<std::vector<QueuedProposal>>, StorageAdapterError> read_queued_proposals(
    StorageProvider& storage, ByteView group_id);
StoreResult delete_queued_proposals(StorageProvider& storage, ByteView group_id);

}  // namespace brenvik::rfc9420
