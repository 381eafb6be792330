#include "kesu/tracker/crdt_rope.h"

#include <algorithm>
#include <utility>

#include "kesu/arena/invariant.h"
#include "kesu/tracker/compact_id_util.h"

namespace kesu {

namespace {

using RopeNode = InternalNode<RopeCache>;

// Takes the first child whose visible length is at least the remainder.
struct PreferLeftFinder {
  size_t left;
  FindResult find_node(const RopeNode& n) {
    size_t before = left;
    for (size_t i = 0; i < n.len; ++i) {
      size_t len = n.children[i].cache.active_len;
      if (left <= len) return {i, true};
      before = left;
      left -= len;
    }
    left = before;
    return {size_t(n.len) - 1, false};
  }
  FindResult confirm_elem(const FugueSpan& e) {
    if (!e.is_activated()) return {0, left == 0};
    return {left, left <= e.rle_len()};
  }
};

// Takes the first child whose visible length exceeds the remainder.
struct PreferRightFinder {
  size_t left;
  FindResult find_node(const RopeNode& n) {
    size_t before = left;
    for (size_t i = 0; i < n.len; ++i) {
      size_t len = n.children[i].cache.active_len;
      if (left < len) return {i, true};
      before = left;
      left -= len;
    }
    left = before;
    return {size_t(n.len) - 1, false};
  }
  FindResult confirm_elem(const FugueSpan& e) { return {left, left < e.active_len()}; }
};

// The id of element `offset` of a span.
CompactId element_id(const FugueSpan& s, uint64_t offset) {
  return compact_id_or_fatal(s.id.peer, int64_t(s.id.counter) + int64_t(offset));
}

bool span_contains(const IdSpan& s, const CompactId& id) {
  if (s.peer != id.peer()) return false;
  int64_t lo = s.counter.min();
  return id.counter() >= lo && id.counter() < lo + int64_t(s.counter.length());
}

}  // namespace

std::optional<Cursor> CrdtRope::query_prefer_left(size_t pos) const {
  auto r = tree_.query_with(PreferLeftFinder{pos});
  if (!r) return std::nullopt;
  return r->cursor;
}

std::optional<Cursor> CrdtRope::query_prefer_right(size_t pos) const {
  auto r = tree_.query_with(PreferRightFinder{pos});
  if (!r) return std::nullopt;
  return r->cursor;
}

CrdtRope::InsertResult CrdtRope::insert_span(size_t pos, FugueSpan span,
                                             const LeafFinder& leaf_of) {
  // Marks of an earlier diff mean nothing once statuses or the structure
  // change; dropping them first also keeps the marked-span count exact, which
  // cutting or joining a marked span would not.
  clear_diff_status();
  if (tree_.is_empty()) {
    if (pos != 0) {
      invariant_failed("assertion `left == right` failed\n  left: " + std::to_string(pos) +
                       "\n right: 0");
    }
    return {tree_.push(std::move(span)).leaf, {}};
  }
  // The descent of query_prefer_left, keeping the place of the start leaf:
  // the neighbours needed below are then read from its bottom node's child
  // list instead of being searched for through the leaf's parent link, and
  // the insertion itself needs no lookup either.
  using Place = CrdtRopeTree::LeafPlace;
  PreferLeftFinder finder{pos};
  CrdtRopeTree::DescentPath path;
  // The walk for the right origin usually reads the next leaf: both leaves
  // are requested together.
  std::optional<Place> found = tree_.descend(finder, &path, 1);
  if (!found) invariant_failed(kMsgUnwrapNone);
  const Place start_place = *found;
  const FugueSpan* start_elem = &tree_.elem_at(start_place);
  const size_t start_offset = finder.confirm_elem(*start_elem).index;

  // The element immediately left of the insertion point.
  std::optional<CompactId> left_origin;
  if (start_offset == 0) {
    if (auto prev = tree_.prev_place(start_place)) {
      const FugueSpan& l = tree_.elem_at(*prev);
      if (l.rle_len() == 0) invariant_failed("assertion failed: left_node.elem().rle_len() > 0");
      left_origin = element_id(l, l.rle_len() - 1);
    }
  } else {
    const FugueSpan& s = *start_elem;
    if (s.rle_len() < start_offset)
      invariant_failed("assertion failed: left_node.elem().rle_len() >= start.offset()");
    left_origin = element_id(s, start_offset - 1);
  }

  // The first element to the right that is not future; the future spans
  // passed on the way are the concurrent inserts standing at this point.
  std::optional<CompactId> right_origin;
  std::optional<LeafIndex> parent_right;
  // Pointers, not copies: the arena never moves a live element, and nothing
  // changes the tree until the insertion point is chosen.
  std::vector<std::pair<Place, const FugueSpan*>>& between = scratch_between_;
  between.clear();
  {
    std::optional<Place> at = start_place;
    const FugueSpan* e = start_elem;
    size_t off = start_offset;
    while (at) {
      if (off < e->rle_len()) {
        if (!e->status.future) {
          right_origin = element_id(*e, off);
          if (off > 0 || e->origin_left == left_origin) parent_right = at->leaf;
          break;
        }
        between.emplace_back(*at, e);
      }
      at = tree_.next_place(*at);
      if (at) e = &tree_.elem_at(*at);
      off = 0;
    }
  }
  span.origin_left = left_origin;
  span.origin_right = right_origin;

  Place at_place = start_place;
  size_t at_offset = start_offset;
  if (!between.empty()) {
    bool scanning = false;
    std::vector<IdSpan>& visited = scratch_visited_;
    visited.clear();
    for (const auto& [oplace, other_ptr] : between) {
      const FugueSpan& other = *other_ptr;
      bool same_left = other.origin_left == span.origin_left;
      if (!same_left) {
        if (!other.origin_left) break;
        bool inside = std::any_of(visited.begin(), visited.end(), [&](const IdSpan& v) {
          return span_contains(v, *other.origin_left);
        });
        if (!inside) break;
      }
      visited.push_back(IdSpan{
          other.id.peer, {other.id.counter, Counter(int64_t(other.id.counter) + other.rle_len())}});
      // The end of the other span.
      auto take_end = [&, &oplace = oplace] {
        at_place = oplace;
        at_offset = other.rle_len();
      };
      if (!same_left) {
        if (!scanning) take_end();
        continue;
      }
      if (other.origin_right == span.origin_right) {
        if (other.id.peer > span.id.peer) break;
        take_end();
        scanning = false;
        continue;
      }
      std::optional<LeafIndex> other_parent_right;
      if (other.origin_right) {
        std::optional<LeafIndex> l = leaf_of(other.origin_right->to_id());
        if (!l) invariant_failed(kMsgUnwrapNone);
        const FugueSpan& rs = tree_.get_elem(*l);
        if (rs.id.peer != other.origin_right->peer() ||
            rs.id.counter != other.origin_right->counter()) {
          invariant_failed("assertion failed: the right origin starts its span");
        }
        if (rs.origin_left == span.origin_left) other_parent_right = *l;
      }
      std::strong_ordering ord = compare_leaf_order(other_parent_right, parent_right);
      if (ord < 0) {
        scanning = true;
      } else if (ord == 0) {
        if (other.id.peer > span.id.peer) break;
        take_end();
        scanning = false;
      } else {
        take_end();
        scanning = false;
      }
    }
  }

  auto [cursor, split] = tree_.insert_at_place(at_place, at_offset, std::move(span), &path);
  InsertResult out{cursor.leaf, {}};
  if (split) out.splits.push(*split);
  return out;
}

std::vector<SplitLeaves> CrdtRope::delete_range(ID start_id, size_t pos, size_t len, bool reversed,
                                                const DeleteNotify& notify) {
  std::vector<SplitLeaves> out;
  if (len == 0) return out;
  clear_diff_status();
  if (reversed && len > 1) {
    // From the back, so that the positions of the remaining elements hold.
    out.reserve(len);
    for (size_t i = len; i-- > 0;) {
      ID id{start_id.peer, counter_add_sat(start_id.counter, int64_t(i))};
      auto part = delete_range(id, pos + i, 1, false, notify);
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  }
  std::optional<Cursor> start = query_prefer_right(pos);
  if (!start) invariant_failed(kMsgUnwrapNone);
  size_t off = start->offset;
  const FugueSpan& first = tree_.get_elem(start->leaf);

  if (off + len <= first.rle_len()) {
    auto mark = [&](FugueSpan& piece) {
      if (!piece.is_activated()) invariant_failed("assertion failed: elem.is_activated()");
      notify(piece);
      piece.status.delete_times = 1;
      if (!piece.real_id) piece.real_id = compact_id_or_fatal(start_id.peer, start_id.counter);
      start_id.counter = counter_add_sat(start_id.counter, piece.rle_len());
    };
    auto [alive, splits] = tree_.update_leaf(start->leaf, [&](FugueSpan& e) {
      std::pair<std::optional<FugueSpan>, std::optional<FugueSpan>> r;
      uint32_t n = e.rle_len(), a = uint32_t(off), b = uint32_t(off + len);
      std::optional<FugueSpan> tail;
      if (b < n) tail = e.slice(b, n);
      if (a == 0) {
        if (tail) e = e.slice(0, b);
        mark(e);
        r.first = std::move(tail);
      } else {
        FugueSpan mid = e.slice(a, b);
        e = e.slice(0, a);
        mark(mid);
        r.first = std::move(mid);
        r.second = std::move(tail);
      }
      return r;
    });
    (void)alive;
    out.push_back(splits);
    return out;
  }

  std::optional<Cursor> end = query_prefer_left(pos + len);
  if (!end) invariant_failed(kMsgUnwrapNone);
  SplitLeaves splits =
      tree_.update_range(*start, *end, [&](FugueSpan& e) -> std::optional<RopeCacheDiff> {
        if (!e.is_activated()) return std::nullopt;
        notify(e);
        e.status.delete_times = 1;
        if (!e.real_id) e.real_id = compact_id_or_fatal(start_id.peer, start_id.counter);
        uint32_t n = e.rle_len();
        start_id.counter = counter_add_sat(start_id.counter, n);
        return RopeCacheDiff{-int32_t(n), 0};
      });
  out.push_back(splits);
  return out;
}

std::strong_ordering CrdtRope::compare_leaf_order(std::optional<LeafIndex> a,
                                                  std::optional<LeafIndex> b) const {
  if (!a) return b ? std::strong_ordering::greater : std::strong_ordering::equal;
  if (!b) return std::strong_ordering::less;
  if (*a == *b) return std::strong_ordering::equal;
  int c = tree_.compare_leaf_order(*a, *b);
  return c < 0 ? std::strong_ordering::less
               : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

namespace {

void apply_update(FugueSpan& s, const SpanStatusUpdate& u, bool on_diff_status) {
  Status* target = &s.status;
  if (on_diff_status) {
    if (!s.diff_status) s.diff_status = s.status;
    target = &*s.diff_status;
  }
  if (u.set_future) target->future = *u.set_future;
  target->add_delete_times(u.delete_times_delta);
}

enum class Cover { kNone, kWhole, kPart };

// How much of the span an update names: none of its elements, all of them,
// or only some (then the span must be cut).
Cover coverage(const FugueSpan& s, const IdSpan& ids) {
  if (ids.peer != s.id.peer) return Cover::kNone;
  int64_t lo = ids.counter.min();
  int64_t hi = lo + int64_t(ids.counter.length());
  int64_t base = s.id.counter;
  int64_t end = base + int64_t(s.rle_len());
  if (hi <= base || lo >= end) return Cover::kNone;
  return lo <= base && hi >= end ? Cover::kWhole : Cover::kPart;
}

}  // namespace

void CrdtRope::apply_to_whole_span(FugueSpan& s, const SpanStatusUpdate& u,
                                   bool on_diff_status) {
  RopeCache before = CrdtRopeTrait::elem_cache(s);
  apply_update(s, u, on_diff_status);
  RopeCache after = CrdtRopeTrait::elem_cache(s);
  RopeCacheDiff d{int32_t(after.active_len - before.active_len),
                  int32_t(after.changed_count - before.changed_count)};
  if (d.active_len != 0 || d.changed_count != 0) tree_.recursive_update_cache(u.leaf, d);
}

bool CrdtRope::apply_whole_span_update(const SpanStatusUpdate& u, bool on_diff_status) {
  FugueSpan& s = tree_.get_elem_mut(u.leaf);
  Cover c = coverage(s, u.ids);
  if (c == Cover::kPart) return false;
  // As for a batch: a change of `status` drops the marks of an earlier diff.
  if (!on_diff_status) clear_diff_status();
  if (c == Cover::kNone) return true;
  apply_to_whole_span(s, u, on_diff_status);
  return true;
}

bool CrdtRope::apply_whole_span_updates(std::span<const SpanStatusUpdate> updates,
                                        bool on_diff_status) {
  for (const SpanStatusUpdate& u : updates)
    if (coverage(tree_.get_elem(u.leaf), u.ids) == Cover::kPart) return false;
  // Every update changes its span as a whole: each is applied in place, in
  // the order given (which is the order a grouping by leaf would keep for
  // updates of one leaf), and its change of counts carried up at once.
  for (const SpanStatusUpdate& u : updates) {
    FugueSpan& s = tree_.get_elem_mut(u.leaf);
    if (coverage(s, u.ids) == Cover::kNone) continue;
    apply_to_whole_span(s, u, on_diff_status);
  }
  return true;
}

std::vector<LeafIndex> CrdtRope::apply_status_updates(std::vector<SpanStatusUpdate> updates,
                                                      bool on_diff_status) {
  return apply_status_updates(std::span<SpanStatusUpdate>(updates), on_diff_status);
}

std::vector<LeafIndex> CrdtRope::apply_status_updates(std::span<SpanStatusUpdate> updates,
                                                      bool on_diff_status) {
  if (!on_diff_status) clear_diff_status();
  // Moving between neighbouring versions flips a few whole spans (one per
  // replayed single-element insert): no span is cut, so nothing needs the
  // grouping by leaf below.
  if (updates.size() <= kDirectCacheUpdates &&
      apply_whole_span_updates(std::span<const SpanStatusUpdate>(updates), on_diff_status))
    return {};
  auto by_leaf = [](const SpanStatusUpdate& a, const SpanStatusUpdate& b) {
    return a.leaf < b.leaf;
  };
  if (updates.size() <= kInsertionSortLimit) {
    // Moving between neighbouring versions changes a handful of spans; an
    // insertion sort keeps them stable without the merge sort's buffer.
    for (size_t i = 1; i < updates.size(); ++i) {
      SpanStatusUpdate u = updates[i];
      size_t j = i;
      for (; j > 0 && by_leaf(u, updates[j - 1]); --j) updates[j] = updates[j - 1];
      updates[j] = u;
    }
  } else {
    std::stable_sort(updates.begin(), updates.end(), by_leaf);
  }
  struct Held {
    LeafIndex after;
    std::vector<FugueSpan> pieces;
  };
  std::vector<Held> held;
  std::vector<std::pair<LeafIndex, RopeCacheDiff>>& changed = scratch_changed_;
  std::vector<std::pair<uint32_t, uint32_t>>& ranges = scratch_ranges_;
  std::vector<uint32_t>& cuts = scratch_cuts_;
  changed.clear();

  for (size_t i = 0; i < updates.size();) {
    size_t j = i;
    LeafIndex leaf = updates[i].leaf;
    while (j < updates.size() && updates[j].leaf == leaf) ++j;
    FugueSpan& span = tree_.get_elem_mut(leaf);
    RopeCache before = CrdtRopeTrait::elem_cache(span);
    uint32_t n = span.rle_len();
    int64_t base = span.id.counter;

    ranges.clear();
    cuts.clear();
    for (size_t k = i; k < j; ++k) {
      const IdSpan& ids = updates[k].ids;
      int64_t lo = ids.counter.min();
      int64_t cnt = ids.counter.length();
      auto clamp = [&](int64_t v) { return uint32_t(std::clamp<int64_t>(v, 0, n)); };
      uint32_t a = clamp(lo - base), b = clamp(lo + cnt - base);
      if (ids.peer != span.id.peer) a = b = 0;  // names no element of this span
      ranges.emplace_back(a, b);
      if (a >= b) continue;
      if (a != 0) cuts.push_back(a);
      if (b != n) cuts.push_back(b);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    if (cuts.empty()) {
      for (size_t k = i; k < j; ++k)
        if (ranges[k - i].first < ranges[k - i].second)
          apply_update(span, updates[k], on_diff_status);
    } else {
      Held h{leaf, {}};
      FugueSpan whole = span;
      uint32_t from = 0;
      for (size_t c = 0; c <= cuts.size(); ++c) {
        uint32_t to = c < cuts.size() ? cuts[c] : n;
        FugueSpan piece = whole.slice(from, to);
        for (size_t k = i; k < j; ++k) {
          auto [a, b] = ranges[k - i];
          if (a < b && a <= from && to <= b) apply_update(piece, updates[k], on_diff_status);
        }
        if (c == 0) {
          span = std::move(piece);
        } else {
          h.pieces.push_back(std::move(piece));
        }
        from = to;
      }
      held.push_back(std::move(h));
    }
    RopeCache after = CrdtRopeTrait::elem_cache(span);
    RopeCacheDiff d{int32_t(after.active_len - before.active_len),
                    int32_t(after.changed_count - before.changed_count)};
    if (d.active_len != 0 || d.changed_count != 0) changed.emplace_back(leaf, d);
    i = j;
  }
  // A few changed leaves are cheaper to carry up one by one than to gather in a
  // map; both give the same sums.
  if (changed.size() <= kDirectCacheUpdates) {
    for (const auto& [leaf, d] : changed) tree_.recursive_update_cache(leaf, d);
  } else {
    CrdtRopeTree::CacheDiffMap diffs;
    diffs.reserve(changed.size());
    for (const auto& [leaf, d] : changed) diffs.emplace(leaf, d);
    tree_.apply_cache_diff_map(std::move(diffs));
  }

  std::vector<LeafIndex> created;
  for (Held& h : held) {
    Cursor at{h.after, tree_.get_elem(h.after).rle_len()};
    for (FugueSpan& p : h.pieces) {
      RopeCache before = CrdtRopeTrait::elem_cache(tree_.get_elem(at.leaf));
      RopeCache added = CrdtRopeTrait::elem_cache(p);
      auto [c, split] = tree_.insert_by_path(at, std::move(p));
      (void)split;  // insertion at the end of an element never cuts it
      if (c.leaf != at.leaf) {
        created.push_back(c.leaf);
      } else {
        // Joined onto the previous piece: two marked pieces make one marked
        // span, so the count the insertion added on the way up is corrected.
        RopeCache now = CrdtRopeTrait::elem_cache(tree_.get_elem(at.leaf));
        RopeCacheDiff fix{int32_t(now.active_len - before.active_len - added.active_len),
                          int32_t(now.changed_count - before.changed_count - added.changed_count)};
        if (fix.active_len != 0 || fix.changed_count != 0)
          tree_.recursive_update_cache(at.leaf, fix);
      }
      at = Cursor{c.leaf, tree_.get_elem(c.leaf).rle_len()};
    }
  }
  return created;
}

void CrdtRope::clear_diff_status() {
  if (tree_.root_cache().changed_count == 0) return;
  CrdtRopeTree::CacheDiffMap diffs;
  std::vector<ArenaSlotIndex> work{tree_.root()};
  while (!work.empty()) {
    const RopeNode& n = tree_.node(work.back());
    work.pop_back();
    for (size_t i = 0; i < n.len; ++i) {
      if (n.children[i].cache.changed_count == 0) continue;
      if (n.leaf_children) {
        LeafIndex l = tree_.child_index(n, i).unwrap_leaf();
        FugueSpan& s = tree_.get_elem_mut(l);
        if (s.diff_status) {
          s.diff_status.reset();
          diffs.emplace(l, RopeCacheDiff{0, -1});
        }
      } else {
        work.push_back(tree_.child_index(n, i).unwrap_internal());
      }
    }
  }
  if (!diffs.empty()) tree_.apply_cache_diff_map(std::move(diffs));
}

CrdtRopeDiffIter::CrdtRopeDiffIter(const CrdtRopeTree* tree) : tree_(tree) {
  queue_.emplace_back(ArenaIndex::internal(tree->root()), 0);
}

std::optional<CrdtRopeDelta> CrdtRopeDiffIter::next() {
  if (pending_) {
    std::optional<CrdtRopeDelta> out = std::move(pending_);
    pending_.reset();
    return out;
  }
  while (!queue_.empty()) {
    auto [idx, pos] = queue_.front();
    queue_.pop_front();
    if (idx.is_internal()) {
      if (!tree_->contains_internal(idx.index)) invariant_failed(kMsgUnwrapNone);
      const RopeNode& n = tree_->node(idx.index);
      size_t p = pos;
      for (size_t i = 0; i < n.len; ++i) {
        const auto& c = n.children[i];
        if (c.cache.changed_count > 0) queue_.emplace_back(tree_->child_index(n, i), p);
        p += c.cache.active_len;
      }
      continue;
    }
    const FugueSpan* s = tree_->try_get_elem(idx.unwrap_leaf());
    if (!s) invariant_failed(kMsgUnwrapNone);
    if (!s->diff_status) continue;
    bool was = s->status.is_activated(), now = s->diff_status->is_activated();
    if (now && !was) {
      if (!s->real_id) invariant_failed(kMsgUnwrapNone);
      RopeInsert ins;
      if (s->id.peer != kPlaceholderPeer) ins.lamport = s->id.lamport;
      ins.chunk = s->content;
      ins.id = s->real_id->to_id();
      if (pos > last_) {
        pending_ = ins;
        size_t gap = pos - last_;
        last_ = pos;
        return RopeRetain{gap};
      }
      return ins;
    }
    if (was && !now) {
      RopeDelete del{s->rle_len()};
      size_t prev = last_;
      last_ = pos + s->rle_len();
      if (pos > prev) {
        pending_ = del;
        return RopeRetain{pos - prev};
      }
      return del;
    }
  }
  return std::nullopt;
}

}  // namespace kesu
