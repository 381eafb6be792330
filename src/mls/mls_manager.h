// MlsManager: the device's one MLS identity and the records kept beside the
// engine's groups in the MLS storage.
//
// Start-up order (start_up() runs it): load or mint the identity key over the
// storage alone; the user id is the address of that key; the provider is
// made over the same storage; the manager is assembled with both identity
// slots empty; initialize_identity() fills them. A failure at any step
// leaves no manager.
//
// Each slot has its own read-write lock with a poison mark; a poisoned or
// empty slot reads as NotInitialized. The slots are filled once and never
// emptied, so a reader's copy is always the identity of this install.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/address.h"
#include "crypto/ed25519.h"
#include "mls/group_metadata.h"
#include "mls/group_store.h"
#include "mls/key_package_bundle.h"
#include "mls/mls_error.h"
#include "mls/mls_storage.h"
#include "mls/signature_key_pair.h"
#include "rfc9420/key_package_ops.h"
#include "sealed/encrypted_message.h"
#include "sealed/welcome_message.h"
#include "util/bytes.h"
#include "util/clock.h"
#include "util/result.h"
#include "util/sync.h"

namespace brenvik::mls {

inline constexpr std::string_view kManagerLogTarget = "brenvik_protocol_mls::manager";
inline constexpr std::string_view kSessionLogTarget = "brenvik_protocol_mls::session";
inline constexpr std::string_view kContactKeyPackageType = "contact_key_package";
// The widest key-package validity window this install admits (90 days).
inline constexpr uint64_t kMaxValidityWindowSeconds = 7'776'000;

// What the engine works through: the shared MLS storage and the engine's
// storage provider over it. The engine's cryptography draws from the
// operating system's secure random source directly, so there is no
// separate crypto object to carry.
struct MlsProvider {
  static MlsProvider create(std::shared_ptr<MlsStorage> storage);
  std::shared_ptr<MlsStorage> storage;
  std::shared_ptr<EngineStorage> engine;
};

// The identity key pair with the 20-byte address payload it derives to.
struct IdentityKey {
  SignatureKeyPair key_pair;
  Address address;
};

class MlsManager {
 public:
  // Loads ("identity", "key_pair"), or mints and stores an Ed25519 pair when
  // nothing is stored (INFO "Minted a new identity key"). A record that does
  // not read is Deserialization "Failed to deserialize signature keys: ..."
  // and is left as it is.
  static Result<IdentityKey, MlsError> load_or_mint_identity_key(MlsStorage& storage);

  // The five start-up steps over `storage`; `enforce_commit_authorization`
  // is the group store's commit-enforcement switch.
  static Result<std::shared_ptr<MlsManager>, MlsError> start_up(
      std::shared_ptr<MlsStorage> storage, bool enforce_commit_authorization,
      const Clock& clock = system_clock());

  // Step 4: both slots empty. `clock` must outlive the manager.
  MlsManager(std::string user_id, MlsProvider provider, bool enforce_commit_authorization,
             const Clock& clock = system_clock());
  MlsManager(const MlsManager&) = delete;
  MlsManager& operator=(const MlsManager&) = delete;

  // Step 5: loads the identity record (or creates and stores one), checks
  // that its key derives to user_id, and fills the credential slot and then
  // the signer slot, one lock at a time.
  Result<void, MlsError> initialize_identity();

  const std::string& user_id() const { return user_id_; }
  MlsStorage& storage() const { return *provider_.storage; }
  const std::shared_ptr<MlsStorage>& storage_handle() const { return provider_.storage; }
  const MlsProvider& provider() const { return provider_; }
  bool enforce_commit_authorization() const { return enforce_commit_authorization_; }
  // The wall clock that stamps the manager's records (group metadata times).
  const Clock& clock() const { return clock_; }
  // SHA-256 of the identity record's bytes as initialize_identity() read or
  // wrote them (all zero before): lets a caller tell whether another storage
  // holds this very identity without keeping the private key's bytes.
  const std::array<uint8_t, 32>& identity_record_digest() const { return record_digest_; }

  // A copy of the basic credential (identity = user_id) with its key.
  Result<rfc9420::CredentialWithKey, MlsError> credential_with_key() const;
  // A copy of the key pair made by writing it to JSON and reading it back.
  Result<SignatureKeyPair, MlsError> signer() const;
  // A user id that is not an address binds the key to nothing (success);
  // otherwise the key must derive to it (IdentityAddressMismatch).
  static Result<void, MlsError> check_identity_address(std::string_view user_id,
                                                       ByteView public_key);

