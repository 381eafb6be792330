#include "store/record_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "crypto/random.h"
#include "crypto/sha256.h"
#include "util/hex.h"
#include "util/log.h"
#include "util/utf8.h"

namespace brenvik::store {
namespace {

constexpr std::string_view kRecordsTarget = "brenvik_protocol::file_store::records";
constexpr std::string_view kNamespacePrefix = "account-";
constexpr std::string_view kFramingMagic = "BPS1";
// Temporary-name collisions tolerated in a row before giving up.
constexpr int kTempNameAttempts = 8;

void put_len64(Bytes& out, size_t n) {
  put_u64_be(out, uint64_t(n));
}

}  // namespace

std::string derive_storage_namespace(std::string_view app_id, std::string_view user_id) {
  const uint8_t zero = 0;
  auto d = crypto::sha256({as_bytes("brenvik-protocol-storage-v1"), ByteView(&zero, 1),
                           as_bytes(app_id), ByteView(&zero, 1), as_bytes(user_id)});
  return std::string(kNamespacePrefix) + hex_encode(d);
}

bool is_valid_storage_namespace(std::string_view ns) {
  if (ns.size() != 72 || ns.substr(0, 8) != kNamespacePrefix) return false;
  return std::all_of(ns.begin() + 8, ns.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string resolve_store_root(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path p(path);
  std::error_code ec;
  if (p.is_relative()) {
    fs::path cwd = fs::current_path(ec);
    if (!ec) p = cwd / p;
  }
  // Split into components; find the longest existing prefix.
  std::vector<fs::path> parts(p.begin(), p.end());
  size_t existing = 0;
  fs::path prefix;
  for (size_t i = 0; i < parts.size(); ++i) {
    fs::path next = prefix / parts[i];
    if (!fs::exists(next, ec)) break;
    prefix = next;
    existing = i + 1;
  }
  fs::path out = existing ? fs::canonical(prefix, ec) : fs::path();
  if (ec) out = prefix;
  for (size_t i = existing; i < parts.size(); ++i) {
    const auto& c = parts[i];
    if (c == "." || c.empty()) continue;
    if (c == "..") {
      if (out.has_relative_path()) out = out.parent_path();
      continue;
    }
    out /= c;
  }
  std::string s = out.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool store_roots_overlap(const std::string& mls_root, const std::string& state_root) {
  std::string a = resolve_store_root(mls_root), b = resolve_store_root(state_root);
  auto inside = [](const std::string& outer, const std::string& inner) {
    if (inner == outer) return true;
    if (outer == "/") return true;
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
           inner[outer.size()] == '/';
  };
  return inside(a, b) || inside(b, a);
}

std::string record_file_name(std::string_view prefix, ByteView names_key,
                             std::initializer_list<std::string_view> parts) {
  Bytes msg;
  size_t i = 0;
  for (auto p : parts) {
    if (++i < parts.size()) put_len64(msg, p.size());
    append(msg, as_bytes(p));
  }
  return std::string(prefix) + hex_encode(crypto::hmac_sha256(names_key, msg));
}

std::string mls_type_dir_name(ByteView names_key, std::string_view key_type) {
  return record_file_name("c_", names_key, {"type", key_type});
}

std::string mls_entry_file_name(ByteView names_key, std::string_view key_type,
                                std::string_view key_id) {
  return record_file_name("e_", names_key, {"entry", key_type, key_id});
}

std::string state_category_dir(std::string_view category) {
  const uint8_t zero = 0;
  return "t_" + hex_encode(crypto::sha256({as_bytes(category), ByteView(&zero, 1)}));
}

std::string state_record_name(std::string_view category, std::string_view key_id) {
  const uint8_t zero = 0;
  return "k_" + hex_encode(crypto::sha256({as_bytes(category), ByteView(&zero, 1), as_bytes(key_id),
                                           ByteView(&zero, 1)}));
}

Result<Bytes, std::string> frame_record(std::string_view key_type, std::string_view key_id,
                                        ByteView value) {
  if (key_type.size() > kMaxFramedName || key_id.size() > kMaxFramedName)
    return Err("key type or key id exceeds " + std::to_string(kMaxFramedName) + " bytes");
  if (value.size() > kMaxRecordValue)
    return Err("record is " + std::to_string(value.size()) + " bytes, over the " +
               std::to_string(kMaxRecordValue) + " byte limit");
  Bytes out;
  out.reserve(8 + key_type.size() + key_id.size() + value.size());
  append(out, as_bytes(kFramingMagic));
  put_u16_be(out, uint16_t(key_type.size()));
  put_u16_be(out, uint16_t(key_id.size()));
  append(out, as_bytes(key_type));
  append(out, as_bytes(key_id));
  append(out, value);
  return out;
}

std::optional<RecordFraming> parse_record_framing(ByteView b) {
  if (b.size() < 8 || as_chars(b.first(4)) != kFramingMagic) return std::nullopt;
  size_t l1 = (size_t(b[4]) << 8) | b[5], l2 = (size_t(b[6]) << 8) | b[7];
  if (l1 > kMaxFramedName || l2 > kMaxFramedName || b.size() < 8 + l1 + l2) return std::nullopt;
  std::string_view type = as_chars(b.subspan(8, l1)), id = as_chars(b.subspan(8 + l1, l2));
  if (!is_valid_utf8(type) || !is_valid_utf8(id)) return std::nullopt;
  return RecordFraming{std::string(type), std::string(id), 8 + l1 + l2};
}

namespace {

ReadOutcome read_limited(FsOps& fs, const std::string& path, size_t ceiling, bool prefix_only) {
  int fd = -1;
  if (int e = fs.open(path, O_RDONLY, 0, fd); e != 0) {
    if (e == ENOENT) return FileAbsent{};
    return IoError::from_errno(e);
  }
  struct stat st;
  if (int e = fs.fstat(fd, st); e != 0) {
    fs.close(fd);
    return IoError::from_errno(e);
  }
  if (!prefix_only && uint64_t(st.st_size) > ceiling) {
    fs.close(fd);
    return FileTooLarge{};
  }
  size_t want = prefix_only ? ceiling : ceiling + 1;
  Bytes out(std::min<uint64_t>(want, uint64_t(st.st_size) + 1));
  size_t have = 0;
  for (;;) {
    if (have == out.size()) {
      if (out.size() >= want) break;
      out.resize(std::min(want, out.size() * 2 + 64));
    }
    size_t got = 0;
    if (int e = fs.read(fd, out.data() + have, out.size() - have, got); e != 0) {
      fs.close(fd);
      return IoError::from_errno(e);
    }
    if (got == 0) break;
    have += got;
  }
  fs.close(fd);
  if (!prefix_only && have > ceiling) return FileTooLarge{};  // grew meanwhile
  out.resize(have);
  return out;
}

}  // namespace

ReadOutcome read_record_file(FsOps& fs, const std::string& path, size_t ceiling) {
  return read_limited(fs, path, ceiling, false);
}

ReadOutcome read_file_prefix(FsOps& fs, const std::string& path, size_t limit) {
  return read_limited(fs, path, limit, true);
}

Result<void, IoError> write_record_file(FsOps& fs, const std::string& dir, const std::string& path,
                                        ByteView bytes) {
  // Steps 1-2: a fresh temporary name, created exclusively.
  std::string tmp;
  int fd = -1;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kTempNameAttempts)
      return Err(IoError::custom(EEXIST, "could not create a unique temporary file"));
    uint8_t rnd[12];
    if (auto r = crypto::random_fill(rnd); !r.ok())
      return Err(IoError::custom(EIO, "secure random source failed"));
    tmp = dir + "/" + std::string(kTempPrefix) + hex_encode(ByteView(rnd, sizeof rnd));
    int e = fs.open(tmp, O_WRONLY | O_CREAT | O_EXCL, 0600, fd);
    if (e == 0) break;
    if (e != EEXIST) return Err(IoError::from_errno(e));
  }
  auto fail = [&](IoError err, bool open) -> Result<void, IoError> {
    if (open) fs.close(fd);
    fs.unlink(tmp);
    return Err(std::move(err));
  };
  // Step 3: every byte, retrying interrupted writes.
  size_t done = 0;
  while (done < bytes.size()) {
    size_t n = 0;
    int e = fs.write(fd, bytes.data() + done, bytes.size() - done, n);
    if (e == EINTR) continue;
    if (e != 0) return fail(IoError::from_errno(e), true);
    if (n == 0) return fail(IoError::custom(EIO, "failed to write whole buffer"), true);
    done += n;
  }
  // Step 4-5: flush, close (a failing close may have lost data), rename.
  if (int e = fs.fsync(fd); e != 0) return fail(IoError::from_errno(e), true);
  if (int e = fs.close(fd); e != 0) return fail(IoError::from_errno(e), false);
  if (int e = fs.rename(tmp, path); e != 0) return fail(IoError::from_errno(e), false);
  // Step 7: the new file is in place whatever the directory sync answers.
  return sync_directory(fs, dir);
}

Result<Removed, IoError> remove_record_file(FsOps& fs, const std::string& path) {
  if (int e = fs.unlink(path); e != 0) {
    if (e == ENOENT) return Removed::WasAbsent;
    return Err(IoError::from_errno(e));
  }
  auto parent = std::filesystem::path(path).parent_path().string();
  if (auto r = sync_directory(fs, parent.empty() ? "." : parent); !r.ok()) return Err(r.error());
  return Removed::Removed;
}

Result<void, IoError> sync_directory(FsOps& fs, const std::string& dir) {
  int e = fs.sync_dir(dir);
  if (e == 0 || e == EINVAL || e == ENOTSUP) return {};
  return Err(IoError::from_errno(e));
}

Result<bool, IoError> dir_has_prefixed_file(FsOps& fs, const std::string& dir,
                                            std::string_view prefix) {
  bool found = false;
  int e = fs.list_dir(dir, [&](const DirEntry& d) {
    if (d.type == EntryType::Regular && std::string_view(d.name).starts_with(prefix) &&
        is_valid_utf8(d.name)) {
      found = true;
      return false;
    }
    return true;
  });
  if (e == ENOENT || e == ENOTDIR) return false;
  if (e != 0) return Err(IoError::from_errno(e));
  return found;
}

Result<std::optional<std::vector<std::string>>, IoError> scan_prefixed(FsOps& fs,
                                                                       const std::string& dir,
                                                                       std::string_view prefix,
                                                                       EntryType type) {
  std::vector<std::string> names;
  int e = fs.list_dir(dir, [&](const DirEntry& d) {
    if (!is_valid_utf8(d.name) || !std::string_view(d.name).starts_with(prefix)) return true;
    if (d.type == type) names.push_back(d.name);
    // Only entries with the expected prefix count toward the limit.
    return names.size() < kMaxScanEntries;
  });
  if (e == ENOENT) return std::optional<std::vector<std::string>>();
  if (e != 0) return Err(IoError::from_errno(e));
  return std::optional<std::vector<std::string>>(std::move(names));
}

Result<void, IoError> create_store_directory(FsOps& fs, const std::string& path) {
  namespace sfs = std::filesystem;
  std::vector<std::string> missing;
  sfs::path p(path);
  for (;;) {
    struct stat st;
    if (fs.stat(p.string(), st) == 0) break;
    missing.push_back(p.string());
    if (!p.has_relative_path() || p.parent_path() == p) break;
    p = p.parent_path();
    if (p.empty()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    int e = fs.mkdir(*it, 0700);
    if (e != 0 && e != EEXIST) return Err(IoError::from_errno(e));
  }
  fs.chmod(path, 0700);  // a directory that already existed gets 0700 too
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    auto parent = sfs::path(*it).parent_path().string();
    if (auto r = sync_directory(fs, parent.empty() ? "." : parent); !r.ok()) return r;
  }
  return {};
}

Result<std::string, FileStoreError> open_namespace_directory(FsOps& fs, const std::string& root,
                                                             std::string_view ns) {
  if (!is_valid_storage_namespace(ns)) return Err(FileStoreError::invalid_namespace());
  std::string dir = root + "/" + std::string(ns);
  if (auto r = create_store_directory(fs, dir); !r.ok())
    return Err(FileStoreError::io_error(dir, r.error()));
  return dir;
}

Result<int, FileStoreError> lock_store_directory(FsOps& fs, const std::string& dir,
                                                 std::string_view lock_name) {
  std::string path = dir + "/" + std::string(lock_name);
  int fd = -1;
  if (int e = fs.open(path, O_RDWR | O_CREAT, 0600, fd); e != 0)
    return Err(FileStoreError::io_error(path, IoError::from_errno(e)));
  int e = fs.lock_exclusive(fd);
  if (e == 0) return fd;
  if (e == EWOULDBLOCK) {
    fs.close(fd);
    return Err(FileStoreError::of(FileStoreError::Kind::Locked, dir));
  }
  BRENVIK_LOG(LogLevel::Warn, kRecordsTarget,
              {"message",
               "store directory cannot be locked on this filesystem; a second store over "
               "it will not be refused"},
              {"path", path}, {"error", IoError::from_errno(e).text});
  return fd;
}

}  // namespace brenvik::store
