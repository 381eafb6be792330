// CrdtRope: the tracker's sequence of FugueSpans in document order.
//
// Every element that was ever inserted stays in the rope, deleted or not.
// Positions given to the rope count only the elements visible at the tracker's
// current version; deleted and future spans take no room. The rope decides
// where a new run goes among concurrent inserts (insert_span), marks ranges
// deleted (delete_range), moves spans between versions in batches
// (apply_status_updates) and walks the spans marked for a diff (get_diff).
//
// The rope holds no ids-to-leaves index of its own: every edit that moves
// elements into new leaves returns those leaves, and the caller (the tracker)
// re-points its index at them before the next edit.
//
// Not thread-safe; used under the owning document state's lock.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "kesu/btree/btree.h"
#include "kesu/common/id.h"
#include "kesu/tracker/fugue_span.h"

namespace kesu {

// Aggregate of a subtree: visible length and number of spans marked for a diff.
struct RopeCache {
  uint32_t active_len = 0;
  uint32_t changed_count = 0;
  bool operator==(const RopeCache&) const = default;
};

struct RopeCacheDiff {
  int32_t active_len = 0;
  int32_t changed_count = 0;
};

struct CrdtRopeTrait {
  using Elem = FugueSpan;
  using Cache = RopeCache;
  using CacheDiff = RopeCacheDiff;
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem& e) { return e.rle_len(); }
  static Elem split_at(Elem& e, size_t offset) {
    uint32_t n = e.rle_len();
    Elem tail = e.slice(uint32_t(offset), n);
    e = e.slice(0, uint32_t(offset));
    return tail;
  }
  static bool can_merge(const Elem& a, const Elem& b) { return FugueSpan::can_merge(a, b); }
  static void merge_right(Elem& a, Elem&& b) { FugueSpan::merge_right(a, std::move(b)); }
  static void merge_left(Elem& a, Elem&& b) { FugueSpan::merge_left(a, std::move(b)); }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem& e) {
    return {e.active_len(), e.diff_status.has_value() ? 1u : 0u};
  }
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache sum;
    for (const auto& k : kids) {
      sum.active_len += k.cache.active_len;
      sum.changed_count += k.cache.changed_count;
    }
    CacheDiff d{int32_t(sum.active_len - out.active_len),
                int32_t(sum.changed_count - out.changed_count)};
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const CacheDiff& d) {
    c.active_len += uint32_t(d.active_len);
    c.changed_count += uint32_t(d.changed_count);
  }
  static void merge_cache_diff(CacheDiff& a, const CacheDiff& b) {
    a.active_len = int32_t(uint32_t(a.active_len) + uint32_t(b.active_len));
    a.changed_count = int32_t(uint32_t(a.changed_count) + uint32_t(b.changed_count));
  }
  static CacheDiff cache_to_diff(const Cache& c) {
    return {int32_t(c.active_len), int32_t(c.changed_count)};
  }
  static std::string debug(const Elem& e) { return e.debug(); }
};

using CrdtRopeTree = BTree<CrdtRopeTrait>;

// A change of status for (part of) the elements held by one rope leaf.
struct SpanStatusUpdate {
  LeafIndex leaf;
  // The elements concerned; the counters may run downwards.
  IdSpan ids;
  // When set, the new value of `future`.
  std::optional<bool> set_future;
  // Added to `delete_times` (16-bit wrapping).
  int16_t delete_times_delta = 0;
};

// Items of a rope diff, in positions of the older version.
struct RopeRetain {
  size_t len = 0;
  bool operator==(const RopeRetain&) const = default;
};
struct RopeInsert {
  // Absent for the placeholder peer's elements.
  std::optional<Lamport> lamport;
  RichtextChunk chunk;
  // Taken from the span's real id.
  ID id;
  bool operator==(const RopeInsert&) const = default;
};
struct RopeDelete {
  size_t len = 0;
  bool operator==(const RopeDelete&) const = default;
};
using CrdtRopeDelta = std::variant<RopeRetain, RopeInsert, RopeDelete>;

class CrdtRope;

// Walks the spans whose diff_status is set, in document order, descending only
// into subtrees that hold such spans. Borrows the rope: it must not outlive a
// change to it.
class CrdtRopeDiffIter {
 public:
  std::optional<CrdtRopeDelta> next();

 private:
  friend class CrdtRope;
  explicit CrdtRopeDiffIter(const CrdtRopeTree* tree);

  const CrdtRopeTree* tree_;
  std::deque<std::pair<ArenaIndex, size_t>> queue_;  // node and its start position
  std::optional<CrdtRopeDelta> pending_;
  size_t last_ = 0;
};

// Maps an element id to the leaf that holds the element now. Borrows the
// callable it is made from, so it lives only as long as that callable: it is
// made for the one call it is passed to (every replayed insert makes one, and
// an owning wrapper would cost more than the rare lookups it serves).
class LeafFinder {
 public:
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, LeafFinder> &&
           std::is_invocable_r_v<std::optional<LeafIndex>, const F&, ID>)
      LeafFinder(const F& f)  // NOLINT: converts like a function reference
      : obj_(&f), call_([](const void* o, ID id) -> std::optional<LeafIndex> {
          return (*static_cast<const F*>(o))(id);
        }) {}
  std::optional<LeafIndex> operator()(ID id) const { return call_(obj_, id); }

 private:
  const void* obj_;
  std::optional<LeafIndex> (*call_)(const void*, ID);
};

