#include "kesu/tracker/tracker.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <utility>

#include "kesu/arena/invariant.h"
#include "kesu/tracker/compact_id_util.h"

namespace kesu {

namespace {

IdSpan span_ids(const FugueSpan& s) {
  return IdSpan{s.id.peer, {s.id.counter, counter_add_sat(s.id.counter, s.rle_len())}};
}

IdSpan single(PeerID peer, Counter c) {
  return IdSpan{peer, CounterSpan::single(c)};
}

// Insert records of at most this many ids are rebuilt in one pass when
// several new leaves land in them.
constexpr uint32_t kRebuildLimit = 256;

}  // namespace

Tracker::Tracker() {
  FugueSpan placeholder;
  placeholder.id = IdFull{kPlaceholderPeer, 0, 0};
  placeholder.content = RichtextChunk::unknown(kPlaceholderLen);
  LeafIndex leaf = rope_.push(placeholder);
  id_to_cursor_.push_whole(ID{kPlaceholderPeer, 0}, IdCursor::insert(leaf, kPlaceholderLen));
}

VersionVector Tracker::to_version(const std::vector<Counter>& v) const {
  VersionVector out;
  for (size_t s = 0; s < v.size(); ++s)
    if (v[s] > 0) out.set(peers_.peer(s), v[s]);
  return out;
}

void Tracker::bring_forward(PeerID peer, Counter end) {
  Counter from = std::max<Counter>(current_[slot_of(peer)], 0);
  if (from >= end) return;
  std::vector<SpanStatusUpdate> updates;
  collect_forward_updates(IdSpan{peer, {from, end}}, updates);
  apply_updates(std::move(updates), false);
}

void Tracker::insert(IdFull op, size_t pos, RichtextChunk content) {
  uint32_t len = content.len();
  Counter last = counter_add_sat(op.counter, int64_t(len) - 1);
  size_t slot = slot_of(op.peer);
  Counter applied_end = applied_[slot];
  if (applied_end > op.counter) {
    if (current_[slot] <= last) bring_forward(op.peer, counter_add_sat(op.counter, len));
    if (applied_end > last) {
      raise(current_[slot], counter_add_sat(last, 1));
      return;
    }
    uint32_t start = uint32_t(applied_end - op.counter);
    op.lamport += start;
    op.counter = applied_end;
    pos += start;
    content = content.slice_range(start, len);
  }
  integrate_insert(pos, content, op, true);
}

void Tracker::integrate_insert(size_t pos, RichtextChunk content, IdFull op, bool update_versions) {
  FugueSpan span;
  span.id = op;
  if (op.peer != kPlaceholderPeer) span.real_id = compact_id_or_fatal(op.peer, op.counter);
  span.content = content;
  uint32_t len = content.len();
  CrdtRope::InsertResult r =
      rope_.insert_span(pos, span, [this](ID id) { return id_to_cursor_.get_insert(id); });
  id_to_cursor_.push_insert(op.id(), r.leaf, len);
  register_split_leaves(std::span<const LeafIndex>(r.splits.begin(), r.splits.end()));
  if (update_versions) {
    Counter end = counter_add_sat(op.counter, len);
    if (end >= 1) {
      size_t slot = slot_of(op.peer);
      raise(current_[slot], end);
      raise(applied_[slot], end);
    }
  }
}

void Tracker::remove(ID op, ID target_start, size_t pos, size_t len, bool reverse) {
  Counter last = counter_add_sat(op.counter, int64_t(len) - 1);
  size_t slot = slot_of(op.peer);
  Counter applied_end = applied_[slot];
  if (applied_end > op.counter) {
    if (current_[slot] <= last) bring_forward(op.peer, counter_add_sat(op.counter, int64_t(len)));
    if (applied_end > last) {
      raise(current_[slot], counter_add_sat(last, 1));
      return;
    }
    uint32_t start = uint32_t(applied_end - op.counter);
    op.counter = applied_end;
    len -= start;
    // The replayed prefix of a forward delete removed the first elements of the
    // range; of a reverse one, the last. Either way the rest begins at pos.
    if (!reverse) target_start.counter = counter_add_sat(target_start.counter, start);
  }
  std::vector<IdSpan> targets;
  std::vector<SplitLeaves> splits =
      rope_.delete_range(target_start, pos, len, reverse, [&](const FugueSpan& piece) {
        int64_t a = piece.id.counter;
        uint32_t n = piece.rle_len();
        if (reverse && n != 0) {
          targets.push_back(IdSpan{piece.id.peer, {Counter(a + n - 1), Counter(a - 1)}});
        } else {
          targets.push_back(IdSpan{piece.id.peer, {Counter(a), Counter(a + n)}});
        }
      });
  Counter cur = op.counter;
  for (const IdSpan& t : targets) {
    id_to_cursor_.push(ID{op.peer, cur}, IdCursor::del(t));
    cur = counter_add_sat(cur, t.counter.length());
  }
  for (const SplitLeaves& s : splits)
    register_split_leaves(std::span<const LeafIndex>(s.begin(), s.end()));
  Counter end = counter_add_sat(op.counter, int64_t(len));
  if (end >= 1) {
    raise(current_[slot], end);
    raise(applied_[slot], end);
  }
}

void Tracker::move_item(IdFull op, ID deleted_id, size_t from_pos, size_t to_pos) {
  size_t slot = slot_of(op.peer);
  Counter next = counter_add_sat(op.counter, 1);
  if (applied_[slot] > op.counter) {
    if (current_[slot] <= op.counter) bring_forward(op.peer, next);
    if (next >= 1) raise(current_[slot], next);
    return;
  }
  std::optional<ID> removed;
  std::vector<SplitLeaves> splits = rope_.delete_range(
      deleted_id, from_pos, 1, false, [&](const FugueSpan& piece) { removed = piece.id.id(); });
  for (const SplitLeaves& s : splits)
    register_split_leaves(std::span<const LeafIndex>(s.begin(), s.end()));
  FugueSpan anchor;
  anchor.id = op;
  if (op.peer != kPlaceholderPeer) anchor.real_id = compact_id_or_fatal(op.peer, op.counter);
  anchor.content = RichtextChunk::move_anchor();
  CrdtRope::InsertResult r =
      rope_.insert_span(to_pos, anchor, [this](ID id) { return id_to_cursor_.get_insert(id); });
  register_split_leaves(std::span<const LeafIndex>(r.splits.begin(), r.splits.end()));
  if (!removed) throw InternalError("move_item: the delete removed nothing");
  id_to_cursor_.push(op.id(), IdCursor::move(*removed, r.leaf));
  if (op.counter < INT32_MAX) {
    raise(current_[slot], next);
    raise(applied_[slot], next);
  }
}

void Tracker::remove_signed(ID op, ID target_start, size_t pos, int64_t signed_len) {
  size_t len = size_t(signed_len < 0 ? -signed_len : signed_len);
  size_t start = signed_len < 1 ? size_t(int64_t(pos) + signed_len + 1) : pos;
  remove(op, target_start, start, len, signed_len < 0);
}

void Tracker::register_split_leaves(std::span<const LeafIndex> leaves) {
  if (leaves.empty()) return;
  if (leaves.size() == 1) {
    id_to_cursor_.update_insert(span_ids(rope_.span(leaves[0])), leaves[0]);
    return;
  }
  std::unordered_map<PeerID, std::vector<std::pair<IdSpan, LeafIndex>>> by_peer;
  for (LeafIndex l : leaves) {
    IdSpan s = span_ids(rope_.span(l));
    by_peer[s.peer].emplace_back(s, l);
  }
  for (auto& [peer, list] : by_peer) {
    FragmentList* frags = id_to_cursor_.fragments_mut(peer);
    if (!frags) continue;
    if (list.size() == 1) {
      id_to_cursor_.update_insert(list[0].first, list[0].second);
      continue;
    }
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
      return a.first.counter.start < b.first.counter.start;
    });
    size_t i = 0;
    while (i < list.size()) {
      std::optional<size_t> fi = IdToCursor::locate(*frags, list[i].first.counter.start);
      if (!fi) invariant_failed(kMsgUnwrapNone);
      IdFragment& f = (*frags)[*fi];
      if (f.cursor.is_move()) invariant_unreachable("update_insert_many on Move");
      if (f.cursor.is_delete()) invariant_failed(kMsgUnreachable);
      int64_t fend = int64_t(f.counter) + f.cursor.rle_len();
      // The spans of this record that lie wholly inside it.
      size_t j = i;
      while (j < list.size() && list[j].first.counter.start >= f.counter &&
             list[j].first.counter.end <= fend)
        ++j;
      InsertSet& set = f.cursor.as_insert();
      if (j - i >= 2 && set.is_small() && set.len() <= kRebuildLimit) {
        // Expand to one leaf per element, overwrite, compress back into runs.
        std::array<LeafIndex, kRebuildLimit> per;
        uint32_t k = 0;
        const PieceList& pieces = set.small_pieces();
        for (size_t p = 0; p < pieces.size(); ++p)
          for (uint32_t c = 0; c < pieces[p].len; ++c) per[k++] = pieces[p].leaf;
        for (size_t s = i; s < j; ++s) {
          const IdSpan& ids = list[s].first;
          for (int64_t c = ids.counter.start; c < ids.counter.end; ++c)
            per[size_t(c - f.counter)] = list[s].second;
        }
        std::vector<InsertPiece> runs;
        for (uint32_t c = 0; c < k; ++c) {
          if (!runs.empty() && runs.back().leaf == per[c]) {
            ++runs.back().len;
          } else {
            runs.push_back(InsertPiece{per[c], 1});
          }
        }
        set.replace_pieces(std::move(runs));
        i = j;
        continue;
      }
      if (j == i) {
        // Reaches past the record: the general update walks the records it crosses.
        id_to_cursor_.update_insert(list[i].first, list[i].second);
        ++i;
        continue;
      }
      for (size_t s = i; s < j; ++s) {
        const IdSpan& ids = list[s].first;
        set.update(uint32_t(ids.counter.start - f.counter), uint32_t(ids.counter.end - f.counter),
                   list[s].second);
      }
      i = j;
    }
  }
}

