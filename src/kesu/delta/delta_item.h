// DeltaItem: one step of a delta over a sequence, and the B-tree element
// contract of the ropes that hold them.
//
// A delta is an ordered run of items: a Retain keeps the next `len` positions
// of the old sequence (giving them `attr`); a Replace inserts `value` (with
// `attr`) and deletes the next `del` positions of the old sequence. Inside
// one Replace the order of insertion and deletion does not matter, so two
// neighbouring Replaces are one Replace holding both values and both deletes.
//
// The item is generic over an instance policy `Ops` that supplies the value
// and attribute types and the value operations:
//
//   using Value; using Attr;              Attr{} is the default attribute
//   size_t value_len(const Value&)        positions the value produces
//   Value default_value()                 value of a pure deletion
//   bool attr_is_default(const Attr&)
//   void attr_merge(Attr& into, const Attr& from)   later attributes win
//   bool can_join(const Value& l, const Value& r)   r may be appended to l
//   void join_right(Value& l, Value&& r)  l absorbs r at its end
//   void join_left(Value& r, Value&& l)   r absorbs l at its start
//   bool insert_value(Value& v, size_t k, Value& n)  n placed at position k of
//                                         v (true) or refused, leaving n as is
//   Value split_value(Value& v, size_t k) v keeps [0, k), returns the rest
//   bool value_eq(const Value&, const Value&)       same content
//   std::string debug_value(const Value&); std::string debug_attr(const Attr&)
//
// Offsets inside an item count `rle_len` units: a Replace's value positions
// come first, its deleted positions follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "kesu/arena/invariant.h"
#include "kesu/btree/node.h"

namespace kesu {

template <typename Ops>
class DeltaItem {
 public:
  using Value = typename Ops::Value;
  using Attr = typename Ops::Attr;

  struct Retain {
    size_t len = 0;
    Attr attr{};
  };
  struct Replace {
    Value value;
    Attr attr{};
    size_t del = 0;
  };

  DeltaItem() : v_(Retain{}) {}
  // The factories build the variant in place: items are made on every push
  // and compose step, and each extra move of a value is a visible share of
  // that cost.
  template <typename A = Attr>
  static DeltaItem retain(size_t len, A&& attr = Attr{}) {
    return DeltaItem(std::in_place_type<Retain>, len, std::forward<A>(attr));
  }
  template <typename V = Value, typename A = Attr>
  static DeltaItem replace(V&& value, A&& attr, size_t del) {
    return DeltaItem(std::in_place_type<Replace>, std::forward<V>(value), std::forward<A>(attr),
                     del);
  }
  template <typename V = Value, typename A = Attr>
  static DeltaItem insert(V&& value, A&& attr = Attr{}) {
    return replace(std::forward<V>(value), std::forward<A>(attr), 0);
  }
  // A pure deletion: the default value and attribute.
  static DeltaItem deletion(size_t n) { return replace(Ops::default_value(), Attr{}, n); }

  bool is_retain() const { return std::holds_alternative<Retain>(v_); }
  bool is_replace() const { return std::holds_alternative<Replace>(v_); }
  Retain& as_retain() { return std::get<Retain>(v_); }
  const Retain& as_retain() const { return std::get<Retain>(v_); }
  Replace& as_replace() { return std::get<Replace>(v_); }
  const Replace& as_replace() const { return std::get<Replace>(v_); }
  const Attr& attr() const { return is_retain() ? as_retain().attr : as_replace().attr; }
  Attr& attr_mut() { return is_retain() ? as_retain().attr : as_replace().attr; }

  // Positions of the new sequence the value produces (0 for a Retain).
  size_t value_len() const { return is_retain() ? 0 : Ops::value_len(as_replace().value); }
  // Retain: len; Replace: value length + deleted positions.
  size_t rle_len() const {
    if (is_retain()) return as_retain().len;
    const Replace& r = as_replace();
    return Ops::value_len(r.value) + r.del;
  }
  // Positions of the new sequence the item stands for.
  size_t data_len() const { return is_retain() ? as_retain().len : value_len(); }
  bool is_empty() const { return rle_len() == 0; }

  // Merge test: may r follow l as one item? Same variant, equal attributes,
  // and for Replaces joinable values; the delete counts play no part.
  static bool can_merge(const DeltaItem& l, const DeltaItem& r) {
    if (l.is_retain() != r.is_retain()) return false;
    if (l.is_retain()) return l.as_retain().attr == r.as_retain().attr;
    const Replace& a = l.as_replace();
    const Replace& b = r.as_replace();
    return a.attr == b.attr && Ops::can_join(a.value, b.value);
  }

  // This item absorbs r, which follows it. Only after a successful merge test.
  void merge_right(DeltaItem&& r) {
    if (is_retain() != r.is_retain()) invariant_failed(kMsgUnreachable);
    if (is_retain()) {
      as_retain().len += r.as_retain().len;
      return;
    }
    Replace& a = as_replace();
    Replace& b = r.as_replace();
    Ops::join_right(a.value, std::move(b.value));
    a.del += b.del;
  }

  // This item absorbs l, which precedes it.
  void merge_left(DeltaItem&& l) {
    if (is_retain() != l.is_retain()) invariant_failed(kMsgUnreachable);
    if (is_retain()) {
      as_retain().len += l.as_retain().len;
      return;
    }
    Replace& r = as_replace();
    Replace& a = l.as_replace();
    Ops::join_left(r.value, std::move(a.value));
    r.del += a.del;
  }

