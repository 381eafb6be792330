#include "kesu/tracker/id_to_cursor.h"

#include <algorithm>
#include <string>
#include <utility>

#include "kesu/arena/invariant.h"

namespace kesu {

namespace {

// A small set switches to the tree form when updated while holding this many pieces.
constexpr size_t kLargeThreshold = 32;

}  // namespace

// ---- PieceList ---------------------------------------------------------------

void PieceList::push_back(InsertPiece p) {
  if (n_ == 0) {
    one_ = p;
  } else {
    if (n_ == 1) {
      heap_ = std::make_unique<std::vector<InsertPiece>>();
      heap_->reserve(4);
      heap_->push_back(one_);
    }
    heap_->push_back(p);
  }
  ++n_;
}

// ---- InsertSet -----------------------------------------------------------------

InsertSet::InsertSet(InsertPiece piece) : len_(piece.len) {
  pieces_.push_back(piece);
}

InsertSet::InsertSet(std::vector<InsertPiece> pieces) {
  if (pieces.empty()) invariant_failed(kMsgUnwrapNone);
  for (const InsertPiece& p : pieces) {
    pieces_.push_back(p);
    len_ += p.len;
  }
}

uint32_t InsertSet::len() const {
  return tree_ ? tree_->root_cache() : len_;
}

std::vector<InsertPiece> InsertSet::to_pieces() const {
  std::vector<InsertPiece> out;
  if (tree_) {
    for (const InsertPiece& p : *tree_) out.push_back(p);
  } else {
    for (size_t i = 0; i < pieces_.size(); ++i) out.push_back(pieces_[i]);
  }
  return out;
}

void InsertSet::to_large() {
  auto t = std::make_unique<IdToCursorTree>();
  // Pieces naming the same leaf as the tree's last element are joined by push.
  for (size_t i = 0; i < pieces_.size(); ++i) t->push(pieces_[i]);
  pieces_.clear();
  tree_ = std::move(t);
}

void InsertSet::update(uint32_t from, uint32_t to, LeafIndex new_leaf) {
  if (from > to) invariant_failed("assertion failed: from <= to");
  if (to > len()) invariant_failed("assertion failed: to <= self.rle_len()");
  if (!tree_ && pieces_.size() >= kLargeThreshold) to_large();
  if (from == to) return;
  if (!tree_) {
    PieceList out;
    uint64_t s = 0;
    bool placed = false;
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const InsertPiece p = pieces_[i];
      uint64_t e = s + p.len;
      if (!placed) {
        if (e <= from) {
          out.push_back(p);
        } else {
          if (s < from) out.push_back({p.leaf, uint32_t(from - s)});
          out.push_back({new_leaf, to - from});
          placed = true;
          if (e > to) out.push_back({p.leaf, uint32_t(e - to)});
        }
      } else if (e <= to) {
        // wholly inside the updated range: covered by the new piece
      } else if (s < to) {
        out.push_back({p.leaf, uint32_t(e - to)});
      } else {
        out.push_back(p);
      }
      s = e;
    }
    pieces_ = std::move(out);
    return;
  }
  auto qs = tree_->query_with(IdToCursorFinder(from));
  if (!qs) return;
  auto qe = tree_->query_with(IdToCursorFinder(to));
  Cursor end;
  if (qe) {
    end = qe->cursor;
  } else {
    auto e = tree_->end_cursor();
    if (!e) invariant_failed(kMsgUnwrapNone);
    end = *e;
  }
  tree_->update_range(qs->cursor, end, [&](InsertPiece& p) -> std::optional<int32_t> {
    p.leaf = new_leaf;
    return std::nullopt;
  });
}

std::optional<LeafIndex> InsertSet::leaf_at(uint32_t offset) const {
  if (!tree_) {
    uint64_t sum = 0;
    for (size_t i = 0; i < pieces_.size(); ++i) {
      sum += pieces_[i].len;
      if (sum > offset) return pieces_[i].leaf;
    }
    invariant_failed(kMsgUnreachable);
  }
  auto q = tree_->query_with(IdToCursorFinder(offset));
  if (!q) return std::nullopt;
  const InsertPiece* p = tree_->try_get_elem(q->cursor.leaf);
  if (!p) return std::nullopt;
  return p->leaf;
}

