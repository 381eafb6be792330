// MlsManager: peers' key packages, 1:1 sessions and group messages over the
// group store. Every operation holds the one StoredGroup it loaded until it
// returns (see group_store.h), so operations on one group never overlap.
#include <algorithm>

#include "core/address.h"
#include "core/identifier.h"
#include "mls/group_messages.h"
#include "mls/identity.h"
#include "mls/leaf_identity.h"
#include "mls/mls_manager.h"
#include "mls/pending_welcome.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/tls_codec.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

MlsError invalid_key_package(std::string text) {
  return MlsError::with_text(MlsError::Kind::InvalidKeyPackage, std::move(text));
}

Result<GroupId, MlsError> session_id(std::string_view own, std::string_view peer) {
  auto id = session_group_id(own, peer);
  if (!id.ok()) return Err(mls_error_from(id.error()));
  return std::move(id).value();
}

Result<rfc9420::MlsMessage, MlsError> decode_one(ByteView bytes) {
  auto m = rfc9420::decode_mls_message(bytes);
  if (!m.ok())
    return Err(MlsError::deserialization(std::string(rfc9420::tls_error_message(m.error()))));
  return std::move(m).value();
}

Result<rfc9420::Welcome, MlsError> decode_welcome(ByteView bytes) {
  BRENVIK_TRY(rfc9420::MlsMessage m, decode_one(bytes));
  const rfc9420::Welcome* w = m.get<rfc9420::Welcome>();
  if (!w)
    return Err(MlsError::with_text(MlsError::Kind::WelcomeProcessing, "Not a Welcome message"));
  return *w;
}

}  // namespace

// ---- Peers' key packages ----

Result<rfc9420::KeyPackage, MlsError> MlsManager::validate_peer_key_package(ByteView bytes) const {
  const uint64_t now_s = uint64_t(clock_.wall_unix_ms() / 1000);
  auto kp = rfc9420::tls_decode<rfc9420::KeyPackage>(bytes);
  if (!kp.ok())
    return Err(invalid_key_package(std::string(rfc9420::tls_error_message(kp.error()))));
  auto v = rfc9420::validate_key_package(*kp, now_s, true, rfc9420::WindowWidthCheck::LeftToCaller);
  if (!v.ok()) {
    if (v.error().code() == rfc9420::ErrorCode::KeyPackageLifetime)
      return Err(
          MlsError::key_package_outside_validity_window(rfc9420::lifetime_expired(*kp, now_s)));
    return Err(invalid_key_package(v.error().message()));
  }
  return std::move(kp).value();
}

Result<void, MlsError> MlsManager::check_credential_identity(ByteView identity,
                                                             std::string_view expected) {
  if (std::ranges::equal(identity, as_bytes(expected))) return {};
  return Err(MlsError::credential_identity_mismatch(std::string(expected),
                                                    truncate_for_display(identity)));
}

Result<void, MlsError> MlsManager::check_key_package_address(ByteView signature_key,
                                                             std::string_view claimed) {
  auto parsed = parse_address(claimed);
  if (!parsed.ok())
    return Err(MlsError::with_text(
        MlsError::Kind::InvalidUserId,
        "'" + std::string(claimed) + "' is not an address: " + parsed.error().message()));
  BRENVIK_TRY(Address derived, address_from_public_key(signature_key));
  if (derived == parsed.value()) return {};
  return Err(MlsError::key_package_address_mismatch(encode_address(parsed.value()),
                                                    encode_address(derived)));
}

Result<void, MlsError> MlsManager::check_validity_window(const rfc9420::KeyPackage& kp) {
  const rfc9420::Lifetime* lt = kp.leaf_node.lifetime();
  uint64_t window = 0;
  if (lt && lt->not_after > lt->not_before) window = lt->not_after - lt->not_before;
  if (window <= kMaxValidityWindowSeconds) return {};
  return Err(invalid_key_package(
      "key package validity window is " + std::to_string(window) + " seconds, wider than the " +
      std::to_string(kMaxValidityWindowSeconds) + " seconds this install admits"));
}

