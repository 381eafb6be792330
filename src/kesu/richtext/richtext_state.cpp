#include "kesu/richtext/richtext_state.h"

#include <algorithm>
#include <limits>

namespace kesu {

namespace {

Counter saturating_add(Counter c, size_t k) {
  int64_t v = int64_t(c) + int64_t(k);
  if (v > INT32_MAX) return INT32_MAX;
  return Counter(v);
}

bool anchor_stops(const StyleAnchor& a) {
  const StyleOp& s = *a.style;
  if (a.anchor_type == AnchorType::Start) return s.is_removal() || !s.info.expand_before();
  return s.info.expand_after();
}

}  // namespace

void DrainStyleTracker::visit(const RichtextStateChunk& chunk) {
  if (chunk.is_text()) {
    pos += chunk.as_text().unicode_len;
    return;
  }
  const StyleAnchor& a = chunk.as_anchor();
  if (a.anchor_type == AnchorType::End) {
    max_end = std::max(max_end, pos);
    if (map) {
      if (auto start = map->remove_style_ending_at(pos, *a.style))
        min_start = std::min(min_start, *start);
    }
  }
  pos += 1;
}

RichtextState RichtextState::from_elems(std::vector<RichtextStateChunk> elems) {
  RichtextState s;
  elems.erase(std::remove_if(elems.begin(), elems.end(),
                             [](const RichtextStateChunk& c) { return c.entity_len() == 0; }),
              elems.end());
  s.tree_ = RichtextTree::build_from_elems(std::move(elems));
  return s;
}

std::string RichtextState::to_string() const {
  std::string out;
  out.reserve(len(PosType::Bytes));
  for (const auto& e : tree_)
    if (e.is_text()) out += e.as_text().as_str();
  return out;
}

std::vector<RichtextStateChunk> RichtextState::chunks() const {
  std::vector<RichtextStateChunk> out;
  for (const auto& e : tree_) out.push_back(e);
  return out;
}

// ---- position conversion ------------------------------------------------------

std::optional<QueryResult> RichtextState::query(size_t pos, PosType t) const {
  RichtextFinder f(t, pos);
  return tree_.query(f);
}

PosCache RichtextState::leaf_starts(LeafIndex l) const {
  Path p = tree_.get_path(l);
  PosCache sum;
  for (size_t d = 1; d < p.size(); ++d) {
    const auto& parent = tree_.node(p[d - 1].node.index);
    for (size_t i = 0; i < p[d].position; ++i) sum += parent.children[i].cache;
  }
  return sum;
}

size_t RichtextState::leaf_start(LeafIndex l, PosType t) const {
  return size_t(leaf_starts(l).get(t));
}

size_t RichtextState::index_of_cursor(Cursor c, PosType t) const {
  size_t base = leaf_start(c.leaf, t);
  if (c.offset == 0) return base;
  return base + tree_.get_elem(c.leaf).prefix_len(t, c.offset);
}

size_t RichtextState::convert_by_descent(size_t pos, PosType from, PosType to) const {
  // The descent's sums are the found leaf's start in every unit, so the
  // answer needs no walk back up from the leaf.
  RichtextFinder f(from, pos);
  auto q = tree_.query(f);
  if (!q) invariant_failed(kMsgUnwrapNone);
  return size_t(f.before().get(to)) +
         tree_.get_elem(q->cursor.leaf).prefix_len(to, q->cursor.offset);
}

size_t RichtextState::event_index_of(size_t pos, PosType t) const {
  if (is_empty()) return 0;
  if (t == PosType::Event) return pos;
  return convert_by_descent(pos, t, PosType::Event);
}

size_t RichtextState::unicode_to_pos(size_t pos, PosType target) const {
  if (is_empty()) return 0;
  return convert_by_descent(pos, PosType::Unicode, target);
}

std::optional<size_t> RichtextState::convert_pos(size_t pos, PosType from, PosType to) const {
  if (pos > len(from)) return std::nullopt;
  if (is_empty()) return 0;
  if (from == to) return pos;
  return convert_by_descent(pos, from, to);
}

std::optional<size_t> RichtextState::convert_unicode_pos(size_t pos, PosType target) const {
  return convert_pos(pos, PosType::Unicode, target);
}

KesuResult<std::pair<size_t, size_t>> RichtextState::read_range_in_unit(std::string& out,
                                                                        PosType unit, size_t start,
                                                                        size_t end) const {
  size_t entity_start = 0, entity_len = 0;
  if (end < start) return brenvik::Err(KesuError::end_less_than_start(start, end));
  if (end > len(unit)) return brenvik::Err(KesuError::out_of_bound(end, len(unit), "read range"));
  if (unit == PosType::Unicode && (!style_ranges_ || !style_ranges_->has_style())) {
    entity_start = start;
    entity_len = end - start;
  } else {
    size_t s = *convert_pos(start, unit, PosType::Entity);
    size_t e = *convert_pos(end, unit, PosType::Entity);
    entity_start = s;
    entity_len = e - s;
  }
  if (entity_len == 0) return std::pair<size_t, size_t>{entity_start, 0};
  auto s = query(entity_start, PosType::Entity);
  auto e = query(entity_start + entity_len, PosType::Entity);
  if (!s || !e) invariant_failed(kMsgUnwrapNone);
  auto it = tree_.iter_range(s->cursor, e->cursor);
  while (auto sl = it.next()) {
    if (!sl->elem->is_text()) continue;
    const TextChunk& t = sl->elem->as_text();
    size_t a = sl->start.value_or(0), b = sl->end ? *sl->end : t.unicode_len;
    if (b > a) out += t.slice(a, b).as_str();
  }
  return std::pair<size_t, size_t>{entity_start, entity_len};
}

std::vector<EntityRangeInfo> RichtextState::entity_ranges_for_delete(size_t pos, size_t len_,
                                                                     PosType t) const {
  std::vector<EntityRangeInfo> out;
  if (is_empty() || len_ == 0) return out;
  if (len(t) < pos + len_) return out;
  RichtextFinder fs(t, pos);
  auto s = tree_.query(fs);
  auto e = query(pos + len_, t);
  if (!s || !e) invariant_failed(kMsgUnwrapNone);
  // Offsets inside an element count entities.
  size_t i = fs.entity_before() + s->cursor.offset;
  auto it = tree_.iter_range(s->cursor, e->cursor);
  while (auto sl = it.next()) {
    if (!sl->elem->is_text()) {
      if (sl->end && *sl->end == 0) break;
      if (!sl->start || *sl->start == 0) i += 1;
      continue;
    }
    const TextChunk& c = sl->elem->as_text();
    size_t a = sl->start.value_or(0), b = sl->end ? *sl->end : c.unicode_len;
    if (c.unicode_len == 0 || (sl->end && *sl->end == 0)) break;
    if (b <= a) continue;
    EntityRangeInfo info{{c.id.peer, saturating_add(c.id.counter, a)}, i, i + (b - a), b - a};
    if (!out.empty()) {
      EntityRangeInfo& last = out.back();
      if (last.entity_end == info.entity_start && last.id_start.peer == info.id_start.peer &&
          saturating_add(last.id_start.counter, last.len) == info.id_start.counter) {
        last.entity_end += info.len;
        last.len += info.len;
        i += b - a;
        continue;
      }
    }
    out.push_back(info);
    i += b - a;
  }
  return out;
}

// ---- cursor cache --------------------------------------------------------------

void RichtextState::seed_cursor_cache(LeafIndex leaf) {
  if (cursor_cache_ && cursor_cache_->leaf == leaf) return;
  cursor_cache_ = CursorCache{leaf, {}};
}

void RichtextState::record_cached_starts(const PosCache& start) {
  if (!cursor_cache_) return;
  auto& st = cursor_cache_->starts;
  const PosType all[] = {PosType::Bytes, PosType::Unicode, PosType::Utf16, PosType::Event,
                         PosType::Entity};
  for (PosType t : all) {
    auto& slot = st[size_t(t)];
    if (!slot) slot = size_t(start.get(t));
  }
}

std::optional<PosCache> RichtextState::cached_starts() const {
  if (!cursor_cache_) return std::nullopt;
  const auto& st = cursor_cache_->starts;
  for (const auto& slot : st)
    if (!slot) return std::nullopt;
  PosCache c;
  c.bytes = int32_t(*st[size_t(PosType::Bytes)]);
  c.unicode_len = int32_t(*st[size_t(PosType::Unicode)]);
  c.utf16_len = int32_t(*st[size_t(PosType::Utf16)]);
  c.entity_len = int32_t(*st[size_t(PosType::Entity)]);
  return c;
}

std::optional<size_t> RichtextState::cached_leaf_start(PosType t) {
  if (!cursor_cache_) return std::nullopt;
  if (!cursor_cache_->starts[size_t(t)]) {
    if (!tree_.contains_leaf(cursor_cache_->leaf)) {
      cursor_cache_.reset();
      return std::nullopt;
    }
    // One walk up the path gives the start in every unit; keeping them all
    // spares the walk when the next edit asks in another unit.
    record_cached_starts(leaf_starts(cursor_cache_->leaf));
  }
  return cursor_cache_->starts[size_t(t)];
}

std::optional<Cursor> RichtextState::cached_cursor(size_t pos, PosType t) {
  if (!cursor_cache_) return std::nullopt;
  auto& known = cursor_cache_->starts[size_t(t)];
  if (known && pos < *known) {
    cursor_cache_.reset();
    return std::nullopt;
  }
  auto start = cached_leaf_start(t);
  if (!start) return std::nullopt;
  LeafIndex leaf = cursor_cache_->leaf;
  if (pos == *start) return Cursor{leaf, 0};
  const RichtextStateChunk* e = tree_.try_get_elem(leaf);
  if (!e) {
    cursor_cache_.reset();
    return std::nullopt;
  }
  size_t v = *start + e->len_in(t);
  if (pos == v) return Cursor{leaf, e->entity_len()};
  if (pos < v) {
    if (auto off = e->offset_to_entity(t, pos - *start)) return Cursor{leaf, *off};
  }
  cursor_cache_.reset();
  return std::nullopt;
}

// ---- insertion -------------------------------------------------------------------

std::pair<size_t, Cursor> RichtextState::anchor_walk(LeafIndex first, size_t entity, bool,
                                                     PosType) const {
  LeafIndex cur = first;
  while (true) {
    const RichtextStateChunk& e = tree_.get_elem(cur);
    if (e.is_text()) return {entity, Cursor{cur, 0}};
    if (anchor_stops(e.as_anchor())) return {entity, Cursor{cur, 0}};
    entity += 1;
    auto nx = tree_.next_sibling(cur);
    if (!nx) return {entity, Cursor{cur, 1}};
    cur = nx->unwrap_leaf();
  }
}

std::pair<size_t, std::optional<Cursor>> RichtextState::entity_index_for_text_insert(size_t pos,
                                                                                     PosType t) {
  if (is_empty()) return {0, std::nullopt};
  if (auto c = cached_cursor(pos, t)) {
    auto es = cached_leaf_start(PosType::Entity);
    if (es) return {*es + c->offset, *c};
  }
  std::pair<size_t, Cursor> r;
  // Start of the result's leaf in the units other than entities: anchors
  // count in entities only, so passing them changes none of these.
  PosCache start;
  if (pos == 0) {
    LeafIndex first = *tree_.first_leaf();
    // In entities position 0 is unambiguous: before everything, whatever
    // anchors stand there and whether or not a cursor is cached.
    if (t == PosType::Entity || tree_.get_elem(first).is_text()) {
      r = {0, Cursor{first, 0}};
    } else {
      r = anchor_walk(first, 0, true, t);
    }
  } else {
    RichtextFinder f(t, pos - 1);
    auto q = tree_.query(f);
    if (!q) invariant_failed(kMsgUnwrapNone);
    LeafIndex leaf = q->cursor.leaf;
    const RichtextStateChunk& e = tree_.get_elem(leaf);
    size_t o = q->cursor.offset;
    size_t entity = f.entity_before() + o + 1;
    start = f.before();
    if (e.is_text() && o + 1 < e.as_text().unicode_len) {
      r = {entity, Cursor{leaf, o + 1}};
    } else {
      if (e.is_text() && o + 1 != e.as_text().unicode_len)
        invariant_failed("assertion `left == right` failed");
      auto nx = tree_.next_sibling(leaf);
      if (!nx) {
        r = {entity, Cursor{leaf, e.entity_len()}};
      } else if (tree_.get_elem(nx->unwrap_leaf()).is_text()) {
        r = {entity, Cursor{nx->unwrap_leaf(), 0}};
      } else {
        r = anchor_walk(nx->unwrap_leaf(), entity, false, t);
      }
      if (r.second.leaf != leaf) start += RichtextTrait::elem_cache(e);
    }
  }
  start.entity_len = int32_t(r.first - r.second.offset);
  seed_cursor_cache(r.second.leaf);
  cursor_cache_->starts[size_t(PosType::Entity)] = r.first - r.second.offset;
  record_cached_starts(start);
  return {r.first, r.second};
}

KesuResult<Cursor> RichtextState::insert_text_at_entity(size_t entity_index, BytesSlice bytes,
                                                        IdFull id) {
  if (entity_index > len(PosType::Entity)) {
    return brenvik::Err(KesuError::out_of_bound(entity_index, len(PosType::Entity), "insert text"));
  }
  BRENVIK_TRY(TextChunk chunk, TextChunk::make(std::move(bytes), id));
  if (chunk.unicode_len == 0)
    return brenvik::Err(KesuError::with_text(KesuErrorKind::ArgErr, "empty text insert"));
  uint32_t n = chunk.unicode_len;
  if (style_ranges_) style_ranges_->insert(entity_index, n);
  Cursor ret;
  if (is_empty()) {
    ret = tree_.push(RichtextStateChunk::text(std::move(chunk)));
  } else {
    // Start of the insertion leaf in every unit, when known without a walk.
    std::optional<PosCache> c_start;
    std::optional<Cursor> c = cached_cursor(entity_index, PosType::Entity);
    if (c) {
      c_start = cached_starts();
    } else {
      RichtextFinder f(PosType::Entity, entity_index);
      auto q = tree_.query(f);
      if (!q) invariant_failed(kMsgUnwrapNone);
      c = q->cursor;
      c_start = f.before();
    }
    if (c->offset == 0) {
      if (auto prev = tree_.prev_sibling(c->leaf)) {
        LeafIndex pl = prev->unwrap_leaf();
        const RichtextStateChunk& pe = tree_.get_elem(pl);
        c = Cursor{pl, pe.entity_len()};
        if (c_start) *c_start = *c_start - RichtextTrait::elem_cache(pe);
      }
    }
    // Where the new text starts, in every unit: a new leaf starts there.
    std::optional<PosCache> at;
    if (c_start) at = *c_start + prefix_cache(tree_.get_elem(c->leaf), c->offset);
    ret = tree_.insert_by_path(*c, RichtextStateChunk::text(std::move(chunk))).first;
    seed_cursor_cache(ret.leaf);
    if (ret.leaf == c->leaf) {
      if (c_start) record_cached_starts(*c_start);
    } else if (at && ret.offset == 0) {
      record_cached_starts(*at);
    }
  }
  seed_cursor_cache(ret.leaf);
  cursor_cache_->starts[size_t(PosType::Entity)] = entity_index - ret.offset;
  return ret;
}

std::pair<QueryResult, size_t> RichtextState::query_entity_with_event(size_t entity) const {
  RichtextFinder f(PosType::Entity, entity);
  auto q = tree_.query(f);
  if (!q) invariant_failed(kMsgUnwrapNone);
  const RichtextStateChunk& e = tree_.get_elem(q->cursor.leaf);
  size_t ev = f.unicode_before();
  if (e.is_text()) ev += std::min<size_t>(q->cursor.offset, e.as_text().unicode_len);
  return {*q, ev};
}

size_t RichtextState::event_of_entity(size_t entity) const {
  if (entity == 0 || is_empty()) return 0;
  return query_entity_with_event(entity).second;
}

std::pair<size_t, Styles> RichtextState::insert_elem_at_entity(size_t entity_index,
                                                               RichtextStateChunk elem) {
  cursor_cache_.reset();
  if (elem.entity_len() == 0) invariant_failed("inserting an empty element");
  if (entity_index > len(PosType::Entity)) invariant_failed(kMsgUnwrapNone);
  size_t n = elem.entity_len();
  if (is_empty()) {
    Styles st = style_ranges_ ? style_ranges_->insert(entity_index, n) : Styles{};
    tree_.push(std::move(elem));
    return {0, std::move(st)};
  }
  auto [q, ev] = query_entity_with_event(entity_index);
  Styles st = style_ranges_ ? style_ranges_->insert(entity_index, n) : Styles{};
  tree_.insert_by_path(q.cursor, std::move(elem));
  return {ev, std::move(st)};
}

// ---- styles and removal -------------------------------------------------------------

StyleRangeMap& RichtextState::style_ranges_mut() {
  cursor_cache_.reset();
  if (!style_ranges_) style_ranges_ = std::make_unique<StyleRangeMap>();
  return *style_ranges_;
}

void RichtextState::mark_with_entity_index(size_t start, size_t end, const StyleOpHandle& style) {
  cursor_cache_.reset();
  if (is_empty()) invariant_failed("Cannot mark an empty tree");
  if (start > end || end > len(PosType::Entity)) invariant_failed("assertion failed: start <= end");
  insert_elem_at_entity(end, RichtextStateChunk::anchor(style, AnchorType::End));
  insert_elem_at_entity(start, RichtextStateChunk::anchor(style, AnchorType::Start));
  style_ranges_mut().annotate(start, end + 2, style);
}

void RichtextState::annotate_style_map(size_t start, size_t end, const StyleOpHandle& style) {
  cursor_cache_.reset();
  style_ranges_mut().annotate(start, end, style);
}

DrainResult RichtextState::drain_by_entity_index(size_t pos, size_t len_,
                                                 std::vector<RichtextStateChunk>* sink) {
  size_t total = len(PosType::Entity);
  if (pos + len_ > total) {
    invariant_failed("pos: " + std::to_string(pos) + ", len: " + std::to_string(len_) +
                     ", self.len(): " + std::to_string(total));
  }
  cursor_cache_.reset();
  DrainResult res;
  if (len_ == 0) {
    res.event_start = res.event_end = event_of_entity(pos);
    return res;
  }
  auto [q, ev_start] = query_entity_with_event(pos);
  res.event_start = ev_start;
  DrainStyleTracker tracker{style_ranges_.get(), pos, UINT64_MAX, 0};
  LeafIndex leaf = q.cursor.leaf;
  size_t off = q.cursor.offset;
  const RichtextStateChunk& first = tree_.get_elem(leaf);
  bool single = first.is_text() ? off + len_ <= first.as_text().unicode_len : off + len_ <= 1;
  if (single) {
    tracker.visit(first);
    size_t removed_chars = 0;
    if (first.is_text()) {
      if (sink) sink->push_back(RichtextStateChunk::text(first.as_text().slice(off, off + len_)));
      removed_chars = len_;
      tree_.update_leaf(leaf, [&](RichtextStateChunk& e) {
        std::pair<std::optional<RichtextStateChunk>, std::optional<RichtextStateChunk>> more;
        TextChunk& t = e.as_text();
        size_t n = t.unicode_len;
        if (off == 0 && len_ == n) {
          t = TextChunk::empty_run();
        } else if (off == 0) {
          t = t.slice(len_, n);
        } else if (off + len_ == n) {
          t = t.slice(0, off);
        } else {
          TextChunk right = t.slice(off + len_, n);
          t = t.slice(0, off);
          more.first = RichtextStateChunk::text(std::move(right));
        }
        return more;
      });
    } else {
      RichtextStateChunk taken = first;
      tree_.update_leaf(leaf, [&](RichtextStateChunk& e) {
        e = RichtextStateChunk::text(TextChunk::empty_run());
        return std::pair<std::optional<RichtextStateChunk>, std::optional<RichtextStateChunk>>{};
      });
      if (sink) sink->push_back(std::move(taken));
    }
    res.event_end = ev_start + removed_chars;
  } else {
    auto [qe, ev_end] = query_entity_with_event(pos + len_);
    res.event_end = ev_end;
    auto d = tree_.drain(q, qe);
    while (auto e = d.next()) {
      tracker.visit(*e);
      if (sink) sink->push_back(std::move(*e));
    }
  }
  if (style_ranges_) style_ranges_->remove(pos, pos + len_);
  if (tracker.min_start != UINT64_MAX) {
    size_t s = std::min<uint64_t>(pos, tracker.min_start);
    size_t e = std::min<uint64_t>(pos, tracker.max_end);
    if (s != e)
      res.style_change = std::array<size_t, 4>{s, e, event_of_entity(s), event_of_entity(e)};
  }
  return res;
}

std::vector<StyledRun> RichtextState::iter_with_styles() const {
  std::vector<StyledRun> out;
  const StyleRangeMap* map =
      style_ranges_ && style_ranges_->has_style() ? style_ranges_.get() : nullptr;
  uint64_t pos = 0;
  for (const auto& e : tree_) {
    if (!e.is_text()) {
      pos += 1;
      continue;
    }
    const TextChunk& t = e.as_text();
    if (!map) {
      out.push_back({t, Styles{}});
    } else {
      size_t at = 0;
      map->for_each_in_range(pos, pos + t.unicode_len, [&](const Styles& st, uint64_t n) {
        out.push_back({t.slice(at, at + n), st});
        at += n;
      });
    }
    pos += t.unicode_len;
  }
  return out;
}

}  // namespace kesu
