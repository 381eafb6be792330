// RichtextState: the current value of a text container. Text runs and style
// anchors live in one B-tree (entity order); beside it, an optional style
// range map answers which styles cover a position, and a one-leaf cursor
// cache lets consecutive edits at one place skip the descent from the root.
//
// Positions arrive in five units (PosType). The entity index is the state's
// own address: every code point and every style anchor counts 1. Callers check
// positions against the totals (len()) before calling; positions past the
// end are broken invariants here.
//
// Not thread-safe: used under the document state's lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kesu/richtext/richtext_tree.h"
#include "kesu/richtext/style_range_map.h"

namespace kesu {

// One leaf remembered with its start position in each unit asked so far.
struct CursorCache {
  LeafIndex leaf;
  std::array<std::optional<size_t>, kPosTypeCount> starts{};
};

// A piece of text to delete, as the operations that inserted it see it.
struct EntityRangeInfo {
  ID id_start;
  size_t entity_start = 0;
  size_t entity_end = 0;
  size_t len = 0;
  bool operator==(const EntityRangeInfo&) const = default;
};

struct DrainResult {
  // (entity start, entity end, event start, event end) of text before the
  // removed range whose styles changed because a removed end anchor no longer
  // closes its style.
  std::optional<std::array<size_t, 4>> style_change;
  size_t event_start = 0;
  size_t event_end = 0;
};

// A run of text with the styles that cover all of it.
struct StyledRun {
  TextChunk text;
  Styles styles;
};

// Follows removed elements in order and takes the style of every removed end
// anchor out of the runs before it, recording the range whose styles changed.
struct DrainStyleTracker {
  StyleRangeMap* map = nullptr;
  uint64_t pos = 0;                 // entity position of the next removed element
  uint64_t min_start = UINT64_MAX;  // earliest position whose styles changed
  uint64_t max_end = 0;             // latest removed end anchor
  void visit(const RichtextStateChunk& chunk);
};

class RichtextState {
 public:
  RichtextState() = default;
  RichtextState(const RichtextState&) = delete;
  RichtextState& operator=(const RichtextState&) = delete;
  RichtextState(RichtextState&&) = default;
  RichtextState& operator=(RichtextState&&) = default;

  // Builds a state from elements in sequence order (the loader's path).
  static RichtextState from_elems(std::vector<RichtextStateChunk> elems);

  bool is_empty() const { return tree_.is_empty(); }
  // Total length in a unit.
  size_t len(PosType t) const { return size_t(tree_.root_cache().get(t)); }
  const RichtextTree& tree() const { return tree_; }
  // The visible text.
  std::string to_string() const;
  // The elements in order (copies share buffers and style operations).
  std::vector<RichtextStateChunk> chunks() const;

  // ---- position conversion ------------------------------------------------

  // Cursor of a position (right-biased descent); none for an empty state.
  std::optional<QueryResult> query(size_t pos, PosType t) const;
  // Position of a cursor in a unit, from the caches on its path.
  size_t index_of_cursor(Cursor c, PosType t) const;
  // Position of a leaf's first unit.
  size_t leaf_start(LeafIndex l, PosType t) const;
  // Position of a leaf's first unit in every unit, from one walk up its path.
  PosCache leaf_starts(LeafIndex l) const;
  size_t event_index_of(size_t pos, PosType t) const;
  size_t unicode_to_pos(size_t pos, PosType target) const;
  // A position in one unit as a position in another; none when pos is past
  // the end. A bytes or UTF-16 position inside a character maps to the start
  // of that character.
  std::optional<size_t> convert_pos(size_t pos, PosType from, PosType to) const;
  // Code-point position -> position in `target`; none past the end.
  std::optional<size_t> convert_unicode_pos(size_t pos, PosType target) const;
  // Converts [start, end) in `unit` to entities, appends the text of that
  // entity range to `out` and returns (entity start, entity length).
  // Positions past the end are an OutOfBound error, end < start an
  // EndIndexLessThanStartIndex error.
  KesuResult<std::pair<size_t, size_t>> read_range_in_unit(std::string& out, PosType unit,
                                                           size_t start, size_t end) const;
  // The text pieces of a range, with the operation ids that inserted them.
  std::vector<EntityRangeInfo> entity_ranges_for_delete(size_t pos, size_t len, PosType t) const;

  // ---- cursor cache --------------------------------------------------------

  // A cursor at pos when the cached leaf covers it (from its start to its
  // end inclusive); a miss drops the cache.
  std::optional<Cursor> cached_cursor(size_t pos, PosType t);
  // Start of the cached leaf, computed once per unit.
  std::optional<size_t> cached_leaf_start(PosType t);
  const std::optional<CursorCache>& cursor_cache() const { return cursor_cache_; }
  void clear_cursor_cache() { cursor_cache_.reset(); }
  // Remembers `leaf`; another leaf than the cached one forgets the starts.
  void seed_cursor_cache(LeafIndex leaf);

  // ---- insertion -------------------------------------------------------------

  // Where text typed at `pos` goes: (entity index, cursor). (0, none) when empty.
  std::pair<size_t, std::optional<Cursor>> entity_index_for_text_insert(size_t pos, PosType t);
  // Inserts text at an entity index. Invalid UTF-8 is refused with ArgErr and
  // changes nothing. Returns the cursor at the start of the inserted text.
  KesuResult<Cursor> insert_text_at_entity(size_t entity_index, BytesSlice bytes, IdFull id);
  // Inserts a run or an anchor at an entity index; returns the event index of
  // the insertion point and the styles in force there.
  std::pair<size_t, Styles> insert_elem_at_entity(size_t entity_index, RichtextStateChunk elem);

  // ---- styles and removal ----------------------------------------------------

  const StyleRangeMap* style_ranges() const { return style_ranges_.get(); }
  // The map, created on first use.
  StyleRangeMap& style_ranges_mut();
  // Inserts the end anchor at `end` and the start anchor at `start`, then
  // covers [start, end + 2) in the map. An empty state is a broken invariant
  // ("Cannot mark an empty tree").
  void mark_with_entity_index(size_t start, size_t end, const StyleOpHandle& style);
  // Covers [start, end) in the map without touching the sequence.
  void annotate_style_map(size_t start, size_t end, const StyleOpHandle& style);
  // Removes [pos, pos + len) entities; removed elements go to `sink` in order.
  DrainResult drain_by_entity_index(size_t pos, size_t len,
                                    std::vector<RichtextStateChunk>* sink = nullptr);
  // The text split at style boundaries, each run with its styles (anchors
  // are skipped).
  std::vector<StyledRun> iter_with_styles() const;

 private:
  // Entity descent that also counts the code points before the cursor.
  std::pair<QueryResult, size_t> query_entity_with_event(size_t entity) const;
  // One descent by `from` that also reads the position in `to`.
  size_t convert_by_descent(size_t pos, PosType from, PosType to) const;
  // Fills the cached leaf's missing starts from its start in every unit.
  void record_cached_starts(const PosCache& start);
  // The cached leaf's start in every unit, when all are known.
  std::optional<PosCache> cached_starts() const;
  size_t event_of_entity(size_t entity) const;
  std::pair<size_t, Cursor> anchor_walk(LeafIndex first, size_t entity, bool stop_at_nonzero_text,
                                        PosType t) const;

  RichtextTree tree_;
  std::unique_ptr<StyleRangeMap> style_ranges_;
  std::optional<CursorCache> cursor_cache_;
};

}  // namespace kesu