Result<rfc9420::KeyPackage, MlsError> MlsManager::check_peer_key_package(
    ByteView bytes, std::string_view user_id) const {
  BRENVIK_TRY(rfc9420::KeyPackage kp, validate_peer_key_package(bytes));
  const Bytes* identity = kp.leaf_node.credential.basic_identity();
  BRENVIK_TRY_VOID(check_credential_identity(identity ? ByteView(*identity) : ByteView(), user_id));
  BRENVIK_TRY_VOID(check_key_package_address(kp.leaf_node.signature_key, user_id));
  BRENVIK_TRY_VOID(check_validity_window(kp));
  return kp;
}

Result<void, MlsError> MlsManager::import_key_package(std::string_view user_id,
                                                      ByteView bytes) const {
  if (auto v = validate_identifier(user_id, kUserIdLabel); !v.ok())
    return Err(MlsError::with_text(MlsError::Kind::InvalidUserId, v.error().message()));
  if (auto kp = check_peer_key_package(bytes, user_id); !kp.ok()) return Err(kp.error());
  auto st = storage().store(kContactKeyPackageType, user_id, bytes);
  if (!st.ok()) return Err(MlsError::storage(st.error()));
  BRENVIK_LOG(LogLevel::Debug, kManagerLogTarget, {"message", "Imported key package for contact"},
              {"user_id", user_id});
  return {};
}

// ---- 1:1 sessions ----

Result<bool, MlsError> MlsManager::has_session(std::string_view peer) const {
  BRENVIK_TRY(GroupId id, session_id(user_id_, peer));
  BRENVIK_TRY(auto group, groups_.load_group(id.str()));
  return group.has_value();
}

Result<WelcomeMessage, MlsError> MlsManager::create_session(std::string_view peer) const {
  auto stored = storage().load(kContactKeyPackageType, peer);
  if (!stored.ok()) return Err(MlsError::storage(stored.error()));
  if (!stored.value())
    return Err(MlsError::with_text(MlsError::Kind::NoKeyPackage, std::string(peer)));
  BRENVIK_TRY(rfc9420::KeyPackage kp, check_peer_key_package(*stored.value(), peer));
  BRENVIK_TRY(rfc9420::CredentialWithKey credential, credential_with_key());
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  BRENVIK_TRY(GroupId id, session_id(user_id_, peer));
  {
    BRENVIK_TRY(auto existing, groups_.load_group(id.str()));
    if (existing)
      return Err(MlsError::with_text(MlsError::Kind::GroupCreation,
                                     "Session already exists with user: " + std::string(peer)));
  }
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  BRENVIK_TRY(rfc9420::StoredGroup group,
              groups_.create_mls_group(id.str(), credential, signer, now_ms / 1000));
  // From here a failure deletes the new group again: a session whose Welcome
  // never leaves this device would block every later attempt.
  auto fail = [&](MlsError e) -> Result<WelcomeMessage, MlsError> {
    if (auto d = groups_.delete_group(std::move(group), id.str()); !d.ok())
      BRENVIK_LOG(LogLevel::Warn, kSessionLogTarget,
                  {"message", "Failed to remove a session whose creation failed"},
                  {"session_id", id.str()}, {"error", d.error().message()});
    return Err(std::move(e));
  };
  auto added = group.add_members(std::span(&kp, 1), signer, now_ms / 1000);
  if (!added.ok()) return fail(mls_error_from_engine(added.error(), MlsError::Kind::AddMember));
  groups_.refresh_group_marker(id.str(), group.group().epoch());
  if (!added.value().welcome) return fail(MlsError::serialization("the add produced no Welcome"));
  Bytes welcome_bytes = rfc9420::encode_mls_message(*added.value().welcome);
  BRENVIK_LOG(LogLevel::Info, kSessionLogTarget, {"message", "Created new 1:1 session"},
              {"session_id", id.str()}, {"other_user", peer});
  WelcomeMessage welcome{id, std::move(welcome_bytes), user_id_, std::nullopt, now_ms};
  if (auto d = storage().delete_(kContactKeyPackageType, peer); !d.ok())
    return fail(MlsError::storage(d.error()));
  return welcome;
}

