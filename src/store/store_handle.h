// StoreHandle: the mutex around a file store's lock-file descriptor, and
// StoreSweepState with the once-per-directory sweep of stale temporaries.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "store/fs_ops.h"

namespace brenvik::store {

// std::mutex does not poison, which is what the store wants: the handle is
// only a descriptor, and an earlier holder's failure leaves nothing broken.
class StoreHandle {
 public:
  StoreHandle(FsOps& fs, int fd) : fs_(fs), fd_(fd) {}
  ~StoreHandle() { close(); }
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;

  // The held mutex while the store is open; nullopt (mutex released) once
  // it is closed.
  std::optional<std::unique_lock<std::mutex>> lock();
  // Takes the descriptor out and closes it, releasing the advisory lock.
  // Closing a closed handle does nothing.
  void close();

 private:
  FsOps& fs_;
  std::mutex mu_;
  std::optional<int> fd_;
};

inline std::optional<std::unique_lock<std::mutex>> lock_store_handle(StoreHandle& h) {
  return h.lock();
}
inline void close_store_handle(StoreHandle& h) {
  h.close();
}

// Age at which a temporary counts as abandoned: older than 299 whole seconds.
inline constexpr int64_t kStaleTemporarySeconds = 300;
inline constexpr size_t kMaxSweptTemporaries = 4096;

class StoreSweepState {
 public:
  // True the first time dir is offered (the caller then sweeps it).
  bool claim(const std::string& dir);

 private:
  std::mutex mu_;
  std::set<std::string> swept_;
};

// Removes ".write-" entries of dir modified 300 s or more ago, once per
// directory per store; never fails and never reports a failure.
void sweep_stale_temporaries(FsOps& fs, StoreSweepState& state, const std::string& dir);

}  // namespace brenvik::store
