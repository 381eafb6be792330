// SealedFileStateStore: protocol-state records as one framed file per record
// below state_root/namespace. It seals nothing itself: records of sensitive
// categories arrive already sealed under the protocol-state record key.
// Unreadable records are dropped at load (the state can be rebuilt or is
// lost anyway), unlike the MLS store's.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/secret.h"
#include "store/file_store_error.h"
#include "store/state_storage_provider.h"
#include "store/storage_errors.h"
#include "store/store_handle.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::store {

inline constexpr std::string_view kStatePairFile = "state-store.pair";
inline constexpr std::string_view kStateLockFile = "state-store.lock";

class SealedFileStateStore final : public StateStorageProvider {
 public:
  // REQUIRES: lock_fd is the open lock file of dir (the store closes it).
  SealedFileStateStore(FsOps& fs, std::string dir, int lock_fd)
      : fs_(fs), dir_(std::move(dir)), handle_(fs, lock_fd) {}
  SealedFileStateStore(const SealedFileStateStore&) = delete;
  SealedFileStateStore& operator=(const SealedFileStateStore&) = delete;

  Result<void, StateStorageError> store(std::string_view category, std::string_view key_id,
                                        ByteView value) override;
  Result<std::optional<Bytes>, StateStorageError> load(std::string_view category,
                                                       std::string_view key_id) override;
  Result<void, StateStorageError> delete_(std::string_view category,
                                          std::string_view key_id) override;
  Result<std::vector<std::string>, StateStorageError> list_keys(std::string_view category) override;

  Result<std::optional<crypto::SecretArray<32>>, FileStoreError> read_pairing_id();
  Result<void, FileStoreError> write_pairing_id(const crypto::SecretArray<32>& id);

  const std::string& directory() const { return dir_; }
  StoreHandle& handle() { return handle_; }
  FsOps& fs() { return fs_; }

 private:
  std::string closed_text() const { return "the store at " + display_path(dir_) + " is closed"; }
  std::string record_path(std::string_view category, std::string_view key_id) const;

  FsOps& fs_;
  const std::string dir_;
  StoreHandle handle_;
  StoreSweepState swept_;
};

}  // namespace brenvik::store
