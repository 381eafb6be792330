// Style operations of rich text and the sets of them that cover a position.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kesu/common/id.h"
#include "kesu/common/internal_string.h"
#include "kesu/common/value.h"

namespace kesu {

// One byte of flags carried by every style operation. Bits other than the two
// expand flags are carried unchanged.
struct TextStyleInfo {
  uint8_t data = 0;
  static constexpr uint8_t kExpandBefore = 0x02;
  static constexpr uint8_t kExpandAfter = 0x04;

  // Text typed right before the style's start anchor joins the style.
  bool expand_before() const { return data & kExpandBefore; }
  // Text typed right after the style's end anchor joins the style.
  bool expand_after() const { return data & kExpandAfter; }
  // TextStyleInfo { data: 0b110, expand_before: true, expand_after: true }
  std::string debug() const;
  bool operator==(const TextStyleInfo&) const = default;
};

// One style operation, shared by the two anchors, the style range map and the
// operation log.
struct StyleOp {
  Lamport lamport = 0;
  PeerID peer = 0;
  Counter cnt = 0;
  InternalString key;
  KesuValue value;
  TextStyleInfo info;

  ID id() const { return {peer, cnt}; }
  // A start anchor of such a style removes a style instead of setting one.
  bool is_removal() const {
    return value.is_null() || (value.type() == ValueType::Bool && !value.as_bool());
  }
  bool operator==(const StyleOp& o) const {
    return lamport == o.lamport && peer == o.peer && cnt == o.cnt && key == o.key &&
           value == o.value && info == o.info;
  }
  std::string debug() const;
};

using StyleOpHandle = std::shared_ptr<const StyleOp>;

// Equal when the same shared object or all six fields are equal.
inline bool style_op_eq(const StyleOpHandle& a, const StyleOpHandle& b) {
  return a == b || (a && b && *a == *b);
}

// Order inside a style set: Lamport, then peer. Two operations equal in both
// take one place in a set.
inline bool style_op_less(const StyleOp& a, const StyleOp& b) {
  return a.lamport != b.lamport ? a.lamport < b.lamport : a.peer < b.peer;
}

// Style key -> ordered set of operations. A key is present only while its set
// is non-empty. Kept as a small vector sorted by key: a position rarely
// carries more than a handful of keys, and copies share the operations.
class Styles {
 public:
  using Set = std::vector<StyleOpHandle>;  // sorted by style_op_less, no duplicates
  using Entry = std::pair<InternalString, Set>;

  bool empty() const { return entries_.empty(); }
  // Number of keys.
  size_t size() const { return entries_.size(); }
  const std::vector<Entry>& entries() const { return entries_; }
  // The set of a key, or nullptr.
  const Set* get(const InternalString& key) const;

  // Adds the operation under its key; an equal-ordered operation already
  // there stays. Returns whether it was added.
  bool insert(const StyleOpHandle& op);
  // Removes the operation found by (Lamport, peer) under its key; drops the
  // key when its set empties. Returns whether something was removed.
  bool remove(const StyleOp& op);
  // Holds an operation of that key with the same (Lamport, peer).
  bool contains(const StyleOp& op) const;
  // Keys and operations present in both.
  Styles intersect(const Styles& other) const;

  bool operator==(const Styles& o) const;
  std::string debug() const;

 private:
  std::vector<Entry>::iterator find(const InternalString& key);
  std::vector<Entry>::const_iterator find(const InternalString& key) const;
  std::vector<Entry> entries_;
};

// The shared empty set, built once.
const Styles& empty_styles();

// The document's text style configuration: style key -> expand code. Nothing
// in the engine reads the codes; they are kept for the host.
class StyleConfigMap {
 public:
  static StyleConfigMap default_rich_text();
  void insert(InternalString key, uint8_t expand) { map_[std::move(key)] = expand; }
  const uint8_t* get(const InternalString& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
  }
  size_t size() const { return map_.size(); }

 private:
  std::unordered_map<InternalString, uint8_t> map_;
};

}  // namespace kesu
