#include "kesu/change_store/change_store.h"
#include "kesu/shared_arena/engine_lock.h"

namespace kesu {

void ChangeStore::restore_backup(const BlockBackup& backup) {
  auto in = lock_engine(s_->inner);
  for (auto it = in->inner_kv.begin(); it != in->inner_kv.end();) {
    if (it->first.counter >= backup.vv.get(it->first.peer)) {
      in->by_lamport.erase({it->first.peer, it->second->lamport_range().first, it->first.counter});
      it = in->inner_kv.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [key, block] : backup.blocks) in->put(key, block);
}

}  // namespace kesu
