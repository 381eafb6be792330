// Values and attributes of list deltas: up to eight entries held inline in
// the item, and the flag that marks entries coming from a move.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "kesu/arena/invariant.h"
#include "kesu/common/value.h"

namespace kesu {

// One list entry. Copying an entry shares the value's payload. A child
// container is carried as its Container value; the handler form belongs to
// the document layer, which converts at its boundary.
using ListDeltaValue = KesuValue;

// A fixed-capacity array of at most eight entries, stored inline.
//
// Entries past the live ones stay null. Copying and moving touch only the
// live entries: list deltas move their items often (splits, merges, tree
// pushes), and most items hold one or two entries, so moving all eight
// values every time would dominate.
class ArrayVec {
 public:
  static constexpr size_t kCapacity = 8;

  ArrayVec() = default;
  // Fatal when more than eight entries are given.
  ArrayVec(std::initializer_list<ListDeltaValue> init) {
    for (const auto& v : init) push(v);
  }
  ArrayVec(const ArrayVec& o) : len_(o.len_) {
    for (size_t i = 0; i < len_; ++i) items_[i] = o.items_[i];
  }
  ArrayVec(ArrayVec&& o) noexcept : len_(o.len_) {
    for (size_t i = 0; i < len_; ++i) items_[i] = std::move(o.items_[i]);
    o.clear();
  }
  ArrayVec& operator=(const ArrayVec& o) {
    if (this != &o) {
      for (size_t i = 0; i < o.len_; ++i) items_[i] = o.items_[i];
      for (size_t i = o.len_; i < len_; ++i) items_[i] = ListDeltaValue();
      len_ = o.len_;
    }
    return *this;
  }
  ArrayVec& operator=(ArrayVec&& o) noexcept {
    if (this != &o) {
      for (size_t i = 0; i < o.len_; ++i) items_[i] = std::move(o.items_[i]);
      for (size_t i = o.len_; i < len_; ++i) items_[i] = ListDeltaValue();
      len_ = o.len_;
      o.clear();
    }
    return *this;
  }
  ~ArrayVec() = default;

  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  const ListDeltaValue& operator[](size_t i) const { return items_[i]; }
  const ListDeltaValue* begin() const { return items_.data(); }
  const ListDeltaValue* end() const { return items_.data() + len_; }

  // A ninth entry is a broken invariant: every caller checks the room first.
  void push(ListDeltaValue v) {
    if (len_ >= kCapacity) invariant_failed(kMsgUnwrapErr);
    items_[len_++] = std::move(v);
  }
  // Inserts copies of `other`'s entries at position k.
  void insert_at(size_t k, const ArrayVec& other) {
    if (len_ + other.len_ > kCapacity || k > len_) invariant_failed(kMsgUnwrapErr);
    for (size_t i = len_; i-- > k;) items_[i + other.len_] = std::move(items_[i]);
    for (size_t i = 0; i < other.len_; ++i) items_[k + i] = other.items_[i];
    len_ = static_cast<uint8_t>(len_ + other.len_);
  }
  // Moves `other`'s entries in at position k; `other` is left empty.
  void insert_at(size_t k, ArrayVec&& other) {
    if (len_ + other.len_ > kCapacity || k > len_) invariant_failed(kMsgUnwrapErr);
    for (size_t i = len_; i-- > k;) items_[i + other.len_] = std::move(items_[i]);
    for (size_t i = 0; i < other.len_; ++i) items_[k + i] = std::move(other.items_[i]);
    len_ = static_cast<uint8_t>(len_ + other.len_);
    other.clear();
  }
  // Keeps [0, k) and returns the rest.
  ArrayVec split_off(size_t k) {
    ArrayVec tail;
    for (size_t i = k; i < len_; ++i) tail.items_[tail.len_++] = std::move(items_[i]);
    for (size_t i = k; i < len_; ++i) items_[i] = ListDeltaValue();
    if (k < len_) len_ = static_cast<uint8_t>(k);
    return tail;
  }

  bool operator==(const ArrayVec& o) const {
    if (len_ != o.len_) return false;
    for (size_t i = 0; i < len_; ++i)
      if (!(items_[i] == o.items_[i])) return false;
    return true;
  }
  // ArrayVec { vec: [I64(1), Null] }
  std::string debug() const {
    std::string s = "ArrayVec { vec: [";
    for (size_t i = 0; i < len_; ++i) {
      if (i) s += ", ";
      s += items_[i].debug();
    }
    return s + "] }";
  }

 private:
  // Drops the live entries (back to null) and empties the array.
  void clear() noexcept {
    for (size_t i = 0; i < len_; ++i) items_[i] = ListDeltaValue();
    len_ = 0;
  }

  std::array<ListDeltaValue, kCapacity> items_{};
  uint8_t len_ = 0;
};

struct ListDeltaMeta {
  // The inserted entries come from a move inside a movable list.
  bool from_move = false;
  bool operator==(const ListDeltaMeta&) const = default;
};

struct ListDeltaOps {
  using Value = ArrayVec;
  using Attr = ListDeltaMeta;

  static size_t value_len(const Value& v) { return v.size(); }
  static Value default_value() { return {}; }
  static bool attr_is_default(const Attr& a) { return !a.from_move; }
  // A move mark is never cleared by a later retain.
  static void attr_merge(Attr& into, const Attr& from) {
    into.from_move = into.from_move || from.from_move;
  }
  static bool can_join(const Value& l, const Value& r) {
    return l.size() + r.size() <= ArrayVec::kCapacity;
  }
  static void join_right(Value& l, Value&& r) { l.insert_at(l.size(), std::move(r)); }
  static void join_left(Value& r, Value&& l) { r.insert_at(0, std::move(l)); }
  static bool insert_value(Value& v, size_t k, Value& n) {
    if (v.size() + n.size() > ArrayVec::kCapacity) return false;
    v.insert_at(k, std::move(n));
    return true;
  }
  static Value split_value(Value& v, size_t k) { return v.split_off(k); }
  static bool value_eq(const Value& a, const Value& b) { return a == b; }
  static std::string debug_value(const Value& v) { return v.debug(); }
  static std::string debug_attr(const Attr& a) {
    return std::string("ListDeltaMeta { from_move: ") + (a.from_move ? "true" : "false") + " }";
  }
};

}  // namespace kesu