void InsertSet::replace_pieces(std::vector<InsertPiece> pieces) {
  if (tree_) invariant_failed(kMsgUnreachable);
  uint64_t sum = 0;
  PieceList out;
  for (const InsertPiece& p : pieces) {
    sum += p.len;
    out.push_back(p);
  }
  if (sum != len_) invariant_failed("assertion failed: pieces cover the set");
  pieces_ = std::move(out);
}

void InsertSet::extend_last(uint32_t n) {
  if (tree_ || pieces_.empty()) invariant_failed(kMsgUnreachable);
  pieces_.back().len += n;
  len_ += n;
}

InsertSet::RangeIter InsertSet::iter_range(PeerID peer, Counter counter0, Counter start,
                                           Counter end) const {
  RangeIter it;
  it.set_ = this;
  it.peer_ = peer;
  it.start_ = start;
  it.end_ = end;
  it.counter_ = counter0;
  if (tree_) {
    if (tree_->is_empty()) {
      it.done_ = true;
    } else if (start > counter0) {
      auto q = tree_->query_with(IdToCursorFinder(size_t(int64_t(start) - counter0)));
      if (!q) {
        it.done_ = true;
      } else {
        it.counter_ = int64_t(start) - int64_t(q->cursor.offset);
        it.tree_it_ = std::make_unique<IdToCursorTree::RangeIter>(
            tree_->iter_range_to_end(Cursor{q->cursor.leaf, 0}));
      }
    } else {
      auto first = tree_->first_leaf();
      it.tree_it_ =
          std::make_unique<IdToCursorTree::RangeIter>(tree_->iter_range_to_end(Cursor{*first, 0}));
    }
  }
  return it;
}

std::optional<IdInsertItem> InsertSet::RangeIter::next() {
  if (done_) return std::nullopt;
  if (!set_->tree_) {
    while (index_ < set_->pieces_.size()) {
      const InsertPiece& p = set_->pieces_[index_++];
      int64_t lo = std::max(counter_, start_), hi = std::min(counter_ + int64_t(p.len), end_);
      counter_ += p.len;
      if (lo < hi) return IdInsertItem{IdSpan{peer_, {Counter(lo), Counter(hi)}}, p.leaf};
    }
    done_ = true;
    return std::nullopt;
  }
  auto s = tree_it_->next();
  if (!s) {
    done_ = true;
    return std::nullopt;
  }
  const InsertPiece& p = *s->elem;
  int64_t lo = std::max(counter_, start_), hi = std::min(counter_ + int64_t(p.len), end_);
  counter_ += p.len;
  if (lo >= hi) {
    done_ = true;
    return std::nullopt;
  }
  return IdInsertItem{IdSpan{peer_, {Counter(lo), Counter(hi)}}, p.leaf};
}

// ---- IdCursor --------------------------------------------------------------------

uint32_t IdCursor::rle_len() const {
  switch (v_.index()) {
    case 0:
      return std::get<0>(v_).len();
    case 1:
      return std::get<1>(v_).counter.length();
    default:
      return 1;
  }
}

bool IdCursor::can_merge(const IdCursor& a, const IdCursor& b) {
  if (a.is_insert() && b.is_insert()) {
    const InsertSet& x = a.as_insert();
    const InsertSet& y = b.as_insert();
    if (!x.is_small() || !y.is_small() || y.len() != 1) return false;
    if (x.small_pieces().empty() || y.small_pieces().empty()) invariant_failed(kMsgUnwrapNone);
    return y.small_pieces()[0].leaf == x.small_pieces().back().leaf;
  }
  if (a.is_delete() && b.is_delete()) return a.as_delete().can_merge(b.as_delete());
  return false;
}

void IdCursor::merge_right(IdCursor& a, const IdCursor& b) {
  if (a.is_insert() && b.is_insert()) {
    if (b.as_insert().len() != 1) invariant_failed("assertion failed: b.len == 1");
    a.as_insert().extend_last(1);
    return;
  }
  if (a.is_delete() && b.is_delete()) {
    std::get<1>(a.v_).merge(b.as_delete());
    return;
  }
  invariant_failed(kMsgUnreachable);
}

// ---- IdToCursor ------------------------------------------------------------------