Result<EncryptedMessage, MlsError> MlsManager::encrypt_for_user(std::string_view peer,
                                                                ByteView plaintext) const {
  BRENVIK_TRY(bool has, has_session(peer));
  if (!has) {
    auto contact = storage().load(kContactKeyPackageType, peer);
    if (!contact.ok()) return Err(MlsError::storage(contact.error()));
    BRENVIK_TRY(WelcomeMessage welcome, create_session(peer));
    BRENVIK_LOG(LogLevel::Warn, kManagerLogTarget,
                {"message", "Created new session - Welcome message needs to be sent"},
                {"other_user_id", peer});
    const std::string record = write_pending_welcome(welcome);
    if (auto st = storage().store(kPendingWelcomeType, peer, as_bytes(record)); !st.ok()) {
      // The Welcome is lost with the record: undo the session and give the
      // peer's key package back, so that a retry can create it again.
      if (auto d = groups_.delete_group(welcome.group_id.str()); !d.ok())
        BRENVIK_LOG(LogLevel::Warn, kSessionLogTarget,
                    {"message", "Failed to remove a session whose Welcome could not be kept"},
                    {"session_id", welcome.group_id.str()}, {"error", d.error().message()});
      if (contact.value()) {
        if (auto r = storage().store(kContactKeyPackageType, peer, *contact.value()); !r.ok())
          BRENVIK_LOG(LogLevel::Warn, kSessionLogTarget,
                      {"message", "Failed to restore the peer's key package"}, {"other_user", peer},
                      {"error", MlsError::storage(r.error()).message()});
      }
      return Err(MlsError::storage(st.error()));
    }
  }
  return session_encrypt(peer, plaintext);
}

Result<EncryptedMessage, MlsError> MlsManager::session_encrypt(std::string_view peer,
                                                               ByteView plaintext) const {
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  BRENVIK_TRY(GroupId id, session_id(user_id_, peer));
  BRENVIK_TRY(auto group, groups_.load_group(id.str()));
  if (!group) return Err(MlsError::with_text(MlsError::Kind::SessionNotFound, std::string(peer)));
  auto message = group->create_application_message(plaintext, signer);
  if (!message.ok()) return Err(mls_error_from_engine(message.error(), MlsError::Kind::Encryption));
  const uint64_t epoch = group->group().epoch();
  groups_.refresh_group_marker(id.str(), epoch);
  return EncryptedMessage{std::move(id), MlsMessageType::Application,
                          epoch,         rfc9420::encode_mls_message(message.value()),
                          user_id_,      uint64_t(clock_.wall_unix_ms())};
}

Result<std::optional<Bytes>, MlsError> MlsManager::decrypt_from_user(
    const EncryptedMessage& message, std::string_view claimed_sender) const {
  BRENVIK_TRY(GroupId expected, session_id(user_id_, claimed_sender));
  if (message.group_id != expected)
    return Err(MlsError::session_identity_mismatch(expected.str(), message.group_id.str()));
  BRENVIK_TRY(auto group, groups_.load_group(message.group_id.str()));
  if (!group)
    return Err(MlsError::with_text(MlsError::Kind::GroupNotFound, message.group_id.str()));
  BRENVIK_TRY(rfc9420::MlsMessage mls, decode_one(message.ciphertext));
  BRENVIK_TRY(auto plaintext,
              process_incoming_message(groups_, *group, message.group_id.str(), mls, claimed_sender,
                                       enforce_commit_authorization_,
                                       uint64_t(clock_.wall_unix_ms() / 1000)));
  groups_.refresh_group_marker(message.group_id.str(), group->group().epoch());
  return plaintext;
}

