// Helpers shared by the rich-text tests: text runs over shared buffers and
// style operations.
#pragma once

#include <memory>
#include <string>

#include "kesu/richtext/richtext_state.h"
#include "util/bytes.h"

namespace kesu::testing {

inline BytesSlice slice_of(std::string_view s) {
  return BytesSlice::from_bytes(brenvik::as_bytes(s));
}

inline TextChunk chunk_of(std::string_view s, IdFull id = {1, 0, 0}) {
  return TextChunk::make_trusted(slice_of(s), id);
}

inline StyleOpHandle style(const char* key, uint8_t info, Lamport lamport = 1, PeerID peer = 1,
                           Counter cnt = 100, KesuValue value = KesuValue(true)) {
  auto op = std::make_shared<StyleOp>();
  op->lamport = lamport;
  op->peer = peer;
  op->cnt = cnt;
  op->key = InternalString(key);
  op->value = std::move(value);
  op->info = TextStyleInfo{info};
  return op;
}

// Builds a state holding `text` as one run of peer 1.
inline RichtextState state_of(std::string_view text, PeerID peer = 1) {
  RichtextState s;
  if (!text.empty()) {
    auto r = s.insert_text_at_entity(0, slice_of(text), IdFull{peer, 0, 0});
    if (!r.ok()) throw std::runtime_error("insert failed");
  }
  return s;
}

// "a[b" style picture: text, '<' for a start anchor, '>' for an end anchor.
inline std::string picture(const RichtextState& s) {
  std::string out;
  for (const auto& c : s.chunks()) {
    if (c.is_text()) {
      out += c.as_text().as_str();
    } else {
      out += c.as_anchor().anchor_type == AnchorType::Start ? "<" : ">";
    }
  }
  return out;
}

}  // namespace kesu::testing
