// ChangeStore: every change a document's history has accepted, grouped per
// peer into blocks of consecutive changes. Blocks live in two tiers: an
// in-memory ordered map (`inner_kv`: blocks created or changed since the
// last flush and blocks loaded so far), and an external key/value store
// holding each stored block under the 12-byte key of its first change plus
// the meta entries "vv", "fr", "sv" and "sf". The in-memory copy of a block
// wins when both tiers hold it. Blocks come into memory on demand and go
// back to storage on flush_meta(); nothing is evicted.
//
// The store is a cheap handle: copies share one store.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

#include "kesu/change_store/change_block.h"
#include "kesu/change_store/root_name_cache.h"
#include "kesu/common/version.h"
#include "kesu/kv_store/kv_store.h"
#include "kesu/change/change.h"
#include "kesu/shared_arena/shared_arena.h"
#include "util/sync.h"

namespace kesu {

// Blocks as they were before an open import batch first changed them, so
// that an aborted batch can put them back.
struct BlockBackup {
  VersionVector vv;  // the history's version when the batch began
  std::map<ID, ChangeBlockPtr> blocks;
};

// What an imported store holds.
struct StoredHistoryInfo {
  VersionVector vv;
  Frontiers frontiers;
  std::optional<std::pair<VersionVector, Frontiers>> shallow_start;
};

// One end of a range of ids.
struct IdBound {
  enum class Kind : uint8_t { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  ID id;
  static IdBound included(ID i) { return {Kind::Included, i}; }
  static IdBound excluded(ID i) { return {Kind::Excluded, i}; }
  static IdBound unbounded() { return {}; }
};

class ChangeStore {
 public:
  // Largest estimated size a block grows to, and the size above which a
  // change is cut into pieces; the same as the key/value store's block size.
  static constexpr size_t kMaxBlockSize = 4096;

  // An empty store over a new in-memory key/value store (4096-byte blocks,
  // LZ4). `merge_interval` (seconds) is shared with the caller.
  ChangeStore(SharedArena arena, std::shared_ptr<std::atomic<int64_t>> merge_interval);

  const SharedArena& arena() const { return s_->arena; }

  // ---- insertion and flushing ----

  // Files a change into its peer's last block, folding it into the previous
  // change or opening a new block as the size rules say; a change estimated
  // above kMaxBlockSize is cut into pieces when `split_when_too_large`.
  // REQUIRES: the change continues its peer's last block, which is in memory
  // (or the peer has none). A change that does not continue it (counter gap,
  // or a Lamport below the block's end) is refused with
  // DecodeDataCorruptionError and nothing changes.
  KesuResult<void> insert_change(Change change, bool split_when_too_large, bool is_local,
                                 BlockBackup* backup = nullptr);
  // Undoes an aborted import batch: drops the in-memory blocks that start at
  // or after the batch's start version and puts the saved ones back.
  void restore_backup(const BlockBackup& backup);
  // Writes every block that storage lacks or holds older, then "vv" and "fr".
  void flush_meta(const VersionVector& vv, const Frontiers& frontiers);

  // ---- finding and loading ----

  // The change holding `id`, loading and parsing its block when needed.
  std::optional<BlockChangeRef> get_block(ID id);
  // Loads (header only) every stored block with a key in the range, and the
  // block before it that may reach into it.
  void load_block_range(IdBound start, IdBound end);
  // Loads (header only) the peer's stored block at or before `id`.
  void load_preceding_block(ID id);
  // The change of `peer` with the greatest Lamport at or below `lamport`.
  std::optional<BlockChangeRef> get_change_by_lamport_lte(PeerID peer, Lamport lamport);
  // The id of the op of `peer` that carries exactly `lamport`.
  std::optional<ID> idlp_to_id(PeerID peer, Lamport lamport);
  // Lamport of the first atom of the last op of the change holding `id`;
  // UINT32_MAX when no change holds it.
  Lamport last_op_lamport(ID id);

