// Elements of rich text as raw rich-text deltas carry them: a run of text in
// the shared text buffer with the identifier of its first character, or a
// style anchor marking where a style starts or ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "kesu/common/bytes_slice.h"
#include "kesu/common/id.h"

namespace kesu {

// Defined by the rich-text state; anchors only share it.
struct StyleOp;

// A run of text: bytes [start, end) of a shared buffer, the identifier of its
// first character, and its lengths. Character i has counter + i and
// Lamport + i.
struct TextChunk {
  BytesSlice bytes;  // a new empty buffer by default
  PeerID peer = UINT64_MAX;
  Counter counter = 0;
  Lamport lamport = 0;
  uint32_t unicode_len = 0;
  uint32_t utf16_len = 0;

  // Counts both lengths of valid UTF-8 bytes (invalid bytes are a broken invariant).
  static TextChunk make(BytesSlice bytes, PeerID peer, Counter counter, Lamport lamport);

  // True when `next` continues this run: one buffer, touching bytes, same
  // peer, counter and Lamport both in step.
  bool can_join(const TextChunk& next) const;
  // Takes next's end and adds its lengths (fatal when the bytes do not touch).
  void join_right(const TextChunk& next);
  // Takes prev's start and identifier and adds its lengths (fatal when the
  // bytes do not touch).
  void join_left(const TextChunk& prev);
  // Keeps the first k characters (0 < k < unicode_len); the rest comes back
  // with counter and Lamport k larger.
  TextChunk split_off(size_t k);

  std::string debug() const;
};

enum class AnchorType : uint8_t { Start, End };

struct StyleAnchor {
  std::shared_ptr<const StyleOp> style;
  AnchorType anchor_type = AnchorType::Start;
};

// Text or a style anchor; an anchor has length 1 and never splits or joins.
class RichtextItem {
 public:
  RichtextItem() = default;                          // an empty text chunk in a new buffer
  RichtextItem(TextChunk c) : v_(std::move(c)) {}    // NOLINT
  RichtextItem(StyleAnchor a) : v_(std::move(a)) {}  // NOLINT

  bool is_text() const { return std::holds_alternative<TextChunk>(v_); }
  const TextChunk& as_text() const { return std::get<TextChunk>(v_); }
  TextChunk& as_text_mut() { return std::get<TextChunk>(v_); }
  const StyleAnchor& as_style() const { return std::get<StyleAnchor>(v_); }
  // unicode_len of text, 1 for an anchor.
  size_t rle_len() const { return is_text() ? as_text().unicode_len : 1; }

  bool operator==(const RichtextItem& o) const;
  // Text(TextChunk { .. }) or Style { style: .., anchor_type: Start }
  std::string debug() const;

 private:
  std::variant<TextChunk, StyleAnchor> v_;
};

// Raw rich-text deltas have no attribute; all attributes are equal.
struct NoAttr {
  bool operator==(const NoAttr&) const = default;
};

struct RichtextRawDeltaOps {
  using Value = RichtextItem;
  using Attr = NoAttr;

  static size_t value_len(const Value& v) { return v.rle_len(); }
  static Value default_value() { return {}; }
  static bool attr_is_default(const Attr&) { return true; }
  static void attr_merge(Attr&, const Attr&) {}
  static bool can_join(const Value& l, const Value& r) {
    return l.is_text() && r.is_text() && l.as_text().can_join(r.as_text());
  }
  static void join_right(Value& l, Value&& r);
  static void join_left(Value& r, Value&& l);
  static bool insert_value(Value&, size_t, Value&) { return false; }
  static Value split_value(Value& v, size_t k);
  static bool value_eq(const Value& a, const Value& b) { return a == b; }
  static std::string debug_value(const Value& v) { return v.debug(); }
  static std::string debug_attr(const Attr&) { return "()"; }
};

}  // namespace kesu
