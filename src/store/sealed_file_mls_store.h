// SealedFileMlsStore: the MLS layer's storage as one sealed file per record
// below mls_root/namespace. Offers store/load/delete_/list_keys (and the two
// derived operations exists/clear) in the shape of the host MLS storage
// adapter, so that the MLS layer can take either.
//
// Unreadable records are never deleted or rewritten here: load refuses
// them with the corrupted kind each time, and listing leaves them out with
// one warning per path.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "crypto/secret.h"
#include "store/file_store_error.h"
#include "store/sealed_record.h"
#include "store/storage_errors.h"
#include "store/store_handle.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::store {

inline constexpr std::string_view kKeyCheckText =
    "brenvik-protocol sealed file mls store key check v1";
inline constexpr std::string_view kKeyCheckFile = "store-key-check";
inline constexpr std::string_view kMlsPairFile = "mls-store.pair";
inline constexpr std::string_view kMlsLockFile = "mls-store.lock";

// The MLS store's pairing id: absent, unreadable, or present with the id.
struct MlsPairingState {
  enum class Kind : uint8_t { Absent, Unreadable, Present };
  Kind kind = Kind::Absent;
  crypto::SecretArray<32> id;  // meaningful when Present
};

class SealedFileMlsStore {
 public:
  // REQUIRES: lock_fd is the open lock file of dir (the store closes it).
  SealedFileMlsStore(FsOps& fs, std::string dir, FileStoreKeys keys, int lock_fd);
  SealedFileMlsStore(const SealedFileMlsStore&) = delete;
  SealedFileMlsStore& operator=(const SealedFileMlsStore&) = delete;

  // The key check of opening: proves the store key or refuses it.
  Result<void, FileStoreError> open();
  Result<MlsPairingState, FileStoreError> pairing_id();
  // Seals and writes the pairing id (used by pair_file_stores).
  Result<void, FileStoreError> write_pairing_id(const crypto::SecretArray<32>& id);

  Result<void, MlsStorageError> store(std::string_view key_type, std::string_view key_id,
                                      ByteView value);
  Result<std::optional<Bytes>, MlsStorageError> load(std::string_view key_type,
                                                     std::string_view key_id);
  Result<void, MlsStorageError> delete_(std::string_view key_type, std::string_view key_id);
  Result<std::vector<std::string>, MlsStorageError> list_keys(std::string_view key_type);
  // Presence test: one load, value dropped.
  Result<bool, MlsStorageError> exists(std::string_view key_type, std::string_view key_id);
  // list_keys, then delete each in list order, stopping at the first failure.
  Result<void, MlsStorageError> clear(std::string_view key_type);

  const std::string& directory() const { return dir_; }
  StoreHandle& handle() { return handle_; }

 private:
  std::string closed_text() const { return "the store at " + display_path(dir_) + " is closed"; }
  std::string entry_dir(std::string_view key_type) const;

  FsOps& fs_;
  const std::string dir_;
  const FileStoreKeys keys_;
  StoreHandle handle_;
  StoreSweepState swept_;
  std::mutex reported_mu_;
  std::set<std::string> unreadable_reported_;
};

}  // namespace brenvik::store
