#include "store/fs_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brenvik::store {

int FsOps::open(const std::string& path, int flags, mode_t mode, int& fd) {
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? errno : 0;
}

int FsOps::read(int fd, void* buf, size_t n, size_t& got) {
  ssize_t r;
  do {
    r = ::read(fd, buf, n);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return errno;
  got = size_t(r);
  return 0;
}

int FsOps::write(int fd, const void* buf, size_t n, size_t& written) {
  ssize_t r = ::write(fd, buf, n);
  if (r < 0) return errno;
  written = size_t(r);
  return 0;
}

int FsOps::fsync(int fd) {
  return ::fsync(fd) < 0 ? errno : 0;
}
// A close interrupted by a signal has released the descriptor on Linux; it
// must not be retried.
int FsOps::close(int fd) {
  return ::close(fd) < 0 && errno != EINTR ? errno : 0;
}
int FsOps::fstat(int fd, struct stat& st) {
  return ::fstat(fd, &st) < 0 ? errno : 0;
}
int FsOps::lstat(const std::string& p, struct stat& st) {
  return ::lstat(p.c_str(), &st) < 0 ? errno : 0;
}
int FsOps::stat(const std::string& p, struct stat& st) {
  return ::stat(p.c_str(), &st) < 0 ? errno : 0;
}
int FsOps::rename(const std::string& a, const std::string& b) {
  return ::rename(a.c_str(), b.c_str()) < 0 ? errno : 0;
}
int FsOps::unlink(const std::string& p) {
  return ::unlink(p.c_str()) < 0 ? errno : 0;
}
int FsOps::mkdir(const std::string& p, mode_t m) {
  return ::mkdir(p.c_str(), m) < 0 ? errno : 0;
}
int FsOps::chmod(const std::string& p, mode_t m) {
  return ::chmod(p.c_str(), m) < 0 ? errno : 0;
}

int FsOps::sync_dir(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::fsync(fd) < 0 ? errno : 0;
  ::close(fd);
  return err;
}

int FsOps::lock_exclusive(int fd) {
  // flock, never fcntl record locks: two descriptors of one file conflict
  // even inside one process, and closing an unrelated descriptor of the
  // file does not drop the lock.
  int r;
  do {
    r = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? errno : 0;
}

int FsOps::list_dir(const std::string& path, const std::function<bool(const DirEntry&)>& visit) {
  DIR* d = ::opendir(path.c_str());
  if (!d) return errno;
  int err = 0;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (!e) {
      err = errno;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry{e->d_name, EntryType::Other};
    unsigned char t = e->d_type;
    if (t == DT_UNKNOWN) {
      struct stat st;
      if (this->lstat(path + "/" + entry.name, st) == 0)
        t = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
    }
    entry.type = t == DT_REG   ? EntryType::Regular
                 : t == DT_DIR ? EntryType::Directory
                               : EntryType::Other;
    if (!visit(entry)) break;
  }
  ::closedir(d);
  return err;
}

FsOps& real_fs() {
  static FsOps fs;
  return fs;
}

}  // namespace brenvik::store
