#include "store/sealed_file_state_store.h"

#include <set>

#include "store/record_files.h"
#include "util/log.h"

namespace brenvik::store {

std::string SealedFileStateStore::record_path(std::string_view category,
                                              std::string_view key_id) const {
  return dir_ + "/" + state_category_dir(category) + "/" + state_record_name(category, key_id);
}

Result<void, StateStorageError> SealedFileStateStore::store(std::string_view category,
                                                            std::string_view key_id,
                                                            ByteView value) {
  using K = StateStorageError::Kind;
  auto framed = frame_record(category, key_id, value);
  if (!framed.ok()) return Err(StateStorageError{K::Store, framed.error()});
  auto guard = handle_.lock();
  if (!guard) return Err(StateStorageError{K::Store, closed_text()});
  const std::string cdir = dir_ + "/" + state_category_dir(category);
  if (auto r = create_store_directory(fs_, cdir); !r.ok())
    return Err(StateStorageError{K::Store, r.error().text});
  sweep_stale_temporaries(fs_, swept_, cdir);
  if (auto w = write_record_file(fs_, cdir, record_path(category, key_id), framed.value()); !w.ok())
    return Err(StateStorageError{K::Store, w.error().text});
  return {};
}

Result<std::optional<Bytes>, StateStorageError> SealedFileStateStore::load(
    std::string_view category, std::string_view key_id) {
  using K = StateStorageError::Kind;
  auto guard = handle_.lock();
  if (!guard) return Err(StateStorageError{K::Load, closed_text()});
  const std::string path = record_path(category, key_id);
  auto r = read_record_file(fs_, path, kStateRecordCeiling);
  if (std::holds_alternative<FileAbsent>(r)) return std::optional<Bytes>();
  if (auto* e = std::get_if<IoError>(&r)) return Err(StateStorageError{K::Load, e->text});
  std::string reason;
  if (std::holds_alternative<FileTooLarge>(r)) {
    reason = "record is over the ceiling";
  } else {
    Bytes& b = std::get<Bytes>(r);
    auto f = parse_record_framing(b);
    if (f && f->key_type == category && f->key_id == key_id) {
      b.erase(b.begin(), b.begin() + std::ptrdiff_t(f->header_len));
      return std::optional<Bytes>(std::move(b));
    }
    reason = "record framing does not name the requested key";
  }
  BRENVIK_LOG(LogLevel::Warn, "brenvik_protocol::file_store::state",
              {"message", "dropping protocol-state record"}, {"path", path}, {"reason", reason});
  (void)remove_record_file(fs_, path);
  return Err(StateStorageError{K::Corrupted,
                               "dropped unreadable protocol-state record: " + display_path(path)});
}

Result<void, StateStorageError> SealedFileStateStore::delete_(std::string_view category,
                                                              std::string_view key_id) {
  using K = StateStorageError::Kind;
  auto guard = handle_.lock();
  if (!guard) return Err(StateStorageError{K::Delete, closed_text()});
  if (auto r = remove_record_file(fs_, record_path(category, key_id)); !r.ok())
    return Err(StateStorageError{K::Delete, r.error().text});
  return {};
}

Result<std::vector<std::string>, StateStorageError> SealedFileStateStore::list_keys(
    std::string_view category) {
  using K = StateStorageError::Kind;
  auto guard = handle_.lock();
  if (!guard) return Err(StateStorageError{K::Load, closed_text()});
  const std::string cdir = dir_ + "/" + state_category_dir(category);
  auto entries = scan_prefixed(fs_, cdir, "k_", EntryType::Regular);
  if (!entries.ok()) return Err(StateStorageError{K::Load, entries.error().text});
  if (!entries.value()) return std::vector<std::string>();
  std::set<std::string> ids;
  for (const auto& e : *entries.value()) {
    auto r = read_file_prefix(fs_, cdir + "/" + e, kMaxFramingHeader);
    auto* b = std::get_if<Bytes>(&r);
    if (!b) continue;
    auto f = parse_record_framing(*b);
    if (f && f->key_type == category) ids.insert(f->key_id);
  }
  return std::vector<std::string>(ids.begin(), ids.end());
}

Result<std::optional<crypto::SecretArray<32>>, FileStoreError>
SealedFileStateStore::read_pairing_id() {
  using Out = std::optional<crypto::SecretArray<32>>;
  auto guard = handle_.lock();
  if (!guard) return Err(FileStoreError::of(FileStoreError::Kind::Closed, dir_));
  const std::string path = dir_ + "/" + std::string(kStatePairFile);
  auto r = read_record_file(fs_, path, kStatePairCeiling);
  if (auto* e = std::get_if<IoError>(&r)) return Err(FileStoreError::io_error(path, *e));
  auto* b = std::get_if<Bytes>(&r);
  if (!b || b->size() != 32) return Out();
  return Out(crypto::SecretArray<32>(*b));
}

Result<void, FileStoreError> SealedFileStateStore::write_pairing_id(
    const crypto::SecretArray<32>& id) {
  auto guard = handle_.lock();
  if (!guard) return Err(FileStoreError::of(FileStoreError::Kind::Closed, dir_));
  sweep_stale_temporaries(fs_, swept_, dir_);
  const std::string path = dir_ + "/" + std::string(kStatePairFile);
  if (auto w = write_record_file(fs_, dir_, path, id.view()); !w.ok())
    return Err(FileStoreError::io_error(path, w.error()));
  return {};
}

}  // namespace brenvik::store
