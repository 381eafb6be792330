// KvWrapper: a shared handle on one KvStore behind one mutex.
//
// Copies share the same store. Every operation takes the lock, makes exactly
// one store call (or one scan pass) and releases it, never calling other
// engine code while holding it, so callers may hold their own locks around
// these calls. If a store call ever throws (a bug), the lock is marked
// poisoned and every later operation stops with "poisoned mutex".
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "kesu/kv_store/kv_store.h"

namespace kesu {

class KvWrapper {
 public:
  explicit KvWrapper(std::unique_ptr<KvStore> store);

  std::optional<SharedBytes> get(ByteView key) const;
  // Stores the encoded frontiers under the key "fr", replacing any earlier value.
  void set_frontiers(const SharedBytes& encoded);
  std::optional<SharedBytes> remove(const SharedBytes& key);
  bool is_empty() const;
  SharedBytes export_all();
  brenvik::Result<void, std::string> import_all(const SharedBytes& bytes);
  // Every live pair, in ascending key order.
  std::vector<KvPair> scan_all() const;
  // Removes every key not in `keep` (keys in keep that the store lacks are ignored).
  void retain_keys(const std::set<Bytes, BytesLess>& keep);

  // Runs `f` on the store under the lock, for callers that need one store
  // operation not listed above (a bounded scan, a compare-and-swap).
  template <typename F>
  auto with_store(F&& f) const {
    Guard g(*shared_);
    return std::forward<F>(f)(static_cast<KvStore&>(*shared_->store));
  }

  bool shares_store_with(const KvWrapper& other) const { return shared_ == other.shared_; }

 private:
  struct Shared {
    std::mutex mu;
    bool poisoned = false;
    std::unique_ptr<KvStore> store;
  };
  // Locks, refusing a poisoned lock; marks it poisoned when released while
  // an exception unwinds through the holder.
  class Guard {
   public:
    explicit Guard(Shared& s);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    Shared& s_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_entry_;
  };

  std::shared_ptr<Shared> shared_;
};

}  // namespace kesu
