#include "kesu/kv_store/block_cache.h"

namespace kesu {

BlockCache::BlockCache(size_t capacity) : shard_capacity_(capacity / kShards) {}

void BlockCache::insert_locked(Shard& s, size_t index, BlockPtr block) {
  if (s.map.count(index) != 0) return;
  const size_t w = block->weight();
  if (w > shard_capacity_) return;  // would evict everything and still not fit
  s.lru.push_front(index);
  s.map.emplace(index, Entry{std::move(block), w, s.lru.begin()});
  s.weight += w;
  while (s.weight > shard_capacity_ && !s.lru.empty()) {
    const size_t victim = s.lru.back();
    s.lru.pop_back();
    auto it = s.map.find(victim);
    s.weight -= it->second.weight;
    s.map.erase(it);
  }
}

BlockPtr BlockCache::get(size_t index) {
  Shard& s = shard_for(index);
  std::lock_guard lock(s.mu);
  auto it = s.map.find(index);
  if (it == s.map.end()) return nullptr;
  s.lru.splice(s.lru.begin(), s.lru, it->second.lru_pos);
  return it->second.block;
}

BlockPtr BlockCache::get_or_insert(size_t index, const std::function<BlockPtr()>& load) {
  Shard& s = shard_for(index);
  std::lock_guard lock(s.mu);
  auto it = s.map.find(index);
  if (it != s.map.end()) {
    s.lru.splice(s.lru.begin(), s.lru, it->second.lru_pos);
    return it->second.block;
  }
  BlockPtr block = load();
  insert_locked(s, index, block);
  return block;
}

void BlockCache::insert(size_t index, BlockPtr block) {
  Shard& s = shard_for(index);
  std::lock_guard lock(s.mu);
  insert_locked(s, index, std::move(block));
}

size_t BlockCache::total_weight() const {
  size_t w = 0;
  for (const Shard& s : shards_) {
    std::lock_guard lock(s.mu);
    w += s.weight;
  }
  return w;
}

size_t BlockCache::entry_count() const {
  size_t n = 0;
  for (const Shard& s : shards_) {
    std::lock_guard lock(s.mu);
    n += s.map.size();
  }
  return n;
}

}  // namespace kesu
