// Taking an engine lock: a lock left poisoned by a failed holder stops the
// engine with "poisoned " and the lock's label, since the data it guards may
// be half changed.
#pragma once

#include <string>
#include <string_view>

#include "kesu/common/internal_error.h"
#include "util/sync.h"

namespace kesu {

inline constexpr std::string_view kMutexLabel = "mutex";
inline constexpr std::string_view kRwLockLabel = "rwlock";

template <typename T>
typename brenvik::Mutex<T>::Guard lock_engine(brenvik::Mutex<T>& m) {
  auto g = m.lock();
  if (m.is_poisoned()) throw InternalError("poisoned " + std::string(kMutexLabel));
  return g;
}
template <typename T>
typename brenvik::RwLock<T>::ReadGuard read_engine(brenvik::RwLock<T>& l) {
  auto g = l.read();
  if (l.is_poisoned()) throw InternalError("poisoned " + std::string(kRwLockLabel));
  return g;
}
template <typename T>
typename brenvik::RwLock<T>::WriteGuard write_engine(brenvik::RwLock<T>& l) {
  auto g = l.write();
  if (l.is_poisoned()) throw InternalError("poisoned " + std::string(kRwLockLabel));
  return g;
}

}  // namespace kesu
