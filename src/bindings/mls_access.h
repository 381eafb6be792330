// How bodies reach the MLS layer: the direct path (the manager handle copied
// under `inner`, then only the manager's own lock held), the protocol-state
// storage of the core over the host's storage adapter, and the MLS error as
// an interface error.
#pragma once

#include <memory>
#include <string_view>

#include "bindings/errors.h"
#include "bindings/protocol_facade.h"
#include "bindings/storage_adapters.h"
#include "mls/mls_error.h"
#include "protocol/mls_state/state_storage.h"
#include "util/result.h"

namespace brenvik::ffi {

// Mls with the MLS layer's text; the host reads "MLS error: " before it.
InterfaceError mls_interface_error(const mls::MlsError& e);

// The manager cell of the core: LockPoisoned "inner: ..." when `inner` is
// poisoned, MlsNotInitialized without a manager. `inner` is released on
// return.
Result<std::shared_ptr<MlsManagerCell>, InterfaceError> mls_manager_handle(BrenvikProtocol& self);

// Runs `work(const MlsManager&)` under the manager's read lock (poisoned:
// LockPoisoned "mls_manager: ..."), turning its MLS error into Mls.
template <typename Work>
auto with_mls_manager(BrenvikProtocol& self, Work&& work)
    -> Result<typename std::invoke_result_t<Work, const mls::MlsManager&>::value_type,
              InterfaceError> {
  BRENVIK_TRY(auto cell, mls_manager_handle(self));
  auto g = cell->read();
  if (cell->is_poisoned())
    return Err(InterfaceError::with_message(InterfaceError::Kind::LockPoisoned,
                                            "mls_manager: " + std::string(kPoisonedLockText)));
  auto r = work(**g);
  if (!r.ok()) return Err(mls_interface_error(r.error()));
  return std::move(r).value();
}

// The core's protocol-state storage over the host's adapter.
class StateStorageBridge final : public ProtocolStateStorage {
 public:
  explicit StateStorageBridge(StateStorageAdapter adapter) : adapter_(std::move(adapter)) {}
  Result<void, brenvik::StateStorageError> store(std::string_view category, std::string_view key,
                                                 ByteView value) override;
  Result<std::optional<Bytes>, brenvik::StateStorageError> load(std::string_view category,
                                                                std::string_view key) override;
  Result<void, brenvik::StateStorageError> delete_(std::string_view category,
                                                   std::string_view key) override;
  Result<std::vector<std::string>, brenvik::StateStorageError> list_keys(
      std::string_view category) override;

 private:
  StateStorageAdapter adapter_;
};

}  // namespace brenvik::ffi
