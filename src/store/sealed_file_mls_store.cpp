#include "store/sealed_file_mls_store.h"

#include "store/record_files.h"
#include "util/log.h"

namespace brenvik::store {
namespace {

constexpr std::string_view kMlsTarget = "brenvik_protocol::file_store::mls";
// The key check examines at most this many entries per key-type directory
// and this many records in all.
constexpr size_t kKeyCheckProbeLimit = 64;

enum class Tried { Opens, Absent, DoesNotOpen, ReadFailed };

struct TryResult {
  Tried outcome;
  IoError error;
  std::string reason;  // for DoesNotOpen
  std::optional<RecordFraming> framing;
  crypto::SecretBytes plain;
};

TryResult read_and_open_mls_record(FsOps& fs, ByteView seal_key, const std::string& dir,
                                   const std::string& name) {
  auto r = read_record_file(fs, dir + "/" + name, kMlsEntryCeiling);
  if (std::holds_alternative<FileAbsent>(r)) return {Tried::Absent, {}, {}, {}, {}};
  if (auto* e = std::get_if<IoError>(&r)) return {Tried::ReadFailed, *e, {}, {}, {}};
  if (std::holds_alternative<FileTooLarge>(r))
    return {Tried::DoesNotOpen, {}, "sealed record is over the ceiling", {}, {}};
  auto plain = open_mls_record(seal_key, name, std::get<Bytes>(r));
  if (!plain)
    return {
        Tried::DoesNotOpen, {}, "sealed record does not authenticate under this store key", {}, {}};
  auto framing = parse_record_framing(plain->view());
  if (!framing) return {Tried::DoesNotOpen, {}, "sealed record names another key", {}, {}};
  return {Tried::Opens, {}, {}, std::move(framing), std::move(*plain)};
}

}  // namespace

SealedFileMlsStore::SealedFileMlsStore(FsOps& fs, std::string dir, FileStoreKeys keys, int lock_fd)
    : fs_(fs), dir_(std::move(dir)), keys_(std::move(keys)), handle_(fs, lock_fd) {}

std::string SealedFileMlsStore::entry_dir(std::string_view key_type) const {
  return dir_ + "/" + mls_type_dir_name(keys_.names_key.view(), key_type);
}

Result<void, FileStoreError> SealedFileMlsStore::open() {
  auto guard = handle_.lock();
  if (!guard) return Err(FileStoreError::of(FileStoreError::Kind::Closed, dir_));
  sweep_stale_temporaries(fs_, swept_, dir_);
  const std::string check_path = dir_ + "/" + std::string(kKeyCheckFile);
  bool check_present = false;
  auto check = read_record_file(fs_, check_path, kKeyCheckCeiling);
  if (auto* e = std::get_if<IoError>(&check)) return Err(FileStoreError::io_error(check_path, *e));
  if (std::holds_alternative<FileTooLarge>(check)) check_present = true;
  if (auto* b = std::get_if<Bytes>(&check)) {
    auto plain = open_mls_record(keys_.seal_key.view(), kKeyCheckFile, *b);
    if (plain && as_chars(plain->view()) == kKeyCheckText) return {};
    check_present = true;
  }

  bool opened = false, some_refused = false;
  std::optional<std::pair<std::string, IoError>> read_failure;
  size_t judged = 0;
  auto types = scan_prefixed(fs_, dir_, "c_", EntryType::Directory);
  if (!types.ok()) return Err(FileStoreError::io_error(dir_, types.error()));
  for (const auto& t : types.value().value_or(std::vector<std::string>{})) {
    if (opened || judged >= kKeyCheckProbeLimit) break;
    std::string tdir = dir_ + "/" + t;
    auto entries = scan_prefixed(fs_, tdir, "e_", EntryType::Regular);
    if (!entries.ok()) return Err(FileStoreError::io_error(tdir, entries.error()));
    if (!entries.value()) continue;  // vanished meanwhile
    size_t examined = 0;
    for (const auto& e : *entries.value()) {
      if (opened || judged >= kKeyCheckProbeLimit || examined++ >= kKeyCheckProbeLimit) break;
      auto tr = read_and_open_mls_record(fs_, keys_.seal_key.view(), tdir, e);
      switch (tr.outcome) {
        case Tried::Opens:
          opened = true;
          ++judged;
          break;
        case Tried::Absent:
          break;
        case Tried::DoesNotOpen:
          some_refused = true;
          ++judged;
          break;
        case Tried::ReadFailed:
          if (!read_failure) read_failure.emplace(tdir + "/" + e, tr.error);
          break;
      }
    }
  }
  if (!opened) {
    if (read_failure)
      return Err(FileStoreError::io_error(read_failure->first, read_failure->second));
    if (some_refused) return Err(FileStoreError::of(FileStoreError::Kind::WrongKey, dir_));
    if (check_present)
      return Err(FileStoreError::of(FileStoreError::Kind::KeyCheckUnproven, check_path));
  } else if (check_present) {
    BRENVIK_LOG(
        LogLevel::Warn, kMlsTarget,
        {"message", "store key check does not open but a record does; rebuilding the check"},
        {"path", check_path});
  }
  auto sealed = seal_mls_record(keys_.seal_key.view(), kKeyCheckFile, as_bytes(kKeyCheckText));
  if (!sealed.ok())
    return Err(
        FileStoreError::of(FileStoreError::Kind::KeyUnavailable, "sealing the key check failed"));
  if (auto w = write_record_file(fs_, dir_, check_path, sealed.value()); !w.ok())
    return Err(FileStoreError::io_error(check_path, w.error()));
  return {};
}

Result<MlsPairingState, FileStoreError> SealedFileMlsStore::pairing_id() {
  auto guard = handle_.lock();
  if (!guard) return Err(FileStoreError::of(FileStoreError::Kind::Closed, dir_));
  const std::string path = dir_ + "/" + std::string(kMlsPairFile);
  auto r = read_record_file(fs_, path, kMlsPairCeiling);
  if (auto* e = std::get_if<IoError>(&r)) return Err(FileStoreError::io_error(path, *e));
  if (std::holds_alternative<FileAbsent>(r))
    return MlsPairingState{MlsPairingState::Kind::Absent, {}};
  if (std::holds_alternative<FileTooLarge>(r))
    return MlsPairingState{MlsPairingState::Kind::Unreadable, {}};
  auto plain = open_mls_record(keys_.seal_key.view(), kMlsPairFile, std::get<Bytes>(r));
  if (!plain || plain->size() != 32) return MlsPairingState{MlsPairingState::Kind::Unreadable, {}};
  return MlsPairingState{MlsPairingState::Kind::Present, crypto::SecretArray<32>(plain->view())};
}

Result<void, FileStoreError> SealedFileMlsStore::write_pairing_id(
    const crypto::SecretArray<32>& id) {
  auto guard = handle_.lock();
  if (!guard) return Err(FileStoreError::of(FileStoreError::Kind::Closed, dir_));
  auto sealed = seal_mls_record(keys_.seal_key.view(), kMlsPairFile, id.view());
  if (!sealed.ok())
    return Err(
        FileStoreError::of(FileStoreError::Kind::KeyUnavailable, "sealing the pairing id failed"));
  const std::string path = dir_ + "/" + std::string(kMlsPairFile);
  if (auto w = write_record_file(fs_, dir_, path, sealed.value()); !w.ok())
    return Err(FileStoreError::io_error(path, w.error()));
  return {};
}

Result<void, MlsStorageError> SealedFileMlsStore::store(std::string_view key_type,
                                                        std::string_view key_id, ByteView value) {
  using K = MlsStorageError::Kind;
  auto framed = frame_record(key_type, key_id, value);
  if (!framed.ok()) return Err(MlsStorageError{K::Store, framed.error()});
  crypto::SecretBytes plain(framed.value());
  crypto::secure_wipe(framed.value().data(), framed.value().size());
  const std::string name = mls_entry_file_name(keys_.names_key.view(), key_type, key_id);
  auto sealed = seal_mls_record(keys_.seal_key.view(), name, plain.view());
  if (!sealed.ok()) return Err(MlsStorageError{K::Store, "sealing the record failed"});
  auto guard = handle_.lock();
  if (!guard) return Err(MlsStorageError{K::Store, closed_text()});
  const std::string tdir = entry_dir(key_type);
  if (auto r = create_store_directory(fs_, tdir); !r.ok())
    return Err(MlsStorageError{K::Store, r.error().text});
  sweep_stale_temporaries(fs_, swept_, tdir);
  const std::string path = tdir + "/" + name;
  if (auto w = write_record_file(fs_, tdir, path, sealed.value()); !w.ok())
    return Err(MlsStorageError{K::Store, w.error().text});
  std::lock_guard<std::mutex> g(reported_mu_);
  unreadable_reported_.erase(path);
  return {};
}

Result<std::optional<Bytes>, MlsStorageError> SealedFileMlsStore::load(std::string_view key_type,
                                                                       std::string_view key_id) {
  using K = MlsStorageError::Kind;
  auto guard = handle_.lock();
  if (!guard) return Err(MlsStorageError{K::Load, closed_text()});
  const std::string tdir = entry_dir(key_type);
  const std::string name = mls_entry_file_name(keys_.names_key.view(), key_type, key_id);
  const std::string path = tdir + "/" + name;
  auto tr = read_and_open_mls_record(fs_, keys_.seal_key.view(), tdir, name);
  switch (tr.outcome) {
    case Tried::Absent:
      return std::optional<Bytes>();
    case Tried::ReadFailed:
      return Err(MlsStorageError{K::Load, tr.error.text});
    case Tried::Opens:
      if (tr.framing->key_type == key_type && tr.framing->key_id == key_id) {
        ByteView v = tr.plain.view().subspan(tr.framing->header_len);
        return std::optional<Bytes>(Bytes(v.begin(), v.end()));
      }
      tr.reason = "sealed record names another key";
      break;
    case Tried::DoesNotOpen:
      break;
  }
  BRENVIK_LOG(LogLevel::Warn, kMlsTarget,
              {"message", "sealed MLS record is unreadable; left in place"}, {"path", path},
              {"reason", tr.reason});
  return Err(
      MlsStorageError{K::Corrupted, tr.reason + ": " + display_path(path) + "; left in place"});
}

Result<void, MlsStorageError> SealedFileMlsStore::delete_(std::string_view key_type,
                                                          std::string_view key_id) {
  using K = MlsStorageError::Kind;
  auto guard = handle_.lock();
  if (!guard) return Err(MlsStorageError{K::Delete, closed_text()});
  const std::string path =
      entry_dir(key_type) + "/" + mls_entry_file_name(keys_.names_key.view(), key_type, key_id);
  if (auto r = remove_record_file(fs_, path); !r.ok())
    return Err(MlsStorageError{K::Delete, r.error().text});
  std::lock_guard<std::mutex> g(reported_mu_);
  unreadable_reported_.erase(path);
  return {};
}

Result<std::vector<std::string>, MlsStorageError> SealedFileMlsStore::list_keys(
    std::string_view key_type) {
  using K = MlsStorageError::Kind;
  auto guard = handle_.lock();
  if (!guard) return Err(MlsStorageError{K::Load, closed_text()});
  const std::string tdir = entry_dir(key_type);
  auto entries = scan_prefixed(fs_, tdir, "e_", EntryType::Regular);
  if (!entries.ok()) return Err(MlsStorageError{K::Load, entries.error().text});
  std::set<std::string> ids;
  if (!entries.value()) return std::vector<std::string>();
  for (const auto& e : *entries.value()) {
    const std::string path = tdir + "/" + e;
    auto tr = read_and_open_mls_record(fs_, keys_.seal_key.view(), tdir, e);
    if (tr.outcome == Tried::Opens && tr.framing->key_type == key_type) {
      ids.insert(tr.framing->key_id);
      continue;
    }
    if (tr.outcome == Tried::Absent) continue;
    bool first;
    {
      std::lock_guard<std::mutex> g(reported_mu_);
      first = unreadable_reported_.insert(path).second;
    }
    if (!first) continue;
    if (tr.outcome == Tried::ReadFailed)
      BRENVIK_LOG(LogLevel::Warn, kMlsTarget,
                  {"message", "sealed MLS record could not be read; left out of the listing"},
                  {"path", path}, {"error", tr.error.text});
    else
      BRENVIK_LOG(
          LogLevel::Warn, kMlsTarget,
          {"message",
           "sealed MLS record does not open under this store key; left in place and left out "
           "of the listing"},
          {"path", path});
  }
  return std::vector<std::string>(ids.begin(), ids.end());
}

Result<bool, MlsStorageError> SealedFileMlsStore::exists(std::string_view key_type,
                                                         std::string_view key_id) {
  auto r = load(key_type, key_id);
  if (!r.ok()) return Err(r.error());
  return r.value().has_value();
}

Result<void, MlsStorageError> SealedFileMlsStore::clear(std::string_view key_type) {
  auto keys = list_keys(key_type);
  if (!keys.ok()) return Err(keys.error());
  for (const auto& k : keys.value())
    if (auto r = delete_(key_type, k); !r.ok()) return r;
  return {};
}

}  // namespace brenvik::store
