#include "store/store_handle.h"

#include <ctime>

#include "store/record_files.h"
#include "util/log.h"
#include "util/utf8.h"

namespace brenvik::store {

std::optional<std::unique_lock<std::mutex>> StoreHandle::lock() {
  std::unique_lock<std::mutex> g(mu_);
  if (!fd_) return std::nullopt;
  return std::optional<std::unique_lock<std::mutex>>(std::move(g));
}

void StoreHandle::close() {
  std::optional<int> fd;
  {
    std::lock_guard<std::mutex> g(mu_);
    fd.swap(fd_);
  }
  if (fd) fs_.close(*fd);
}

bool StoreSweepState::claim(const std::string& dir) {
  std::lock_guard<std::mutex> g(mu_);
  return swept_.insert(dir).second;
}

void sweep_stale_temporaries(FsOps& fs, StoreSweepState& state, const std::string& dir) {
  if (!state.claim(dir)) return;
  std::vector<std::string> temps;
  size_t seen = 0;
  fs.list_dir(dir, [&](const DirEntry& d) {
    ++seen;
    if (is_valid_utf8(d.name) && std::string_view(d.name).starts_with(kTempPrefix))
      temps.push_back(d.name);
    return seen < kMaxScanEntries && temps.size() < kMaxSweptTemporaries;
  });
  const int64_t now = int64_t(std::time(nullptr));
  for (const auto& name : temps) {
    std::string path = dir + "/" + name;
    struct stat st;
    if (fs.lstat(path, st) != 0) continue;
    int64_t mtime = int64_t(st.st_mtim.tv_sec);
    if (mtime > now || now - mtime < kStaleTemporarySeconds) continue;
    if (fs.unlink(path) == 0)
      BRENVIK_LOG(LogLevel::Debug, "brenvik_protocol::file_store::records",
                  {"message", "removed stale store temporary"}, {"name", name});
  }
}

}  // namespace brenvik::store
