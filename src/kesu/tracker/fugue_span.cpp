#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"  // GCC PR 105329, string concatenation
#endif
#include "kesu/tracker/fugue_span.h"

#include "kesu/arena/invariant.h"
#include "kesu/tracker/compact_id_util.h"

namespace kesu {

std::string Status::debug() const {
  return std::string("Status { future: ") + (future ? "true" : "false") +
         ", delete_times: " + std::to_string(delete_times) + " }";
}

RichtextChunk RichtextChunk::slice_range(uint32_t from, uint32_t to) const {
  uint32_t n = to < from ? 0 : to - from;
  if (is_anchor()) {
    if (n != 1) {
      invariant_failed("assertion `left == right` failed\n  left: " + std::to_string(n) +
                       "\n right: 1");
    }
    return *this;
  }
  if (is_unknown()) {
    if (n > end) invariant_failed("assertion failed: range.len() <= self.len()");
    return unknown(n);
  }
  if (n > end - start || uint64_t(start) + to > end) {
    invariant_failed("range: " + std::to_string(from) + ".." + std::to_string(to) +
                     ", self: " + debug());
  }
  return text(start + from, start + to);
}

bool RichtextChunk::can_merge(const RichtextChunk& next) const {
  if (next.is_text()) return is_text() && end == next.start;
  if (next.is_unknown()) return is_unknown();
  return false;
}

std::string RichtextChunk::debug() const {
  std::string v;
  if (is_text()) {
    v = "Text(" + std::to_string(start) + ".." + std::to_string(end) + ")";
  } else if (is_unknown()) {
    v = "Unknown(" + std::to_string(end) + ")";
  } else if (start == kMoveAnchor) {
    v = "MoveAnchor";
  } else {
    v = "StyleAnchor { id: " + std::to_string(end) +
        ", anchor_type: " + (start == kStyleStart ? "Start" : "End") + " }";
  }
  return "RichtextChunk { value: " + v + " }";
}

FugueSpan FugueSpan::slice(uint32_t from, uint32_t to) const {
  if (from > to || to > rle_len()) invariant_failed("assertion failed: range.len() <= self.len()");
  FugueSpan out = *this;
  out.id.lamport = id.lamport + from;
  out.id.counter = Counter(int64_t(id.counter) + from);
  if (real_id && from > 0) {
    out.real_id = compact_id_or_fatal(real_id->peer(), int64_t(real_id->counter()) + from);
  }
  if (from > 0) out.origin_left = compact_id_or_fatal(id.peer, int64_t(id.counter) + from - 1);
  out.content = content.slice_range(from, to);
  return out;
}

bool FugueSpan::can_merge(const FugueSpan& l, const FugueSpan& r) {
  if (l.id.peer != r.id.peer) return false;
  if (!(l.status == r.status) || !(l.diff_status == r.diff_status)) return false;
  uint32_t n = l.rle_len();
  if (int64_t(r.id.counter) != int64_t(l.id.counter) + n) return false;
  if (r.id.lamport != l.id.lamport + n) return false;
  if (!r.origin_left || r.origin_left->peer() != l.id.peer ||
      int64_t(r.origin_left->counter()) != int64_t(l.id.counter) + n - 1)
    return false;
  if (!(l.origin_right == r.origin_right)) return false;
  if (!l.content.can_merge(r.content)) return false;
  if (l.real_id.has_value() != r.real_id.has_value()) return false;
  if (l.real_id) {
    if (l.real_id->peer() != r.real_id->peer() ||
        int64_t(r.real_id->counter()) != int64_t(l.real_id->counter()) + n)
      return false;
  }
  return true;
}

void FugueSpan::merge_right(FugueSpan& l, FugueSpan&& r) {
  if (l.content.is_unknown()) {
    l.content.end += r.content.end;
  } else {
    l.content.end = r.content.end;
  }
}

void FugueSpan::merge_left(FugueSpan& r, FugueSpan&& l) {
  r.id = l.id;
  r.real_id = l.real_id;
  r.origin_left = l.origin_left;
  if (r.content.is_unknown()) {
    r.content.end += l.content.end;
  } else {
    r.content.start = l.content.start;
  }
}

std::string debug_string(const OptCompactId& id) {
  if (!id) return "None";
  return "Some(" + id->to_id().to_string() + ")";
}

std::string FugueSpan::debug() const {
  return "FugueSpan { id: " + id.debug() + ", real_id: " + debug_string(real_id) +
         ", status: " + status.debug() +
         ", diff_status: " + (diff_status ? "Some(" + diff_status->debug() + ")" : "None") +
         ", origin_left: " + debug_string(origin_left) +
         ", origin_right: " + debug_string(origin_right) + ", content: " + content.debug() + " }";
}

}  // namespace kesu
