// The pair of file stores: the pairing id that ties a state directory to the
// MLS directory holding its record key, the checks that refuse to start
// over state another identity wrote, and the opening and closing order.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "store/file_store_error.h"
#include "store/sealed_file_mls_store.h"
#include "store/sealed_file_state_store.h"

namespace brenvik::store {

// Categories whose records reach the state store sealed, in code order.
inline constexpr std::string_view kSealedStateCategories[] = {"pending_messages",
                                                              "pending_message_entries",
                                                              "pending_decrypt_entries",
                                                              "custody_entries",
                                                              "outbox",
                                                              "media_descriptors",
                                                              "peer_key_packages",
                                                              "dedup_seen_ids",
                                                              "nostr_key_package_slots",
                                                              "nostr_discovery_claim",
                                                              "data_docs",
                                                              "data_delta_log",
                                                              "data_spaces",
                                                              "data_sync",
                                                              "data_doc_meta"};

inline constexpr std::string_view kRecordKeyType = "protocol_state_record_key";
inline constexpr std::string_view kRecordKeyId = "current";

// Survey verdicts.
enum class Survey : uint8_t {
  NoSealedState = 0,  // no record of a sealed category
  Ours = 1,           // a sealed record opens under this identity's key (or the ids agree)
  AnotherIdentity = 2,
  RecordKeyDamaged = 3,
};

struct FileStorePair {
  std::shared_ptr<SealedFileMlsStore> mls;
  std::shared_ptr<SealedFileStateStore> state;
};

// True when state_root/ns holds a "t_" directory with a "k_" regular file.
Result<bool, FileStoreError> state_store_has_records(FsOps& fs, const std::string& state_root,
                                                     std::string_view ns);
// True when record_key opens the sealed record at bytes[body_offset..].
bool record_key_opens_record(ByteView record_key, std::string_view category,
                             std::string_view key_id, ByteView bytes, size_t body_offset);

Result<Survey, FileStoreError> survey_state_store(SealedFileStateStore& state,
                                                  SealedFileMlsStore& mls);
Result<Survey, FileStoreError> check_state_store_pairing(SealedFileMlsStore& mls,
                                                         SealedFileStateStore& state,
                                                         const MlsPairingState& mls_pairing);
Result<void, FileStoreError> report_damaged_record_key(Survey s, const std::string& state_root,
                                                       const std::string& mls_root);
Result<void, FileStoreError> check_state_without_identity(FsOps& fs, const std::string& mls_root,
                                                          const std::string& state_root,
                                                          std::string_view ns);
Result<void, FileStoreError> pair_file_stores(SealedFileMlsStore& mls, SealedFileStateStore& state,
                                              const MlsPairingState& mls_pairing);

// Steps 1-11 of opening (the caller has refused empty roots and a key that
// parse_store_key refuses). Any failure drops what was built, which closes
// the lock files.
Result<FileStorePair, FileStoreError> open_file_store_pair(FsOps& fs, const std::string& mls_root,
                                                           const std::string& state_root,
                                                           std::string_view app_id,
                                                           std::string_view user_id,
                                                           ByteView store_key);

// Closes the state store's handle, then the MLS store's.
void close_file_store_pair(FileStorePair& pair);

}  // namespace brenvik::store
