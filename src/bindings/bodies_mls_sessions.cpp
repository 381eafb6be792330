// Bodies of the MLS session, message and key-package methods of
// BrenvikProtocol. Two ways in: the core path (`inner` held, then the
// manager's read lock; errors shown with the core's text, and the session
// with the peer settled afterwards) and the direct path of mls_access.h.
//
// The core's settlement here only marks the peer encryption-capable; the
// session state machine (pending / confirmed) comes with the sessions area.
#include "bindings/ffi_bodies.h"
#include "bindings/mls_access.h"
#include "bindings/protocol_facade.h"
#include "mls/mls_manager.h"

namespace brenvik::ffi::body {
namespace {

InterfaceError core_mls_error(std::string text) {
  return InterfaceError::with_message(InterfaceError::Kind::Mls, std::move(text));
}

// The core path: runs `work(manager)` with `inner` held and the manager's
// read lock taken for the call only; then `settle(core, result)`.
template <typename Work, typename Settle>
auto with_core_mls(BrenvikProtocol& self, Work&& work, Settle&& settle)
    -> Result<typename std::invoke_result_t<Work, const mls::MlsManager&>::value_type,
              InterfaceError> {
  BRENVIK_TRY(auto g, self.lock_inner());
  ProtocolCore& core = **g;
  auto cell = core.mls_state().manager_handle();
  if (!cell) return Err(core_mls_error("MLS encryption not initialized"));
  auto r = [&] {
    auto m = cell->read();
    using R = decltype(work(**m));
    if (cell->is_poisoned() || !*m) return R(Err(mls::MlsError::not_initialized()));
    return work(**m);
  }();
  if (cell->is_poisoned()) return Err(core_mls_error("MLS lock poisoned"));
  if (!r.ok()) return Err(core_mls_error("MLS error: " + r.error().message()));
  settle(core, r.value());
  return std::move(r).value();
}

Result<::brenvik::WelcomeMessage, InterfaceError> lift(WelcomeMessage w) {
  auto id = GroupId::create(std::move(w.group_id));
  if (!id.ok()) return Err(mls_interface_error(mls::mls_error_from(id.error())));
  return ::brenvik::WelcomeMessage{std::move(id).value(), std::move(w.welcome_data),
                                   std::move(w.inviter_id), std::move(w.group_name),
                                   w.timestamp_ms};
}

WelcomeMessage lower(::brenvik::WelcomeMessage w) {
  return WelcomeMessage{w.group_id.str(), std::move(w.welcome_data), std::move(w.inviter_id),
                        std::move(w.group_name), w.timestamp_ms};
}

Result<::brenvik::EncryptedMessage, InterfaceError> lift(EncryptedMessage m) {
  auto id = GroupId::create(std::move(m.group_id));
  if (!id.ok()) return Err(mls_interface_error(mls::mls_error_from(id.error())));
  MlsMessageType type = MlsMessageType::Application;
  if (m.message_type == "Welcome")
    type = MlsMessageType::Welcome;
  else if (m.message_type == "Commit")
    type = MlsMessageType::Commit;
  else if (m.message_type == "Proposal")
    type = MlsMessageType::Proposal;
  return ::brenvik::EncryptedMessage{
      std::move(id).value(),  type,          m.epoch, std::move(m.ciphertext),
      std::move(m.sender_id), m.timestamp_ms};
}

std::string_view type_name(MlsMessageType t) {
  switch (t) {
    case MlsMessageType::Application:
      return "Application";
    case MlsMessageType::Welcome:
      return "Welcome";
    case MlsMessageType::Commit:
      return "Commit";
    case MlsMessageType::Proposal:
      return "Proposal";
  }
  return "Application";
}

EncryptedMessage lower(::brenvik::EncryptedMessage m) {
  return EncryptedMessage{m.group_id.str(),
                          std::string(type_name(m.message_type)),
                          m.epoch,
                          std::move(m.ciphertext),
                          std::move(m.sender_id),
                          m.timestamp_ms};
}

GroupInfo lower(mls::MlsGroupInfo g) {
  return GroupInfo{std::move(g.group_id), std::move(g.name), std::move(g.members), g.epoch,
                   g.is_session,          g.created_at_ms,   g.last_activity_ms};
}

KeyPackageInfo lower(mls::KeyPackageBundle b) {
  return KeyPackageInfo{
      std::move(b.package_id), std::move(b.user_id), std::move(b.key_package_data),
      b.created_at_ms,         b.expires_at_ms,      b.synced};
}

// The inviter is encryption-capable once its Welcome was joined.
auto settle_welcome(const ::brenvik::WelcomeMessage& w) {
  return [inviter = w.inviter_id](ProtocolCore& core, const auto&) {
    core.mark_encryption_capable(inviter);
  };
}

}  // namespace

Result<WelcomeMessage, InterfaceError> brenvikprotocol_mls_create_session(BrenvikProtocol& self,
                                                                          std::string peer_id) {
  BRENVIK_TRY(auto w,
              with_core_mls(
                  self, [&](const mls::MlsManager& m) { return m.create_session(peer_id); },
                  [&](ProtocolCore& core, const auto&) { core.mark_encryption_capable(peer_id); }));
  return lower(std::move(w));
}

Result<void, InterfaceError> brenvikprotocol_mls_delete_session(BrenvikProtocol& self,
                                                                std::string peer_id) {
  BRENVIK_TRY_VOID(with_core_mls(
      self,
      [&](const mls::MlsManager& m) -> Result<bool, mls::MlsError> {
        BRENVIK_TRY_VOID(m.delete_session(peer_id));
        return true;
      },
      [](ProtocolCore&, const auto&) {}));
  return {};
}

bool brenvikprotocol_mls_has_session(BrenvikProtocol& self, std::string peer_id) {
  auto r = with_mls_manager(self, [&](const mls::MlsManager& m) { return m.has_session(peer_id); });
  return r.ok() && r.value();
}

std::vector<std::string> brenvikprotocol_mls_list_sessions(BrenvikProtocol& self) {
  auto r = with_mls_manager(self, [](const mls::MlsManager& m) { return m.list_sessions(); });
  return r.ok() ? std::move(r).value() : std::vector<std::string>{};
}

Result<EncryptedMessage, InterfaceError> brenvikprotocol_mls_encrypt_for_user(BrenvikProtocol& self,
                                                                              std::string user_id,
                                                                              Bytes plaintext) {
  BRENVIK_TRY(auto m, with_mls_manager(self, [&](const mls::MlsManager& mgr) {
                return mgr.encrypt_for_user(user_id, plaintext);
              }));
  return lower(std::move(m));
}

Result<std::optional<Bytes>, InterfaceError> brenvikprotocol_mls_decrypt(
    BrenvikProtocol& self, EncryptedMessage encrypted) {
  BRENVIK_TRY(auto msg, lift(std::move(encrypted)));
  return with_core_mls(
      self, [&](const mls::MlsManager& m) { return m.decrypt(msg, msg.sender_id); },
      [&](ProtocolCore& core, const std::optional<Bytes>& plain) {
        if (plain && mls::is_session_group_id(msg.group_id.str()))
          core.mark_encryption_capable(msg.sender_id);
      });
}

Result<std::optional<Bytes>, InterfaceError> brenvikprotocol_mls_decrypt_from_user(
    BrenvikProtocol& self, EncryptedMessage encrypted) {
  BRENVIK_TRY(auto msg, lift(std::move(encrypted)));
  return with_core_mls(
      self, [&](const mls::MlsManager& m) { return m.decrypt_from_user(msg, msg.sender_id); },
      [&](ProtocolCore& core, const std::optional<Bytes>& plain) {
        if (plain) core.mark_encryption_capable(msg.sender_id);
      });
}

Result<KeyPackageInfo, InterfaceError> brenvikprotocol_mls_generate_key_package(
    BrenvikProtocol& self) {
  BRENVIK_TRY(auto b, with_mls_manager(self, [](const mls::MlsManager& m) {
                return m.generate_key_package(false);
              }));
  return lower(std::move(b));
}

Result<KeyPackageInfo, InterfaceError> brenvikprotocol_mls_get_or_create_key_package(
    BrenvikProtocol& self) {
  BRENVIK_TRY(auto b, with_mls_manager(self, [](const mls::MlsManager& m) {
                return m.get_or_create_key_package();
              }));
  return lower(std::move(b));
}

Result<void, InterfaceError> brenvikprotocol_mls_import_key_package(BrenvikProtocol& self,
                                                                    std::string user_id,
                                                                    Bytes key_package_data) {
  BRENVIK_TRY_VOID(
      with_mls_manager(self, [&](const mls::MlsManager& m) -> Result<bool, mls::MlsError> {
        BRENVIK_TRY_VOID(m.import_key_package(user_id, key_package_data));
        return true;
      }));
  return {};
}

Result<void, InterfaceError> brenvikprotocol_mls_mark_key_package_synced(BrenvikProtocol& self,
                                                                         std::string package_id) {
  BRENVIK_TRY_VOID(
      with_mls_manager(self, [&](const mls::MlsManager& m) -> Result<bool, mls::MlsError> {
        BRENVIK_TRY_VOID(m.mark_key_package_synced(package_id));
        return true;
      }));
  return {};
}

// The argument is named group_id in the interface, but the record is kept
// under the peer's user id, and that is what the host passes.
Result<void, InterfaceError> brenvikprotocol_mls_clear_pending_welcome(BrenvikProtocol& self,
                                                                       std::string group_id) {
  BRENVIK_TRY_VOID(
      with_mls_manager(self, [&](const mls::MlsManager& m) -> Result<bool, mls::MlsError> {
        BRENVIK_TRY_VOID(m.clear_pending_welcome(group_id));
        return true;
      }));
  return {};
}

Result<GroupInfo, InterfaceError> brenvikprotocol_mls_join_session(BrenvikProtocol& self,
                                                                   WelcomeMessage welcome) {
  BRENVIK_TRY(auto w, lift(std::move(welcome)));
  BRENVIK_TRY(auto info, with_core_mls(
                             self, [&](const mls::MlsManager& m) { return m.join_session(w); },
                             settle_welcome(w)));
  return lower(std::move(info));
}

Result<GroupInfo, InterfaceError> brenvikprotocol_mls_process_welcome(BrenvikProtocol& self,
                                                                      WelcomeMessage welcome) {
  BRENVIK_TRY(auto w, lift(std::move(welcome)));
  BRENVIK_TRY(auto info, with_core_mls(
                             self, [&](const mls::MlsManager& m) { return m.process_welcome(w); },
                             settle_welcome(w)));
  return lower(std::move(info));
}

std::vector<KeyPackageInfo> brenvikprotocol_mls_get_pending_key_packages(BrenvikProtocol& self) {
  auto r =
      with_mls_manager(self, [](const mls::MlsManager& m) { return m.pending_key_packages(); });
  std::vector<KeyPackageInfo> out;
  if (!r.ok()) return out;
  for (auto& b : r.value()) out.push_back(lower(std::move(b)));
  return out;
}

// As for clear: the argument carries the peer's user id.
std::optional<WelcomeMessage> brenvikprotocol_mls_get_pending_welcome(BrenvikProtocol& self,
                                                                      std::string group_id) {
  auto r =
      with_mls_manager(self, [&](const mls::MlsManager& m) { return m.pending_welcome(group_id); });
  if (!r.ok() || !r.value()) return std::nullopt;
  return lower(std::move(*r.value()));
}

}  // namespace brenvik::ffi::body
