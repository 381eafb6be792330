// Rebuilding a rich-text state from its elements in order, and gathering the
// pieces of elements that a run of operation ids inserted.
#pragma once

#include <cstdint>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "kesu/richtext/richtext_state.h"

namespace kesu {

// Collects elements in order and pairs each start anchor with its end anchor
// to recover the entity range of every style.
class RichtextStateLoader {
 public:
  // Takes one element. An end anchor whose start anchor has not come is kept
  // in the sequence but covers nothing: a state rebuilt from its elements
  // must load even when an earlier removal took the start anchor away.
  void push(RichtextStateChunk chunk);

  const std::vector<RichtextStateChunk>& elements() const { return elements_; }
  // (style, start, end): completed style ranges in the order their end anchors came.
  const std::vector<std::tuple<StyleOpHandle, uint64_t, uint64_t>>& styles() const {
    return styles_;
  }
  uint64_t entity_index() const { return entity_index_; }
  // Number of end anchors that had no start anchor.
  size_t orphan_end_anchors() const { return orphan_ends_; }

  // Builds the state: the tree from the elements, then every style range.
  RichtextState into_state() &&;

 private:
  std::vector<RichtextStateChunk> elements_;
  std::vector<std::tuple<StyleOpHandle, uint64_t, uint64_t>> styles_;
  std::unordered_map<ID, uint64_t> start_anchor_pos_;
  uint64_t entity_index_ = 0;
  size_t orphan_ends_ = 0;
};

// Appends to `out` the piece of `chunk` whose operation ids fall inside
// `target` (either direction). An anchor is one id and is never cut: a target
// that covers only part of it is a broken invariant.
void collect_chunks_in_id_span(const IdSpan& target, std::vector<RichtextStateChunk>& out,
                               const RichtextStateChunk& chunk);

}  // namespace kesu
