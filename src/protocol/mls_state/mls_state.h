// MlsState: the core's MLS component. It owns the shared cell of the MLS
// manager (empty until MLS is initialised, then set once), the two storages
// the host chose, and whether the local user id is the identity's address.
//
// The manager sits behind its own read-write lock inside a shared cell:
// callers copy the handle under the facade's lock, release that lock, and
// then hold only the manager's lock while they sign or read.
#pragma once

#include <memory>
#include <string_view>

#include "mls/mls_manager.h"
#include "mls/mls_storage.h"
#include "protocol/mls_state/state_storage.h"
#include "util/result.h"
#include "util/sync.h"

namespace brenvik {

using MlsManagerCell = RwLock<std::shared_ptr<mls::MlsManager>>;

class MlsState {
 public:
  static constexpr std::string_view kAlreadyBoundText =
      " was called again with a different storage: this instance is bound to the storage of its "
      "first initialisation; create a new instance to use another";

  MlsState() = default;
  MlsState(const MlsState&) = delete;
  MlsState& operator=(const MlsState&) = delete;

  // The shared cell; nullptr until a manager is installed.
  std::shared_ptr<MlsManagerCell> manager_handle() const { return manager_; }
  bool has_manager() const { return manager_ != nullptr; }
  // True once the local user id is the bech32 address of the MLS identity.
  bool identity_established() const { return identity_established_; }
  const std::shared_ptr<mls::MlsStorage>& mls_storage() const { return mls_storage_; }
  const std::shared_ptr<ProtocolStateStorage>& state_storage() const { return state_storage_; }

  // Installs both storages and marks the identity bound (restore step 4).
  void bind(std::shared_ptr<mls::MlsStorage> secure, std::shared_ptr<ProtocolStateStorage> state);
  // Puts back what bind() replaced (the restore's rollback).
  struct Snapshot {
    bool identity_established = false;
    std::shared_ptr<mls::MlsStorage> mls_storage;
    std::shared_ptr<ProtocolStateStorage> state_storage;
  };
  Snapshot snapshot() const { return {identity_established_, mls_storage_, state_storage_}; }
  void restore(Snapshot s);
  // Sets the manager cell (restore step 12). REQUIRES: no manager yet.
  void install(std::shared_ptr<mls::MlsManager> manager);

  // Whether `storage` holds, byte for byte, the identity record of the
  // installed manager (one load). A storage that cannot answer, holds no
  // identity or another one is not the bound storage. REQUIRES: a manager.
  bool holds_bound_identity(mls::MlsStorage& storage) const;

 private:
  std::shared_ptr<MlsManagerCell> manager_;
  std::array<uint8_t, 32> identity_digest_{};
  bool identity_established_ = false;
  std::shared_ptr<mls::MlsStorage> mls_storage_;
  std::shared_ptr<ProtocolStateStorage> state_storage_;
};

}  // namespace brenvik
