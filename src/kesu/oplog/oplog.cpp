#include "kesu/oplog/oplog.h"

#include <algorithm>

namespace kesu {

namespace {

bool is_list_or_tree(const Op& op) {
  uint32_t code = op.container.raw() >> 27;
  return code == 1 || code == 3;  // List, Tree; bit 31 (unknown) never matches
}

bool has_list_or_tree_op(const Change& c) {
  return std::any_of(c.ops.begin(), c.ops.end(), is_list_or_tree);
}

}  // namespace

OpLog::OpLog(SharedArena arena, std::shared_ptr<std::atomic<int64_t>> merge_interval)
    : arena_(arena),
      merge_interval_(merge_interval ? std::move(merge_interval)
                                     : std::make_shared<std::atomic<int64_t>>(1000)),
      store_(arena, merge_interval_),
      dag_(store_),
      op_count_(std::make_shared<std::atomic<int64_t>>(0)) {}

int64_t OpLog::count_ops() const {
  int64_t a = vv_counter_sum(dag_.vv());
  int64_t b = vv_counter_sum(dag_.shallow_start_vv());
  return a - b;
}

void OpLog::insert_new_change(Change change, bool from_local) {
  dag_.handle_new_change(change, from_local, batch_ ? &batch_->start_vv : nullptr);
  for (const Op& op : change.ops) {
    visit_created_containers(op, arena_, [&](const ContainerID& child) {
      ContainerIdx idx = arena_.register_container(child);
      arena_.set_parent(idx, op.container);
    });
  }
  auto r = store_.insert_change(std::move(change), true, from_local,
                                batch_ ? &batch_->block_backup : nullptr);
  // The graph accepted the change, so the store must too: a refusal means
  // the two disagree about the history.
  if (!r) throw InternalError("change store refused a change the graph accepted");
  op_count_->store(count_ops(), std::memory_order_release);
}

int64_t OpLog::latest_timestamp_at(const Frontiers& f, bool known) {
  int64_t best = 0;
  for (ID id : f.to_sorted_vec()) {
    auto b = store_.get_block(id);
    if (!b) {
      if (known) continue;
      throw InternalError("no stored change holds " + id.to_string());
    }
    best = std::max(best, b->change().timestamp);
  }
  return best;
}

KesuResult<void> OpLog::load_from_change_store(const SharedBytes& bytes) {
  auto info = store_.import_all(bytes);
  if (!info) return brenvik::Err(info.error());
  dag_.set_loaded_state(*info);
  op_count_->store(count_ops(), std::memory_order_release);
  return {};
}

Lamport OpLog::max_lamport_at_frontiers(const Frontiers& f) {
  Lamport best = 0;
  if (f.empty()) return UINT32_MAX;
  for (ID id : f.to_sorted_vec()) best = std::max(best, store_.last_op_lamport(id));
  return best;
}

Lamport OpLog::min_lamport_at_frontiers(const Frontiers& f) {
  if (f.empty()) return 0;
  Lamport best = UINT32_MAX;
  for (ID id : f.to_sorted_vec()) {
    auto b = store_.get_block(id);
    best = std::min<Lamport>(best, b ? b->change().lamport : 0);
  }
  return best;
}

// ---------------------------------------------------------------- batches

void OpLog::begin_import(ArenaCheckpoint checkpoint) {
  VersionVector vv = dag_.vv();
  dag_.begin_import_batch();
  ImportBatch b{vv, BlockBackup{vv, {}}, std::move(checkpoint), pending_};
  batch_.reset();
  batch_.emplace(std::move(b));
}

void OpLog::finish_import() {
  dag_.finish_import_batch();
  batch_.reset();
}

void OpLog::abort_import() {
  if (!batch_) return;
  ImportBatch b = std::move(*batch_);
  batch_.reset();
  store_.restore_backup(b.block_backup);
  dag_.abort_import_batch();
  pending_ = std::move(b.pending_at_start);
  arena_.restore_checkpoint(b.arena_checkpoint);
  op_count_->store(count_ops());
}

bool OpLog::park_pending_change(Change change) {
  PeerID p = change.id.peer;
  ID wait = change.id;
  // Parked under the first dependency the history lacks.
  for (ID d : change.deps.to_sorted_vec())
    if (dag_.vv().get(d.peer) <= d.counter) {
      wait = d;
      break;
    }
  if (wait == change.id) wait = ID{p, Counter(change.id.counter - 1)};
  return pending_.park(wait.peer, wait.counter, std::move(change));
}

std::vector<Change> OpLog::take_ready_pending(PeerID peer, Counter counter_end) {
  return pending_.take_ready(peer, counter_end);
}

ImportCheck OpLog::check_import(const std::vector<Change>& changes) const {
  ImportCheck r;
  if (changes.empty()) return r;
  bool parked_list_or_tree = false;
  pending_.visit([&](const Change& c) { parked_list_or_tree |= has_list_or_tree_op(c); });
  bool ready_list_or_tree = false;
  const VersionVector& vv = dag_.vv();
  for (const Change& c : changes) {
    int64_t end = int64_t(c.id.counter) + c.atom_len();
    bool known =
        vv.size() != 0 && vv.entries().count(c.id.peer) ? vv.get(c.id.peer) >= end : end <= 0;
    if (known) continue;
    if (dag_.is_on_trimmed_history(c.deps)) {
      r.depends_on_trimmed_history = true;
    } else if (dag_.frontiers_to_next_lamport(c.deps)) {
      r.has_ready_change = true;
      ready_list_or_tree |= has_list_or_tree_op(c);
    }
  }
  r.touches_list_or_tree = ready_list_or_tree || (r.has_ready_change && parked_list_or_tree);
  return r;
}

std::optional<Change> OpLog::trim_known_part(Change c) const {
  auto it = dag_.vv().entries().find(c.id.peer);
  if (it == dag_.vv().entries().end() || it->second <= c.id.counter) return c;
  uint32_t len = c.atom_len();
  int64_t known = int64_t(it->second) - c.id.counter;
  if (known >= int64_t(len)) return std::nullopt;
  return c.slice(uint32_t(known), len);
}

// ---------------------------------------------------------------- causal iteration

std::tuple<VersionVector, DiffMode, CausalChangesIter> OpLog::iter_changes_causally(
    const VersionVector& from_vv, const Frontiers& from, const VersionVector& to_vv,
    const Frontiers& to) {
  VersionVector merged = from_vv;
  vv_merge(merged, to_vv);
  Frontiers common;
  DiffMode mode = DiffMode::Checkout;
  if (!to.empty()) std::tie(common, mode) = dag_.find_common_ancestors(from, to);
  if (mode == DiffMode::Checkout && vv_partial_cmp(to_vv, from_vv) == VvOrder::Greater)
    mode = DiffMode::Import;
  auto cvv = dag_.frontiers_to_vv(common);
  if (!cvv) throw InternalError("common ancestors are not in the dag");
  VersionVector common_vv = std::move(*cvv);
  VersionVector shallow = dag_.shallow_start_vv();
  auto o = vv_partial_cmp(common_vv, shallow);
  if (o == VvOrder::Less || o == VvOrder::Concurrent) {
    common = dag_.shallow_root_frontiers();
    auto v = dag_.frontiers_to_vv(common);
    common_vv = v ? std::move(*v) : shallow;
  }
  CausalChangesIter it(store_, dag_.iter_causal(common, common_vv, merged));
  return {std::move(common_vv), mode, std::move(it)};
}

std::optional<Change> CausalChangesIter::next() {
  while (buffered_.empty()) {
    auto step = iter_.next();
    if (!step) return std::nullopt;
    IdSpan span{step->node->peer, {step->start, step->end}};
    auto refs = store_.changes_in_span_strict(span);
    if (!refs) throw InternalError("causal iteration: " + refs.error().message());
    std::vector<Change> out;
    for (const auto& ref : *refs) {
      const Change& c = ref.change();
      int64_t from = std::max<int64_t>(step->start, c.id.counter) - c.id.counter;
      int64_t to = std::min<int64_t>(step->end, c.ctr_end()) - c.id.counter;
      if (from >= to) continue;
      if (from == 0 && to == c.atom_len())
        out.push_back(c);
      else
        out.push_back(c.slice(uint32_t(from), uint32_t(to)));
    }
    if (out.empty()) throw InternalError("causal iteration: change store lacks " + span.debug());
    buffered_.assign(out.rbegin(), out.rend());
  }
  Change c = std::move(buffered_.back());
  buffered_.pop_back();
  return c;
}

}  // namespace kesu