std::optional<size_t> IdToCursor::locate_before_last(const FragmentList& frags, Counter c) {
  // The search gallops back from the last fragment, so that its cost grows
  // with the distance from the end rather than with the list.
  size_t n = frags.size();
  if (n == 0) return std::nullopt;
  if (frags[n - 1].counter <= c) return n - 1;
  // frags[hi].counter > c throughout; lo, once found, has frags[lo].counter <= c.
  size_t hi = n - 1, lo = 0;
  for (size_t step = 1;; step *= 2) {
    if (step > hi) {
      if (frags[0].counter > c) return std::nullopt;
      lo = 0;
      break;
    }
    size_t probe = hi - step;
    if (frags[probe].counter <= c) {
      lo = probe;
      break;
    }
    hi = probe;
  }
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    if (frags[mid].counter <= c) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return lo;
}

IdToCursor::~IdToCursor() {
  if (records_may_hold_heap_) return;
  for (const std::unique_ptr<FragmentList>& list : lists_) list->release_without_destroying();
}

void IdToCursor::push(ID id, IdCursor cursor) {
  note_record(cursor);
  FragmentList& list = list_for(id.peer);
  if (!list.empty()) {
    IdFragment& last = list.back();
    uint32_t last_len = last.cursor.rle_len();
    if (int64_t(last.counter) + last_len == id.counter &&
        IdCursor::can_merge(last.cursor, cursor) &&
        uint64_t(last_len) + cursor.rle_len() <= kMaxMergedFragment) {
      IdCursor::merge_right(last.cursor, cursor);
      return;
    }
  }
  if (cursor.is_insert() && cursor.as_insert().is_small() &&
      cursor.as_insert().len() > kMaxInsertFragment) {
    const InsertSet& set = cursor.as_insert();
    if (set.small_pieces().size() != 1) invariant_failed("assertion failed: set.set.len() == 1");
    LeafIndex leaf = set.small_pieces()[0].leaf;
    uint32_t len = set.len();
    for (uint32_t k = 0; uint64_t(k) * kMaxInsertFragment < len; ++k) {
      uint32_t n = std::min(kMaxInsertFragment, len - k * kMaxInsertFragment);
      list.push_back(IdFragment{Counter(int64_t(id.counter) + int64_t(k) * kMaxInsertFragment),
                                IdCursor::insert(leaf, n)});
    }
    return;
  }
  list.push_back(IdFragment{id.counter, std::move(cursor)});
}

void IdToCursor::push_insert(ID id, LeafIndex leaf, uint32_t len) {
  FragmentList& list = list_for(id.peer);
  if (!list.empty() && len == 1) {
    // What push would do with the record of a one-element insert, without
    // building the record first: typing in one run extends the last record.
    IdFragment& last = list.back();
    if (last.cursor.is_insert()) {
      InsertSet& set = last.cursor.as_insert();
      if (set.is_small()) {
        if (set.small_pieces().empty()) invariant_failed(kMsgUnwrapNone);
        uint32_t last_len = set.len();
        if (int64_t(last.counter) + last_len == id.counter &&
            set.small_pieces().back().leaf == leaf && last_len + 1 <= kMaxMergedFragment) {
          set.extend_last(1);
          return;
        }
      }
    }
  }
  if (len > kMaxInsertFragment) {
    push(id, IdCursor::insert(leaf, len));
    return;
  }
  list.push_back_made([&] { return IdFragment{id.counter, IdCursor::insert(leaf, len)}; });
}

void IdToCursor::push_whole(ID id, IdCursor cursor) {
  note_record(cursor);
  list_for(id.peer).push_back(IdFragment{id.counter, std::move(cursor)});
}

FragmentList& IdToCursor::add_list(PeerID peer) {
  size_t s = peers_.find_or_add(peer);
  if (s == lists_.size()) lists_.push_back(std::make_unique<FragmentList>());
  return *lists_[s];
}

std::optional<LeafIndex> IdToCursor::get_insert(ID id) const {
  const FragmentList* frags = fragments(id.peer);
  if (!frags) return std::nullopt;
  // A counter before the peer's first record was never received: like a gap.
  std::optional<size_t> i = locate(*frags, id.counter);
  if (!i) return std::nullopt;
  const IdFragment& f = (*frags)[*i];
  int64_t offset = int64_t(id.counter) - f.counter;
  if (offset >= int64_t(f.cursor.rle_len())) return std::nullopt;
  if (f.cursor.is_insert()) return f.cursor.as_insert().leaf_at(uint32_t(offset));
  if (f.cursor.is_delete()) invariant_failed(kMsgUnreachable);
  if (offset != 0) invariant_failed("assertion failed: pos == 0");
  return f.cursor.as_move().to;
}

