// BlockCache: the per-table cache of decoded blocks, keyed by block index and
// weighted by block data length.
//
// Sharded, each shard with its own lock and least-recently-used eviction
// within its share of the capacity. A missing block is loaded once: the loader
// runs under the shard's lock, so concurrent callers for the same index wait
// for the first one and receive its block.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>

#include "kesu/kv_store/block.h"

namespace kesu {

inline constexpr size_t kBlockCacheCapacity = 4u << 20;  // 4 MiB of decoded data

class BlockCache {
 public:
  explicit BlockCache(size_t capacity = kBlockCacheCapacity);
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // Returns the cached block, or calls `load` once to produce it and keeps
  // it when its weight fits the shard. `load` must not call back into the cache.
  BlockPtr get_or_insert(size_t index, const std::function<BlockPtr()>& load);
  // Inserts a block already decoded elsewhere (replacing nothing if present).
  void insert(size_t index, BlockPtr block);
  // Cached block or null.
  BlockPtr get(size_t index);

  size_t total_weight() const;
  size_t entry_count() const;

 private:
  static constexpr size_t kShards = 8;
  struct Entry {
    BlockPtr block;
    size_t weight;
    std::list<size_t>::iterator lru_pos;
  };
  struct Shard {
    mutable std::mutex mu;
    std::unordered_map<size_t, Entry> map;
    std::list<size_t> lru;  // front = most recently used
    size_t weight = 0;
  };
  Shard& shard_for(size_t index) { return shards_[index % kShards]; }
  void insert_locked(Shard& s, size_t index, BlockPtr block);

  size_t shard_capacity_;
  Shard shards_[kShards];
};

}  // namespace kesu
