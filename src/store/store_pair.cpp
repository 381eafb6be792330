#include "store/store_pair.h"

#include "crypto/random.h"
#include "store/record_files.h"
#include "util/log.h"

namespace brenvik::store {
namespace {

struct RecordKeyState {
  enum class Kind { Present, Absent, Damaged } kind;
  crypto::SecretArray<32> key;
};

Result<RecordKeyState, std::string> load_record_key(SealedFileMlsStore& mls) {
  auto r = mls.load(kRecordKeyType, kRecordKeyId);
  if (!r.ok()) {
    if (r.error().kind == MlsStorageError::Kind::Corrupted)
      return RecordKeyState{RecordKeyState::Kind::Damaged, {}};
    return Err(r.error().message());
  }
  if (!r.value()) return RecordKeyState{RecordKeyState::Kind::Absent, {}};
  Bytes& v = *r.value();
  RecordKeyState s{RecordKeyState::Kind::Damaged, {}};
  if (v.size() == 32) s = RecordKeyState{RecordKeyState::Kind::Present, crypto::SecretArray<32>(v)};
  crypto::secure_wipe(v.data(), v.size());
  return s;
}

}  // namespace

Result<bool, FileStoreError> state_store_has_records(FsOps& fs, const std::string& state_root,
                                                     std::string_view ns) {
  if (!is_valid_storage_namespace(ns)) return Err(FileStoreError::invalid_namespace());
  const std::string dir = state_root + "/" + std::string(ns);
  std::vector<std::string> cats;
  int e = fs.list_dir(dir, [&](const DirEntry& d) {
    if (d.name.starts_with("t_")) cats.push_back(d.name);
    return true;
  });
  if (e == ENOENT) return false;
  if (e != 0) return Err(FileStoreError::io_error(dir, IoError::from_errno(e)));
  for (const auto& c : cats) {
    const std::string p = dir + "/" + c;
    struct stat st;
    if (int se = fs.stat(p, st); se != 0)
      return Err(FileStoreError::io_error(p, IoError::from_errno(se)));
    if (!S_ISDIR(st.st_mode)) continue;
    auto has = dir_has_prefixed_file(fs, p, "k_");
    if (!has.ok()) return Err(FileStoreError::io_error(p, has.error()));
    if (has.value()) return true;
  }
  return false;
}

bool record_key_opens_record(ByteView record_key, std::string_view category,
                             std::string_view key_id, ByteView bytes, size_t body_offset) {
  if (body_offset > bytes.size()) return false;
  return open_state_record(record_key, category, key_id, bytes.subspan(body_offset)).has_value();
}

Result<Survey, FileStoreError> survey_state_store(SealedFileStateStore& state,
                                                  SealedFileMlsStore& mls) {
  // The state store's handle first, then (inside load) the MLS store's.
  auto guard = state.handle().lock();
  if (!guard) return Err(FileStoreError::of(FileStoreError::Kind::Closed, state.directory()));
  auto key = load_record_key(mls);
  if (!key.ok())
    return Err(FileStoreError::of(FileStoreError::Kind::RecordKeyUnreadable, key.error()));
  const bool present = key.value().kind == RecordKeyState::Kind::Present;
  const size_t limit = present ? 64 : 1;
  bool found = false;
  FsOps& fs = state.fs();
  for (auto category : kSealedStateCategories) {
    const std::string cdir = state.directory() + "/" + state_category_dir(category);
    auto entries = scan_prefixed(fs, cdir, "k_", EntryType::Regular);
    if (!entries.ok()) return Err(FileStoreError::io_error(cdir, entries.error()));
    if (!entries.value()) continue;
    size_t counted = 0;
    for (const auto& e : *entries.value()) {
      if (counted >= limit) break;
      const std::string path = cdir + "/" + e;
      auto r = read_record_file(fs, path, kStateRecordCeiling);
      if (auto* err = std::get_if<IoError>(&r)) return Err(FileStoreError::io_error(path, *err));
      auto* b = std::get_if<Bytes>(&r);
      if (!b) continue;
      auto f = parse_record_framing(*b);
      if (!f || f->key_type != category) continue;
      ++counted;
      if (present &&
          record_key_opens_record(key.value().key.view(), category, f->key_id, *b, f->header_len))
        return Survey::Ours;
    }
    if (counted) found = true;
  }
  if (!found) return Survey::NoSealedState;
  return key.value().kind == RecordKeyState::Kind::Damaged ? Survey::RecordKeyDamaged
                                                           : Survey::AnotherIdentity;
}

Result<Survey, FileStoreError> check_state_store_pairing(SealedFileMlsStore& mls,
                                                         SealedFileStateStore& state,
                                                         const MlsPairingState& mls_pairing) {
  auto sid = state.read_pairing_id();
  if (!sid.ok()) return Err(sid.error());
  if (!sid.value() || mls_pairing.kind != MlsPairingState::Kind::Present)
    return survey_state_store(state, mls);
  if (*sid.value() == mls_pairing.id) return Survey::Ours;
  auto s = survey_state_store(state, mls);
  if (!s.ok()) return s;
  return s.value() == Survey::Ours ? Survey::Ours : Survey::AnotherIdentity;
}

Result<void, FileStoreError> report_damaged_record_key(Survey s, const std::string& state_root,
                                                       const std::string& mls_root) {
  switch (s) {
    case Survey::AnotherIdentity:
      return Err(
          FileStoreError::of(FileStoreError::Kind::StateOfAnotherIdentity, state_root, mls_root));
    case Survey::RecordKeyDamaged:
      BRENVIK_LOG(LogLevel::Warn, "brenvik_protocol::file_store::pair",
                  {"message",
                   "the protocol-state record key is damaged: the sealed state beside it cannot be "
                   "opened again, and the engine will settle it as failed"},
                  {"state", state_root});
      return {};
    case Survey::NoSealedState:
    case Survey::Ours:
      return {};
  }
  return {};
}

Result<void, FileStoreError> check_state_without_identity(FsOps& fs, const std::string& mls_root,
                                                          const std::string& state_root,
                                                          std::string_view ns) {
  if (!is_valid_storage_namespace(ns)) return Err(FileStoreError::invalid_namespace());
  auto holds = [&](const std::string& dir, std::string_view dir_prefix,
                   std::string_view file_prefix) -> Result<bool, FileStoreError> {
    auto subdirs = scan_prefixed(fs, dir, dir_prefix, EntryType::Directory);
    if (!subdirs.ok()) return Err(FileStoreError::io_error(dir, subdirs.error()));
    if (!subdirs.value()) return false;
    for (const auto& s : *subdirs.value()) {
      auto has = dir_has_prefixed_file(fs, dir + "/" + s, file_prefix);
      if (!has.ok()) return Err(FileStoreError::io_error(dir + "/" + s, has.error()));
      if (has.value()) return true;
    }
    return false;
  };
  const std::string mdir = mls_root + "/" + std::string(ns),
                    sdir = state_root + "/" + std::string(ns);
  auto identity = holds(mdir, "c_", "e_");
  if (!identity.ok()) return Err(identity.error());
  if (identity.value()) return {};
  auto state = holds(sdir, "t_", "k_");
  if (!state.ok()) return Err(state.error());
  if (state.value())
    return Err(FileStoreError::of(FileStoreError::Kind::StateWithoutIdentity, sdir, mls_root));
  return {};
}

Result<void, FileStoreError> pair_file_stores(SealedFileMlsStore& mls, SealedFileStateStore& state,
                                              const MlsPairingState& mls_pairing) {
  if (mls_pairing.kind == MlsPairingState::Kind::Present) {
    auto sid = state.read_pairing_id();
    if (!sid.ok()) return Err(sid.error());
    if (sid.value() && *sid.value() == mls_pairing.id) return {};
    return state.write_pairing_id(mls_pairing.id);
  }
  // State side first: a crash between the two writes leaves the MLS side
  // without an id, and the next opening simply pairs afresh.
  auto fresh = crypto::random_secret_32();
  if (!fresh.ok())
    return Err(
        FileStoreError::of(FileStoreError::Kind::KeyUnavailable, "secure random source failed"));
  if (auto r = state.write_pairing_id(fresh.value()); !r.ok()) return r;
  return mls.write_pairing_id(fresh.value());
}

Result<FileStorePair, FileStoreError> open_file_store_pair(FsOps& fs, const std::string& mls_root,
                                                           const std::string& state_root,
                                                           std::string_view app_id,
                                                           std::string_view user_id,
                                                           ByteView store_key) {
  using K = FileStoreError::Kind;
  const std::string ns = derive_storage_namespace(app_id, user_id);
  if (store_roots_overlap(mls_root, state_root)) return Err(FileStoreError::of(K::RootsOverlap));
  if (auto r = check_state_without_identity(fs, mls_root, state_root, ns); !r.ok())
    return Err(r.error());
  auto mdir = open_namespace_directory(fs, mls_root, ns);
  if (!mdir.ok()) return Err(mdir.error());
  auto mfd = lock_store_directory(fs, mdir.value(), kMlsLockFile);
  if (!mfd.ok()) return Err(mfd.error());
  auto key = validate_store_key(store_key);
  if (!key.ok()) {
    fs.close(mfd.value());
    return Err(FileStoreError::of(K::KeyUnavailable, key.error()));
  }
  FileStorePair pair;
  pair.mls = std::make_shared<SealedFileMlsStore>(
      fs, mdir.value(), derive_file_store_keys(key.value(), ns), mfd.value());
  if (auto r = pair.mls->open(); !r.ok()) return Err(r.error());
  auto sdir = open_namespace_directory(fs, state_root, ns);
  if (!sdir.ok()) return Err(sdir.error());
  auto sfd = lock_store_directory(fs, sdir.value(), kStateLockFile);
  if (!sfd.ok()) return Err(sfd.error());
  pair.state = std::make_shared<SealedFileStateStore>(fs, sdir.value(), sfd.value());
  if (store_roots_overlap(mls_root, state_root))
    return Err(FileStoreError::of(K::RootsOverlap, mls_root, state_root));
  auto pid = pair.mls->pairing_id();
  if (!pid.ok()) return Err(pid.error());
  auto has = state_store_has_records(fs, state_root, ns);
  if (!has.ok()) return Err(has.error());
  if (has.value()) {
    auto s = check_state_store_pairing(*pair.mls, *pair.state, pid.value());
    if (!s.ok()) return Err(s.error());
    if (auto r = report_damaged_record_key(s.value(), state_root, mls_root); !r.ok())
      return Err(r.error());
  }
  if (auto r = pair_file_stores(*pair.mls, *pair.state, pid.value()); !r.ok())
    return Err(r.error());
  return pair;
}

void close_file_store_pair(FileStorePair& pair) {
  if (pair.state) pair.state->handle().close();
  if (pair.mls) pair.mls->handle().close();
}

}  // namespace brenvik::store
