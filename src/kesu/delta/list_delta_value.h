// Values and attributes of list deltas: up to eight entries held inline in
// the item, and the flag that marks entries coming from a move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <type_traits>
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
// Only the live entries are constructed: the storage is raw, so moving,
// copying or dropping an item touches as many values as it holds, not eight.
// List deltas move their items often (splits, merges, tree pushes), and most
// items hold one or two entries.
class ArrayVec {
  static_assert(std::is_nothrow_move_constructible_v<ListDeltaValue>);

 public:
  static constexpr size_t kCapacity = 8;

  ArrayVec() = default;
  // Fatal when more than eight entries are given.
  ArrayVec(std::initializer_list<ListDeltaValue> init) {
    for (const auto& v : init) push(v);
  }
  ArrayVec(const ArrayVec& o) {
    for (size_t i = 0; i < o.len_; ++i) construct(i, o.at(i));
    len_ = o.len_;
  }
  ArrayVec(ArrayVec&& o) noexcept {
    for (size_t i = 0; i < o.len_; ++i) construct(i, std::move(o.at(i)));
    len_ = o.len_;
    o.clear();
  }
  ArrayVec& operator=(const ArrayVec& o) {
    if (this != &o) {
      clear();
      for (size_t i = 0; i < o.len_; ++i) construct(i, o.at(i));
      len_ = o.len_;
    }
    return *this;
  }
  ArrayVec& operator=(ArrayVec&& o) noexcept {
    if (this != &o) {
      clear();
      for (size_t i = 0; i < o.len_; ++i) construct(i, std::move(o.at(i)));
      len_ = o.len_;
      o.clear();
    }
    return *this;
  }
  ~ArrayVec() { clear(); }

  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  const ListDeltaValue& operator[](size_t i) const { return at(i); }
  const ListDeltaValue* begin() const { return data(); }
  const ListDeltaValue* end() const { return data() + len_; }

  // A ninth entry is a broken invariant: every caller checks the room first.
  // Defined out of line: inlined into callers that pass a fresh temporary,
  // the move into raw storage trips a false "may be used uninitialized" in
  // GCC 12.
  void push(ListDeltaValue v);
  // Inserts copies of `other`'s entries at position k.
  void insert_at(size_t k, const ArrayVec& other) {
    if (len_ + other.len_ > kCapacity || k > len_) invariant_failed(kMsgUnwrapErr);
    // Copy first (the only step that may throw), then shift and move in.
    insert_at(k, ArrayVec(other));
  }
  // Moves `other`'s entries in at position k.
  void insert_at(size_t k, ArrayVec&& other) {
    if (len_ + other.len_ > kCapacity || k > len_) invariant_failed(kMsgUnwrapErr);
    const size_t n = other.len_;
    // Nothing to open a gap for; shifting by zero would construct each entry
    // over itself and then drop it.
    if (n == 0) return;
    for (size_t i = len_; i-- > k;) {
      construct(i + n, std::move(at(i)));
      at(i).~ListDeltaValue();
    }
    for (size_t i = 0; i < n; ++i) construct(k + i, std::move(other.at(i)));
    len_ = static_cast<uint8_t>(len_ + n);
    other.clear();
  }
  // Keeps [0, k) and returns the rest.
  ArrayVec split_off(size_t k) {
    ArrayVec tail;
    if (k >= len_) return tail;
    for (size_t i = k; i < len_; ++i) {
      tail.construct(tail.len_++, std::move(at(i)));
      at(i).~ListDeltaValue();
    }
    len_ = static_cast<uint8_t>(k);
    return tail;
  }

  bool operator==(const ArrayVec& o) const {
    if (len_ != o.len_) return false;
    for (size_t i = 0; i < len_; ++i)
      if (!(at(i) == o.at(i))) return false;
    return true;
  }
  // ArrayVec { vec: [I64(1), Null] }
  std::string debug() const {
    std::string s = "ArrayVec { vec: [";
    for (size_t i = 0; i < len_; ++i) {
      if (i) s += ", ";
      s += at(i).debug();
    }
    return s + "] }";
  }

 private:
  ListDeltaValue* data() { return std::launder(reinterpret_cast<ListDeltaValue*>(buf_)); }
  const ListDeltaValue* data() const {
    return std::launder(reinterpret_cast<const ListDeltaValue*>(buf_));
  }
  ListDeltaValue& at(size_t i) { return data()[i]; }
  const ListDeltaValue& at(size_t i) const { return data()[i]; }
  template <typename V>
  void construct(size_t i, V&& v) {
    ::new (static_cast<void*>(buf_ + i * sizeof(ListDeltaValue)))
        ListDeltaValue(std::forward<V>(v));
  }
  void clear() noexcept {
    for (size_t i = 0; i < len_; ++i) at(i).~ListDeltaValue();
    len_ = 0;
  }

  alignas(ListDeltaValue) unsigned char buf_[kCapacity * sizeof(ListDeltaValue)];
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
