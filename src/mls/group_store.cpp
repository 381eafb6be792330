#include "mls/group_store.h"

#include <algorithm>

#include "mls/leaf_identity.h"
#include "rfc9420/tls_codec.h"
#include "sealed/group_id.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

constexpr std::string_view kEngineStoragePrefix = "Storage error: ";

MlsError storage_failure(const rfc9420::Error& e) {
  std::string_view text = e.detail();
  if (text.starts_with(kEngineStoragePrefix)) text.remove_prefix(kEngineStoragePrefix.size());
  return MlsError::storage(mls_storage_error_from_message(text));
}

std::string text_of(ByteView bytes) {
  return truncate_for_display(bytes);
}

bool carries_external_senders(const std::vector<rfc9420::Extension>& extensions) {
  for (const auto& ext : extensions)
    if (ext.extension_type == rfc9420::extension_type::external_senders) return true;
  return false;
}

}  // namespace

bool is_session_group_id(std::string_view group_id) {
  return group_id.size() >= kSessionPrefix.size() && group_id.starts_with(kSessionPrefix);
}

MlsError mls_error_from_engine(const rfc9420::Error& e, MlsError::Kind kind,
                               std::string_view prefix) {
  using rfc9420::ErrorCode;
  switch (e.code()) {
    case ErrorCode::Storage:
      return storage_failure(e);
    case ErrorCode::WrongEpoch:
    case ErrorCode::EpochTooOld:
      return MlsError::with_text(MlsError::Kind::SessionDesync, e.message());
    default:
      return MlsError::with_text(kind, std::string(prefix) + e.message());
  }
}

Bytes encode_group_marker(uint64_t epoch) {
  Bytes out(8);
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(epoch >> (8 * i));
  return out;
}

Result<std::optional<rfc9420::StoredGroup>, MlsError> GroupStore::load_group(
    std::string_view group_id) const {
  auto marker = storage_->load(kGroupMarkerType, group_id);
  if (!marker.ok()) return Err(MlsError::storage(marker.error()));
  if (!marker.value()) return std::optional<rfc9420::StoredGroup>();
  auto opened = rfc9420::StoredGroup::open(*engine_, as_bytes(group_id));
  if (!opened.ok()) {
    if (opened.error().code() == rfc9420::ErrorCode::Storage)
      return Err(storage_failure(opened.error()));
    return Err(MlsError::deserialization("Failed to load group: " + opened.error().message()));
  }
  if (!opened.value()) {
    BRENVIK_LOG(LogLevel::Debug, kGroupLogTarget, {"message", "Group not found in crypto storage"},
                {"group_id", group_id});
  }
  return std::move(opened).value();
}

Result<void, MlsError> GroupStore::store_group_marker(std::string_view group_id,
                                                      uint64_t epoch) const {
  auto st = storage_->store(kGroupMarkerType, group_id, encode_group_marker(epoch));
  if (!st.ok()) return Err(MlsError::storage(st.error()));
  return {};
}

void GroupStore::refresh_group_marker(std::string_view group_id, uint64_t epoch) const {
  auto st = storage_->store(kGroupMarkerType, group_id, encode_group_marker(epoch));
  if (!st.ok())
    BRENVIK_LOG(LogLevel::Warn, kGroupLogTarget,
                {"message", "Failed to rewrite the group-state marker; the group itself is stored"},
                {"group_id", group_id}, {"error", MlsError::storage(st.error()).message()});
}

Result<std::vector<std::string>, MlsError> GroupStore::list_stored_groups() const {
  auto keys = storage_->list_keys(kGroupMarkerType);
  if (!keys.ok()) return Err(MlsError::storage(keys.error()));
  std::vector<std::string> out;
  for (std::string& key : keys.value()) {
    auto valid = GroupId::create(key);
    if (!valid.ok()) {
      BRENVIK_LOG(LogLevel::Warn, kGroupLogTarget,
                  {"message", "Skipping stored group with invalid id"},
                  {"error", mls_error_from(valid.error()).message()});
      continue;
    }
    out.push_back(std::move(key));
  }
  return out;
}

Result<void, MlsError> GroupStore::delete_locked(std::string_view group_id,
                                                 const rfc9420::HeldGroupLock& held) const {
  auto d = rfc9420::delete_stored_group(*engine_, as_bytes(group_id), held);
  if (!d.ok()) {
    if (d.error().code() == rfc9420::ErrorCode::Storage) {
      MlsError inner = storage_failure(d.error());
      return Err(MlsError::storage(
          {inner.storage_error().kind,
           "Failed to delete group from provider storage: " + inner.storage_error().message()}));
    }
    BRENVIK_LOG(
        LogLevel::Warn, kGroupLogTarget,
        {"message",
         "delete_group: could not load group to clean provider state; dropping marker only"},
        {"group_id", group_id}, {"error", d.error().message()});
  }
  auto m = storage_->delete_(kGroupMarkerType, group_id);
  if (!m.ok()) return Err(MlsError::storage(m.error()));
  return {};
}

Result<void, MlsError> GroupStore::delete_group(std::string_view group_id) const {
  rfc9420::HeldGroupLock held = rfc9420::lock_group(*engine_, as_bytes(group_id));
  return delete_locked(group_id, held);
}

