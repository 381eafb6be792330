// The tracker's run of sequence elements.
//
// A FugueSpan is a run of consecutive elements created by one insert operation
// (or a placeholder run standing for elements whose operations are not being
// replayed). The tracker keeps every span it ever saw in document order; a
// span's `status` says whether its elements are visible at the tracker's
// current version, its `diff_status` what they are at the target of a diff in
// progress. A span owns nothing on the heap and is copied by value; it is kept
// at 72 bytes (ids packed, no padding) because the rope holds one per run ever
// inserted, and replaying concurrent typing makes one run per character.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "kesu/common/id.h"

namespace kesu {

// Peer of the placeholder run and of the elements it stands for.
inline constexpr PeerID kPlaceholderPeer = UINT64_MAX;
// Length of the placeholder run a fresh tracker starts with (u32::MAX / 4).
inline constexpr uint32_t kPlaceholderLen = 0x3FFFFFFF;

// The state of an element at one version.
struct Status {
  // Inserted by an operation the version does not include.
  bool future = false;
  // How many delete operations of the version remove the element.
  int16_t delete_times = 0;

  bool is_activated() const { return !future && delete_times == 0; }
  // Signed 16-bit wrapping addition.
  void add_delete_times(int16_t delta) {
    delete_times =
        static_cast<int16_t>(static_cast<uint16_t>(delete_times) + static_cast<uint16_t>(delta));
  }
  // Status { future: false, delete_times: 0 }
  std::string debug() const;
  bool operator==(const Status&) const = default;
};

// What a span's elements are: a pair of u32 whose start selects the kind.
//   start < 0xFFFFFFFC  text: the content positions [start, end)
//   0xFFFFFFFF          unknown content (placeholder run) of length end
//   0xFFFFFFFE / FD     style anchor (start / end), end = the style's id; length 1
//   0xFFFFFFFC          move anchor; length 1
struct RichtextChunk {
  static constexpr uint32_t kUnknown = 0xFFFFFFFF;
  static constexpr uint32_t kStyleStart = 0xFFFFFFFE;
  static constexpr uint32_t kStyleEnd = 0xFFFFFFFD;
  static constexpr uint32_t kMoveAnchor = 0xFFFFFFFC;

  uint32_t start = 0;
  uint32_t end = 0;

  static RichtextChunk text(uint32_t start, uint32_t end) { return {start, end}; }
  static RichtextChunk unknown(uint32_t len) { return {kUnknown, len}; }
  static RichtextChunk style_anchor(uint32_t style_id, bool is_start) {
    return {is_start ? kStyleStart : kStyleEnd, style_id};
  }
  static RichtextChunk move_anchor() { return {kMoveAnchor, kMoveAnchor}; }

  bool is_text() const { return start < kMoveAnchor; }
  bool is_unknown() const { return start == kUnknown; }
  bool is_anchor() const { return start >= kMoveAnchor && start != kUnknown; }

  uint32_t len() const {
    if (is_text()) return end - start;
    if (is_unknown()) return end;
    return 1;
  }
  // The sub-range [from, to): text is shifted, an unknown run shortened, an
  // anchor returned as it is (its range must be one element). Out of range
  // is fatal.
  RichtextChunk slice_range(uint32_t from, uint32_t to) const;
  // May `next` be joined onto the end of this chunk.
  bool can_merge(const RichtextChunk& next) const;
  // RichtextChunk { value: Text(10..20) } and the other kinds' forms.
  std::string debug() const;
  bool operator==(const RichtextChunk&) const = default;
};

// The fields that placing a new run reads on every span it passes (id,
// length, status, left origin) come first, so that they share the span's
// first cache line as often as the leaf's position in memory allows; the
// two ids read only on deletes and concurrent inserts come last. The debug
// form keeps the conventional order.
struct FugueSpan {
  IdFull id;  // first element; element i is lamport + i, counter + i
  RichtextChunk content;
  Status status;                      // at the tracker's current version
  std::optional<Status> diff_status;  // at the target version of a diff in progress
  OptCompactId origin_left;           // element left of the first one when integrated
  OptCompactId real_id;               // the id the run really stands for
  OptCompactId origin_right;          // first non-future element right of it then

  uint32_t rle_len() const { return content.len(); }
  bool is_activated() const { return status.is_activated(); }
  // Visible length at the current version.
  uint32_t active_len() const { return is_activated() ? rle_len() : 0; }

  // The sub-run [from, to), 0 <= from <= to <= rle_len(). Fatal when out of range.
  FugueSpan slice(uint32_t from, uint32_t to) const;
  // May `right` be joined onto the end of `left`.
  static bool can_merge(const FugueSpan& left, const FugueSpan& right);
  // `left` absorbs `right` at its end (requires can_merge(left, right)).
  static void merge_right(FugueSpan& left, FugueSpan&& right);
  // `right` absorbs `left` at its start, taking over its identity (requires
  // can_merge(left, right)).
  static void merge_left(FugueSpan& right, FugueSpan&& left);

  // FugueSpan { id: .., real_id: .., status: .., diff_status: .., origin_left: ..,
  //   origin_right: .., content: .. }
  std::string debug() const;
  bool operator==(const FugueSpan&) const = default;
};

static_assert(sizeof(FugueSpan) <= 72, "FugueSpan grew: the rope keeps one per inserted run");
static_assert(std::is_trivially_copyable_v<FugueSpan>);

// Debug form of an optional compact id: None or Some(5@7).
std::string debug_string(const OptCompactId& id);

}  // namespace kesu
