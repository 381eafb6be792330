// The rich-text sequence: text runs and style anchors in one B-tree whose
// nodes cache four lengths (code points, bytes, UTF-16 units, entities).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "kesu/btree/btree.h"
#include "kesu/richtext/style.h"
#include "kesu/richtext/text_chunk.h"

namespace kesu {

// Units a rich-text position can be counted in.
enum class PosType : uint8_t {
  Bytes = 0,    // UTF-8 bytes
  Unicode = 1,  // code points
  Utf16 = 2,    // UTF-16 code units
  Event = 3,    // the offsets of change events, counted like Unicode
  Entity = 4,   // code points plus one per style anchor
};
inline constexpr size_t kPosTypeCount = 5;

enum class AnchorType : uint8_t { Start = 0, End = 1 };

struct StyleAnchor {
  StyleOpHandle style;
  AnchorType anchor_type = AnchorType::Start;
};

// One element of the sequence: a text run or a style anchor (one entity).
struct RichtextStateChunk {
  std::variant<TextChunk, StyleAnchor> v;

  static RichtextStateChunk text(TextChunk t) { return {std::move(t)}; }
  static RichtextStateChunk anchor(StyleOpHandle s, AnchorType a) {
    return {StyleAnchor{std::move(s), a}};
  }
  bool is_text() const { return v.index() == 0; }
  const TextChunk& as_text() const { return std::get<0>(v); }
  TextChunk& as_text() { return std::get<0>(v); }
  const StyleAnchor& as_anchor() const { return std::get<1>(v); }
  // Entity length: code points of a run, 1 for an anchor.
  size_t entity_len() const { return is_text() ? as_text().unicode_len : 1; }
  // Length in a position unit.
  size_t len_in(PosType t) const;
  // Length in `t` of the first k entity units.
  size_t prefix_len(PosType t, size_t k) const;
  // An offset in `t` inside this element -> entity offset, or none when it
  // falls inside a character (bytes, UTF-16) or past the element.
  std::optional<size_t> offset_to_entity(PosType t, size_t off) const;
};

// The four lengths cached per subtree, in this order.
struct PosCache {
  int32_t unicode_len = 0;
  int32_t bytes = 0;
  int32_t utf16_len = 0;
  int32_t entity_len = 0;

  int64_t get(PosType t) const {
    switch (t) {
      case PosType::Bytes:
        return bytes;
      case PosType::Unicode:
      case PosType::Event:
        return unicode_len;
      case PosType::Utf16:
        return utf16_len;
      case PosType::Entity:
        return entity_len;
    }
    return 0;
  }
  PosCache& operator+=(const PosCache& o) {
    unicode_len += o.unicode_len;
    bytes += o.bytes;
    utf16_len += o.utf16_len;
    entity_len += o.entity_len;
    return *this;
  }
  PosCache operator+(const PosCache& o) const {
    PosCache r = *this;
    r += o;
    return r;
  }
  PosCache operator-(const PosCache& o) const {
    return {unicode_len - o.unicode_len, bytes - o.bytes, utf16_len - o.utf16_len,
            entity_len - o.entity_len};
  }
  bool operator==(const PosCache&) const = default;
};

struct RichtextTrait {
  using Elem = RichtextStateChunk;
  using Cache = PosCache;
  using CacheDiff = PosCache;
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem& e) { return e.entity_len(); }
  static size_t cache_len(const Cache& c) { return size_t(c.entity_len); }
  // Splitting an anchor is a broken invariant.
  static Elem split_at(Elem& e, size_t offset) {
    if (!e.is_text()) invariant_failed(kMsgUnreachable);
    return Elem::text(e.as_text().split(offset));
  }
  static bool can_merge(const Elem& a, const Elem& b) {
    return a.is_text() && b.is_text() && a.as_text().can_append(b.as_text());
  }
  static void merge_right(Elem& a, Elem&& b) { a.as_text().append(b.as_text()); }
  static void merge_left(Elem& a, Elem&& b) { a.as_text().prepend(b.as_text()); }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
  static Cache elem_cache(const Elem& e) {
    if (!e.is_text()) return {0, 0, 0, 1};
    const TextChunk& t = e.as_text();
    return {int32_t(t.unicode_len), int32_t(t.byte_len()), int32_t(t.utf16_len),
            int32_t(t.unicode_len)};
  }
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache sum;
    for (const auto& k : kids) sum += k.cache;
    CacheDiff d = sum - out;
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const CacheDiff& d) { c += d; }
  static void merge_cache_diff(CacheDiff& a, const CacheDiff& b) { a += b; }
  static CacheDiff cache_to_diff(const Cache& c) { return c; }
  static std::string debug(const Elem& e) {
    if (e.is_text()) return "Text(" + std::string(e.as_text().as_str()) + ")";
    return std::string(e.as_anchor().anchor_type == AnchorType::Start ? "Start(" : "End(") +
           std::string(e.as_anchor().style->key.as_str()) + ")";
  }
};

using RichtextTree = BTree<RichtextTrait>;

// Descends by a position in one unit: at each node the first child whose
// length in that unit exceeds what is left (the last child takes any
// remainder), summing all four lengths of the children passed over; at the
// leaf the remainder becomes an entity offset (a byte or UTF-16 offset inside
// a character gives that character's index).
//
// The sums are the chosen leaf's start in every unit, so one descent both
// places a position and converts it: no second walk from the leaf back up.
class RichtextFinder {
 public:
  RichtextFinder(PosType t, size_t pos) : type_(t), left_(int64_t(pos)) {}
  FindResult find_node(const InternalNode<PosCache>& n) {
    const size_t last = size_t(n.len) - 1;
    for (size_t i = 0; i < last; ++i) {
      const PosCache& c = n.children[i].cache;
      int64_t len = c.get(type_);
      if (left_ < len) return {i, true};
      left_ -= len;
      before_ += c;
    }
    return {last, left_ < n.children[last].cache.get(type_)};
  }
  FindResult confirm_elem(const RichtextStateChunk& e) {
    size_t len = e.len_in(type_);
    size_t off = size_t(left_);
    if (!e.is_text()) {
      // An anchor counts only in entities.
      return {type_ == PosType::Entity ? std::min<size_t>(off, 1) : 0, off < len};
    }
    const TextChunk& t = e.as_text();
    switch (type_) {
      case PosType::Bytes:
        return {std::min<size_t>(t.unicode_offset_of_byte(off).second, t.unicode_len), off < len};
      case PosType::Utf16:
        return {std::min<size_t>(t.unicode_offset_of_utf16(off).second, t.unicode_len), off < len};
      case PosType::Unicode:
      case PosType::Event:
      case PosType::Entity:
        return {std::min<size_t>(off, t.unicode_len), off < len};
    }
    return {0, false};
  }
  // Lengths of everything before the chosen element: its start in every unit.
  const PosCache& before() const { return before_; }
  size_t entity_before() const { return size_t(before_.entity_len); }
  size_t unicode_before() const { return size_t(before_.unicode_len); }
  // What was left of the position at the leaf, in the finder's unit.
  size_t left() const { return size_t(left_); }

 private:
  PosType type_;
  int64_t left_;
  PosCache before_{};
};

// Lengths in every unit of the first k entity units of an element.
PosCache prefix_cache(const RichtextStateChunk& e, size_t k);

}  // namespace kesu
