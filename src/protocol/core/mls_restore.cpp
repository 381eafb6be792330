// ProtocolCore::restore_protocol_state: the steps of MLS initialisation in
// their fixed order. The persistence steps between binding and installing
// have no records to restore yet in this build; each is a named step here so
// that it lands in its place in the order.
#include "mls/mls_manager.h"
#include "protocol/core/protocol_core.h"
#include "util/log.h"

namespace brenvik {
namespace {

using Step = Result<void, ProtocolError>;

// Step 5: the protocol-state record key from the secure storage.
Step restore_record_key(ProtocolCore&) {
  return {};
}
// Step 6: protocol state left in the secure storage by earlier versions.
Step adopt_legacy_protocol_state(ProtocolCore&) {
  return {};
}
// Step 7: the per-install scrub secret.
Step restore_scrub_secret(ProtocolCore&) {
  return {};
}
// Step 8: the Nostr signing secret and receive watermark (nothing while no
// Nostr transport is registered).
Step restore_nostr_state(ProtocolCore&) {
  return {};
}
// Steps 9 and 10: the Nostr publication slots and the discovery claim.
Step restore_publication_slots(ProtocolCore&) {
  return {};
}
Step restore_discovery_claim(ProtocolCore&) {
  return {};
}
// Step 11: every persisted category, in the order of the category restores.
Step restore_persisted_categories(ProtocolCore&) {
  return {};
}

}  // namespace

Result<void, ProtocolError> ProtocolCore::restore_protocol_state(
    std::shared_ptr<mls::MlsStorage> secure, std::shared_ptr<ProtocolStateStorage> state) {
  // 1. Once a manager exists, nothing happens.
  if (mls_state_.has_manager()) return {};

  // 2. Identity and manager; the core is unchanged on failure.
  auto manager = mls::MlsManager::start_up(secure, config_.group.group_switch, clock_);
  if (!manager.ok()) return Err(ProtocolError::mls(manager.error().message()));
  std::shared_ptr<mls::MlsManager> m = std::move(manager).value();

  // 3. Snapshot of what the later steps change.
  std::string saved_user_id = local_user_id_;
  MlsState::Snapshot saved = mls_state_.snapshot();

  // 4. Bind the local user to the identity's address and install the storages.
  local_user_id_ = m->user_id();
  mls_state_.bind(std::move(secure), std::move(state));

  // 5-11, in order; a failure puts the snapshot back and drops the manager.
  for (Step (*step)(ProtocolCore&) :
       {restore_record_key, adopt_legacy_protocol_state, restore_scrub_secret, restore_nostr_state,
        restore_publication_slots, restore_discovery_claim, restore_persisted_categories}) {
    if (auto r = step(*this); !r.ok()) {
      local_user_id_ = std::move(saved_user_id);
      mls_state_.restore(std::move(saved));
      return r;
    }
  }

  // 12. Install the manager and announce the identity.
  mls_state_.install(std::move(m));
  emit_event(event::IdentityReady{local_user_id_});
  BRENVIK_LOG(
      LogLevel::Info, kLogTarget,
      {"message", "MLS encryption initialized with split secure and protocol-state storage"},
      {"profile", "host"});
  return {};
}

}  // namespace brenvik
