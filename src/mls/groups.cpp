// MlsManager: group lifecycle, membership changes and the metadata setters.
#include "mls/leaf_identity.h"
#include "mls/mls_manager.h"
#include "rfc9420/tls_codec.h"
#include "util/log.h"
#include "util/uuid.h"

namespace brenvik::mls {
namespace {

Result<GroupId, MlsError> group_id_of(std::string_view text) {
  auto id = GroupId::create(std::string(text));
  if (!id.ok()) return Err(mls_error_from(id.error()));
  return std::move(id).value();
}

MlsError group_not_found(std::string_view id) {
  return MlsError::with_text(MlsError::Kind::GroupNotFound, std::string(id));
}

}  // namespace

Result<MlsGroupInfo, MlsError> MlsManager::create_group(std::string_view name) const {
  BRENVIK_TRY(GroupId id, group_id_of("group:" + Uuid::random_v4().to_string()));
  BRENVIK_TRY(rfc9420::CredentialWithKey credential, credential_with_key());
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  BRENVIK_TRY(rfc9420::StoredGroup group,
              groups_.create_mls_group(id.str(), credential, signer, now_ms / 1000));
  GroupMetadata metadata = GroupMetadata::new_for_creator(std::string(name), user_id_, now_ms);
  BRENVIK_TRY_VOID(store_group_metadata(id.str(), metadata));
  MlsGroupInfo info = GroupStore::proven_group_members(group.group(), id.str(), now_ms);
  info.name = metadata.name;
  info.created_at_ms = metadata.created_at_ms;
  info.last_activity_ms = metadata.last_activity_ms;
  BRENVIK_LOG(LogLevel::Info, kManagerLogTarget, {"message", "Created new group"},
              {"group_id", id.str()}, {"name", name});
  return info;
}

Result<void, MlsError> MlsManager::leave_group(std::string_view group_id) const {
  BRENVIK_TRY_VOID(groups_.delete_group(group_id));
  BRENVIK_LOG(LogLevel::Info, kManagerLogTarget, {"message", "Left group"}, {"group_id", group_id});
  return {};
}

Result<std::optional<MlsGroupInfo>, MlsError> MlsManager::group_info(
    std::string_view group_id) const {
  MlsGroupInfo info;
  {
    BRENVIK_TRY(auto group, groups_.load_group(group_id));
    if (!group) return std::optional<MlsGroupInfo>();
    info =
        GroupStore::proven_group_members(group->group(), group_id, uint64_t(clock_.wall_unix_ms()));
  }
  BRENVIK_TRY(auto metadata, group_metadata(group_id));
  if (metadata) {
    info.name = metadata->name;
    info.created_at_ms = metadata->created_at_ms;
    info.last_activity_ms = metadata->last_activity_ms;
  }
  return std::optional<MlsGroupInfo>(std::move(info));
}

Result<MlsManager::AddMemberOutput, MlsError> MlsManager::add_member(
    std::string_view group_id, std::string_view user_id, ByteView key_package_bytes) const {
  BRENVIK_TRY(rfc9420::KeyPackage kp, check_peer_key_package(key_package_bytes, user_id));
  BRENVIK_TRY(GroupId id, group_id_of(group_id));
  BRENVIK_TRY(auto group, groups_.load_group(group_id));
  if (!group) return Err(group_not_found(group_id));
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  // Read before the commit, and only for the Welcome's name: an unreadable
  // record must not keep a commit from being made and handed back.
  std::optional<std::string> name;
  if (auto md = group_metadata(group_id); !md.ok())
    BRENVIK_LOG(LogLevel::Warn, kManagerLogTarget,
                {"message", "Group metadata unreadable; the Welcome carries no group name"},
                {"group_id", group_id}, {"error", md.error().message()});
  else if (md.value())
    name = md.value()->name;
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  auto added = group->add_members(std::span(&kp, 1), signer, now_ms / 1000);
  if (!added.ok()) return Err(mls_error_from_engine(added.error(), MlsError::Kind::AddMember));
  const uint64_t epoch = group->group().epoch();
  AddMemberOutput out{
      WelcomeMessage{
          id, added.value().welcome ? rfc9420::encode_mls_message(*added.value().welcome) : Bytes(),
          user_id_, std::move(name), now_ms},
      EncryptedMessage{id, MlsMessageType::Commit, epoch,
                       rfc9420::encode_mls_message(added.value().commit), user_id_, now_ms}};
  groups_.refresh_group_marker(group_id, epoch);
  return out;
}

Result<EncryptedMessage, MlsError> MlsManager::remove_member(std::string_view group_id,
                                                             std::string_view user_id) const {
  BRENVIK_TRY(GroupId id, group_id_of(group_id));
  BRENVIK_TRY(auto group, groups_.load_group(group_id));
  if (!group) return Err(group_not_found(group_id));
  std::vector<uint32_t> leaves;
  for (const rfc9420::Member& m : group->group().members())
    if (std::ranges::equal(m.identity, as_bytes(user_id))) leaves.push_back(m.leaf_index);
  if (leaves.empty())
    return Err(MlsError::with_text(MlsError::Kind::UserNotInGroup, std::string(user_id)));
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  auto removed = group->remove_members(leaves, signer);
  if (!removed.ok())
    return Err(mls_error_from_engine(removed.error(), MlsError::Kind::RemoveMember));
  const uint64_t epoch = group->group().epoch();
  EncryptedMessage commit{id,       MlsMessageType::Commit,
                          epoch,    rfc9420::encode_mls_message(removed.value().commit),
                          user_id_, uint64_t(clock_.wall_unix_ms())};
  groups_.refresh_group_marker(group_id, epoch);
  return commit;
}

Result<EncryptedMessage, MlsError> MlsManager::self_update(std::string_view group_id) const {
  BRENVIK_TRY(GroupId id, group_id_of(group_id));
  BRENVIK_TRY(auto group, groups_.load_group(group_id));
  if (!group) return Err(group_not_found(group_id));
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  BRENVIK_TRY(auto metadata, group_metadata(group_id));
  auto updated = group->self_update(signer);
  if (!updated.ok())
    return Err(
        mls_error_from_engine(updated.error(), MlsError::Kind::MlsLibrary, "Self-update failed: "));
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  const uint64_t epoch = group->group().epoch();
  EncryptedMessage commit{id,       MlsMessageType::Commit,
                          epoch,    rfc9420::encode_mls_message(updated.value().commit),
                          user_id_, now_ms};
  groups_.refresh_group_marker(group_id, epoch);
  if (metadata) {
    metadata->touch(now_ms);
    if (auto st = store_group_metadata(group_id, *metadata); !st.ok())
      BRENVIK_LOG(LogLevel::Warn, kManagerLogTarget,
                  {"message", "Failed to record the group's activity after a key update"},
                  {"group_id", group_id}, {"error", st.error().message()});
  }
  BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget, {"message", "Updated group keys"},
              {"group_id", group_id}, {"epoch", epoch});
  return commit;
}

