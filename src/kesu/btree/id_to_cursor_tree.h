// The tree behind a large insert set of the tracker's id-to-cursor map: runs of
// consecutive operation identifiers, each run naming the span-rope leaf that
// holds those elements.
#pragma once

#include <cstdint>
#include <string>

#include "kesu/btree/btree.h"
#include "kesu/btree/length_finder.h"
#include "kesu/btree/sum_cache.h"

namespace kesu {

struct InsertPiece {
  LeafIndex leaf;    // span-rope leaf holding the elements of this run
  uint32_t len = 0;  // run length
  friend bool operator==(const InsertPiece&, const InsertPiece&) = default;
};

struct IdToCursorTrait : SumCache<uint32_t, int32_t> {
  using Elem = InsertPiece;
  using Cache = uint32_t;
  using CacheDiff = int32_t;
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem& e) { return e.len; }
  // The head keeps the offset; the tail names the same leaf with the rest.
  static Elem split_at(Elem& e, size_t offset) {
    Elem tail{e.leaf, static_cast<uint32_t>(e.len - offset)};
    e.len = static_cast<uint32_t>(offset);
    return tail;
  }
  static bool can_merge(const Elem& a, const Elem& b) { return a.leaf == b.leaf; }
  static void merge_right(Elem& a, Elem&& b) { a.len += b.len; }
  static void merge_left(Elem& a, Elem&& b) { a.len += b.len; }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem& e) { return e.len; }
  static std::string debug(const Elem& e) {
    return "InsertPiece { leaf: " + debug_string(e.leaf) + ", len: " + std::to_string(e.len) + " }";
  }
};

using IdToCursorTree = BTree<IdToCursorTrait>;
using IdToCursorFinder = LengthFinder<IdToCursorTrait>;

}  // namespace kesu