  // The identity public key (32 bytes).
  Result<Bytes, MlsError> identity_public_key() const;
  // The 64-byte Ed25519 signature of exactly `message`.
  Result<Bytes, MlsError> sign_data(ByteView message) const;
  // public key || sign_data(data) || data.
  Result<Bytes, MlsError> identity_assertion(ByteView data) const;
  // A new invite code for this identity, signed when asked.
  Result<std::string, MlsError> make_invite(std::optional<std::string_view> petname,
                                            bool sign) const;

  // The group's metadata, none when no record is stored. A record in the
  // legacy shape (roles only as "role:" entries) is migrated and written back
  // once; a failed write-back is logged and the next read migrates again.
  Result<std::optional<GroupMetadata>, MlsError> group_metadata(std::string_view group_id) const;
  Result<void, MlsError> store_group_metadata(std::string_view group_id,
                                              const GroupMetadata& metadata) const;

  // ---- Peers' key packages (checks shared by import, sessions, adds) ----

  // Decodes exactly one KeyPackage and validates it now; the window's width
  // is left to check_validity_window. InvalidKeyPackage or
  // KeyPackageOutsideValidityWindow.
  Result<rfc9420::KeyPackage, MlsError> validate_peer_key_package(ByteView bytes) const;
  static Result<void, MlsError> check_credential_identity(ByteView identity,
                                                          std::string_view expected_user_id);
  static Result<void, MlsError> check_key_package_address(ByteView signature_key,
                                                          std::string_view claimed_user_id);
  // not_after - not_before (0 when reversed) over 7,776,000 s: InvalidKeyPackage.
  static Result<void, MlsError> check_validity_window(const rfc9420::KeyPackage& kp);
  // All four checks, in order, for a package claimed to be `user_id`'s.
  Result<rfc9420::KeyPackage, MlsError> check_peer_key_package(ByteView bytes,
                                                               std::string_view user_id) const;
  // Checks and stores a contact's key package ("contact_key_package"/user_id).
  Result<void, MlsError> import_key_package(std::string_view user_id, ByteView bytes) const;

  // ---- The pool of this device's key packages ----
  // Pool operations that choose and write entries hold one pool mutex, so
  // two peers are never handed the same package.

  Result<KeyPackageBundle, MlsError> generate_key_package(bool reserved_for_publication) const;
  Result<KeyPackageBundle, MlsError> get_or_create_key_package() const;
  Result<std::vector<KeyPackageBundle>, MlsError> pending_key_packages() const;
  Result<void, MlsError> mark_key_package_synced(std::string_view package_id) const;
  struct PushKeyPackage {
    KeyPackageBundle bundle;
    bool reused = false;
  };
  Result<PushKeyPackage, MlsError> key_package_for_push(std::string_view peer_id) const;
  Result<KeyPackageBundle, MlsError> assign_key_package_to_peer(KeyPackageBundle bundle,
                                                                std::string_view peer_id) const;
  // The per-entry upkeep every pool read goes through: none when absent,
  // pruned (unreadable package or private record gone), expired (hidden for
  // a week of grace), or purged after it.
  Result<std::optional<KeyPackageBundle>, MlsError> prune_key_packages(
      std::string_view package_id) const;
  // Deletes the engine's private record first, then the entry; a failed
  // private delete is logged and keeps the entry for a later retry.
  Result<void, MlsError> purge_key_package(const KeyPackageBundle& bundle) const;
  // The KeyPackageRef: the stored one when it decodes whole, else computed
  // from the package; none when neither works.
  static std::optional<Bytes> key_package_hash_ref(const KeyPackageBundle& bundle);

  // Whether `bytes` are exactly one MLS protocol message (public or
  // private), nothing left over. Neither decrypts nor checks the group.
  static bool is_mls_message(ByteView bytes);
  // The engine's "encryption_key_pair" record of an HPKE public key: none
  // when absent, Storage or Deserialization when it cannot be read.
  Result<std::optional<rfc9420::HpkeKeyPair>, MlsError> load_encryption_key_pair(
      ByteView public_key) const;

  // ---- 1:1 sessions ----

