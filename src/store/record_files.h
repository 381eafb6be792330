// What the two file stores share: the account namespace, the two roots, the
// file names, the plaintext framing of a record, and the file primitives
// (reading under a ceiling, atomic writing, removal, directory sync, scans).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/file_store_error.h"
#include "store/fs_ops.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::store {

// ---- Namespace and roots -------------------------------------------------

// "account-" + hex(SHA-256("brenvik-protocol-storage-v1" 0x00 app_id 0x00 user_id)).
std::string derive_storage_namespace(std::string_view app_id, std::string_view user_id);
// Exactly "account-" and 64 characters of 0-9a-f.
bool is_valid_storage_namespace(std::string_view ns);

// Absolute path: relative paths are joined to the current directory; the
// longest existing prefix is canonicalised and the rest appended with "."
// dropped and ".." removing the part before it.
std::string resolve_store_root(const std::string& path);
// True when, resolved, one root equals the other or lies inside it (whole
// path components).
bool store_roots_overlap(const std::string& mls_root, const std::string& state_root);

// ---- Names ---------------------------------------------------------------

inline constexpr size_t kMaxScanEntries = 65536;
inline constexpr std::string_view kTempPrefix = ".write-";

// prefix + hex(HMAC-SHA-256(names_key, len64(p0) p0 ... len64(pn-1) pn-1 pn)).
std::string record_file_name(std::string_view prefix, ByteView names_key,
                             std::initializer_list<std::string_view> parts);
std::string mls_type_dir_name(ByteView names_key, std::string_view key_type);
std::string mls_entry_file_name(ByteView names_key, std::string_view key_type,
                                std::string_view key_id);
// "t_" + hex(SHA-256(category 0x00)).
std::string state_category_dir(std::string_view category);
// "k_" + hex(SHA-256(category 0x00 key_id 0x00)).
std::string state_record_name(std::string_view category, std::string_view key_id);

// ---- Framing -------------------------------------------------------------

inline constexpr size_t kMaxFramedName = 4096;
inline constexpr size_t kMaxRecordValue = 8388608;
inline constexpr size_t kMaxFramingHeader = 8 + 2 * kMaxFramedName;  // 8200
inline constexpr size_t kMaxFraming = kMaxFramingHeader + kMaxRecordValue;
inline constexpr size_t kStateRecordCeiling = kMaxFraming;    // 8,396,808
inline constexpr size_t kMlsEntryCeiling = kMaxFraming + 32;  // 8,396,840
inline constexpr size_t kKeyCheckCeiling = 83;
inline constexpr size_t kMlsPairCeiling = 64;
inline constexpr size_t kStatePairCeiling = 32;

// "BPS1" | u16be L1 | u16be L2 | key type | key id | value. Refusals carry
// their host-facing text.
Result<Bytes, std::string> frame_record(std::string_view key_type, std::string_view key_id,
                                        ByteView value);

struct RecordFraming {
  std::string key_type;
  std::string key_id;
  size_t header_len = 0;  // the value starts here
};
// Needs only the header; nullopt when the framing is invalid.
std::optional<RecordFraming> parse_record_framing(ByteView bytes);

// ---- File primitives -----------------------------------------------------

struct FileAbsent {};
struct FileTooLarge {};
using ReadOutcome = std::variant<Bytes, FileAbsent, FileTooLarge, IoError>;

ReadOutcome read_record_file(FsOps& fs, const std::string& path, size_t ceiling);
// Reads at most the first `limit` bytes (listing reads only the header).
ReadOutcome read_file_prefix(FsOps& fs, const std::string& path, size_t limit);

// The seven-step atomic write. On every failure before the rename the
// temporary is removed. A failing directory sync after the rename is
// returned although the new content is in place.
Result<void, IoError> write_record_file(FsOps& fs, const std::string& dir, const std::string& path,
                                        ByteView bytes);

enum class Removed { Removed, WasAbsent };
Result<Removed, IoError> remove_record_file(FsOps& fs, const std::string& path);

// EINVAL and ENOTSUP count as success.
Result<void, IoError> sync_directory(FsOps& fs, const std::string& dir);

// True when dir holds a regular file whose name starts with prefix; a
// missing path or a non-directory is false.
Result<bool, IoError> dir_has_prefixed_file(FsOps& fs, const std::string& dir,
                                            std::string_view prefix);

// Lists the entries of dir whose names are UTF-8, start with prefix and have
// the wanted own type, at most kMaxScanEntries of them. nullopt when the
// directory does not exist.
Result<std::optional<std::vector<std::string>>, IoError> scan_prefixed(FsOps& fs,
                                                                       const std::string& dir,
                                                                       std::string_view prefix,
                                                                       EntryType type);

// mkdir -p with mode 0700, chmod 0700 on the directory itself (ignored when
// it fails), then a sync of the parent of every directory created.
Result<void, IoError> create_store_directory(FsOps& fs, const std::string& path);

// root/ns after creating it.
Result<std::string, FileStoreError> open_namespace_directory(FsOps& fs, const std::string& root,
                                                             std::string_view ns);

// Opens or creates dir/lock_name (never truncated, 0600) and takes an
// exclusive non-blocking flock. Returns the descriptor. Locked when held
// elsewhere; on a file system without locks, a WARN and an unlocked handle.
Result<int, FileStoreError> lock_store_directory(FsOps& fs, const std::string& dir,
                                                 std::string_view lock_name);

}  // namespace brenvik::store
