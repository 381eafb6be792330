// Test helpers of the store area: a temporary directory, a file system that
// fails or crashes at a chosen call, and a byte-exact snapshot of a tree.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "store/fs_ops.h"
#include "util/bytes.h"

namespace brenvik::store::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "brenvik-store-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

enum class Op { Open, Write, Fsync, Close, Rename, Unlink, SyncDir, Mkdir, Lock };

// Fails (with err) or crashes the process (_exit) at the at-th call of op
// (counting from 1); every other call goes to the real file system.
class FaultyFs : public FsOps {
 public:
  enum class Action { Fail, Crash };
  Op op = Op::Open;
  int at = 0;
  Action action = Action::Fail;
  int err = EIO;
  // Only calls on paths containing this text count (empty: all).
  std::string path_filter;

  int open(const std::string& p, int f, mode_t m, int& fd) override {
    return run(Op::Open, p, [&] { return FsOps::open(p, f, m, fd); });
  }
  int write(int fd, const void* b, size_t n, size_t& w) override {
    // Writes in two halves so that "each write" is more than one call.
    return run(Op::Write, "", [&] { return FsOps::write(fd, b, n > 1 ? n / 2 : n, w); });
  }
  int fsync(int fd) override {
    return run(Op::Fsync, "", [&] { return FsOps::fsync(fd); });
  }
  int close(int fd) override {
    int r = run(Op::Close, "", [&] { return FsOps::close(fd); });
    if (r == err && failing_) FsOps::close(fd);  // the descriptor is gone either way
    return r;
  }
  int rename(const std::string& a, const std::string& b) override {
    return run(Op::Rename, b, [&] { return FsOps::rename(a, b); });
  }
  int unlink(const std::string& p) override {
    return run(Op::Unlink, p, [&] { return FsOps::unlink(p); });
  }
  int sync_dir(const std::string& p) override {
    return run(Op::SyncDir, p, [&] { return FsOps::sync_dir(p); });
  }
  int mkdir(const std::string& p, mode_t m) override {
    return run(Op::Mkdir, p, [&] { return FsOps::mkdir(p, m); });
  }
  int lock_exclusive(int fd) override {
    return run(Op::Lock, "", [&] { return FsOps::lock_exclusive(fd); });
  }

 private:
  // Fail: the call is not made and err returned. Crash: the call is made,
  // then the process ends, as a power cut right after that step.
  template <typename F>
  int run(Op o, const std::string& p, F real) {
    failing_ = false;
    if (o == op && at != 0 &&
        (path_filter.empty() || p.empty() || p.find(path_filter) != std::string::npos) &&
        ++count_ == at) {
      if (action == Action::Fail) {
        failing_ = true;
        return err;
      }
      real();
      ::_exit(0);
    }
    return real();
  }
  bool failing_ = false;
  int count_ = 0;
};

inline Bytes read_file(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline void write_file(const std::string& p, ByteView b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// Every regular file below root with its bytes; lock files left out.
inline std::map<std::string, Bytes> snapshot(const std::string& root) {
  std::map<std::string, Bytes> out;
  std::error_code ec;
  if (!std::filesystem::exists(root)) return out;
  for (auto& e : std::filesystem::recursive_directory_iterator(root, ec)) {
    if (!e.is_regular_file()) continue;
    auto name = e.path().filename().string();
    if (name.ends_with(".lock")) continue;
    out[e.path().string()] = read_file(e.path().string());
  }
  return out;
}

inline size_t count_temporaries(const std::string& dir) {
  size_t n = 0;
  for (auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().starts_with(".write-")) ++n;
  return n;
}

}  // namespace brenvik::store::testing