  Result<bool, MlsError> has_session(std::string_view peer) const;
  // Consumes the peer's stored key package. Any failure after the group was
  // created deletes it again, so no session is left whose Welcome is lost;
  // the peer's key package then stays stored.
  Result<WelcomeMessage, MlsError> create_session(std::string_view peer) const;
  // Creates the session when there is none (its Welcome goes to
  // "pending_welcome"/peer), then encrypts.
  Result<EncryptedMessage, MlsError> encrypt_for_user(std::string_view peer,
                                                      ByteView plaintext) const;
  // Encrypts into the existing session with `peer`.
  Result<EncryptedMessage, MlsError> session_encrypt(std::string_view peer,
                                                     ByteView plaintext) const;
  Result<std::optional<Bytes>, MlsError> decrypt_from_user(const EncryptedMessage& message,
                                                           std::string_view claimed_sender) const;
  // Routes by the group id: sessions or groups.
  Result<std::optional<Bytes>, MlsError> decrypt(const EncryptedMessage& message,
                                                 std::string_view claimed_sender) const;
  Result<void, MlsError> verify_welcome_slot(const WelcomeMessage& welcome) const;
  Result<MlsGroupInfo, MlsError> join_session(const WelcomeMessage& welcome) const;
  Result<MlsGroupInfo, MlsError> accept_session_welcome(const WelcomeMessage& welcome) const;
  Result<MlsGroupInfo, MlsError> process_welcome(const WelcomeMessage& welcome) const;
  Result<void, MlsError> delete_session(std::string_view peer) const;
  Result<std::vector<std::string>, MlsError> list_sessions() const;
  Result<std::optional<WelcomeMessage>, MlsError> pending_welcome(std::string_view peer) const;
  Result<void, MlsError> clear_pending_welcome(std::string_view peer) const;

  // ---- Groups ----

  Result<MlsGroupInfo, MlsError> join_group(const WelcomeMessage& welcome) const;
  Result<EncryptedMessage, MlsError> encrypt_group_message(std::string_view group_id,
                                                           ByteView plaintext) const;
  Result<std::optional<Bytes>, MlsError> process_group_message(const EncryptedMessage& message,
                                                               std::string_view sender_id) const;
  Result<std::vector<std::string>, MlsError> list_groups() const;
  // "group:" + a random v4 UUID; the creator holds the admin role.
  Result<MlsGroupInfo, MlsError> create_group(std::string_view name) const;
  // Deletes the group's records and marker; its metadata stays.
  Result<void, MlsError> leave_group(std::string_view group_id) const;
  Result<std::optional<MlsGroupInfo>, MlsError> group_info(std::string_view group_id) const;

  // Membership changes commit and merge at once. The metadata is read before
  // the commit and the commit and Welcome are serialised as soon as the
  // engine returns them, so that nothing fallible is left after the merge:
  // a merged commit is always handed back (otherwise the group forks). If
  // storing the merged group fails, the error comes back and the stored
  // group is still the old epoch.
  struct AddMemberOutput {
    WelcomeMessage welcome;
    EncryptedMessage commit;
  };
  Result<AddMemberOutput, MlsError> add_member(std::string_view group_id, std::string_view user_id,
                                               ByteView key_package_bytes) const;
  Result<EncryptedMessage, MlsError> remove_member(std::string_view group_id,
                                                   std::string_view user_id) const;
  Result<EncryptedMessage, MlsError> self_update(std::string_view group_id) const;

  Result<void, MlsError> set_group_name(std::string_view group_id, std::string_view name) const;
  Result<void, MlsError> set_member_role(std::string_view group_id, std::string_view user_id,
                                         GroupRole role) const;
  Result<void, MlsError> set_group_creator(std::string_view group_id,
                                           std::string_view creator) const;
  Result<void, MlsError> remove_member_role(std::string_view group_id,
                                            std::string_view user_id) const;
  Result<bool, MlsError> group_exists(std::string_view group_id) const;

  const GroupStore& groups() const { return groups_; }
  // A copy of the prepared signing key (NotInitialized before the identity).
  Result<crypto::Ed25519PrivateKey, MlsError> signing_key() const;

  // Marks both slot locks poisoned, as a holder that failed would.
  void TEST_poison_slots();

 private:
  // The signer slot keeps the prepared signing key beside the pair, so that
  // signing does not derive the key again on every call.
  struct SignerSlot {
    SignatureKeyPair pair;
    std::optional<crypto::Ed25519PrivateKey> ed25519;
  };

  const std::string user_id_;
  const MlsProvider provider_;
  const GroupStore groups_;
  mutable std::mutex pool_mu_;
  const bool enforce_commit_authorization_;
  const Clock& clock_;
  std::array<uint8_t, 32> record_digest_{};
  mutable RwLock<std::optional<rfc9420::CredentialWithKey>> credential_;
  mutable RwLock<std::optional<SignerSlot>> signer_;
};

}  // namespace brenvik::mls
