// The tree of the style range map: runs of text positions that carry the same
// set of styles. `Styles` is the style map type of its owner; it must be
// copyable and comparable with ==.
#pragma once

#include <cstdint>
#include <utility>

#include "kesu/btree/btree.h"
#include "kesu/btree/length_finder.h"
#include "kesu/btree/sum_cache.h"

namespace kesu {

template <typename Styles>
struct StyleRangeElem {
  Styles styles;
  uint64_t len = 0;
};

template <typename Styles>
struct StyleRangeTrait : SumCache<uint64_t, int64_t> {
  using Elem = StyleRangeElem<Styles>;
  using Cache = uint64_t;
  using CacheDiff = int64_t;
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem& e) { return static_cast<size_t>(e.len); }
  // Both parts take a copy of the styles; the head keeps the offset as its length.
  static Elem split_at(Elem& e, size_t offset) {
    Elem tail{e.styles, e.len - offset};
    e.len = offset;
    return tail;
  }
  static bool can_merge(const Elem& a, const Elem& b) { return b.len == 0 || a.styles == b.styles; }
  // The earlier run's styles stay.
  static void merge_right(Elem& a, Elem&& b) { a.len += b.len; }
  static void merge_left(Elem& a, Elem&& b) {
    a.len += b.len;
    a.styles = std::move(b.styles);
  }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem& e) { return e.len; }
};

template <typename Styles>
using StyleRangeTree = BTree<StyleRangeTrait<Styles>>;

}  // namespace kesu
