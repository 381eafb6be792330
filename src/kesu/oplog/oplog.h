// OpLog: the history of one document: the causal graph, the change store,
// the parking place of changes waiting for dependencies and the record of an
// open import batch. Every change enters through insert_new_change. The
// document keeps the log behind its lock; nothing here is thread-safe on its
// own beyond what the graph and the store guard.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "kesu/change_store/change_store.h"
#include "kesu/dag/app_dag.h"
#include "kesu/change/change.h"
#include "kesu/change/pending_changes.h"
#include "kesu/shared_arena/shared_arena.h"

namespace kesu {

// Changes between two versions in causal order, each clamped to the ops
// between the two versions. Lazy: changes are read as it is stepped.
class CausalChangesIter {
 public:
  // The next change (or piece of one), or nullopt at the end. An op range
  // the change store cannot produce is an internal error.
  std::optional<Change> next();

 private:
  friend class OpLog;
  CausalChangesIter(ChangeStore store, DagCausalIter iter)
      : store_(std::move(store)), iter_(std::move(iter)) {}
  ChangeStore store_;
  DagCausalIter iter_;
  std::vector<Change> buffered_;  // reversed: back() goes next
};

struct ImportCheck {
  bool has_ready_change = false;
  bool depends_on_trimmed_history = false;
  bool touches_list_or_tree = false;
};

class OpLog {
 public:
  explicit OpLog(SharedArena arena, std::shared_ptr<std::atomic<int64_t>> merge_interval = nullptr);

  AppDag& dag() { return dag_; }
  const AppDag& dag() const { return dag_; }
  ChangeStore& change_store() { return store_; }
  PendingChanges& pending_changes() { return pending_; }
  const SharedArena& arena() const { return arena_; }
  std::shared_ptr<const std::atomic<int64_t>> op_count_cell() const { return op_count_; }

  // A change entering the history: a local one when its transaction
  // commits (the transaction has advanced the version already), or an
  // imported one whose dependencies the history holds.
  void insert_new_change(Change change, bool from_local);
  // Ops in the retained history.
  int64_t count_ops() const;
  // The largest timestamp of the changes holding the IDs; 0 when empty. An
  // ID no stored change holds is an internal error (`known`: skipped).
  int64_t latest_timestamp_at(const Frontiers& f, bool known = false);

  // Opens a document from stored history (the log must be new).
  KesuResult<void> load_from_change_store(const SharedBytes& bytes);

  // The Lamport bounds of a version used by the tree diff.
  Lamport max_lamport_at_frontiers(const Frontiers& f);
  Lamport min_lamport_at_frontiers(const Frontiers& f);

  // ---- import batches ----

  void begin_import(ArenaCheckpoint checkpoint);
  void finish_import();
  // Puts the change store, parked changes, graph and arena back to the
  // batch start. Nothing happens without an open batch.
  void abort_import();
  bool in_batch() const { return batch_.has_value(); }
  // Parks an imported change (through the batch, so an abort can undo it).
  bool park_pending_change(Change change);
  // The parked changes that a newly inserted range releases.
  std::vector<Change> take_ready_pending(PeerID peer, Counter counter_end);

  ImportCheck check_import(const std::vector<Change>& changes) const;
  // The part of a change the history does not hold yet; none when known.
  std::optional<Change> trim_known_part(Change c) const;

  // ---- causal iteration ----

  // (common-ancestor version, mode, iterator over the changes between the
  // common ancestors and the union of both versions).
  std::tuple<VersionVector, DiffMode, CausalChangesIter> iter_changes_causally(
      const VersionVector& from_vv, const Frontiers& from, const VersionVector& to_vv,
      const Frontiers& to);

 private:
  struct ImportBatch {
    VersionVector start_vv;
    BlockBackup block_backup;
    ArenaCheckpoint arena_checkpoint;
    // The parking place at the start; bounded, so the copy is too.
    PendingChanges pending_at_start;
  };

  SharedArena arena_;
  std::shared_ptr<std::atomic<int64_t>> merge_interval_;
  ChangeStore store_;
  AppDag dag_;
  PendingChanges pending_;
  std::optional<ImportBatch> batch_;
  std::shared_ptr<std::atomic<int64_t>> op_count_;
};

}  // namespace kesu
