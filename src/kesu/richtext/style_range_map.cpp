#include "kesu/richtext/style_range_map.h"

#include "kesu/btree/length_finder.h"

namespace kesu {

namespace {
using Trait = StyleRangeTrait<Styles>;
using Finder = LengthFinder<Trait>;
}  // namespace

StyleRangeMap::StyleRangeMap() {
  tree_.push(Trait::Elem{Styles{}, kInitialLen});
}

std::optional<QueryResult> StyleRangeMap::query(uint64_t pos) const {
  Finder f(pos);
  return tree_.query(f);
}

void StyleRangeMap::annotate(uint64_t start, uint64_t end, const StyleOpHandle& style,
                             AnnotateOutput* out) {
  if (tree_.is_empty()) invariant_failed(kMsgUnreachable);
  auto s = query(start);
  auto e = query(end);
  if (!s || !e) invariant_failed(kMsgUnwrapNone);
  has_style_ = true;
  tree_.update_range(s->cursor, e->cursor, [&](Trait::Elem& el) -> std::optional<int64_t> {
    el.styles.insert(style);
    if (out) {
      uint64_t p = out->pos;
      out->ranges.emplace_back(el.styles, p, p + el.len);
      out->pos = p + el.len;
    }
    return std::nullopt;
  });
}

const Styles& StyleRangeMap::insert(uint64_t pos, uint64_t len) {
  if (!has_style_) return empty_styles();
  if (pos == tree_.root_cache()) {
    tree_.push(Trait::Elem{Styles{}, len});
    return empty_styles();
  }
  if (pos == 0) {
    LeafIndex first = *tree_.first_leaf();
    auto& el = tree_.get_elem_mut(first);
    if (el.styles.empty()) {
      el.len += len;
      tree_.recursive_update_cache(first, std::optional<int64_t>(int64_t(len)));
    } else {
      tree_.insert_by_path(Cursor{first, 0}, Trait::Elem{Styles{}, len});
    }
    return empty_styles();
  }
  auto right = query(pos);
  auto left = query(pos - 1);
  if (!right || !left) invariant_failed(kMsgUnwrapNone);
  if (right->cursor.leaf == left->cursor.leaf) {
    LeafIndex l = right->cursor.leaf;
    tree_.get_elem_mut(l).len += len;
    tree_.recursive_update_cache(l, std::optional<int64_t>(int64_t(len)));
    return tree_.get_elem(l).styles;
  }
  Styles inter =
      tree_.get_elem(left->cursor.leaf).styles.intersect(tree_.get_elem(right->cursor.leaf).styles);
  auto [c, split] =
      tree_.insert_by_path(Cursor{right->cursor.leaf, 0}, Trait::Elem{std::move(inter), len});
  (void)split;
  return tree_.get_elem(c.leaf).styles;
}

void StyleRangeMap::remove(uint64_t start, uint64_t end) {
  if (!has_style_) return;
  auto s = query(start);
  auto e = query(end);
  if (!s || !e) invariant_failed(kMsgUnwrapNone);
  if (s->cursor.leaf == e->cursor.leaf) {
    LeafIndex l = s->cursor.leaf;
    uint64_t n = end > start ? end - start : 0;
    tree_.get_elem_mut(l).len -= n;
    tree_.recursive_update_cache(l, std::optional<int64_t>(-int64_t(n)));
    if (tree_.get_elem(l).len == 0) tree_.remove_leaf(l);
    return;
  }
  auto d = tree_.drain(s, e);
  while (d.next()) {
  }
}

Styles StyleRangeMap::styles_at(const StyleRangeMap* map, uint64_t pos) {
  if (!map || !map->has_style_ || pos == 0) return Styles{};
  auto left = map->query(pos - 1);
  if (!left) invariant_failed(kMsgUnwrapNone);
  const auto& le = map->tree_.get_elem(left->cursor.leaf);
  if (left->cursor.offset + 1 < le.len) return le.styles;
  std::optional<ArenaIndex> next = map->tree_.next_sibling(left->cursor.leaf);
  while (next && map->tree_.get_elem(next->unwrap_leaf()).len == 0)
    next = map->tree_.next_sibling(*next);
  if (!next) invariant_failed(kMsgUnwrapNone);
  return le.styles.intersect(map->tree_.get_elem(next->unwrap_leaf()).styles);
}

void StyleRangeMap::for_each_in_range(uint64_t start, uint64_t end,
                                      const std::function<void(const Styles&, uint64_t)>& f) const {
  if (end <= start) return;
  auto s = query(start);
  auto e = query(end);
  if (!s || !e) invariant_failed(kMsgUnwrapNone);
  auto it = tree_.iter_range(s->cursor, e->cursor);
  while (auto sl = it.next()) {
    uint64_t a = sl->start.value_or(0);
    uint64_t b = sl->end ? *sl->end : sl->elem->len;
    if (b > a) f(sl->elem->styles, b - a);
  }
}

std::vector<std::tuple<uint64_t, uint64_t, Styles>> StyleRangeMap::styled_ranges() const {
  std::vector<std::tuple<uint64_t, uint64_t, Styles>> out;
  uint64_t pos = 0;
  for (const auto& el : tree_) {
    if (!el.styles.empty()) out.emplace_back(pos, pos + el.len, el.styles);
    pos += el.len;
  }
  return out;
}

std::optional<uint64_t> StyleRangeMap::remove_style_ending_at(uint64_t pos, const StyleOp& style) {
  auto q = query(pos);
  if (!q) return std::nullopt;
  std::optional<uint64_t> earliest;
  uint64_t el_start = pos - q->cursor.offset;
  std::optional<ArenaIndex> cur = ArenaIndex(q->cursor.leaf);
  while (cur) {
    LeafIndex l = cur->unwrap_leaf();
    auto& el = tree_.get_elem_mut(l);
    if (!el.styles.remove(style)) break;
    earliest = el_start;
    cur = tree_.prev_sibling(l);
    if (cur) el_start -= tree_.get_elem(cur->unwrap_leaf()).len;
  }
  return earliest;
}

}  // namespace kesu
