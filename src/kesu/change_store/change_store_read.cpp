// Finding, loading and reading blocks of the change store.
#include <algorithm>

#include "kesu/change_store/block_encode.h"
#include "kesu/change_store/change_store.h"
#include "kesu/change_store/store_log.h"
#include "kesu/common/internal_error.h"
#include "kesu/shared_arena/engine_lock.h"

namespace kesu {

namespace {

Bytes key_of(ID id) {
  auto a = id.to_bytes();
  return Bytes(a.begin(), a.end());
}

KeyBound key_bound(const IdBound& b) {
  switch (b.kind) {
    case IdBound::Kind::Included:
      return KeyBound::included(key_of(b.id));
    case IdBound::Kind::Excluded:
      return KeyBound::excluded(key_of(b.id));
    case IdBound::Kind::Unbounded:
      break;
  }
  return KeyBound::unbounded();
}

std::optional<ID> block_key(const SharedBytes& key) {
  if (key.size() != 12) return std::nullopt;
  auto id = ID::from_bytes(key.view());
  if (!id.ok()) return std::nullopt;
  return *id;
}

Counter mid(int64_t a, int64_t b) {
  return Counter((a + b) / 2);
}

constexpr int kMaxSearchIterations = 128;
constexpr int64_t kWalkDistance = 4096;
constexpr int64_t kLamportJump = 32'768;

}  // namespace

std::optional<BlockChangeRef> ChangeStore::get_block(ID id) {
  std::shared_ptr<const ChangeBlock> found;
  {
    auto in = lock_engine(s_->inner);
    auto& kv = in->inner_kv;
    auto it = kv.upper_bound(id);
    if (it != kv.begin() && std::prev(it)->second->contains(id)) {
      ChangeBlockPtr& slot = std::prev(it)->second;
      auto parsed = ChangeBlock::parse(slot, s_->arena);
      if (!parsed.ok()) {
        log_block_warning("failed to parse cached change block", "block_id", slot->id(),
                          parsed.error());
        return std::nullopt;
      }
      found = slot;
    } else {
      auto ext = lock_engine(s_->external_kv);
      auto scan = (*ext)->scan(KeyBound::unbounded(), KeyBound::included(key_of(id)));
      std::optional<KvPair> pair;
      std::optional<ID> key;
      while ((pair = scan->next_back()))
        if ((key = block_key(pair->key))) break;
      if (!key) return std::nullopt;
      auto block = ChangeBlock::from_bytes(pair->value);
      if (!block.ok()) {
        log_block_warning("failed to decode external change block", "block_id", *key,
                          block.error());
        return std::nullopt;
      }
      ChangeBlockPtr b = std::move(block).value();
      if (!b->contains(id)) return std::nullopt;
      auto parsed = ChangeBlock::parse(b, s_->arena);
      if (!parsed.ok()) {
        log_block_warning("failed to parse external change block", "block_id", *key,
                          parsed.error());
        return std::nullopt;
      }
      in->put(*key, b);
      found = b;
    }
  }
  auto [hit, index] = found->change_index_by_counter(id.counter);
  if (!hit) {
    // A block whose changes do not cover what its header claims.
    log_store_warning("change block does not cover its counter range");
    return std::nullopt;
  }
  return BlockChangeRef{found, index};
}

void ChangeStore::load_block_range(IdBound start, IdBound end) {
  auto in = lock_engine(s_->inner);
  load_block_range_locked(*in, start, end);
}

void ChangeStore::load_block_range_locked(Inner& in, IdBound start, IdBound end) {
  std::optional<ID> start_id;
  if (start.kind == IdBound::Kind::Included) start_id = start.id;
  if (start.kind == IdBound::Kind::Excluded)
    start_id = ID{start.id.peer, start.id.counter == INT32_MAX ? INT32_MAX : start.id.counter + 1};
  bool start_seen = false;
  {
    auto ext = lock_engine(s_->external_kv);
    auto scan = (*ext)->scan(key_bound(start), key_bound(end));
    while (auto pair = scan->next()) {
      auto key = block_key(pair->key);
      if (!key) continue;
      if (start_id && *key == *start_id) start_seen = true;
      if (in.inner_kv.contains(*key)) continue;
      auto block = ChangeBlock::from_bytes(pair->value);
      if (!block.ok()) {
        log_block_warning("failed to decode external change block", "id", *key, block.error());
        continue;
      }
      in.put(*key, std::move(block).value());
    }
  }
  if (start_id && !start_seen) load_preceding_block_locked(in, *start_id);
}

void ChangeStore::load_preceding_block(ID id) {
  auto in = lock_engine(s_->inner);
  load_preceding_block_locked(*in, id);
}

void ChangeStore::load_preceding_block_locked(Inner& in, ID id) {
  auto ext = lock_engine(s_->external_kv);
  auto scan = (*ext)->scan(KeyBound::unbounded(), KeyBound::included(key_of(id)));
  while (auto pair = scan->next_back()) {
    auto key = block_key(pair->key);
    if (!key) continue;
    if (key->peer != id.peer || in.inner_kv.contains(*key)) return;
    auto block = ChangeBlock::from_bytes(pair->value);
    if (!block.ok()) {
      log_block_warning("failed to decode external change block", "next_back_id", *key,
                        block.error());
      return;
    }
    in.put(*key, std::move(block).value());
    return;
  }
}

std::optional<BlockChangeRef> ChangeStore::answer_from_memory(Inner& in, ID key, Lamport target,
                                                              const char* warning) {
  ChangeBlockPtr& slot = in.inner_kv.at(key);
  auto parsed = ChangeBlock::parse(slot, s_->arena);
  if (!parsed.ok()) {
    log_block_warning(warning, "block_id", key, parsed.error());
    return std::nullopt;
  }
  auto i = slot->change_index_by_lamport_lte(target);
  if (!i) return std::nullopt;
  return BlockChangeRef{slot, *i};
}

std::optional<BlockChangeRef> ChangeStore::get_change_by_lamport_lte(PeerID peer, Lamport target) {
  auto in = lock_engine(s_->inner);
  auto& kv = in->inner_kv;
  // A cursor over the blocks with keys in [(peer, a), (peer, b)), handed out
  // from the highest key down.
  using It = std::map<ID, ChangeBlockPtr>::iterator;
  It cur;
  ID lo_key;
  bool exhausted = false;
  auto restart = [&](Counter a, Counter b) {
    lo_key = ID{peer, a};
    cur = kv.lower_bound(ID{peer, b});
    exhausted = false;
  };
  auto next = [&]() -> std::optional<It> {
    if (exhausted || cur == kv.begin()) return std::nullopt;
    It p = std::prev(cur);
    if (p->first < lo_key) {
      exhausted = true;
      return std::nullopt;
    }
    cur = p;
    return p;
  };

  // In memory, the last block of the peer starting at or below the target
  // answers when nothing of the peer is missing between it and the next
  // block in memory: the same block the walk below would reach, found with
  // one search however far back the target lies.
  if (auto lp = in->by_lamport.upper_bound({peer, target, INT32_MAX});
      lp != in->by_lamport.begin()) {
    auto [p, ls, ctr] = *std::prev(lp);
    if (p == peer) {
      auto bit = kv.find(ID{peer, ctr});
      auto after = std::next(bit);
      if (after == kv.end() || after->first.peer != peer ||
          after->first.counter == bit->second->counter_range().second)
        return answer_from_memory(*in, bit->first, target, "failed to parse change block");
    }
  }

  Counter lower = 0, upper = INT32_MAX;
  bool searching = false;
  int iterations = 0;
  restart(0, INT32_MAX);
  for (;;) {
    if (searching && ++iterations > kMaxSearchIterations) {
      log_store_warning(
          "get_change_by_lamport_lte binary search did not converge; falling back "
          "to kv scan");
      break;
    }
    auto b = next();
    if (!b) {
      if (!searching) break;
      lower = mid(lower, upper);
      if (int64_t(upper) - lower > kWalkDistance) {
        restart(0, mid(lower, upper));
      } else {
        restart(lower, upper);
        searching = false;
      }
      continue;
    }
    const Counter k = (*b)->first.counter;
    const ChangeBlock& blk = *(*b)->second;
    auto [lstart, lend] = blk.lamport_range();
    if (lstart > target) {
      if (searching) {
        Counter m = mid(lower, upper);
        if (lend > target)
          upper = m;
        else
          lower = m;
        restart(0, mid(lower, upper));
      } else if (int64_t(lstart) - int64_t(target) <= kLamportJump) {
        upper = k;
      } else {
        restart(0, mid(lower, k));
        searching = true;
        upper = k;
      }
      continue;
    }
    if (!searching) {
      if (upper != INT32_MAX && upper != blk.counter_range().second) {
        log_store_warning("There is a hole between the last block and the current block");
        break;
      }
      return answer_from_memory(*in, (*b)->first, target, "failed to parse change block");
    }
    if (target < lend)
      return answer_from_memory(*in, (*b)->first, target, "failed to parse change block");
    lower = mid(lower, upper);
    restart(0, mid(lower, upper));
  }

  // Phase 2: the best in-memory candidate against the best stored one.
  std::optional<ID> mem;
  restart(0, upper);
  while (auto b = next()) {
    if ((*b)->second->lamport_range().first <= target) {
      mem = (*b)->first;
      break;
    }
  }
  std::optional<std::pair<ID, SharedBytes>> stored;
  {
    auto ext = lock_engine(s_->external_kv);
    auto scan = (*ext)->scan(KeyBound::included(key_of(ID{peer, 0})),
                             KeyBound::excluded(key_of(ID{peer, upper})));
    while (auto pair = scan->next_back()) {
      auto key = block_key(pair->key);
      if (!key) continue;
      auto ls = ChangeBlock::lamport_start_of(pair->value.view());
      if (!ls.ok()) {
        log_block_warning("failed to decode external change block range", "block_id", *key,
                          ls.error());
        continue;
      }
      if (*ls <= target) {
        stored = std::make_pair(*key, pair->value);
        break;
      }
    }
  }
  if (!mem && !stored) return std::nullopt;
  if (mem && (!stored || stored->first.counter <= mem->counter))
    return answer_from_memory(*in, *mem, target, "failed to parse change block");
  auto block = ChangeBlock::from_bytes(stored->second);
  if (!block.ok()) {
    log_block_warning("failed to decode external change block", "block_id", stored->first,
                      block.error());
    return std::nullopt;
  }
  ChangeBlockPtr b = std::move(block).value();
  auto parsed = ChangeBlock::parse(b, s_->arena);
  if (!parsed.ok()) {
    log_block_warning("failed to parse external change block", "block_id", stored->first,
                      parsed.error());
    return std::nullopt;
  }
  in->put(stored->first, b);
  auto i = b->change_index_by_lamport_lte(target);
  if (!i) return std::nullopt;
  return BlockChangeRef{b, *i};
}

std::optional<ID> ChangeStore::idlp_to_id(PeerID peer, Lamport lamport) {
  auto r = get_change_by_lamport_lte(peer, lamport);
  if (!r) return std::nullopt;
  const Change& c = r->change();
  if (c.lamport <= lamport && int64_t(lamport) < int64_t(c.lamport) + c.atom_len())
    return ID{peer, Counter(c.id.counter + int32_t(lamport - c.lamport))};
  return std::nullopt;
}

Lamport ChangeStore::last_op_lamport(ID id) {
  auto r = get_block(id);
  if (!r) return UINT32_MAX;
  const Change& c = r->change();
  if (c.ops.empty()) return c.lamport;
  return c.lamport + uint32_t(c.ops.back().counter - c.id.counter);
}

template <bool Strict>
KesuResult<std::vector<BlockChangeRef>> ChangeStore::collect_span(IdSpan span) {
  std::vector<BlockChangeRef> out;
  const Counter start = span.counter.start, end = span.counter.end;
  if (start == end) return out;
  if (start > end)
    throw InternalError("assertion failed: id_span.counter.start < id_span.counter.end");
  const PeerID peer = span.peer;
  auto in = lock_engine(s_->inner);
  load_block_range_locked(*in, IdBound::included({peer, start}), IdBound::excluded({peer, end}));
  auto& kv = in->inner_kv;
  auto it = kv.upper_bound(ID{peer, start});
  if (it == kv.begin()) return out;
  --it;
  if (it->first.peer != peer) return out;
  for (; it != kv.end() && it->first < ID{peer, end}; ++it) {
    ChangeBlockPtr& slot = it->second;
    if (slot->counter_range().second < start) continue;
    auto parsed = ChangeBlock::parse(slot, s_->arena);
    if (!parsed.ok()) {
      log_block_warning("failed to parse change block", "block_id", it->first, parsed.error());
      if constexpr (Strict) return brenvik::Err(std::move(parsed).error());
      continue;
    }
    size_t first = 0, last = slot->changes().size();
    auto [bstart, bend] = slot->counter_range();
    if (bstart < start || bend > end) {
      first = slot->change_index_by_counter(start).second;
      auto [hit, i] = slot->change_index_by_counter(end - 1);
      if (hit)
        last = i + 1;
      else if (i == 0)
        continue;
      else
        last = i;
    }
    for (size_t i = first; i < last; ++i) out.push_back(BlockChangeRef{slot, i});
  }
  return out;
}

std::vector<BlockChangeRef> ChangeStore::iter_changes_in_span(IdSpan span) {
  return std::move(collect_span<false>(span)).value();
}

KesuResult<std::vector<BlockChangeRef>> ChangeStore::changes_in_span_strict(IdSpan span) {
  return collect_span<true>(span);
}

void ChangeStore::visit_all_changes(const std::function<void(const Change&)>& f) {
  auto in = lock_engine(s_->inner);
  load_block_range_locked(*in, IdBound::unbounded(), IdBound::unbounded());
  for (auto& [id, slot] : in->inner_kv) {
    auto parsed = ChangeBlock::parse(slot, s_->arena);
    if (!parsed.ok()) {
      log_block_warning("failed to parse change block", "block_id", id, parsed.error());
      continue;
    }
    for (const Change& c : slot->changes()) f(c);
  }
}

bool ChangeStore::has_any_root_name(const std::vector<std::string>& names) {
  if (names.empty()) return false;
  auto cache = lock_engine(s_->root_name_cache);
  if (cache->state == RootNameCache::State::NotBuilt) {
    std::unordered_set<std::string> found;
    size_t used = 0;
    bool ok = true;
    auto record_all = [&](const std::vector<ContainerID>& ids) {
      for (const auto& id : ids)
        if (!RootNameCache::record(found, used, id)) return false;
      return true;
    };
    {
      auto ext = lock_engine(s_->external_kv);
      auto scan = (*ext)->scan(KeyBound::unbounded(), KeyBound::unbounded());
      while (ok) {
        auto pair = scan->next();
        if (!pair) break;
        if (!block_key(pair->key)) continue;
        auto ids = decode_block_containers(pair->value.view(), nullptr);
        ok = ids.ok() && record_all(*ids);
      }
    }
    if (ok) {
      auto in = lock_engine(s_->inner);
      for (auto& [id, slot] : in->inner_kv) {
        if (!ok) break;
        if (slot->is_parsed()) {
          for (const Change& c : slot->changes())
            for (const Op& op : c.ops) {
              auto cid = s_->arena.idx_to_id(op.container);
              if (!cid || !RootNameCache::record(found, used, *cid)) ok = false;
            }
        } else {
          auto ids = decode_block_containers(slot->bytes()->bytes.view(), slot->bytes()->header);
          ok = ids.ok() && record_all(*ids);
        }
      }
    }
    if (ok) {
      cache->state = RootNameCache::State::Built;
      cache->names = std::move(found);
      cache->used_bytes = used;
    } else {
      cache->invalidate();
    }
  }
  if (cache->state == RootNameCache::State::Invalidated) return true;
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return cache->names.contains(n); });
}

std::optional<std::vector<DagNodeInfo>> ChangeStore::get_dag_nodes_that_contains(ID id) {
  std::shared_ptr<const ChangeBlock> block;
  {
    auto in = lock_engine(s_->inner);
    load_block_range_locked(*in, IdBound::included(id), IdBound::included(id));
    auto it = in->inner_kv.upper_bound(id);
    if (it == in->inner_kv.begin()) return std::nullopt;
    --it;
    if (!it->second->contains(id)) return std::nullopt;
    block = it->second;
  }
  return block->to_dag_nodes();
}

std::optional<std::vector<DagNodeInfo>> ChangeStore::get_last_dag_nodes_for_peer(PeerID peer) {
  std::shared_ptr<const ChangeBlock> block;
  {
    auto in = lock_engine(s_->inner);
    ID last{peer, INT32_MAX};
    load_preceding_block_locked(*in, last);
    auto it = in->inner_kv.upper_bound(last);
    if (it == in->inner_kv.begin()) return std::nullopt;
    --it;
    if (it->second->peer() != peer) return std::nullopt;
    block = it->second;
  }
  return block->to_dag_nodes();
}

}  // namespace kesu