void Tracker::apply_updates(std::vector<SpanStatusUpdate> updates, bool on_diff_status) {
  if (updates.empty()) return;
  std::vector<LeafIndex> created = rope_.apply_status_updates(std::move(updates), on_diff_status);
  register_split_leaves(created);
}

void Tracker::collect_forward_updates(const IdSpan& span,
                                      std::vector<SpanStatusUpdate>& updates) const {
  IdToCursorIter it = id_to_cursor_.iter(span);
  while (auto item = it.next()) {
    if (auto* ins = std::get_if<IdInsertItem>(&*item)) {
      updates.push_back({ins->leaf, ins->ids, false, 0});
    } else if (auto* del = std::get_if<IdDeleteItem>(&*item)) {
      IdToCursorIter t = id_to_cursor_.iter(del->targets);
      while (auto x = t.next()) {
        if (auto* ti = std::get_if<IdInsertItem>(&*x)) {
          updates.push_back({ti->leaf, ti->ids, std::nullopt, 1});
        } else if (auto* tm = std::get_if<IdMoveItem>(&*x)) {
          updates.push_back({tm->to, single(tm->id.peer, tm->id.counter), std::nullopt, 1});
        } else {
          invariant_failed(kMsgUnreachable);
        }
      }
    } else {
      const IdMoveItem& m = std::get<IdMoveItem>(*item);
      IdToCursorIter t = id_to_cursor_.iter(single(m.from.peer, m.from.counter));
      while (auto x = t.next()) {
        if (auto* ti = std::get_if<IdInsertItem>(&*x)) {
          updates.push_back({ti->leaf, ti->ids, std::nullopt, 1});
        } else if (auto* tm = std::get_if<IdMoveItem>(&*x)) {
          updates.push_back({tm->to, single(tm->id.peer, tm->id.counter), std::nullopt, 1});
        } else {
          invariant_failed(kMsgUnreachable);
        }
      }
      updates.push_back({m.to, single(m.id.peer, m.id.counter), false, 0});
    }
  }
}

