#include "kesu/richtext/loader.h"

#include <algorithm>

namespace kesu {

void RichtextStateLoader::push(RichtextStateChunk chunk) {
  if (!chunk.is_text()) {
    const StyleAnchor& a = chunk.as_anchor();
    ID id = a.style->id();
    if (a.anchor_type == AnchorType::Start) {
      start_anchor_pos_[id] = entity_index_;
    } else {
      auto it = start_anchor_pos_.find(id);
      if (it == start_anchor_pos_.end()) {
        ++orphan_ends_;
      } else {
        styles_.emplace_back(a.style, it->second, entity_index_ + 1);
        start_anchor_pos_.erase(it);
      }
    }
  }
  entity_index_ += chunk.entity_len();
  elements_.push_back(std::move(chunk));
}

RichtextState RichtextStateLoader::into_state() && {
  RichtextState s = RichtextState::from_elems(std::move(elements_));
  for (const auto& [style, start, end] : styles_) s.annotate_style_map(start, end, style);
  return s;
}

void collect_chunks_in_id_span(const IdSpan& target, std::vector<RichtextStateChunk>& out,
                               const RichtextStateChunk& chunk) {
  PeerID peer;
  int64_t lo, hi;
  if (chunk.is_text()) {
    const TextChunk& t = chunk.as_text();
    peer = t.id.peer;
    lo = t.id.counter;
    hi = lo + t.unicode_len;
  } else {
    const StyleOp& s = *chunk.as_anchor().style;
    peer = s.peer;
    lo = s.cnt;
    hi = lo + 1;
  }
  if (peer != target.peer) return;
  int64_t tlo = std::min<int64_t>(target.counter.start, target.counter.end);
  int64_t thi = std::max<int64_t>(target.counter.start, target.counter.end);
  if (target.counter.start > target.counter.end) {  // backward: start, start-1, ..., end+1
    tlo = int64_t(target.counter.end) + 1;
    thi = int64_t(target.counter.start) + 1;
  }
  if (!(lo < thi && tlo < hi)) return;
  int64_t start = std::max(lo, tlo) - lo, end = std::min(hi, thi) - lo;
  if (chunk.is_text()) {
    out.push_back(RichtextStateChunk::text(chunk.as_text().slice(size_t(start), size_t(end))));
    return;
  }
  if (start != 0 || end != 1) {
    invariant_failed("assertion `left == right` failed\n  left: " + std::to_string(start) +
                     "\n right: " + std::to_string(end));
  }
  out.push_back(chunk);
}

}  // namespace kesu
