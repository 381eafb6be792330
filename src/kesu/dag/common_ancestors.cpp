// Common ancestors of two versions and the diff mode between them, and the
// causal iteration of the op ranges between two versions.
//
// The search works on spans of nodes ordered by their last Lamport
// timestamp: the newest remaining span goes first, spans are shortened
// rather than stepped op by op, and a branch ends where both versions meet.
#include <algorithm>
#include <queue>
#include <set>
#include <unordered_set>

#include "kesu/dag/app_dag.h"

namespace kesu {

namespace {

struct DagSpan {
  Frontiers deps;
  PeerID peer = 0;
  Counter counter = 0;
  uint64_t len = 0;
  Lamport lamport = 0;

  Counter last_counter() const {
    int64_t v = int64_t(counter) + int64_t(len) - 1;
    return Counter(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  }
  Lamport last_lamport() const { return Lamport(lamport + uint32_t(len) - 1); }
  ID last_id() const { return {peer, last_counter()}; }
  bool contains_counter(Counter c) const {
    return counter <= c && int64_t(c) < int64_t(counter) + int64_t(len);
  }
};

// Span order: last Lamport, then peer, then the shorter span is greater.
int span_cmp(const DagSpan& a, const DagSpan& b) {
  Lamport la = Lamport(a.lamport + uint32_t(a.len)), lb = Lamport(b.lamport + uint32_t(b.len));
  if (la != lb) return la < lb ? -1 : 1;
  if (a.peer != b.peer) return a.peer < b.peer ? -1 : 1;
  if (a.len != b.len) return a.len > b.len ? -1 : 1;
  return 0;
}

std::optional<DagSpan> span_of(const AppDag& dag, ID id) {
  auto n = dag.get_node(id);
  if (!n) return std::nullopt;
  return DagSpan{n->deps, n->peer, n->cnt, uint64_t(int64_t(id.counter) - n->cnt + 1), n->lamport};
}

std::optional<std::vector<DagSpan>> spans_of_ids(const AppDag& dag, const Frontiers& f) {
  std::vector<DagSpan> out;
  for (ID id : f.to_sorted_vec()) {
    auto s = span_of(dag, id);
    if (!s) return std::nullopt;
    out.push_back(std::move(*s));
  }
  return out;
}

std::optional<std::vector<DagSpan>> predecessors(const AppDag& dag, const DagSpan& s) {
  auto out = spans_of_ids(dag, s.deps);
  if (!out) return std::nullopt;
  if (s.counter > 0) {
    Counter prev = s.counter - 1;
    bool covered = false;
    for (const auto& d : *out)
      if (d.peer == s.peer && d.contains_counter(prev)) covered = true;
    if (!covered)
      if (auto p = span_of(dag, ID{s.peer, prev})) out->push_back(std::move(*p));
  }
  return out;
}

enum class Side : uint8_t { From = 0, To = 1, Both = 2 };

struct Entry {
  DagSpan span;
  Side side;
  std::vector<ID> origins;
};

struct EntryLess {
  bool operator()(const Entry& a, const Entry& b) const {
    int c = span_cmp(a.span, b.span);
    if (c) return c < 0;
    if (a.side != b.side) return a.side < b.side;
    return std::lexicographical_compare(a.origins.begin(), a.origins.end(), b.origins.begin(),
                                        b.origins.end());
  }
};

struct SpanLess {
  bool operator()(const DagSpan& a, const DagSpan& b) const { return span_cmp(a, b) < 0; }
};

// New length of `e` shortened towards the last Lamport of `t`.
uint64_t shorten_by_lamport(const DagSpan& e, const DagSpan& t) {
  Lamport l = t.last_lamport();
  if (l < e.lamport) return 1;
  return std::min<uint64_t>(e.len - 1, uint64_t(uint32_t(l - e.lamport)) + 1);
}

}  // namespace

// Reachability is read from the nodes' cached version vectors: an ID is in
// a version exactly when the version's vector passes its counter. Same
// answer as a walk down the graph, without the walk.
bool AppDag::includes_ids(const Frontiers& version, const std::vector<ID>& ids) const {
  if (ids.empty()) return true;
  for (ID id : ids)
    if (!get_node(id)) return false;
  VersionVector v;
  bool any = false;
  for (ID id : version.to_sorted_vec()) {
    auto x = get_vv(id);
    if (!x) continue;  // IDs without a node reach nothing
    vv_merge(v, *x);
    any = true;
  }
  if (!any) return false;
  for (ID id : ids)
    if (v.get(id.peer) <= id.counter) return false;
  return true;
}

Frontiers AppDag::convergence_point(const Frontiers& from, const Frontiers& to) const {
  std::priority_queue<DagSpan, std::vector<DagSpan>, SpanLess> heap;
  for (const Frontiers* f : {&from, &to}) {
    auto s = spans_of_ids(*this, *f);
    if (!s) return {};
    for (auto& x : *s) heap.push(std::move(x));
  }
  if (heap.empty()) return {};
  for (;;) {
    DagSpan e = heap.top();
    heap.pop();
    if (heap.empty()) return Frontiers(e.last_id());
    while (!heap.empty() && heap.top().peer == e.peer &&
           heap.top().last_counter() == e.last_counter())
      heap.pop();
    if (heap.empty()) return Frontiers(e.last_id());
    const DagSpan& t = heap.top();
    if (t.peer == e.peer && e.contains_counter(t.last_counter())) {
      e.len = uint64_t(int64_t(t.last_counter()) - e.counter + 1);
      heap.push(std::move(e));
    } else if (e.len >= 2) {
      e.len = shorten_by_lamport(e, t);
      heap.push(std::move(e));
    } else {
      auto p = predecessors(*this, e);
      if (!p || p->empty()) return {};
      for (auto& x : *p) heap.push(std::move(x));
    }
  }
}

std::pair<Frontiers, DiffMode> AppDag::find_common_ancestors(const Frontiers& from,
                                                             const Frontiers& to) const {
  if (to.empty()) return {Frontiers(), DiffMode::Checkout};
  if (from.empty()) {
    if (to.size() >= 2) return {Frontiers(), DiffMode::ImportGreaterUpdates};
    auto n = get_node(to.to_sorted_vec()[0]);
    if (!n) throw InternalError("to should be in the dag");
    for (;;) {
      if (n->deps.empty()) return {Frontiers(), DiffMode::Linear};
      if (n->deps.size() >= 2) return {Frontiers(), DiffMode::ImportGreaterUpdates};
      n = get_node(n->deps.to_sorted_vec()[0]);
      if (!n) return {Frontiers(), DiffMode::ImportGreaterUpdates};
    }
  }
  bool linear = false;
  if (from.size() == 1 && to.size() == 1) {
    linear = true;
    ID f = from.to_sorted_vec()[0], t = to.to_sorted_vec()[0];
    if (f.peer == t.peer) {
      auto a = get_node(f), b = get_node(t);
      if (!a || !b) throw InternalError("from and to should be in the dag");
      if (a->peer == b->peer && a->cnt == b->cnt) {
        if (t.counter <= f.counter) return {to, DiffMode::Checkout};
        return {from, DiffMode::Linear};
      }
      if (a->deps.size() == 1 && b->contains(a->deps.to_sorted_vec()[0]))
        return {to, DiffMode::Checkout};
      if (b->deps.size() == 1 && a->contains(b->deps.to_sorted_vec()[0]))
        return {from, DiffMode::Linear};
    }
  }

  bool to_not_behind = true, missing = false;
  Frontiers answer;
  std::vector<ID> unmet;
  auto add_unmet = [&](const Entry& e) {
    if (e.origins.empty())
      unmet.push_back(e.span.last_id());
    else
      unmet.insert(unmet.end(), e.origins.begin(), e.origins.end());
  };
  std::vector<Entry> lone;
  std::priority_queue<Entry, std::vector<Entry>, EntryLess> heap;
  size_t side_count[3] = {0, 0, 0};
  for (auto [f, side] : {std::pair{&from, Side::From}, std::pair{&to, Side::To}}) {
    for (ID id : f->to_sorted_vec()) {
      auto s = span_of(*this, id);
      if (!s) throw InternalError("from and to should be in the dag");
      std::vector<ID> origins;
      if (f->size() >= 2) origins.push_back(s->last_id());
      side_count[size_t(side)]++;
      heap.push({std::move(*s), side, std::move(origins)});
    }
  }
  // Entries left on one side only can no longer meet the other (entries of
  // both sides are not expanded): they are lone branches from then on.
  auto push = [&](Entry e) {
    side_count[size_t(e.side)]++;
    heap.push(std::move(e));
  };
  auto pop = [&] {
    // The top leaves the heap right away: take it without copying.
    Entry e = std::move(const_cast<Entry&>(heap.top()));
    heap.pop();
    side_count[size_t(e.side)]--;
    return e;
  };
  while (!heap.empty()) {
    if (side_count[size_t(Side::From)] == 0 || side_count[size_t(Side::To)] == 0) {
      bool expand_more = false;
      std::vector<Entry> rest;
      while (!heap.empty()) {
        Entry e = pop();
        if (e.side == Side::Both) {
          answer.push(e.span.last_id());
          continue;
        }
        if (!rest.empty() && !(rest.back().span.peer == e.span.peer &&
                               rest.back().span.last_counter() == e.span.last_counter()))
          expand_more = true;
        rest.push_back(std::move(e));
      }
      // Walking them down would expand at least one of them.
      if (expand_more) linear = false;
      for (auto& e : rest) lone.push_back(std::move(e));
      break;
    }
    Entry e = pop();
    bool handled = false;
    while (!heap.empty()) {
      const Entry& t = heap.top();
      if (t.span.peer == e.span.peer && t.span.last_counter() == e.span.last_counter()) {
        if (t.side != e.side) e.side = Side::Both;
        Entry tt = pop();
        for (ID o : tt.origins)
          if (std::find(e.origins.begin(), e.origins.end(), o) == e.origins.end())
            e.origins.push_back(o);
        continue;
      }
      handled = true;
      if (e.side == Side::Both) {
        answer.push(e.span.last_id());
        break;
      }
      if (e.side == Side::From) to_not_behind = false;
      if (t.span.peer == e.span.peer && e.span.contains_counter(t.span.last_counter()) &&
          t.side != e.side) {
        e.span.len = uint64_t(int64_t(t.span.last_counter()) - e.span.counter + 1);
        push(std::move(e));
      } else if (e.span.len >= 2) {
        e.span.len = shorten_by_lamport(e.span, t.span);
        push(std::move(e));
      } else {
        auto preds = predecessors(*this, e.span);
        if (!preds) {
          missing = true;
        } else if (preds->empty()) {
          add_unmet(e);
        } else {
          bool fork = e.origins.empty() && preds->size() >= 2;
          for (auto& p : *preds) {
            std::vector<ID> o = fork ? std::vector<ID>{p.last_id()} : e.origins;
            push({std::move(p), e.side, std::move(o)});
          }
          linear = false;
        }
      }
      break;
    }
    if (!handled) {
      if (e.side == Side::Both)
        answer.push(e.span.last_id());
      else
        lone.push_back(std::move(e));
    }
  }
  // A branch left alone when the heap ran dry has met the other version
  // when every path down from it reaches the common part; only a path that
  // ends at a root outside it makes the branch unmet. (Counting every lone
  // branch as unmet would throw the exact answer away for a mere
  // convergence point whenever one side outlives the meeting.)
  if (!lone.empty()) {
    // Everything common below a lone branch is already in the answer, so
    // the branch met the other version unless its history holds a root
    // (a peer's first op without deps) that the answer's history lacks.
    // Node versions are cached, so this costs a lookup per peer.
    std::optional<VersionVector> answer_vv = frontiers_to_vv(answer);
    for (Entry& e : lone) {
      if (e.side == Side::From) to_not_behind = false;  // history `to` lacks
      auto ev = get_vv(e.span.last_id());
      bool met = ev.has_value() && answer_vv.has_value();
      if (!met) missing = true;
      for (const auto& [p, c] : met ? ev->entries() : VersionVector::Map{}) {
        if (c <= 0 || answer_vv->get(p) > 0) continue;
        auto root = get_node(ID{p, 0});
        if (!root) {
          missing = true;
          met = false;
          break;
        }
        if (root->deps.empty()) {
          met = false;
          break;
        }
      }
      if (!met) add_unmet(e);
    }
  }

  if (answer.size() >= 2) {
    std::vector<DagSpan> spans;
    for (ID id : answer.to_sorted_vec()) {
      auto s = span_of(*this, id);
      if (!s) throw InternalError("common ancestors should be in dag");
      spans.push_back(std::move(*s));
    }
    std::sort(spans.begin(), spans.end(), SpanLess());
    std::vector<ID> retained;
    std::vector<VersionVector> retained_vv;
    for (auto it = spans.rbegin(); it != spans.rend(); ++it) {
      const DagSpan& cand = *it;
      bool reachable = false;
      for (const VersionVector& r : retained_vv)
        if (r.get(cand.peer) > cand.last_counter()) reachable = true;
      if (!reachable) {
        retained.push_back(cand.last_id());
        retained_vv.push_back(get_vv(cand.last_id()).value_or(VersionVector()));
      }
    }
    answer = Frontiers();
    for (ID id : retained) answer.push(id);
  }

  auto fallback = [&] { return std::pair{convergence_point(from, to), DiffMode::Checkout}; };
  if (!missing && includes_ids(answer, unmet)) {
    if (!to_not_behind && !(answer == from)) return {answer, DiffMode::Checkout};
    if (from.size() >= 2) {
      // Boundary check: every branch of `to` outside `from` comes back to
      // exactly `from`.
      auto f_ids = from.to_sorted_vec();
      std::set<ID> fset(f_ids.begin(), f_ids.end());
      auto inside_from = [&](ID id) { return fset.count(id) || includes_ids(from, {id}); };
      bool ok = true;
      std::vector<DagSpan> stack;
      for (ID id : to.to_sorted_vec()) {
        if (inside_from(id)) continue;
        auto s = span_of(*this, id);
        if (!s) {
          ok = false;
          break;
        }
        stack.push_back(std::move(*s));
      }
      std::set<ID> visited;
      while (ok && !stack.empty()) {
        DagSpan s = std::move(stack.back());
        stack.pop_back();
        if (!visited.insert(ID{s.peer, s.counter}).second) continue;
        auto preds = predecessors(*this, s);
        if (!preds) {
          ok = false;
          break;
        }
        Frontiers p;
        bool all_in = true;
        for (auto& x : *preds) {
          if (inside_from(x.last_id())) {
            p.push(x.last_id());
          } else {
            all_in = false;
            stack.push_back(std::move(x));
          }
        }
        if (all_in && !(p == from) && !includes_ids(p, f_ids)) ok = false;
      }
      if (ok) return {answer, DiffMode::ImportGreaterUpdates};
      return fallback();
    }
    return {answer, linear ? DiffMode::Linear : DiffMode::ImportGreaterUpdates};
  }
  for (ID id : answer.to_sorted_vec())
    if (has_missing_history(id)) return {answer, DiffMode::Checkout};
  return fallback();
}

// ---------------------------------------------------------------- causal iteration

DagCausalIter AppDag::iter_causal(const Frontiers& common, const VersionVector& common_vv,
                                  const VersionVector& merged_vv) const {
  (void)common;
  DagCausalIter it;
  it.dag_ = this;
  for (const IdSpan& s : merged_vv.diff_iter(common_vv))
    it.target_[s.peer] = {s.counter.start, s.counter.end};
  std::vector<ID> work;
  for (auto& [p, r] : it.target_)
    if (r.first < r.second) work.push_back(ID{p, r.first});
  std::map<PeerID, std::vector<Counter>> starts;
  while (!work.empty()) {
    ID x = work.back();
    work.pop_back();
    auto n = get_node(x);
    if (!n) throw InternalError("causal iteration: no node for " + x.to_string());
    auto tr = it.target_.find(x.peer);
    if (tr == it.target_.end()) throw InternalError("causal iteration: no target for peer");
    uint32_t deg = 0;
    for (ID d : n->deps.to_sorted_vec()) {
      auto dt = it.target_.find(d.peer);
      if (dt == it.target_.end()) continue;
      if (dt->second.first <= d.counter && d.counter < dt->second.second) {
        ++deg;
        it.succ_[d].push_back(x);
      }
    }
    it.in_degree_[x] = deg;
    starts[x.peer].push_back(x.counter);
    if (n->ctr_last() < tr->second.second - 1) work.push_back(ID{x.peer, n->ctr_end()});
  }
  for (auto& [p, cs] : starts) {
    std::sort(cs.begin(), cs.end());
    for (size_t i = 1; i < cs.size(); ++i) {
      it.in_degree_[ID{p, cs[i]}] += 1;
      it.succ_[ID{p, cs[i - 1]}].push_back(ID{p, cs[i]});
    }
  }
  for (auto i = it.in_degree_.begin(); i != it.in_degree_.end();) {
    if (i->second == 0) {
      it.ready_.push_back(i->first);
      i = it.in_degree_.erase(i);
    } else {
      ++i;
    }
  }
  return it;
}

std::optional<CausalStep> DagCausalIter::next() {
  if (ready_.empty()) return std::nullopt;
  ID x = ready_.back();
  ready_.pop_back();
  auto n = dag_->get_node(x);
  if (!n) throw InternalError("causal iteration: no node for " + x.to_string());
  auto& range = target_.at(x.peer);
  Counter end = std::min<Counter>(n->ctr_end(), range.second);
  range.first = std::max(range.first, end);
  // Everything waiting for an op of [x, end) loses one predecessor.
  for (auto s = succ_.lower_bound(x); s != succ_.end() && s->first < ID{x.peer, end};
       s = succ_.erase(s)) {
    for (ID w : s->second) {
      auto d = in_degree_.find(w);
      if (d == in_degree_.end()) continue;
      if (--d->second == 0) {
        ready_.push_back(w);
        in_degree_.erase(d);
      }
    }
  }
  return CausalStep{std::move(n), x.counter, end};
}

}  // namespace kesu
