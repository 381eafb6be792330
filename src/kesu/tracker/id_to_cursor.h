// IdToCursor: where each replayed operation took effect in the tracker's rope.
//
// For every operation id the tracker replays, the map records what that id
// did: an insert (the rope leaves that hold the inserted elements), a delete
// (the ids of the elements it removed) or a move (the id of the position the
// element left and the leaf of its new position). Records are kept per peer as
// fragments in ascending counter order; each fragment covers a run of
// consecutive counters with one kind of effect. The map holds only leaf
// handles into the rope; the tracker keeps them right by reporting every leaf
// a rope edit creates (update_insert).
//
// Not thread-safe; belongs to one tracker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include "kesu/btree/id_to_cursor_tree.h"
#include "kesu/common/id.h"
#include "kesu/tracker/block_list.h"
#include "kesu/tracker/peer_slots.h"

namespace kesu {

// A list of insert pieces that keeps one piece inline and moves to the heap
// from the second piece on.
class PieceList {
 public:
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  const InsertPiece& operator[](size_t i) const { return n_ <= 1 ? one_ : (*heap_)[i]; }
  InsertPiece& operator[](size_t i) { return n_ <= 1 ? one_ : (*heap_)[i]; }
  const InsertPiece& back() const { return (*this)[n_ - 1]; }
  InsertPiece& back() { return (*this)[n_ - 1]; }
  void push_back(InsertPiece p);
  void clear() {
    heap_.reset();
    n_ = 0;
  }

 private:
  // One pointer rather than an inline vector: the map holds one list per
  // fragment, and most fragments never leave the inline piece.
  InsertPiece one_{};
  uint32_t n_ = 0;
  std::unique_ptr<std::vector<InsertPiece>> heap_;
};

// An insert item of an iteration: the ids `ids` live in rope leaf `leaf`.
struct IdInsertItem {
  IdSpan ids;
  LeafIndex leaf;
  bool operator==(const IdInsertItem&) const = default;
};
// A delete item: the elements with these ids were removed (possibly backwards).
struct IdDeleteItem {
  IdSpan targets;
  bool operator==(const IdDeleteItem&) const = default;
};
// A move item: the move operation `id` took the element at `from` to the
// anchor in leaf `to`.
struct IdMoveItem {
  ID id;
  ID from;
  LeafIndex to;
  bool operator==(const IdMoveItem&) const = default;
};
using IdIterItem = std::variant<IdInsertItem, IdDeleteItem, IdMoveItem>;

// The rope leaves holding one insert run's elements, in id order: a small list
// of pieces, or (once updated while holding 32 or more pieces) a B-tree.
class InsertSet {
 public:
  // A small set of one piece.
  explicit InsertSet(InsertPiece piece);
  // A small set of the given pieces (non-empty).
  explicit InsertSet(std::vector<InsertPiece> pieces);
  InsertSet(InsertSet&&) noexcept = default;
  InsertSet& operator=(InsertSet&&) noexcept = default;

  // Number of ids the set covers; fixed when the set is made.
  uint32_t len() const;
  bool is_small() const { return tree_ == nullptr; }
  // Pieces of the small form (empty for the large form).
  const PieceList& small_pieces() const { return pieces_; }
  // All pieces in order, whatever the form.
  std::vector<InsertPiece> to_pieces() const;

  // Afterwards offsets [from, to) live in new_leaf; other offsets keep their
  // leaves. Requires from <= to <= len() (fatal otherwise).
  void update(uint32_t from, uint32_t to, LeafIndex new_leaf);
  // The leaf of the element at `offset`; none when the large form cannot
  // place it. A small set that does not cover an offset below its length is
  // a broken invariant.
  std::optional<LeafIndex> leaf_at(uint32_t offset) const;
  // Replaces a small set's pieces in one pass (lengths must sum to len()).
  void replace_pieces(std::vector<InsertPiece> pieces);
  // Grows a small set's last piece (and the set) by n ids.
  void extend_last(uint32_t n);

  // The pieces' ids intersected with [start, end), as (ids of `peer`, leaf);
  // the set's ids begin at counter0. Borrows the set.
  class RangeIter {
   public:
    std::optional<IdInsertItem> next();

   private:
    friend class InsertSet;
    const InsertSet* set_ = nullptr;
    PeerID peer_ = 0;
    int64_t start_ = 0, end_ = 0;
    int64_t counter_ = 0;  // first id of the current piece
    size_t index_ = 0;     // small form: next piece
    // Only the tree form needs a tree walk, and that walk carries two whole
    // paths: keeping it out of line keeps the common iterator small and
    // cheap to hand around.
    std::unique_ptr<IdToCursorTree::RangeIter> tree_it_;
    bool done_ = false;
  };
  RangeIter iter_range(PeerID peer, Counter counter0, Counter start, Counter end) const;

 private:
  void to_large();

  PieceList pieces_;
  uint32_t len_ = 0;
  std::unique_ptr<IdToCursorTree> tree_;
};

// What a run of operation ids did.
class IdCursor {
 public:
  struct Move {
    ID from;
    LeafIndex to;
  };

  static IdCursor insert(InsertSet set) { return IdCursor(std::move(set)); }
  static IdCursor insert(LeafIndex leaf, uint32_t len) {
    return IdCursor(InsertSet(InsertPiece{leaf, len}));
  }
  static IdCursor del(IdSpan targets) { return IdCursor(targets); }
  static IdCursor move(ID from, LeafIndex to) { return IdCursor(Move{from, to}); }