  // Places n inside this item at offset k without adding a leaf, or gives it
  // back (false, n untouched).
  bool insert_inside(size_t k, DeltaItem& n) {
    if (is_retain() && n.is_retain()) {
      if (!(as_retain().attr == n.as_retain().attr)) return false;
      as_retain().len += n.as_retain().len;
      return true;
    }
    if (!is_replace() || !n.is_replace()) return false;
    Replace& a = as_replace();
    Replace& b = n.as_replace();
    size_t alen = Ops::value_len(a.value);
    if (alen == 0 && Ops::value_len(b.value) == 0) {
      a.del += b.del;
      return true;
    }
    if (!(a.attr == b.attr) || k > alen) return false;
    if (!Ops::insert_value(a.value, k, b.value)) return false;
    a.del += b.del;
    return true;
  }

  // This item keeps [0, k); the rest comes back. On a Replace a cut inside the
  // value sends the whole deletion with the tail; a cut in the deleted
  // stretch returns a pure deletion with the default attribute.
  DeltaItem split_at(size_t k) {
    if (is_retain()) {
      Retain& r = as_retain();
      DeltaItem tail = retain(r.len - k, r.attr);
      r.len = k;
      return tail;
    }
    Replace& r = as_replace();
    size_t m = Ops::value_len(r.value);
    if (k < m) {
      Value rest = Ops::split_value(r.value, k);
      DeltaItem tail = replace(std::move(rest), r.attr, r.del);
      r.del = 0;
      return tail;
    }
    size_t head_del = k - m;
    DeltaItem tail = replace(Ops::default_value(), Attr{}, r.del - head_del);
    r.del = head_del;
    return tail;
  }

  // Same variant, same counts, equal attributes and values of equal content.
  bool operator==(const DeltaItem& o) const {
    if (is_retain() != o.is_retain()) return false;
    if (is_retain())
      return as_retain().len == o.as_retain().len && as_retain().attr == o.as_retain().attr;
    const Replace& a = as_replace();
    const Replace& b = o.as_replace();
    return a.del == b.del && a.attr == b.attr && Ops::value_eq(a.value, b.value);
  }

  // Retain { len: 3, attr: .. } / Replace { value: .., attr: .., delete: 2 }
  std::string debug() const {
    if (is_retain()) {
      return "Retain { len: " + std::to_string(as_retain().len) +
             ", attr: " + Ops::debug_attr(as_retain().attr) + " }";
    }
    const Replace& r = as_replace();
    return "Replace { value: " + Ops::debug_value(r.value) + ", attr: " + Ops::debug_attr(r.attr) +
           ", delete: " + std::to_string(r.del) + " }";
  }

 private:
  template <typename Kind, typename... Args>
  explicit DeltaItem(std::in_place_type_t<Kind> k, Args&&... args)
      : v_(k, std::forward<Args>(args)...) {}
  std::variant<Retain, Replace> v_;
};

// The cache of a delta rope: positions produced (data_len) and the sum of
// rle_len (delta_len). Differences have the same shape.
struct DeltaLen {
  int64_t data_len = 0;
  int64_t delta_len = 0;
  bool operator==(const DeltaLen&) const = default;
  // Len { data_len: 1, delta_len: 2 }
  std::string debug() const {
    return "Len { data_len: " + std::to_string(data_len) +
           ", delta_len: " + std::to_string(delta_len) + " }";
  }
};

// The B-tree element contract for delta items; cache changes travel upward
// as differences.
template <typename Ops>
struct DeltaTrait {
  using Elem = DeltaItem<Ops>;
  using Cache = DeltaLen;
  using CacheDiff = DeltaLen;
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem& e) { return e.rle_len(); }
  static Elem split_at(Elem& e, size_t k) { return e.split_at(k); }
  static bool can_merge(const Elem& a, const Elem& b) { return Elem::can_merge(a, b); }
  static void merge_right(Elem& a, Elem&& b) { a.merge_right(std::move(b)); }
  static void merge_left(Elem& a, Elem&& b) { a.merge_left(std::move(b)); }
  static bool insert_inside(Elem& e, size_t k, Elem& n) { return e.insert_inside(k, n); }
  static Cache elem_cache(const Elem& e) {
    return {static_cast<int64_t>(e.data_len()), static_cast<int64_t>(e.rle_len())};
  }
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache sum;
    for (const auto& k : kids) {
      sum.data_len += k.cache.data_len;
      sum.delta_len += k.cache.delta_len;
    }
    CacheDiff d{sum.data_len - out.data_len, sum.delta_len - out.delta_len};
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const CacheDiff& d) {
    c.data_len += d.data_len;
    c.delta_len += d.delta_len;
  }
  static void merge_cache_diff(CacheDiff& a, const CacheDiff& b) { apply_cache_diff(a, b); }
  static CacheDiff cache_to_diff(const Cache& c) { return c; }
  static size_t cache_len(const Cache& c) { return static_cast<size_t>(c.delta_len); }
  static std::string debug(const Elem& e) { return e.debug(); }
};

// Measures a delta rope by the positions of the new sequence (data_len).
template <typename Ops>
struct DeltaDataMeasure {
  static size_t cache(const DeltaLen& c) { return static_cast<size_t>(c.data_len); }
  static size_t elem(const DeltaItem<Ops>& e) { return e.data_len(); }
};

}  // namespace kesu