void Tracker::collect_retreat_updates(const IdSpan& span,
                                      std::vector<SpanStatusUpdate>& updates) const {
  IdToCursorIter it = id_to_cursor_.iter(span);
  while (auto item = it.next()) {
    if (auto* ins = std::get_if<IdInsertItem>(&*item)) {
      updates.push_back({ins->leaf, ins->ids, true, 0});
    } else if (auto* del = std::get_if<IdDeleteItem>(&*item)) {
      IdToCursorIter t = id_to_cursor_.iter(del->targets);
      while (auto x = t.next()) {
        if (auto* ti = std::get_if<IdInsertItem>(&*x)) {
          updates.push_back({ti->leaf, ti->ids, std::nullopt, -1});
        } else if (auto* tm = std::get_if<IdMoveItem>(&*x)) {
          updates.push_back({tm->to, single(tm->id.peer, tm->id.counter), std::nullopt, -1});
        } else {
          invariant_failed(kMsgUnreachable);
        }
      }
    } else {
      const IdMoveItem& m = std::get<IdMoveItem>(*item);
      IdToCursorIter t = id_to_cursor_.iter(single(m.from.peer, m.from.counter));
      bool visited = false;
      while (auto x = t.next()) {
        visited = true;
        if (auto* ti = std::get_if<IdInsertItem>(&*x)) {
          updates.push_back({ti->leaf, ti->ids, std::nullopt, -1});
        } else if (auto* tm = std::get_if<IdMoveItem>(&*x)) {
          updates.push_back({tm->to, single(tm->id.peer, tm->id.counter), std::nullopt, -1});
        } else {
          invariant_failed(kMsgUnreachable);
        }
      }
      if (!visited) invariant_failed("assertion failed: visited");
      updates.push_back({m.to, single(m.id.peer, m.id.counter), true, 0});
    }
  }
}