Result<std::optional<Bytes>, MlsError> MlsManager::decrypt(const EncryptedMessage& message,
                                                           std::string_view claimed_sender) const {
  if (is_session_group_id(message.group_id.str()))
    return decrypt_from_user(message, claimed_sender);
  return process_group_message(message, claimed_sender);
}

Result<void, MlsError> MlsManager::verify_welcome_slot(const WelcomeMessage& welcome) const {
  BRENVIK_TRY(GroupId expected, session_id(user_id_, welcome.inviter_id));
  if (welcome.group_id != expected)
    return Err(MlsError::welcome_identity_mismatch(expected.str(), welcome.group_id.str()));
  return {};
}

Result<MlsGroupInfo, MlsError> MlsManager::join_session(const WelcomeMessage& welcome) const {
  BRENVIK_TRY_VOID(verify_welcome_slot(welcome));
  BRENVIK_TRY(rfc9420::Welcome w, decode_welcome(welcome.welcome_data));
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  BRENVIK_TRY(rfc9420::StoredGroup group,
              groups_.join_group_from_welcome(w, welcome.group_id.str(), now_ms / 1000));
  MlsGroupInfo info =
      GroupStore::proven_group_members(group.group(), welcome.group_id.str(), now_ms);
  BRENVIK_LOG(LogLevel::Info, kSessionLogTarget,
              {"message", "Joined/adopted 1:1 session (non-destructive)"},
              {"session_id", welcome.group_id.str()}, {"inviter", welcome.inviter_id});
  return info;
}

Result<MlsGroupInfo, MlsError> MlsManager::accept_session_welcome(
    const WelcomeMessage& welcome) const {
  if (auto v = validate_identifier(welcome.inviter_id, kUserIdLabel); !v.ok())
    return Err(MlsError::with_text(MlsError::Kind::InvalidUserId, v.error().message()));
  BRENVIK_TRY_VOID(verify_welcome_slot(welcome));
  (void)storage().delete_(kPendingWelcomeType, welcome.inviter_id);
  (void)storage().delete_(kContactKeyPackageType, welcome.inviter_id);
  return join_session(welcome);
}

Result<MlsGroupInfo, MlsError> MlsManager::process_welcome(const WelcomeMessage& welcome) const {
  if (is_session_group_id(welcome.group_id.str())) return join_session(welcome);
  return join_group(welcome);
}

Result<void, MlsError> MlsManager::delete_session(std::string_view peer) const {
  BRENVIK_TRY(GroupId id, session_id(user_id_, peer));
  BRENVIK_TRY_VOID(groups_.delete_group(id.str()));
  BRENVIK_LOG(LogLevel::Debug, kSessionLogTarget, {"message", "Deleted session"},
              {"session_id", id.str()});
  return {};
}

Result<std::vector<std::string>, MlsError> MlsManager::list_sessions() const {
  BRENVIK_TRY(std::vector<std::string> ids, groups_.list_stored_groups());
  std::vector<std::string> peers;
  for (const std::string& id : ids) {
    std::vector<std::string_view> parts;
    std::string_view rest = id;
    for (size_t pos; (pos = rest.find(':')) != std::string_view::npos;) {
      parts.push_back(rest.substr(0, pos));
      rest.remove_prefix(pos + 1);
    }
    parts.push_back(rest);
    if (parts.size() != 3 || parts[0] != "session") continue;
    if (parts[1] == user_id_)
      peers.emplace_back(parts[2]);
    else if (parts[2] == user_id_)
      peers.emplace_back(parts[1]);
  }
  return peers;
}

