// Creating a store, inserting changes (with the split of oversized changes),
// flushing, bulk import and export.
#include "kesu/change_store/change_store.h"

#include <algorithm>

#include "kesu/change_store/block_encode.h"
#include "kesu/change_store/store_log.h"
#include "kesu/common/compact.h"
#include "kesu/common/internal_error.h"
#include "kesu/kv_store/mem_store.h"
#include "kesu/shared_arena/engine_lock.h"

namespace kesu {

namespace {

constexpr std::string_view kMetaVv = "vv";
constexpr std::string_view kMetaFr = "fr";
constexpr std::string_view kMetaSv = "sv";
constexpr std::string_view kMetaSf = "sf";

SharedBytes id_key(ID id) {
  auto a = id.to_bytes();
  return SharedBytes::copy_of(ByteView(a.data(), a.size()));
}
SharedBytes meta_key(std::string_view k) {
  return SharedBytes::copy_of(k);
}

std::unique_ptr<KvStore> new_kv() {
  return std::make_unique<MemKvStore>(ChangeStore::kMaxBlockSize, CompressionType::LZ4, false);
}

KesuError corrupt() {
  return KesuError::data_corruption();
}

// Whether the op may be folded into the last op of `prev` (the single-op
// exception to the block size limit).
bool merges_into_last_op(const Change& prev, const Op& op) {
  if (prev.ops.empty()) return false;
  const Op& last = prev.ops.back();
  return int64_t(last.counter) + last.atom_len() == int64_t(op.counter) &&
         last.container == op.container && is_list_family(last.content) &&
         is_list_family(op.content) && content_can_merge(last.content, op.content);
}

}  // namespace

void ChangeStore::Inner::put(ID key, ChangeBlockPtr block) {
  auto it = inner_kv.find(key);
  if (it != inner_kv.end()) {
    by_lamport.erase({key.peer, it->second->lamport_range().first, key.counter});
    it->second = std::move(block);
  } else {
    it = inner_kv.emplace(key, std::move(block)).first;
  }
  by_lamport.insert({key.peer, it->second->lamport_range().first, key.counter});
}

ChangeStore::ChangeStore(SharedArena arena, std::shared_ptr<std::atomic<int64_t>> merge_interval)
    : s_(std::make_shared<State>(std::move(arena))) {
  *lock_engine(s_->external_kv) = new_kv();
  s_->merge_interval =
      merge_interval ? std::move(merge_interval) : std::make_shared<std::atomic<int64_t>>(0);
}

KesuResult<void> ChangeStore::insert_change(Change change, bool split_when_too_large, bool is_local,
                                            BlockBackup* backup) {
  {
    auto cache = lock_engine(s_->root_name_cache);
    if (cache->state == RootNameCache::State::Built) {
      for (const Op& op : change.ops) {
        auto id = s_->arena.idx_to_id(op.container);
        if (!id || !RootNameCache::record(cache->names, cache->used_bytes, *id)) {
          cache->invalidate();
          break;
        }
      }
    }
  }
  size_t estimate = change.estimate_storage_size();
  if (split_when_too_large && estimate > kMaxBlockSize)
    return insert_split(std::move(change), backup);
  return insert_one(std::move(change), estimate, is_local, true, backup);
}

KesuResult<void> ChangeStore::insert_one(Change change, size_t estimate, bool is_local,
                                         bool may_fold, BlockBackup* backup) {
  auto in = lock_engine(s_->inner);
  auto& kv = in->inner_kv;
  const uint32_t len = change.atom_len();
  auto it = kv.lower_bound(change.id);
  if (it != kv.begin()) {
    auto prev = std::prev(it);
    ChangeBlockPtr& slot = prev->second;
    if (slot->peer() == change.id.peer) {
      // A change that does not continue its peer's last block would break
      // the store's ordering; it is refused instead of stopping the engine.
      if (slot->counter_range().second != change.id.counter) return brenvik::Err(corrupt());
      if (change.lamport < slot->lamport_range().second) return brenvik::Err(corrupt());
      if (backup && prev->first.counter < backup->vv.get(slot->peer()))
        backup->blocks.try_emplace(prev->first, slot);
      const int64_t interval = is_local ? s_->merge_interval->load() : 0;
      auto parsed = ChangeBlock::parse(slot, s_->arena);
      if (parsed.ok()) {
        // The block is rebuilt as parsed changes on a private copy, even
        // when the change then opens a new block.
        ChangeBlock& b = ChangeBlock::make_mut(slot);
        std::vector<Change>& changes = b.changes_mut();
        const size_t total = b.estimated_size() + estimate;
        bool done = false;
        if (may_fold && !changes.empty() && can_merge_right(changes.back(), change, interval)) {
          Change& last = changes.back();
          bool single = change.ops.size() == 1 && merges_into_last_op(last, change.ops.front());
          if (total <= kMaxBlockSize || single) {
            for (Op& op : change.ops) {
              size_t e = op.estimate_storage_size();
              if (!push_op(last.ops, std::move(op))) b.add_estimated_size(e);
            }
            done = true;
          }
        } else if (total <= kMaxBlockSize) {
          changes.push_back(change);
          b.sync_lamports();
          b.add_estimated_size(estimate);
          done = true;
        }
        if (done) {
          b.extend_to(Counter(change.id.counter + int32_t(len)), change.lamport + len);
          b.set_flushed(false);
          return {};
        }
      } else {
        // A stored block whose changes cannot be read stays as it is; the
        // change opens the next block.
        log_block_warning("failed to parse change block", "block_id", prev->first, parsed.error());
      }
    }
  }
  ID key = change.id;
  in->put(key, ChangeBlock::new_block(std::move(change), estimate));
  return {};
}

// The pieces of a cut change never fold into the change before them: each
// piece continues the previous one's last op, so the single-op exception of
// the fold rule would glue them back into one oversized change.
KesuResult<void> ChangeStore::insert_split(Change c, BlockBackup* backup) {
  const int64_t max = int64_t(kMaxBlockSize);
  const uint32_t total = c.atom_len();
  Change piece;
  piece.id = c.id;
  piece.lamport = c.lamport;
  piece.deps = c.deps;
  piece.timestamp = c.timestamp;
  piece.message = c.message;
  int64_t size = int64_t(c.deps_estimate());
  uint32_t inserted = 0;
  auto close = [&]() -> KesuResult<void> {
    if (piece.ops.empty()) return {};
    uint32_t len = piece.atom_len();
    Change next;
    next.id = {c.id.peer, Counter(piece.id.counter + int32_t(len))};
    next.lamport = piece.lamport + len;
    next.deps = Frontiers(piece.id_last());
    next.timestamp = c.timestamp;
    next.message = c.message;
    size_t e = piece.estimate_storage_size();
    auto r = insert_one(std::exchange(piece, std::move(next)), e, false, false, backup);
    if (!r.ok()) return r;
    inserted += len;
    size = 4;
    return {};
  };
  for (Op& op : c.ops) {
    Op o = std::move(op);
    for (;;) {
      int64_t e = int64_t(o.estimate_storage_size());
      if (e >= max - size) {
        auto r = close();
        if (!r.ok()) return r;
      }
      if (e <= max - size) {
        push_op(piece.ops, std::move(o));
        size += e;
        break;
      }
      const bool text = std::holds_alternative<TextInsertOp>(o.content);
      const bool list = std::holds_alternative<ListInsertOp>(o.content);
      if (!text && !list) {
        // Only reached when the dependencies alone fill the piece (about
        // 1,022 of them): the piece takes the op and exceeds the target.
        push_op(piece.ops, std::move(o));
        auto r = close();
        if (!r.ok()) return r;
        break;
      }
      const int64_t room = std::max<int64_t>(max - size, 0);
      const bool four_per_atom =
          list && (o.container.type().kind() == ContainerType::Kind::List ||
                   o.container.type().kind() == ContainerType::Kind::MovableList);
      const uint32_t atoms = o.atom_len();
      int64_t k = std::min<int64_t>(atoms, four_per_atom ? room / 4 : room);
      // With no room at all (the dependencies fill the piece) one atom is
      // taken anyway, so that the cut always makes progress.
      if (k == 0) k = 1;
      if (uint32_t(k) >= atoms) {
        push_op(piece.ops, std::move(o));
        auto r = close();
        if (!r.ok()) return r;
        break;
      }
      push_op(piece.ops, o.slice(0, uint32_t(k)));
      auto r = close();
      if (!r.ok()) return r;
      o = o.slice(uint32_t(k), atoms);
    }
  }
  if (!piece.ops.empty()) {
    uint32_t len = piece.atom_len();
    size_t e = piece.estimate_storage_size();
    auto r = insert_one(std::move(piece), e, false, false, backup);
    if (!r.ok()) return r;
    inserted += len;
  }
  if (inserted != total) throw InternalError("split pieces do not add up to the change");
  return {};
}

void ChangeStore::flush_meta(const VersionVector& vv, const Frontiers& frontiers) {
  auto in = lock_engine(s_->inner);
  auto kv = lock_engine(s_->external_kv);
  auto evv = lock_engine(s_->external_vv);
  for (auto& [id, slot] : in->inner_kv) {
    if (slot->flushed()) continue;
    SharedBytes key = id_key(id);
    Counter x = evv->get(slot->peer());
    auto [start, end] = slot->counter_range();
    if (end <= x)
      throw InternalError("block of peer " + std::to_string(slot->peer()) + " [" +
                          std::to_string(start) + ", " + std::to_string(end) +
                          ") does not reach past the stored end " + std::to_string(x));
    if (start < x && !(*kv)->get(key.view()))
      throw InternalError("assertion failed: store.get(&id_bytes).is_some()");
    evv->set(slot->peer(), end);
    ChangeBlockBytes bytes = ChangeBlock::to_bytes(slot, s_->arena);
    (*kv)->set(key, bytes.bytes);
    ChangeBlock::make_mut(slot).set_flushed(true);
  }
  if (in->start_vv.size() == 0 && !(*evv == vv))
    throw InternalError("stored version differs from the history's version");
  Bytes v;
  write_version_vector(v, vv);
  (*kv)->set(meta_key(kMetaVv), SharedBytes::from_vector(std::move(v)));
  (*kv)->set(meta_key(kMetaFr), SharedBytes::from_vector(frontiers.encode()));
}

namespace {

// Every stored block of an exported store must decode into changes that
// continue each other: checked before the store takes anything in.
// Returns, per peer, the end of its last stored block.
KesuResult<VersionVector> check_stored_blocks(KvStore& kv) {
  SharedArena scratch;
  VersionVector ends;
  std::optional<ChangeBlockPtr> prev;
  auto it = kv.scan(KeyBound::unbounded(), KeyBound::unbounded());
  while (auto pair = it->next()) {
    if (pair->key.size() != 12) continue;
    auto id = ID::from_bytes(pair->key.view());
    if (!id.ok()) return brenvik::Err(corrupt());
    auto block = ChangeBlock::from_bytes(pair->value);
    if (!block.ok()) return brenvik::Err(std::move(block).error());
    ChangeBlockPtr b = std::move(block).value();
    if (b->id() != *id) return brenvik::Err(corrupt());
    auto parsed = ChangeBlock::parse(b, scratch);
    if (!parsed.ok()) return brenvik::Err(std::move(parsed).error());
    const auto& changes = b->changes();
    for (size_t i = 0; i + 1 < changes.size(); ++i)
      if (changes[i + 1].lamport < changes[i].lamport_end()) return brenvik::Err(corrupt());
    if (prev && (*prev)->peer() == b->peer()) {
      // Blocks of one peer follow each other without gap or overlap, and
      // their Lamports never go back.
      if ((*prev)->counter_range().second != b->counter_range().first ||
          (*prev)->lamport_range().second > b->lamport_range().first)
        return brenvik::Err(corrupt());
    }
    prev = b;
    ends.set(b->peer(), b->counter_range().second);
  }
  return ends;
}

}  // namespace

KesuResult<StoredHistoryInfo> ChangeStore::import_all(const SharedBytes& bytes) {
  using brenvik::Err;
  VersionVector ends;
  {
    auto kv = lock_engine(s_->external_kv);
    if ((*kv)->len() > 2) throw InternalError("kv store should be empty when using decode_all");
  }
  {
    auto check = new_kv();
    auto r = check->import_all(bytes);
    if (!r.ok()) return Err(KesuError::decode(r.error()));
    auto ok = check_stored_blocks(*check);
    if (!ok.ok()) return Err(std::move(ok).error());
    ends = std::move(ok).value();
  }
  {
    auto kv = lock_engine(s_->external_kv);
    auto r = (*kv)->import_all(bytes);
    if (!r.ok()) return Err(KesuError::decode(r.error()));
  }
  {
    auto cache = lock_engine(s_->root_name_cache);
    *cache = RootNameCache{};
  }
  auto get = [&](std::string_view key) {
    auto kv = lock_engine(s_->external_kv);
    auto v = (*kv)->get(brenvik::as_bytes(key));
    return v ? *v : SharedBytes();
  };
  auto decode_vv = [](const SharedBytes& b) -> KesuResult<VersionVector> {
    ByteReader r(b.view());
    auto v = read_version_vector(r);
    if (!v.ok()) return Err(corrupt());
    return std::move(v).value();
  };
  SharedBytes vv_bytes = get(kMetaVv);
  if (vv_bytes.empty()) return Err(corrupt());
  auto vv = decode_vv(vv_bytes);
  if (!vv.ok()) return Err(std::move(vv).error());
  VersionVector sv;
  if (SharedBytes b = get(kMetaSv); !b.empty()) {
    auto d = decode_vv(b);
    if (!d.ok()) return Err(std::move(d).error());
    sv = std::move(d).value();
  }
  // "vv" must describe the stored blocks: each peer's blocks end at its
  // entry, and a peer without blocks has nothing beyond the start. A store
  // that says otherwise would break the bookkeeping of later flushes.
  for (const auto& [peer, end] : ends.entries())
    if (vv->get(peer) != end) return Err(corrupt());
  for (const auto& [peer, end] : vv->entries())
    if (end > 0 && !ends.entries().contains(peer) && end > sv.get(peer)) return Err(corrupt());
  *lock_engine(s_->external_vv) = *vv;
  auto fr = Frontiers::decode(get(kMetaFr).view());
  if (!fr.ok()) return Err(corrupt());
  Frontiers sf;
  if (SharedBytes b = get(kMetaSf); !b.empty()) {
    auto d = Frontiers::decode(b.view());
    if (!d.ok()) return Err(corrupt());
    sf = std::move(d).value();
  }
  for (const ID& head : fr->to_sorted_vec())
    if (!get_block(head)) return Err(corrupt());
  StoredHistoryInfo info{*vv, *fr, std::nullopt};
  if (sv.size() > 0) {
    set_start(sv, sf);
    info.shallow_start = std::make_pair(sv, sf);
  }
  return info;
}

void ChangeStore::set_start(const VersionVector& vv, const Frontiers& f) {
  auto in = lock_engine(s_->inner);
  in->start_vv = vv;
  in->start_frontiers = f;
}

KesuResult<SharedBytes> ChangeStore::export_from(const VersionVector& start_vv,
                                                 const Frontiers& start_frontiers,
                                                 const VersionVector& latest_vv,
                                                 const Frontiers& latest_frontiers) {
  ChangeStore t(s_->arena, s_->merge_interval);
  for (const IdSpan& span : latest_vv.diff_iter(start_vv)) {
    auto refs = changes_in_span_strict(span);
    if (!refs.ok()) return brenvik::Err(std::move(refs).error());
    for (const BlockChangeRef& ref : *refs) {
      const Change& c = ref.change();
      const int64_t len = c.atom_len();
      auto clamp = [&](Counter v) {
        return std::clamp<int64_t>(int64_t(v) - c.id.counter, 0, len);
      };
      int64_t from = clamp(start_vv.get(c.id.peer)), to = clamp(latest_vv.get(c.id.peer));
      if (from == to) continue;
      auto r = t.insert_change(c.slice(uint32_t(from), uint32_t(to)), false, false);
      if (!r.ok()) return brenvik::Err(std::move(r).error());
    }
  }
  {
    auto kv = lock_engine(t.s_->external_kv);
    Bytes sv;
    write_version_vector(sv, start_vv);
    (*kv)->set(meta_key(kMetaSv), SharedBytes::from_vector(std::move(sv)));
    (*kv)->set(meta_key(kMetaSf), SharedBytes::from_vector(start_frontiers.encode()));
  }
  t.set_start(start_vv, start_frontiers);
  t.flush_meta(latest_vv, latest_frontiers);
  return t.export_all();
}

SharedBytes ChangeStore::export_all() {
  auto kv = lock_engine(s_->external_kv);
  return (*kv)->export_all();
}

size_t ChangeStore::TEST_block_count_in_memory() {
  return lock_engine(s_->inner)->inner_kv.size();
}

std::vector<ChangeBlockPtr> ChangeStore::TEST_blocks_in_memory() {
  auto in = lock_engine(s_->inner);
  std::vector<ChangeBlockPtr> out;
  for (auto& [id, b] : in->inner_kv) out.push_back(b);
  return out;
}

RootNameCache::State ChangeStore::TEST_root_name_state() {
  return lock_engine(s_->root_name_cache)->state;
}

}  // namespace kesu