namespace {
template <typename Change>
Result<void, MlsError> update_metadata(const MlsManager& m, std::string_view group_id,
                                       uint64_t now_ms, Change&& change) {
  BRENVIK_TRY(auto stored, m.group_metadata(group_id));
  GroupMetadata metadata =
      stored ? std::move(*stored) : GroupMetadata::new_group(std::nullopt, now_ms);
  if (!change(metadata)) return {};
  metadata.touch(now_ms);
  return m.store_group_metadata(group_id, metadata);
}
}  // namespace

Result<void, MlsError> MlsManager::set_group_name(std::string_view group_id,
                                                  std::string_view name) const {
  return update_metadata(*this, group_id, uint64_t(clock_.wall_unix_ms()), [&](GroupMetadata& md) {
    md.name = std::string(name);
    return true;
  });
}

Result<void, MlsError> MlsManager::set_member_role(std::string_view group_id,
                                                   std::string_view user_id, GroupRole role) const {
  return update_metadata(*this, group_id, uint64_t(clock_.wall_unix_ms()), [&](GroupMetadata& md) {
    md.roles[std::string(user_id)] = role;
    return true;
  });
}

Result<void, MlsError> MlsManager::set_group_creator(std::string_view group_id,
                                                     std::string_view creator) const {
  return update_metadata(*this, group_id, uint64_t(clock_.wall_unix_ms()), [&](GroupMetadata& md) {
    if (md.created_by) return false;
    md.created_by = std::string(creator);
    return true;
  });
}

Result<void, MlsError> MlsManager::remove_member_role(std::string_view group_id,
                                                      std::string_view user_id) const {
  return update_metadata(*this, group_id, uint64_t(clock_.wall_unix_ms()), [&](GroupMetadata& md) {
    md.roles.erase(std::string(user_id));
    return true;
  });
}

}  // namespace brenvik::mls
