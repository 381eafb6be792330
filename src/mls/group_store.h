// The manager's group store: the engine's stored groups plus one marker
// record per group ("group_state"/group id, the epoch as 8 bytes
// little-endian), which is what makes a group "stored" for this layer.
//
// Every operation holds one rfc9420::StoredGroup from its load until it
// returns: the StoredGroup holds the group's process-wide lock (per storage),
// so two operations on one group never overlap, whichever thread runs them,
// and the marker is written under the same lock. Deleting a group and the
// non-destructive join take that same lock; nothing here loads a group any
// other way.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mls/mls_error.h"
#include "mls/mls_storage.h"
#include "rfc9420/stored_group.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

inline constexpr std::string_view kGroupMarkerType = "group_state";
inline constexpr std::string_view kGroupLogTarget = "brenvik_protocol_mls::group";
inline constexpr std::string_view kSessionPrefix = "session:";

// At least 8 bytes and the first 8 are "session:".
bool is_session_group_id(std::string_view group_id);

// The group summary every group operation returns.
struct MlsGroupInfo {
  std::string group_id;
  std::vector<std::string> members;  // proven identities, leaf order
  std::optional<std::string> name;
  uint64_t epoch = 0;
  uint64_t created_at_ms = 0;
  uint64_t last_activity_ms = 0;
  uint32_t member_count = 0;
  uint32_t unproven_member_count = 0;
  bool is_session = false;
  bool operator==(const MlsGroupInfo&) const = default;
};

// An engine error as an MLS error, by code: Storage back to the storage's own
// error; WrongEpoch / EpochTooOld to SessionDesync with the engine's sentence;
// every other code to `kind` with `prefix` and the engine's message.
MlsError mls_error_from_engine(const rfc9420::Error& e, MlsError::Kind kind,
                               std::string_view prefix = {});

// The marker's value: the epoch as 8 bytes little-endian.
Bytes encode_group_marker(uint64_t epoch);

class GroupStore {
 public:
  GroupStore(std::shared_ptr<MlsStorage> storage, std::shared_ptr<rfc9420::StorageProvider> engine)
      : storage_(std::move(storage)), engine_(std::move(engine)) {}

  // Marker first (no marker: none, the engine is not asked), then the engine's
  // group, returned locked. Engine records without a marker are not a group
  // here; a marker without records is DEBUG "Group not found in crypto
  // storage" and none. A group that does not read is Deserialization
  // "Failed to load group: ..."; a storage failure is Storage.
  Result<std::optional<rfc9420::StoredGroup>, MlsError> load_group(std::string_view group_id) const;

  // Writes the marker of a new group (create, join): a failure is an error.
  Result<void, MlsError> store_group_marker(std::string_view group_id, uint64_t epoch) const;
  // Rewrites the marker of a group that already has one, after the engine
  // has stored its new state. The marker's value is never read back, so a
  // failure is logged at WARN and not returned: returning it would drop a
  // plaintext or ciphertext whose ratchet step is already stored.
  void refresh_group_marker(std::string_view group_id, uint64_t epoch) const;

  // The keys of type "group_state" that are valid group ids, in the
  // storage's order (an invalid one: WARN "Skipping stored group with
  // invalid id").
  Result<std::vector<std::string>, MlsError> list_stored_groups() const;

  // Deletes the engine's records and then the marker, under the group's
  // lock. GroupMetadata is not touched.
  Result<void, MlsError> delete_group(std::string_view group_id) const;
  // The same for a group the caller holds (its lock is kept throughout).
  Result<void, MlsError> delete_group(rfc9420::StoredGroup&& held, std::string_view group_id) const;

  // Builds, stores and returns (locked) a group at epoch 0 with its marker.
  Result<rfc9420::StoredGroup, MlsError> create_mls_group(
      std::string_view group_id, const rfc9420::CredentialWithKey& credential,
      const crypto::Ed25519PrivateKey& signer, uint64_t now_s) const;

  // The plain join: stage, check the group id, the tree's leaves and
  // ExternalSenders, install, write the marker.
  Result<rfc9420::StoredGroup, MlsError> join_group_via_welcome(const rfc9420::Welcome& welcome,
                                                                std::string_view expected_group_id,
                                                                uint64_t now_s) const;
  // The non-destructive join: the same checks first; then, under one hold of
  // the group's lock, the group stored under the id (with its marker) is
  // deleted and the new one installed and marked.
  Result<rfc9420::StoredGroup, MlsError> join_group_from_welcome(const rfc9420::Welcome& welcome,
                                                                 std::string_view expected_group_id,
                                                                 uint64_t now_s) const;

  // The summary of a group: proven members, name none, created_at_ms 0,
  // last_activity_ms `now_ms`.
  static MlsGroupInfo proven_group_members(const rfc9420::Group& group, std::string_view group_id,
                                           uint64_t now_ms);

  MlsStorage& storage() const { return *storage_; }
  rfc9420::StorageProvider& engine() const { return *engine_; }

 private:
  Result<rfc9420::StagedStoredWelcome, MlsError> stage_checked(const rfc9420::Welcome& welcome,
                                                               std::string_view expected,
                                                               uint64_t now_s) const;
  Result<void, MlsError> delete_locked(std::string_view group_id,
                                       const rfc9420::HeldGroupLock& held) const;

  std::shared_ptr<MlsStorage> storage_;
  std::shared_ptr<rfc9420::StorageProvider> engine_;
};

}  // namespace brenvik::mls