  bool is_insert() const { return v_.index() == 0; }
  bool is_delete() const { return v_.index() == 1; }
  bool is_move() const { return v_.index() == 2; }
  InsertSet& as_insert() { return std::get<0>(v_); }
  const InsertSet& as_insert() const { return std::get<0>(v_); }
  const IdSpan& as_delete() const { return std::get<1>(v_); }
  const Move& as_move() const { return std::get<2>(v_); }

  // Number of ids the cursor covers.
  uint32_t rle_len() const;
  // Whether `b`, pushed right after `a`, may be folded into it.
  static bool can_merge(const IdCursor& a, const IdCursor& b);
  // Folds `b` into `a`; fatal for a pair that cannot merge.
  static void merge_right(IdCursor& a, const IdCursor& b);

 private:
  template <typename V>
  explicit IdCursor(V v) : v_(std::move(v)) {}
  std::variant<InsertSet, IdSpan, Move> v_;
};

struct IdFragment {
  Counter counter = 0;  // first id of the run
  IdCursor cursor;
};

// A peer's fragments in ascending counter order. Replaying concurrent typing
// makes one fragment per character, so the list grows in blocks rather than
// by reallocation: growing never moves the fragments already stored.
using FragmentList = BlockList<IdFragment>;

class IdToCursor;

// Iteration over the records of an id range of one peer, in counter order.
// Borrows the map: it must not outlive a change to it.
class IdToCursorIter {
 public:
  std::optional<IdIterItem> next();

 private:
  friend class IdToCursor;
  const FragmentList* frags_ = nullptr;
  size_t index_ = 0;
  std::optional<InsertSet::RangeIter> sub_;
  PeerID peer_ = 0;
  Counter start_ = 0, end_ = 0;
};

class IdToCursor {
 public:
  // A pushed insert longer than this is cut into fragments of this length.
  static constexpr uint32_t kMaxInsertFragment = 256;
  // A fragment grows by merging up to this many ids.
  static constexpr uint32_t kMaxMergedFragment = 255;

  IdToCursor() = default;
  IdToCursor(const IdToCursor&) = delete;
  IdToCursor& operator=(const IdToCursor&) = delete;
  IdToCursor(IdToCursor&&) noexcept = default;
  IdToCursor& operator=(IdToCursor&&) noexcept = default;
  ~IdToCursor();

  // Records the run starting at `id`. Each peer's runs must be pushed in
  // ascending counter order.
  void push(ID id, IdCursor cursor);
  // push(id, IdCursor::insert(leaf, len)), the record of a replayed insert.
  void push_insert(ID id, LeafIndex leaf, uint32_t len);
  // Records a run as one fragment, however long (the placeholder run).
  void push_whole(ID id, IdCursor cursor);

  // The leaf holding the inserted element `id`; none for an unknown peer or a
  // counter outside every fragment. A delete record is a broken invariant.
  std::optional<LeafIndex> get_insert(ID id) const;

  // The inserted elements `span` (forward) now live in `new_leaf`. The span
  // must be fully covered by insert records (fatal otherwise).
  void update_insert(const IdSpan& span, LeafIndex new_leaf);

  // The records of `span` (either direction).
  IdToCursorIter iter(const IdSpan& span) const;

  // A peer's fragments, or nullptr. The list lives as long as the map.
  // Every status change of a checkout asks: kept inline.
  const FragmentList* fragments(PeerID peer) const {
    size_t s = peers_.find(peer);
    return s == PeerSlots::kNone ? nullptr : lists_[s].get();
  }
  FragmentList* fragments_mut(PeerID peer) {
    records_may_hold_heap_ = true;  // the caller may grow an insert set
    size_t s = peers_.find(peer);
    return s == PeerSlots::kNone ? nullptr : lists_[s].get();
  }

  // Index of the last fragment whose counter is at most c; none when c lies
  // before the first one.
  static std::optional<size_t> locate(const FragmentList& frags, Counter c) {
    // Moving between nearby versions asks for a peer's latest operations
    // most of the time: the last fragment is tried before any search.
    size_t n = frags.size();
    if (n != 0 && frags[n - 1].counter <= c) return n - 1;
    return locate_before_last(frags, c);
  }

 private:
  // locate, for a counter before the last fragment's.
  static std::optional<size_t> locate_before_last(const FragmentList& frags, Counter c);
  // The peer's list, created empty when the peer is new.
  FragmentList& list_for(PeerID peer) {
    size_t s = peers_.find(peer);
    return s != PeerSlots::kNone ? *lists_[s] : add_list(peer);
  }
  // list_for for a peer met for the first time.
  [[gnu::noinline]] FragmentList& add_list(PeerID peer);

  // Notes a record that may own heap memory (an insert set of several
  // pieces or in tree form).
  void note_record(const IdCursor& c) {
    if (c.is_insert() && (!c.as_insert().is_small() || c.as_insert().small_pieces().size() > 1))
      records_may_hold_heap_ = true;
  }

  // The fragment list of each peer, by the peer's slot.
  PeerSlots peers_;
  std::vector<std::unique_ptr<FragmentList>> lists_;
  // False while every record is known to own nothing on the heap (one run
  // in one leaf, a delete or a move): a replay of typing that never cut a
  // run is then dropped without visiting its records.
  bool records_may_hold_heap_ = false;
};

}  // namespace kesu
