// Tracker: replays the sequence edits of one list or text container so that
// the state at any replayed version, and the change between two versions,
// can be computed.
//
// Operations arrive in causal order, each while the tracker stands at the
// version the operation was made on (checkout_to its dependencies first).
// Every element ever inserted stays in the rope; moving between versions only
// flips statuses, so concurrent inserts meet each other as "future" spans and
// are ordered by the same rule on every replica.
//
// Not thread-safe; one tracker belongs to one diff computation of one container.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kesu/common/id.h"
#include "kesu/common/version.h"
#include "kesu/tracker/crdt_rope.h"
#include "kesu/tracker/id_to_cursor.h"
#include "kesu/tracker/peer_slots.h"

namespace kesu {

class Tracker {
 public:
  // A rope holding only the placeholder run (the elements that existed before
  // the replayed operations), and empty versions.
  Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;
  Tracker(Tracker&&) noexcept = default;
  Tracker& operator=(Tracker&&) noexcept = default;

  // Replays an insert of `content` at visible position `pos` of the current
  // version. A part replayed before is skipped.
  void insert(IdFull op, size_t pos, RichtextChunk content);

  // Replays a delete of `len` visible elements from `pos`. `target_start` is
  // the id the operation gives to the element at pos; `reverse` says its first
  // atom removed the last element of the range. A part replayed before is
  // skipped.
  void remove(ID op, ID target_start, size_t pos, size_t len, bool reverse);

  // Replays a list delete written as (position, signed length): a negative
  // length deletes backwards, ending at the position.
  void remove_signed(ID op, ID target_start, size_t pos, int64_t signed_len);

  // Replays a move: the element at visible position `from_pos` (whose
  // current id is `deleted_id`: its insert, or the anchor of its previous
  // move) leaves its place, and an anchor with the move's id is inserted at
  // `to_pos` (counted after the removal). A move replayed before only
  // brings the current version forward.
  void move_item(IdFull op, ID deleted_id, size_t from_pos, size_t to_pos);

  // The common insertion step: places the run, records it, re-points split
  // leaves and (when update_versions) raises both versions.
  void integrate_insert(size_t pos, RichtextChunk content, IdFull op, bool update_versions);

  // Moves `status` (or, with on_diff_status, `diff_status`) to `version`.
  void checkout_to(const VersionVector& version, bool on_diff_status);

  // The change from version `from` to version `to`, in positions of `from`.
  // Leaves the tracker at `from`.
  std::vector<CrdtRopeDelta> diff(const VersionVector& from, const VersionVector& to);

  // Appends the updates that make the operations of `span` present.
  void collect_forward_updates(const IdSpan& span, std::vector<SpanStatusUpdate>& updates) const;

  // Re-points the id-to-cursor map at leaves a rope edit created.
  void register_split_leaves(std::span<const LeafIndex> leaves);

  const CrdtRope& rope() const { return rope_; }
  const IdToCursor& id_to_cursor() const { return id_to_cursor_; }
  // Every operation ever replayed, and the version `status` describes.
  VersionVector applied_version() const { return to_version(applied_); }
  VersionVector current_version() const { return to_version(current_); }

 private:
  void apply_updates(std::vector<SpanStatusUpdate> updates, bool on_diff_status);
  void bring_forward(PeerID peer, Counter end);
  void collect_retreat_updates(const IdSpan& span, std::vector<SpanStatusUpdate>& updates) const;
  // Retreats (or brings forward) the records of the peer's ids [start, end):
  // updates that flip whole spans are applied at once, the others appended
  // to `rest` for one batch.
  void move_records(PeerID peer, Counter start, Counter end, bool forward, bool on_diff_status,
                    std::vector<SpanStatusUpdate>& rest);
  static void raise(Counter& v, Counter end) {
    if (v < end) v = end;
  }
  // The peer's slot in the version arrays, added when new. Every replayed
  // operation asks several times: the lookup of a known peer is kept inline.
  size_t slot_of(PeerID peer) {
    size_t s = peers_.find(peer);
    if (s != PeerSlots::kNone && s < current_.size()) return s;
    return add_slot(peer);
  }
  [[gnu::noinline]] size_t add_slot(PeerID peer) {
    size_t s = peers_.find_or_add(peer);
    if (s >= current_.size()) {
      current_.resize(s + 1, 0);
      applied_.resize(s + 1, 0);
      target_.resize(s + 1, 0);
    }
    return s;
  }
  VersionVector to_version(const std::vector<Counter>& v) const;

  CrdtRope rope_;
  IdToCursor id_to_cursor_;
  // Both versions as one end counter per peer slot (0: nothing of the peer).
  // Every replayed operation reads and raises them, so they are kept as
  // plain arrays rather than hashed per lookup.
  PeerSlots peers_;
  std::vector<Counter> applied_;
  std::vector<Counter> current_;
  // Reused by checkout_to: the requested version, per slot (as many slots
  // as the two versions above).
  std::vector<Counter> target_;
  // Reused by every checkout so that moving between versions does not allocate
  // for its list of changes.
  std::vector<SpanStatusUpdate> scratch_updates_;
};

}  // namespace kesu