class CrdtRope {
 public:
  using LeafFinder = kesu::LeafFinder;
  // Sees each deleted piece as it was before it was marked.
  using DeleteNotify = std::function<void(const FugueSpan&)>;

  struct InsertResult {
    LeafIndex leaf;      // the leaf that holds the new span
    SplitLeaves splits;  // leaves created by cutting the span under the cursor
  };

  CrdtRope() = default;
  CrdtRope(const CrdtRope&) = delete;
  CrdtRope& operator=(const CrdtRope&) = delete;
  CrdtRope(CrdtRope&&) noexcept = default;
  CrdtRope& operator=(CrdtRope&&) noexcept = default;

  const CrdtRopeTree& tree() const { return tree_; }
  // Visible length at the current version.
  size_t active_len() const { return tree_.root_cache().active_len; }
  // Number of spans marked for a diff.
  size_t changed_count() const { return tree_.root_cache().changed_count; }
  const FugueSpan& span(LeafIndex l) const { return tree_.get_elem(l); }

  // Appends a span; returns its leaf.
  LeafIndex push(FugueSpan span) { return tree_.push(std::move(span)).leaf; }

  // Position queries over visible length; none only for a rope with no span.
  // prefer_left: a boundary between two visible runs gives the end of the left
  // run (before any invisible spans after it); the offset inside an invisible
  // span is 0. prefer_right: a boundary gives the start of the next visible run.
  std::optional<Cursor> query_prefer_left(size_t pos) const;
  std::optional<Cursor> query_prefer_right(size_t pos) const;

  // insert_span, delete_range and apply_status_updates on `status` first drop
  // the marks of an earlier diff: they describe nothing once statuses change.
  //
  // Places `span` (origins empty; they are filled in here) at visible position
  // `pos`, among the concurrent future spans standing there. `leaf_of` locates
  // the right origins of those spans.
  InsertResult insert_span(size_t pos, FugueSpan span, const LeafFinder& leaf_of);

  // Marks `len` visible elements from `pos` deleted. `start_id` is the id the
  // deleting operation gives to the element at pos (the following ones count
  // upwards); pieces without a real id receive it. A reversed delete of
  // several elements goes one element at a time from the back. Returns the
  // leaves created by cutting, one group per underlying edit.
  std::vector<SplitLeaves> delete_range(ID start_id, size_t pos, size_t len, bool reversed,
                                        const DeleteNotify& notify);

  // Document order of two leaves; an absent leaf lies after every leaf.
  // Stale handles are fatal.
  std::strong_ordering compare_leaf_order(std::optional<LeafIndex> a,
                                          std::optional<LeafIndex> b) const;

  // Applies a batch of status changes to `status` (or, with on_diff_status,
  // to `diff_status`, which first takes a copy of `status`). Spans covered in
  // part are cut. Returns the leaves created for the cut pieces, in order;
  // the caller re-points its index at them.
  std::vector<LeafIndex> apply_status_updates(std::vector<SpanStatusUpdate> updates,
                                              bool on_diff_status);
  // The same on the caller's buffer, which is reordered (sorted by leaf).
  std::vector<LeafIndex> apply_status_updates(std::span<SpanStatusUpdate> updates,
                                              bool on_diff_status);

  // Applies one update at once when it names every element of its span (or
  // none of them) and returns true; returns false, having changed nothing,
  // when the span would have to be cut (apply_status_updates does that).
  // A move between two versions sets an element's future flag at most once
  // and otherwise only adds to its delete count, so its updates commute: the
  // caller may apply some of them this way and hand the rest over as a batch.
  bool apply_whole_span_update(const SpanStatusUpdate& u, bool on_diff_status);

  // Empties every diff_status; visits only subtrees that hold one.
  void clear_diff_status();

  // The walk over marked spans: Retain / Insert / Delete in positions of the
  // current version. Requires that `status` holds the older version and
  // `diff_status` the newer one of every changed span.
  CrdtRopeDiffIter get_diff() const { return CrdtRopeDiffIter(&tree_); }

  // Describes the first broken invariant of the tree, or "".
  std::string check_invariants() const { return tree_.check_invariants(); }

 private:
  // Up to this many changed leaves are repaired leaf by leaf rather than
  // through one batch map. Each repair climbs nodes that the neighbouring
  // repairs mostly share and that are still in cache, which beats building
  // and probing the map until batches reach the size of a long checkout.
  static constexpr size_t kDirectCacheUpdates = 1024;
  // Batches of status updates up to this size are sorted by insertion.
  static constexpr size_t kInsertionSortLimit = 16;

  // Applies a batch in which every update names all or none of its span's
  // elements, leaf by leaf; false (and nothing changed) when some update
  // names only part of a span.
  bool apply_whole_span_updates(std::span<const SpanStatusUpdate> updates, bool on_diff_status);
  // Applies an update that names every element of span `s` (held by
  // u.leaf) and carries the change of its counts up to the root.
  void apply_to_whole_span(FugueSpan& s, const SpanStatusUpdate& u, bool on_diff_status);

  CrdtRopeTree tree_;
  // Buffers reused by every edit, so that replaying an operation does not
  // allocate for its bookkeeping.
  std::vector<std::pair<LeafIndex, RopeCacheDiff>> scratch_changed_;
  std::vector<std::pair<uint32_t, uint32_t>> scratch_ranges_;
  std::vector<uint32_t> scratch_cuts_;
  std::vector<std::pair<CrdtRopeTree::LeafPlace, const FugueSpan*>> scratch_between_;
  std::vector<IdSpan> scratch_visited_;
};

}  // namespace kesu
