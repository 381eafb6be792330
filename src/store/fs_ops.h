// FsOps: the one seam through which the file stores reach the file system.
// Every call the stores make (create, read, write, fsync, close, rename,
// unlink, mkdir, chmod, directory sync, directory listing, lstat, locking)
// goes through it, so that tests can fail or crash at a chosen call without
// any branch in the store code. Each call returns 0 or a positive errno.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace brenvik::store {

enum class EntryType : uint8_t { Regular, Directory, Other };

struct DirEntry {
  std::string name;  // raw bytes of the name, not necessarily UTF-8
  EntryType type;    // the entry's own type: a symbolic link is Other
};

class FsOps {
 public:
  virtual ~FsOps() = default;

  virtual int open(const std::string& path, int flags, mode_t mode, int& fd);
  virtual int read(int fd, void* buf, size_t n, size_t& got);
  virtual int write(int fd, const void* buf, size_t n, size_t& written);
  virtual int fsync(int fd);
  virtual int close(int fd);
  virtual int fstat(int fd, struct stat& st);
  virtual int lstat(const std::string& path, struct stat& st);
  virtual int stat(const std::string& path, struct stat& st);
  virtual int rename(const std::string& from, const std::string& to);
  virtual int unlink(const std::string& path);
  virtual int mkdir(const std::string& path, mode_t mode);
  virtual int chmod(const std::string& path, mode_t mode);
  // Opens the directory, flushes it to disk and closes it.
  virtual int sync_dir(const std::string& path);
  // Exclusive, non-blocking advisory lock on the whole open file (flock).
  virtual int lock_exclusive(int fd);
  // Calls visit for every entry except "." and ".." until it returns false.
  // An error opening the directory or reading an entry is returned.
  virtual int list_dir(const std::string& path, const std::function<bool(const DirEntry&)>& visit);
};

// The real file system; shared, stateless.
FsOps& real_fs();

}  // namespace brenvik::store