  // ---- reading ----

  // The changes of the span's peer that overlap [start, end), whole, in
  // counter order. Blocks that cannot be parsed are skipped with a warning.
  std::vector<BlockChangeRef> iter_changes_in_span(IdSpan span);
  // As above, but a block that cannot be parsed is an error: for callers
  // that must not leave changes out (exports).
  KesuResult<std::vector<BlockChangeRef>> changes_in_span_strict(IdSpan span);
  // Calls f on every change, block by block; f must not call the store.
  void visit_all_changes(const std::function<void(const Change&)>& f);

  // ---- bulk import and export ----

  // Loads an exported store into this empty one. Every stored block is
  // checked (its header and its changes decode, its key names its first
  // change, the changes of each block continue each other) before anything
  // is taken in: a store holding a broken block is refused whole.
  KesuResult<StoredHistoryInfo> import_all(const SharedBytes& bytes);
  // The changes after `start` up to `latest`, re-packed into a new store and
  // exported with the start version as "sv"/"sf". A block that cannot be
  // read is an error: an export never leaves changes out silently.
  KesuResult<SharedBytes> export_from(const VersionVector& start_vv,
                                      const Frontiers& start_frontiers,
                                      const VersionVector& latest_vv,
                                      const Frontiers& latest_frontiers);
  // The whole external store as one sorted-table file.
  SharedBytes export_all();

  // ---- root names and graph nodes ----

  // True when one of the names is used by a root container of the stored
  // changes, or when that can no longer be told (the cache gave up).
  bool has_any_root_name(const std::vector<std::string>& names);
  std::optional<std::vector<DagNodeInfo>> get_dag_nodes_that_contains(ID id);
  std::optional<std::vector<DagNodeInfo>> get_last_dag_nodes_for_peer(PeerID peer);

  // ---- inspection ----

  size_t TEST_block_count_in_memory();
  std::vector<ChangeBlockPtr> TEST_blocks_in_memory();
  RootNameCache::State TEST_root_name_state();
  // Sets the shallow start (as an export's receiver would).
  void set_start(const VersionVector& vv, const Frontiers& f);

 private:
  struct Inner {
    Frontiers start_frontiers;
    VersionVector start_vv;
    std::map<ID, ChangeBlockPtr> inner_kv;
    // The blocks of inner_kv by (peer, Lamport start, counter start): a
    // block's Lamport start never changes while it is in memory.
    std::set<std::tuple<PeerID, Lamport, Counter>> by_lamport;

    // Every block enters inner_kv through here, to keep by_lamport in step.
    void put(ID key, ChangeBlockPtr block);
  };
  // Lock order, the same on every path: root_name_cache, then inner, then
  // external_kv, then external_vv. A path that needs a later lock never
  // takes an earlier one while holding it.
  struct State {
    explicit State(SharedArena a) : arena(std::move(a)) {}
    SharedArena arena;
    brenvik::Mutex<RootNameCache> root_name_cache;
    brenvik::Mutex<Inner> inner;
    brenvik::Mutex<std::unique_ptr<KvStore>> external_kv;
    brenvik::Mutex<VersionVector> external_vv;
    std::shared_ptr<std::atomic<int64_t>> merge_interval;
  };

  KesuResult<void> insert_one(Change change, size_t estimate, bool is_local, bool may_fold,
                              BlockBackup* backup);
  KesuResult<void> insert_split(Change change, BlockBackup* backup);
  std::optional<BlockChangeRef> answer_from_memory(Inner& in, ID key, Lamport target,
                                                   const char* warning);
  // Loads with `inner` already held (lock order).
  void load_block_range_locked(Inner& in, IdBound start, IdBound end);
  void load_preceding_block_locked(Inner& in, ID id);
  template <bool Strict>
  KesuResult<std::vector<BlockChangeRef>> collect_span(IdSpan span);

  std::shared_ptr<State> s_;
};

}  // namespace kesu
