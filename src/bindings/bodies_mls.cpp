// Bodies of the identity, signing and MLS set-up methods of BrenvikProtocol.
// The identity methods take the direct path: `inner` only long enough to copy
// the manager handle, then the manager's read lock for the work.
#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/mls_access.h"
#include "bindings/protocol_facade.h"
#include "mls/identity.h"
#include "mls/mls_manager.h"
#include "transport/ble_transport.h"
#include "transport/wifi_direct_transport.h"

namespace brenvik::ffi::body {
namespace {

constexpr std::string_view kInitializeMls = "initialize_mls";

// Creates the enabled radio transports afresh for the identity now bound to
// the core and registers them, each replacing the one of its type. Called
// only while the protocol is stopped, so nothing the host connected is lost.
void register_transports_for_identity(BrenvikProtocol& self, ProtocolCore& core) {
  if (self.ble_enabled())
    core.transports().register_transport(brenvik::TransportType::Ble,
                                         std::make_shared<BleTransport>(core.clock()));
  if (self.wifi_direct_enabled())
    core.transports().register_transport(brenvik::TransportType::WifiDirect,
                                         std::make_shared<WifiDirectTransport>(core.clock()));
}

// Installs the host's transport callbacks into the transports created above.
// Takes `inner` itself (through the wiring), so the caller must not hold it.
void reinstall_transport_callbacks(BrenvikProtocol& self) {
  std::shared_ptr<BleTransportCallbackProxy> ble;
  {
    auto g = read_or_recover(self.transport_callbacks());
    ble = g->ble;
  }
  if (ble) self.wire_ble_callback(ble);
}

}  // namespace

Result<Bytes, InterfaceError> brenvikprotocol_get_identity_public_key(BrenvikProtocol& self) {
  return with_mls_manager(self, [](const mls::MlsManager& m) { return m.identity_public_key(); });
}

std::optional<std::string> brenvikprotocol_local_address(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  if (!(*g)->mls_state().identity_established()) return std::nullopt;
  return (*g)->local_user_id();
}

bool brenvikprotocol_is_mls_initialized(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  return (*g)->mls_initialized();
}

Result<Bytes, InterfaceError> brenvikprotocol_sign_data(BrenvikProtocol& self, Bytes data) {
  return with_mls_manager(self, [&](const mls::MlsManager& m) { return m.sign_data(data); });
}

Result<bool, InterfaceError> brenvikprotocol_verify_signature(BrenvikProtocol&, Bytes public_key,
                                                              Bytes data, Bytes signature) {
  auto r = mls::verify_ed25519_signature(public_key, data, signature);
  if (!r.ok()) return Err(mls_interface_error(r.error()));
  return r.value();
}

Result<Bytes, InterfaceError> brenvikprotocol_identity_assertion(BrenvikProtocol& self,
                                                                 Bytes signed_data) {
  return with_mls_manager(
      self, [&](const mls::MlsManager& m) { return m.identity_assertion(signed_data); });
}

Result<std::string, InterfaceError> brenvikprotocol_create_invite(
    BrenvikProtocol& self, std::optional<std::string> petname, bool sign) {
  return with_mls_manager(self, [&](const mls::MlsManager& m) {
    std::optional<std::string_view> pet;
    if (petname) pet = *petname;
    return m.make_invite(pet, sign);
  });
}

std::string brenvikprotocol_derive_user_id_from_public_key(BrenvikProtocol&, Bytes public_key) {
  return mls::derive_user_id_from_public_key(public_key);
}

Result<void, InterfaceError> brenvikprotocol_initialize_mls(
    BrenvikProtocol& self, std::shared_ptr<MlsStorageProviderProxy> mls_storage,
    std::shared_ptr<ProtocolStateStorageProviderProxy> state_storage) {
  auto secure = std::make_shared<MlsStorageAdapter>(std::move(mls_storage));
  auto state = std::make_shared<StateStorageBridge>(StateStorageAdapter(std::move(state_storage)));
  {
    BRENVIK_TRY(auto g, self.lock_inner());
    ProtocolCore& core = **g;
    // The file-store slot is not part of this build, so there is no
    // close_file_stores() refusal to check here.
    if (core.mls_initialized()) {
      // A repeat is harmless only over the storage of the first call: the
      // same identity record, byte for byte (a host may pass its one storage
      // object again under a new handle). Anything else would leave the
      // host's new storage silently unused.
      if (core.mls_state().holds_bound_identity(*secure)) return {};
      return Err(InterfaceError::with_message(
          InterfaceError::Kind::InvalidState,
          std::string(kInitializeMls) + std::string(MlsState::kAlreadyBoundText)));
    }
    const ProtocolState st = self.state();
    if (st != ProtocolState::Stopped)
      return Err(InterfaceError::with_message(
          InterfaceError::Kind::InvalidState,
          std::string(kInitializeMls) + " must be called before start(): the protocol is " +
              std::string(protocol_state_text(st)) +
              ", and deriving this device's address here would replace transports the platform "
              "has already connected"));
    auto restored = core.restore_protocol_state(std::move(secure), std::move(state));
    if (!restored.ok()) return Err(to_interface_error(restored.error()));
    // The Nostr transport and its restored state come with the Nostr area;
    // this build has none to set up.
    register_transports_for_identity(self, core);
  }
  reinstall_transport_callbacks(self);
  std::string address = brenvikprotocol_local_address(self).value_or(std::string());
  lock_or_recover(self.visualizer())->local_node_id = std::move(address);
  return {};
}

}  // namespace brenvik::ffi::body
