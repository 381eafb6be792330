// AppDag: the causal graph of every change a document holds, as runs of one
// peer's ops (AppDagNode). Answers which node holds an ID, converts between
// frontiers and version vectors, finds common ancestors of two versions and
// orders the changes between two versions causally.
//
// Nodes of a document opened from stored history are loaded on demand from
// the change store, one block at a time, newest block first, when a lookup
// reaches below `unparsed_vv`. The graph is used under the operation log's
// lock; its own mutex exists so that lookups through const access can load.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "kesu/change_store/change_store.h"
#include "kesu/dag/dag_node.h"
#include "kesu/dag/version_ops.h"
#include "kesu/change/change.h"

namespace kesu {

// How `to` stands to `from`; the byte values are stable.
enum class DiffMode : uint8_t { Checkout = 0, Import = 1, ImportGreaterUpdates = 2, Linear = 3 };
const char* diff_mode_name(DiffMode m);

struct DepPointChange {
  enum class Kind : uint8_t { Added = 0, Removed = 1 };
  Kind kind;
  ID id;
};

// The graph as it was when an import batch began, plus its undo logs.
struct DagImportBatch {
  Frontiers frontiers;
  Frontiers shallow_root_frontiers;
  Frontiers shallow_root_deps;
  std::vector<DepPointChange> dep_point_log;
  VersionVector vv;
  VersionVector unparsed_vv;
  PersistentVersionVector shallow_start_vv;
  AppDagNodePtr pending_txn_node;
  std::map<ID, AppDagNodePtr> replaced_nodes;  // null: the key did not exist
};

// One step of a causal iteration: ops [start, end) of the node's peer, all
// inside `node`.
struct CausalStep {
  AppDagNodePtr node;
  Counter start = 0;
  Counter end = 0;
};

class DagCausalIter;

class AppDag {
 public:
  explicit AppDag(ChangeStore store);

  // ---- nodes ----

  // The node holding `id` (loading it when needed), the open transaction's
  // node when that holds it, or null.
  AppDagNodePtr get_node(ID id) const;
  // True when the node of `id`, or the node of one of its deps, is absent.
  bool has_missing_history(ID id) const;

  // ---- versions ----

  const Frontiers& frontiers() const { return frontiers_; }
  const VersionVector& vv() const { return vv_; }
  const Frontiers& shallow_root_frontiers() const { return shallow_root_frontiers_; }
  const Frontiers& shallow_root_deps() const { return shallow_root_deps_; }
  VersionVector shallow_start_vv() const { return *shallow_start_vv_; }

  PersistentVersionVector ensure_node_vv(const AppDagNodePtr& node) const;
  std::optional<VersionVector> get_vv(ID id) const;
  std::optional<VersionVector> frontiers_to_vv(const Frontiers& f) const;
  Frontiers vv_to_frontiers(const VersionVector& v) const;
  std::optional<Lamport> get_lamport(ID id) const;
  std::optional<Lamport> frontiers_to_next_lamport(const Frontiers& f) const;
  bool is_before_shallow_root(const Frontiers& f) const;
  bool is_on_trimmed_history(const Frontiers& deps) const;
  // Drops every ID that is an ancestor of another; an ID without a node is
  // an error (returned).
  KesuResult<Frontiers> shrink_frontiers(const Frontiers& f) const;

  // ---- common ancestors ----

  std::pair<Frontiers, DiffMode> find_common_ancestors(const Frontiers& from,
                                                       const Frontiers& to) const;
  // Every ID of `ids` is an ancestor of, or equal to, some ID of `version`.
  bool includes_ids(const Frontiers& version, const std::vector<ID>& ids) const;
  Frontiers convergence_point(const Frontiers& from, const Frontiers& to) const;

  // ---- causal iteration ----

  // The op ranges between `common` (frontiers with version vector
  // `common_vv`) and `merged_vv`, dependencies first.
  DagCausalIter iter_causal(const Frontiers& common, const VersionVector& common_vv,
                            const VersionVector& merged_vv) const;

  // ---- changes ----

  // Version and node update for a change entering the history.
  // `batch_start_vv` is the open import batch's start version, if any.
  void handle_new_change(const Change& change, bool from_local,
                         const VersionVector* batch_start_vv);
  // A local transaction's ops so far: grows the pending node and the version.
  void update_pending_txn(PeerID peer, Counter cnt, uint64_t len, Lamport lamport,
                          const Frontiers& deps);
  const AppDagNodePtr& pending_txn_node() const { return pending_txn_node_; }

  // Version fields of a graph opened from stored history: every op below
  // `vv` lives only in the change store until a lookup loads it.
  void set_loaded_state(const StoredHistoryInfo& info);

  // ---- import batches ----

  void begin_import_batch();
  void finish_import_batch();
  void abort_import_batch();
  bool recording_import_batch() const { return recording_import_batch_; }

  // ---- inspection ----

  std::map<ID, AppDagNodePtr> TEST_node_map() const;
  VersionVector TEST_unparsed_vv() const;
  std::set<ID> TEST_unresolved_dep_points() const;

 private:
  friend class DagCausalIter;
  struct Loaded {
    std::map<ID, AppDagNodePtr> node_map;
    VersionVector unparsed_vv;  // a peer without entry has nothing unparsed
    std::set<ID> unresolved_dep_points;
    std::optional<DagImportBatch> import_batch;
  };

  void ensure_loaded(ID id) const;
  void load_block_nodes(std::vector<AppDagNodePtr> nodes, PeerID peer) const;
  void insert_node_locked(Loaded& l, ID key, AppDagNodePtr node) const;
  void record_replaced_node_locked(Loaded& l, ID key, AppDagNodePtr old) const;
  void log_dep_point_added_locked(Loaded& l, ID id) const;
  // Handles one cross-peer dependency `d` of a node entering the graph.
  void resolve_dep_locked(Loaded& l, ID d) const;
  AppDagNodePtr find_loaded_locked(const Loaded& l, ID id) const;

  mutable ChangeStore store_;  // a handle; used only to load nodes
  Frontiers frontiers_;
  Frontiers shallow_root_frontiers_;
  Frontiers shallow_root_deps_;
  VersionVector vv_;
  PersistentVersionVector shallow_start_vv_;
  AppDagNodePtr pending_txn_node_;
  bool recording_import_batch_ = false;

  mutable std::mutex mu_;
  mutable Loaded loaded_;
};

// Hands out the op ranges of a target, each once, after everything it
// depends on inside the target.
class DagCausalIter {
 public:
  std::optional<CausalStep> next();

 private:
  friend class AppDag;
  const AppDag* dag_ = nullptr;
  std::map<PeerID, std::pair<Counter, Counter>> target_;
  std::map<ID, uint32_t> in_degree_;
  std::map<ID, std::vector<ID>> succ_;
  std::vector<ID> ready_;
};

}  // namespace kesu
