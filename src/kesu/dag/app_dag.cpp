#include "kesu/dag/app_dag.h"

#include <algorithm>
#include <limits>

namespace kesu {

namespace {

Counter sat_add(Counter c, int64_t d) {
  int64_t v = int64_t(c) + d;
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return Counter(v);
}

const PersistentVersionVector& empty_vv() {
  static const PersistentVersionVector e = std::make_shared<const VersionVector>();
  return e;
}

}  // namespace

const char* diff_mode_name(DiffMode m) {
  switch (m) {
    case DiffMode::Checkout:
      return "Checkout";
    case DiffMode::Import:
      return "Import";
    case DiffMode::ImportGreaterUpdates:
      return "ImportGreaterUpdates";
    case DiffMode::Linear:
      return "Linear";
  }
  return "?";
}

AppDagNode AppDagNode::slice(uint64_t from, uint64_t to) const {
  if (from >= to || to > len) throw InternalError("assertion failed: from < to && to <= len");
  AppDagNode n;
  n.peer = peer;
  n.cnt = sat_add(cnt, int64_t(from));
  n.len = to - from;
  n.lamport = Lamport(lamport + uint32_t(from));
  if (from == 0) {
    n.deps = deps;
    n.vv = vv;
  } else {
    n.deps = Frontiers(ID{peer, Counter(n.cnt - 1)});
    if (auto v = vv.get()) {
      auto d = std::make_shared<VersionVector>(*v);
      d->set(peer, n.cnt);
      n.vv.set(std::move(d));
    }
  }
  n.has_successor = to < len ? true : has_successor;
  return n;
}

AppDag::AppDag(ChangeStore store) : store_(std::move(store)), shallow_start_vv_(empty_vv()) {}

// ---------------------------------------------------------------- nodes

AppDagNodePtr AppDag::find_loaded_locked(const Loaded& l, ID id) const {
  auto it = l.node_map.upper_bound(id);
  if (it == l.node_map.begin()) return nullptr;
  --it;
  return it->second->contains(id) ? it->second : nullptr;
}

AppDagNodePtr AppDag::get_node(ID id) const {
  {
    // Most lookups find their node loaded: one lock, no store access.
    std::lock_guard g(mu_);
    if (auto n = find_loaded_locked(loaded_, id)) return n;
    if (loaded_.unparsed_vv.size() == 0) goto pending;
  }
  ensure_loaded(id);
  {
    std::lock_guard g(mu_);
    if (auto n = find_loaded_locked(loaded_, id)) return n;
  }
pending:
  const auto& t = pending_txn_node_;
  if (t && t->peer == id.peer && t->cnt <= id.counter) {
    if (!(int64_t(t->cnt) + int64_t(t->len) > id.counter))
      throw InternalError("assertion failed: node.cnt + node.len as Counter > id.counter");
    return t;
  }
  return nullptr;
}

void AppDag::ensure_loaded(ID id) const {
  // Newest unparsed block first, until the id is covered or nothing of the
  // peer is unparsed. The store is asked with no graph lock held.
  for (;;) {
    Counter end;
    {
      std::lock_guard g(mu_);
      auto& u = loaded_.unparsed_vv.entries();
      auto it = u.find(id.peer);
      if (it == u.end() || it->second <= 0 || id.counter >= it->second || id.counter < 0) return;
      end = it->second;
    }
    auto infos = store_.get_dag_nodes_that_contains(ID{id.peer, Counter(end - 1)});
    if (!infos || infos->empty())
      throw InternalError("unparsed vv don't match with change store. Id:" + id.to_string() +
                          " is not in change store");
    std::vector<AppDagNodePtr> nodes;
    for (const auto& i : *infos) {
      auto n = std::make_shared<AppDagNode>();
      n->peer = i.peer;
      n->cnt = i.cnt;
      n->len = i.len;
      n->lamport = i.lamport;
      n->deps = i.deps;
      if (n->len == 0) continue;
      nodes.push_back(std::move(n));
    }
    load_block_nodes(std::move(nodes), id.peer);
  }
}

void AppDag::insert_node_locked(Loaded& l, ID key, AppDagNodePtr node) const {
  if (recording_import_batch_) {
    auto it = l.node_map.find(key);
    record_replaced_node_locked(l, key, it == l.node_map.end() ? nullptr : it->second);
  }
  l.node_map[key] = std::move(node);
}

void AppDag::record_replaced_node_locked(Loaded& l, ID key, AppDagNodePtr old) const {
  if (!recording_import_batch_ || !l.import_batch) return;
  if (key.counter < l.import_batch->vv.get(key.peer))
    l.import_batch->replaced_nodes.try_emplace(key, std::move(old));
}

void AppDag::log_dep_point_added_locked(Loaded& l, ID id) const {
  if (!recording_import_batch_ || !l.import_batch) return;
  l.import_batch->dep_point_log.push_back({DepPointChange::Kind::Added, id});
}

void AppDag::resolve_dep_locked(Loaded& l, ID d) const {
  auto it = l.node_map.upper_bound(d);
  if (it != l.node_map.begin()) {
    --it;
    const AppDagNodePtr& n = it->second;
    if (n->contains(d)) {
      ID key = it->first;
      if (d.counter == n->ctr_last()) {
        if (!n->has_successor) {
          auto copy = std::make_shared<AppDagNode>(*n);
          copy->has_successor = true;
          insert_node_locked(l, key, std::move(copy));
        }
        return;
      }
      uint64_t cut = uint64_t(int64_t(d.counter) - n->cnt + 1);
      auto left = std::make_shared<AppDagNode>(n->slice(0, cut));
      auto right = std::make_shared<AppDagNode>(n->slice(cut, n->len));
      ID rkey{right->peer, right->cnt};
      insert_node_locked(l, key, std::move(left));
      insert_node_locked(l, rkey, std::move(right));
      return;
    }
  }
  if (l.unresolved_dep_points.insert(d).second) log_dep_point_added_locked(l, d);
}

void AppDag::load_block_nodes(std::vector<AppDagNodePtr> nodes, PeerID peer) const {
  if (nodes.empty()) throw InternalError("assertion failed: !nodes.is_empty()");
  std::lock_guard g(mu_);
  Loaded& l = loaded_;
  auto uit = l.unparsed_vv.entries().find(peer);
  if (uit == l.unparsed_vv.entries().end()) throw InternalError("no entry found for key");
  Counter end = uit->second;
  if (int64_t(end) > int64_t(nodes.back()->cnt) + int64_t(nodes.back()->len))
    throw InternalError("assertion failed: end_counter <= nodes_cnt_end");
  std::vector<ID> cross;
  for (AppDagNodePtr n : nodes) {
    if (n->cnt >= end) break;
    if (int64_t(n->cnt) + int64_t(n->len) > end)
      n = std::make_shared<AppDagNode>(n->slice(0, uint64_t(end - n->cnt)));
    for (ID d : n->deps.to_sorted_vec())
      if (d.peer != peer) cross.push_back(d);
    Counter hi = sat_add(n->cnt, int64_t(n->len));
    std::vector<ID> points;
    for (auto it = l.unresolved_dep_points.lower_bound(ID{peer, n->cnt});
         it != l.unresolved_dep_points.end() && *it < ID{peer, hi}; ++it)
      points.push_back(*it);
    if (points.empty()) {
      insert_node_locked(l, ID{peer, n->cnt}, n);
      continue;
    }
    uint64_t prev = 0;
    for (ID m : points) {
      uint64_t o = uint64_t(int64_t(m.counter) - n->cnt + 1);
      auto piece = std::make_shared<AppDagNode>(n->slice(prev, o));
      piece->has_successor = true;
      ID key{peer, piece->cnt};
      insert_node_locked(l, key, std::move(piece));
      prev = o;
    }
    if (prev != n->len) {
      auto tail = std::make_shared<AppDagNode>(n->slice(prev, n->len));
      ID key{peer, tail->cnt};
      insert_node_locked(l, key, std::move(tail));
    }
    for (ID m : points)
      if (l.unresolved_dep_points.erase(m) && recording_import_batch_ && l.import_batch)
        l.import_batch->dep_point_log.push_back({DepPointChange::Kind::Removed, m});
  }
  {
    VersionVector::Map u = l.unparsed_vv.entries();
    if (nodes.front()->cnt <= 0)
      u.erase(peer);
    else
      u[peer] = nodes.front()->cnt;
    l.unparsed_vv = VersionVector(std::move(u));
  }
  for (ID d : cross) resolve_dep_locked(l, d);
}

bool AppDag::has_missing_history(ID id) const {
  auto n = get_node(id);
  if (!n) return true;
  for (ID d : n->deps.to_sorted_vec())
    if (!get_node(d)) return true;
  return false;
}

// ---------------------------------------------------------------- versions

namespace {
bool in_trimmed(const VersionVector& s, ID d) {
  auto it = s.entries().find(d.peer);
  return it != s.entries().end() && d.counter >= 0 && d.counter < it->second;
}
}  // namespace

PersistentVersionVector AppDag::ensure_node_vv(const AppDagNodePtr& target) const {
  if (auto v = target->vv.get()) return v;
  std::vector<AppDagNodePtr> stack{target};
  while (!stack.empty()) {
    AppDagNodePtr n = stack.back();
    stack.pop_back();
    if (n->vv.get()) continue;
    if (!shallow_root_deps_.empty() && n->deps == shallow_root_deps_) {
      n->vv.set(shallow_start_vv_);
      continue;
    }
    auto deps = n->deps.to_sorted_vec();
    std::vector<AppDagNodePtr> dnodes;
    bool pushed = false;
    for (ID d : deps) {
      auto dn = get_node(d);
      if (!dn) {
        if (!in_trimmed(*shallow_start_vv_, d)) throw InternalError("deps should be in the dag");
      } else if (!dn->vv.get()) {
        if (!pushed) stack.push_back(n);
        pushed = true;
        stack.push_back(dn);
      }
      dnodes.push_back(std::move(dn));
    }
    if (pushed) continue;
    PersistentVersionVector r;
    std::shared_ptr<VersionVector> own;
    auto writable = [&]() -> VersionVector& {
      if (!own) {
        own = r ? std::make_shared<VersionVector>(*r) : std::make_shared<VersionVector>();
        r = own;
      }
      return *own;
    };
    for (size_t i = 0; i < deps.size(); ++i) {
      const auto& dn = dnodes[i];
      if (dn) {
        auto dv = dn->vv.get();
        if (!dv) throw InternalError("deps should be in the dag");
        if (!r)
          r = dv;
        else
          vv_merge(writable(), *dv);
        writable().set(dn->peer, dn->ctr_end());
      } else {
        vv_merge(writable(), *shallow_start_vv_);
      }
    }
    n->vv.set(r ? r : empty_vv());
  }
  return target->vv.get();
}

std::optional<VersionVector> AppDag::get_vv(ID id) const {
  auto n = get_node(id);
  if (!n) return std::nullopt;
  VersionVector v = *ensure_node_vv(n);
  v.set(id.peer, sat_add(id.counter, 1));
  return v;
}

std::optional<VersionVector> AppDag::frontiers_to_vv(const Frontiers& f) const {
  if (f == shallow_root_deps_) return *shallow_start_vv_;
  VersionVector v;
  for (ID id : f.to_sorted_vec()) {
    auto n = get_node(id);
    if (!n) return std::nullopt;
    vv_merge(v, *ensure_node_vv(n));
    Counter c = sat_add(id.counter, 1);
    if (c > 0 && v.get(id.peer) < c) v.set(id.peer, c);
  }
  return v;
}

Frontiers AppDag::vv_to_frontiers(const VersionVector& v) const {
  if (v.size() == 0) return {};
  Frontiers f;
  for (const auto& [p, c] : v.entries()) {
    if (c <= 0) continue;
    auto it = shallow_start_vv_->entries().find(p);
    if (it != shallow_start_vv_->entries().end() && it->second >= c) continue;
    f.push(ID{p, Counter(c - 1)});
  }
  if (f.empty()) return shallow_root_frontiers_;
  auto r = shrink_frontiers(f);
  if (!r) throw InternalError(r.error().message());
  return std::move(*r);
}

KesuResult<Frontiers> AppDag::shrink_frontiers(const Frontiers& f) const {
  if (f.size() <= 1) return f;
  auto ids = f.to_sorted_vec();
  for (ID id : ids)
    if (!get_node(id))
      return brenvik::Err(KesuError::with_id(KesuErrorKind::FrontiersNotFound, id));
  Frontiers out;
  for (ID id : ids) {
    Frontiers others = frontiers_remove(f, id);
    if (!includes_ids(others, {id})) out.push(id);
  }
  return out;
}

std::optional<Lamport> AppDag::get_lamport(ID id) const {
  auto n = get_node(id);
  if (!n) return std::nullopt;
  if (id.counter < n->cnt) throw InternalError("assertion failed: id.counter >= node.cnt");
  if (int64_t(id.counter) < int64_t(n->cnt) + int64_t(n->len))
    return Lamport(n->lamport + uint32_t(id.counter - n->cnt));
  return std::nullopt;
}

std::optional<Lamport> AppDag::frontiers_to_next_lamport(const Frontiers& f) const {
  Lamport best = 0;
  for (ID id : f.to_sorted_vec()) {
    auto l = get_lamport(id);
    if (!l) return std::nullopt;
    best = std::max<Lamport>(best, Lamport(*l + 1));
  }
  return best;
}

bool AppDag::is_before_shallow_root(const Frontiers& f) const {
  if (shallow_start_vv_->size() == 0) return false;
  if (f.empty()) return true;
  auto ids = f.to_sorted_vec();
  for (ID id : ids)
    if (in_trimmed(*shallow_start_vv_, id)) return true;
  for (ID id : ids)
    if (shallow_root_frontiers_.contains(id)) return !(f == shallow_root_frontiers_);
  return false;
}

bool AppDag::is_on_trimmed_history(const Frontiers& f) const {
  if (shallow_start_vv_->size() == 0) return false;
  if (f.empty()) return true;
  if (auto v = frontiers_to_vv(f)) {
    auto o = vv_partial_cmp(*v, *shallow_start_vv_);
    return o == VvOrder::Less || o == VvOrder::Concurrent;
  }
  auto ids = f.to_sorted_vec();
  for (ID id : ids)
    if (shallow_root_frontiers_.contains(id)) return false;
  for (ID id : ids)
    if (in_trimmed(*shallow_start_vv_, id)) return true;
  return false;
}

void AppDag::set_loaded_state(const StoredHistoryInfo& info) {
  if (vv_.size() != 0) throw InternalError("assertion failed: self.vv.is_empty()");
  {
    std::lock_guard g(mu_);
    loaded_.unparsed_vv = info.vv;
  }
  vv_ = info.vv;
  frontiers_ = info.frontiers;
  if (info.shallow_start) {
    const auto& [s, sf] = *info.shallow_start;
    if (sf.size() == 1) {
      ID r = sf.to_sorted_vec()[0];
      auto n = get_node(r);
      if (!n) throw InternalError("shallow root is not in the dag: " + r.to_string());
      if (n->cnt != r.counter) throw InternalError("assertion failed: node.cnt == id.counter");
      shallow_root_deps_ = n->deps;
    } else if (sf.size() > 1) {
      throw InternalError("assertion failed: f.len() == 1");
    }
    shallow_root_frontiers_ = sf;
    shallow_start_vv_ = std::make_shared<const VersionVector>(s);
  }
}

// ---------------------------------------------------------------- changes

void AppDag::update_pending_txn(PeerID peer, Counter cnt, uint64_t len, Lamport lamport,
                                const Frontiers& deps) {
  auto n = std::make_shared<AppDagNode>();
  n->peer = peer;
  n->cnt = cnt;
  n->len = len;
  n->lamport = lamport;
  n->deps = deps;
  pending_txn_node_ = std::move(n);
  Counter end = sat_add(cnt, int64_t(len));
  if (vv_.get(peer) < end) vv_.set(peer, end);
}

void AppDag::handle_new_change(const Change& change, bool from_local,
                               const VersionVector* batch_start_vv) {
  const PeerID p = change.id.peer;
  const Counter c = change.id.counter;
  const uint64_t len = change.atom_len();
  if (from_local) {
    if (!pending_txn_node_)
      throw InternalError("assertion failed: self.pending_txn_node.take().is_some()");
    pending_txn_node_.reset();
    if (int64_t(vv_.get(p)) != int64_t(c) + int64_t(len))
      throw InternalError(
          "assertion failed: `(left == right)` left: " + std::to_string(vv_.get(p)) +
          ", right: " + std::to_string(int64_t(c) + int64_t(len)));
  } else {
    ID last = change.id_last();
    frontiers_update_on_new_change(frontiers_, last, change.deps);
    if (pending_txn_node_) throw InternalError("assertion failed: self.pending_txn_node.is_none()");
    if (vv_.get(p) != c)
      throw InternalError("assertion failed: `(left == right)` left: " +
                          std::to_string(vv_.get(p)) + ", right: " + std::to_string(c));
    Counter e = sat_add(last.counter, 1);
    if (e > 0 && vv_.get(p) < e) vv_.set(p, e);
  }
  if (len == 0) return;

  std::lock_guard g(mu_);
  Loaded& l = loaded_;
  bool own_peer = change.deps.size() == 1 && change.deps.to_sorted_vec()[0].peer == p;
  if (own_peer) {
    bool first_in_batch =
        batch_start_vv && batch_start_vv->entries().count(p) && batch_start_vv->get(p) == c;
    auto it = l.node_map.upper_bound(ID{p, INT32_MAX});
    if (it == l.node_map.begin()) throw InternalError("own-peer change without a node");
    --it;
    ID key = it->first;
    AppDagNodePtr n = it->second;
    if (first_in_batch && key.counter < batch_start_vv->get(p))
      record_replaced_node_locked(l, key, n);
    if (!n->has_successor) {
      if (n->peer != p) throw InternalError("peer id is not the same");
      if (n->ctr_end() != c) throw InternalError("counter is not continuous");
      if (Lamport(n->lamport + uint32_t(n->len)) != change.lamport)
        throw InternalError("lamport is not continuous");
      auto grown = std::make_shared<AppDagNode>(*n);
      grown->len = uint64_t(int64_t(c) - grown->cnt) + len;
      grown->vv = n->vv;
      l.node_map[key] = std::move(grown);
      return;
    }
  }
  auto n = std::make_shared<AppDagNode>();
  n->peer = p;
  n->cnt = c;
  n->lamport = change.lamport;
  n->len = len;
  n->deps = change.deps;
  l.node_map[ID{p, c}] = std::move(n);
  for (ID d : change.deps.to_sorted_vec())
    if (d.peer != p) resolve_dep_locked(l, d);
}

// ---------------------------------------------------------------- batches

void AppDag::begin_import_batch() {
  size_t n = vv_.size();
  std::lock_guard g(mu_);
  DagImportBatch b;
  b.frontiers = frontiers_;
  b.shallow_root_frontiers = shallow_root_frontiers_;
  b.shallow_root_deps = shallow_root_deps_;
  b.vv = vv_;
  b.unparsed_vv = loaded_.unparsed_vv;
  b.shallow_start_vv = shallow_start_vv_;
  b.pending_txn_node = pending_txn_node_;
  loaded_.import_batch = std::move(b);
  recording_import_batch_ = n != 0;
}

void AppDag::finish_import_batch() {
  recording_import_batch_ = false;
  std::lock_guard g(mu_);
  loaded_.import_batch.reset();
}

void AppDag::abort_import_batch() {
  recording_import_batch_ = false;
  std::optional<DagImportBatch> b;
  {
    std::lock_guard g(mu_);
    b = std::move(loaded_.import_batch);
    loaded_.import_batch.reset();
  }
  if (!b) return;
  auto gained = vv_.diff_iter(b->vv);
  {
    std::lock_guard g(mu_);
    auto& m = loaded_.node_map;
    for (const IdSpan& s : gained) {
      auto lo = m.lower_bound(ID{s.peer, s.counter.start});
      auto hi = m.upper_bound(ID{s.peer, s.counter.end});
      m.erase(lo, hi);
    }
    for (auto& [key, old] : b->replaced_nodes) {
      if (!old)
        m.erase(key);
      else
        m[key] = old;
    }
    loaded_.unparsed_vv = b->unparsed_vv;
    if (b->vv.size() == 0) loaded_.unresolved_dep_points.clear();
    for (auto it = b->dep_point_log.rbegin(); it != b->dep_point_log.rend(); ++it) {
      if (it->kind == DepPointChange::Kind::Added)
        loaded_.unresolved_dep_points.erase(it->id);
      else
        loaded_.unresolved_dep_points.insert(it->id);
    }
  }
  frontiers_ = b->frontiers;
  vv_ = b->vv;
  shallow_root_frontiers_ = b->shallow_root_frontiers;
  shallow_root_deps_ = b->shallow_root_deps;
  shallow_start_vv_ = b->shallow_start_vv;
  pending_txn_node_ = b->pending_txn_node;
}

std::map<ID, AppDagNodePtr> AppDag::TEST_node_map() const {
  std::lock_guard g(mu_);
  return loaded_.node_map;
}
VersionVector AppDag::TEST_unparsed_vv() const {
  std::lock_guard g(mu_);
  return loaded_.unparsed_vv;
}
std::set<ID> AppDag::TEST_unresolved_dep_points() const {
  std::lock_guard g(mu_);
  return loaded_.unresolved_dep_points;
}

}  // namespace kesu