Result<std::optional<WelcomeMessage>, MlsError> MlsManager::pending_welcome(
    std::string_view peer) const {
  auto loaded = storage().load(kPendingWelcomeType, peer);
  if (!loaded.ok()) return Err(MlsError::storage(loaded.error()));
  if (!loaded.value()) return std::optional<WelcomeMessage>();
  auto parsed = read_pending_welcome(*loaded.value());
  if (!parsed.ok()) return Err(MlsError::deserialization(parsed.error()));
  return std::optional<WelcomeMessage>(std::move(parsed).value());
}

Result<void, MlsError> MlsManager::clear_pending_welcome(std::string_view peer) const {
  auto d = storage().delete_(kPendingWelcomeType, peer);
  if (!d.ok()) return Err(MlsError::storage(d.error()));
  return {};
}

// ---- Groups ----

Result<MlsGroupInfo, MlsError> MlsManager::join_group(const WelcomeMessage& welcome) const {
  if (is_session_group_id(welcome.group_id.str()))
    return Err(MlsError::reserved_session_namespace(welcome.group_id.str()));
  BRENVIK_TRY(rfc9420::Welcome w, decode_welcome(welcome.welcome_data));
  const uint64_t now_ms = uint64_t(clock_.wall_unix_ms());
  BRENVIK_TRY(rfc9420::StoredGroup group,
              groups_.join_group_via_welcome(w, welcome.group_id.str(), now_ms / 1000));
  MlsGroupInfo info =
      GroupStore::proven_group_members(group.group(), welcome.group_id.str(), now_ms);
  info.name = welcome.group_name;
  BRENVIK_LOG(LogLevel::Info, kManagerLogTarget, {"message", "Joined group"},
              {"group_id", welcome.group_id.str()});
  return info;
}

Result<EncryptedMessage, MlsError> MlsManager::encrypt_group_message(std::string_view group_id,
                                                                     ByteView plaintext) const {
  BRENVIK_TRY(auto group, groups_.load_group(group_id));
  if (!group) return Err(MlsError::with_text(MlsError::Kind::GroupNotFound, std::string(group_id)));
  BRENVIK_TRY(crypto::Ed25519PrivateKey signer, signing_key());
  auto message = group->create_application_message(plaintext, signer);
  if (!message.ok()) return Err(mls_error_from_engine(message.error(), MlsError::Kind::Encryption));
  const uint64_t epoch = group->group().epoch();
  groups_.refresh_group_marker(group_id, epoch);
  auto gid = GroupId::create(std::string(group_id));
  if (!gid.ok()) return Err(mls_error_from(gid.error()));
  return EncryptedMessage{std::move(gid).value(),
                          MlsMessageType::Application,
                          epoch,
                          rfc9420::encode_mls_message(message.value()),
                          user_id_,
                          uint64_t(clock_.wall_unix_ms())};
}

Result<std::optional<Bytes>, MlsError> MlsManager::process_group_message(
    const EncryptedMessage& message, std::string_view sender_id) const {
  const std::string& id = message.group_id.str();
  BRENVIK_TRY(auto group, groups_.load_group(id));
  if (!group) return Err(MlsError::with_text(MlsError::Kind::GroupNotFound, id));
  BRENVIK_TRY(rfc9420::MlsMessage mls, decode_one(message.ciphertext));
  BRENVIK_TRY(auto plaintext, process_incoming_message(groups_, *group, id, mls, sender_id,
                                                       enforce_commit_authorization_,
                                                       uint64_t(clock_.wall_unix_ms() / 1000)));
  groups_.refresh_group_marker(id, group->group().epoch());
  return plaintext;
}

Result<std::vector<std::string>, MlsError> MlsManager::list_groups() const {
  BRENVIK_TRY(std::vector<std::string> ids, groups_.list_stored_groups());
  std::erase_if(ids, [](const std::string& id) { return is_session_group_id(id); });
  return ids;
}

Result<bool, MlsError> MlsManager::group_exists(std::string_view group_id) const {
  BRENVIK_TRY(auto group, groups_.load_group(group_id));
  return group.has_value();
}

}  // namespace brenvik::mls