void Tracker::move_records(PeerID peer, Counter start, Counter end, bool forward,
                           bool on_diff_status, std::vector<SpanStatusUpdate>& rest) {
  const FragmentList* frags = id_to_cursor_.fragments(peer);
  if (!frags) return;
  for (size_t i = IdToCursor::locate(*frags, start).value_or(0), n = frags->size(); i < n; ++i) {
    const IdFragment& f = (*frags)[i];
    if (f.counter >= end) break;
    const bool insert = f.cursor.is_insert();
    int64_t fend = int64_t(f.counter) + (insert ? f.cursor.as_insert().len() : f.cursor.rle_len());
    if (fend <= start) continue;
    IdSpan ids{peer, {std::max(f.counter, start), Counter(std::min<int64_t>(fend, end))}};
    if (insert && f.cursor.as_insert().is_small() &&
        f.cursor.as_insert().small_pieces().size() == 1) {
      // The usual record: one run of inserted elements in one leaf. Its
      // update flips that span as a whole unless the run was cut since.
      SpanStatusUpdate u{f.cursor.as_insert().small_pieces()[0].leaf, ids, !forward, 0};
      if (!rope_.apply_whole_span_update(u, on_diff_status)) rest.push_back(u);
    } else if (forward) {
      collect_forward_updates(ids, rest);
    } else {
      collect_retreat_updates(ids, rest);
    }
  }
}

void Tracker::checkout_to(const VersionVector& version, bool on_diff_status) {
  if (on_diff_status) rope_.clear_diff_status();
  // What the current version holds beyond the target is undone, what the
  // target holds beyond the current version is redone. When neither holds
  // anything beyond the other the two versions are equal (the usual case
  // while operations arrive in order) and nothing changes; comparing them
  // first would only repeat these lookups.
  // A peer the tracker has not met still gets a slot: the current version
  // keeps its entry, as an insert of that peer replayed later must see it.
  std::fill(target_.begin(), target_.end(), 0);
  for (const auto& [peer, to] : version.entries())
    target_[slot_of(peer)] = std::max<Counter>(to, 0);
  // Most records flip one whole span and are applied as they are met; the
  // others are gathered and applied together, which cuts the spans they
  // cover in part. The order does not matter: see apply_whole_span_update.
  std::vector<SpanStatusUpdate>& rest = scratch_updates_;
  rest.clear();
  bool differ = false;
  for (size_t s = 0, n = current_.size(); s < n; ++s) {
    Counter from = current_[s], to = target_[s];
    if (from == to) continue;
    differ = true;
    if (to < from) {
      move_records(peers_.peer(s), to, from, false, on_diff_status, rest);
    } else {
      move_records(peers_.peer(s), from, to, true, on_diff_status, rest);
    }
  }
  if (!differ) return;
  // On diff_status the tracker's own version stays where it is.
  if (!on_diff_status) current_.swap(target_);
  if (!rest.empty()) {
    std::vector<LeafIndex> created =
        rope_.apply_status_updates(std::span<SpanStatusUpdate>(rest), on_diff_status);
    register_split_leaves(created);
  }
}

std::vector<CrdtRopeDelta> Tracker::diff(const VersionVector& from, const VersionVector& to) {
  checkout_to(from, false);
  checkout_to(to, true);
  std::vector<CrdtRopeDelta> out;
  CrdtRopeDiffIter it = rope_.get_diff();
  while (auto d = it.next()) out.push_back(std::move(*d));
  return out;
}

}  // namespace kesu