void IdToCursor::update_insert(const IdSpan& span, LeafIndex new_leaf) {
  records_may_hold_heap_ = true;  // the update may cut a run into pieces
  FragmentList* frags = fragments_mut(span.peer);
  if (!frags || frags->empty()) invariant_failed(kMsgUnwrapNone);
  int64_t start = span.counter.start, end = span.counter.end;
  size_t i = locate(*frags, span.counter.start).value_or(0);
  int64_t pos = start;
  while (pos < end && i < frags->size()) {
    IdFragment& f = (*frags)[i];
    int64_t n = f.cursor.rle_len();
    if (pos >= f.counter + n) break;
    int64_t from = pos - f.counter;
    int64_t to = std::min(n, end - f.counter);
    if (from > to) invariant_failed("assertion failed: from <= to");
    if (to > n) invariant_failed("assertion failed: to <= self.rle_len()");
    if (f.cursor.is_move()) invariant_unreachable("update_insert on Move");
    if (f.cursor.is_delete()) invariant_failed(kMsgUnreachable);
    f.cursor.as_insert().update(uint32_t(from), uint32_t(to), new_leaf);
    pos += to - from;
    ++i;
  }
  if (pos != end) {
    invariant_failed("assertion `left == right` failed\n  left: " + std::to_string(pos) +
                     "\n right: " + std::to_string(end));
  }
}

IdToCursorIter IdToCursor::iter(const IdSpan& span) const {
  IdToCursorIter it;
  it.peer_ = span.peer;
  if (span.counter.end >= span.counter.start) {
    it.start_ = span.counter.start;
    it.end_ = span.counter.end;
  } else {
    it.start_ = Counter(span.counter.end + 1);
    it.end_ = Counter(span.counter.start + 1);
  }
  it.frags_ = fragments(span.peer);
  if (it.frags_) it.index_ = locate(*it.frags_, it.start_).value_or(0);
  return it;
}

std::optional<IdIterItem> IdToCursorIter::next() {
  while (true) {
    if (sub_) {
      if (auto x = sub_->next()) return IdIterItem(*x);
      sub_.reset();
    }
    if (!frags_ || index_ >= frags_->size()) return std::nullopt;
    const IdFragment& f = (*frags_)[index_];
    if (f.counter >= end_) return std::nullopt;
    ++index_;
    int64_t len = f.cursor.rle_len();
    if (int64_t(f.counter) + len <= start_) continue;
    if (f.cursor.is_insert()) {
      const InsertSet& set = f.cursor.as_insert();
      if (set.is_small() && set.small_pieces().size() == 1) {
        // Most records are one run in one leaf: its part of [start, end) is
        // the whole item, with no walk over pieces to set up.
        int64_t lo = std::max<int64_t>(f.counter, start_);
        int64_t hi = std::min<int64_t>(int64_t(f.counter) + len, end_);
        if (lo < hi)
          return IdIterItem(
              IdInsertItem{IdSpan{peer_, {Counter(lo), Counter(hi)}}, set.small_pieces()[0].leaf});
        continue;
      }
      sub_ = set.iter_range(peer_, f.counter, start_, end_);
      continue;
    }
    if (f.cursor.is_delete()) {
      const IdSpan& t = f.cursor.as_delete();
      int64_t from = std::max<int64_t>(int64_t(start_) - f.counter, 0);
      int64_t to = std::min<int64_t>(int64_t(end_) - f.counter, len);
      if (from >= to) continue;
      if (uint64_t(to) > t.counter.length())
        invariant_failed("assertion failed: len <= self.content_len()");
      return IdIterItem(
          IdDeleteItem{IdSpan{t.peer, t.counter.slice(uint32_t(from), uint32_t(to))}});
    }
    const IdCursor::Move& m = f.cursor.as_move();
    return IdIterItem(IdMoveItem{ID{peer_, f.counter}, m.from, m.to});
  }
}

}  // namespace kesu