Result<void, MlsError> GroupStore::delete_group(rfc9420::StoredGroup&& group,
                                                std::string_view group_id) const {
  rfc9420::HeldGroupLock held = std::move(group).release();
  return delete_locked(group_id, held);
}

Result<rfc9420::StoredGroup, MlsError> GroupStore::create_mls_group(
    std::string_view group_id, const rfc9420::CredentialWithKey& credential,
    const crypto::Ed25519PrivateKey& signer, uint64_t now_s) const {
  auto created =
      rfc9420::StoredGroup::create(*engine_, as_bytes(group_id), credential, signer, now_s);
  if (!created.ok())
    return Err(mls_error_from_engine(created.error(), MlsError::Kind::GroupCreation));
  rfc9420::StoredGroup group = std::move(created).value();
  if (auto m = store_group_marker(group_id, 0); !m.ok()) {
    // A group without its marker is invisible to this layer: do not leave
    // its engine records behind.
    (void)delete_group(std::move(group), group_id);
    return Err(m.error());
  }
  BRENVIK_LOG(LogLevel::Debug, kGroupLogTarget, {"message", "Created new MLS group"},
              {"group_id", group_id});
  return group;
}

Result<rfc9420::StagedStoredWelcome, MlsError> GroupStore::stage_checked(
    const rfc9420::Welcome& welcome, std::string_view expected, uint64_t now_s) const {
  rfc9420::WelcomeOptions options;
  options.now = now_s;
  auto staged = rfc9420::stage_stored_welcome(*engine_, welcome, options);
  if (!staged.ok()) {
    if (staged.error().code() == rfc9420::ErrorCode::Storage)
      return Err(storage_failure(staged.error()));
    return Err(MlsError::with_text(MlsError::Kind::WelcomeProcessing,
                                   "Failed to stage welcome: " + staged.error().message()));
  }
  const rfc9420::StagedWelcome& sw = staged.value().staged;
  if (!std::ranges::equal(sw.group_id(), as_bytes(expected)))
    return Err(MlsError::welcome_group_id_mismatch(std::string(expected), text_of(sw.group_id())));
  for (const rfc9420::Member& m : sw.members())
    BRENVIK_TRY_VOID(
        check_leaf_identity(m.identity, m.signature_key, LeafSource::WelcomeRatchetTree));
  if (carries_external_senders(sw.group_context_extensions()))
    return Err(MlsError::with_text(
        MlsError::Kind::UnsupportedSender,
        "a Welcome's group context carries an ExternalSenders extension, which would authorize a "
        "non-member to send into this group"));
  return std::move(staged).value();
}

Result<rfc9420::StoredGroup, MlsError> GroupStore::join_group_via_welcome(
    const rfc9420::Welcome& welcome, std::string_view expected, uint64_t now_s) const {
  BRENVIK_TRY(auto staged, stage_checked(welcome, expected, now_s));
  auto joined =
      rfc9420::StoredGroup::join(*engine_, std::move(staged.staged), staged.key_package_ref);
  if (!joined.ok())
    return Err(mls_error_from_engine(joined.error(), MlsError::Kind::WelcomeProcessing,
                                     "Failed to join group: "));
  rfc9420::StoredGroup group = std::move(joined).value();
  BRENVIK_TRY_VOID(store_group_marker(expected, group.group().epoch()));
  BRENVIK_LOG(LogLevel::Debug, kGroupLogTarget, {"message", "Joined group via Welcome"},
              {"group_id", expected});
  return group;
}

Result<rfc9420::StoredGroup, MlsError> GroupStore::join_group_from_welcome(
    const rfc9420::Welcome& welcome, std::string_view expected, uint64_t now_s) const {
  BRENVIK_TRY(auto staged, stage_checked(welcome, expected, now_s));
  // One hold of the group's lock from the delete to the new marker: no
  // operation on the old group can run between them.
  rfc9420::HeldGroupLock held = rfc9420::lock_group(*engine_, as_bytes(expected));
  BRENVIK_TRY_VOID(delete_locked(expected, held));
  auto joined = rfc9420::StoredGroup::join(*engine_, std::move(staged.staged),
                                           staged.key_package_ref, std::move(held));
  if (!joined.ok())
    return Err(mls_error_from_engine(
        joined.error(), MlsError::Kind::WelcomeProcessing,
        "Failed to install adopted group (prior group removed, key package consumed): "));
  rfc9420::StoredGroup group = std::move(joined).value();
  BRENVIK_TRY_VOID(store_group_marker(expected, group.group().epoch()));
  BRENVIK_LOG(
      LogLevel::Debug, kGroupLogTarget,
      {"message", "Joined/adopted group via Welcome (non-destructive stage, best-effort swap)"},
      {"group_id", expected});
  return group;
}

MlsGroupInfo GroupStore::proven_group_members(const rfc9420::Group& group,
                                              std::string_view group_id, uint64_t now_ms) {
  MlsGroupInfo info;
  info.group_id = std::string(group_id);
  const std::vector<rfc9420::Member> members = group.members();
  info.members = mls::proven_group_members(members, group_id, info.unproven_member_count);
  info.epoch = group.epoch();
  info.last_activity_ms = now_ms;
  info.member_count = uint32_t(info.members.size());
  info.is_session = is_session_group_id(group_id);
  return info;
}

}  // namespace brenvik::mls
