// Values and attributes of text deltas.
//
// StringSlice holds text either as a slice of a shared append-only buffer
// (no copy; joins with a slice that continues it) or as an owned string with
// a byte capacity. The capacity is the item's own bookkeeping, not the
// allocator's: joins and insertions inside an item are allowed only within
// it, so that appending to an item never reallocates and the merge rules do
// not depend on the standard library's growth policy. A fresh owned string
// (and every copy of one) has a capacity equal to its length; the value of a
// pure deletion reserves 32 bytes so that a short insert that follows joins it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "kesu/common/bytes_slice.h"
#include "kesu/common/value.h"

namespace kesu {

class StringSlice {
 public:
  static constexpr size_t kDefaultCapacity = 32;

  // An owned empty string of capacity 32.
  StringSlice() : v_(Owned{std::string(), kDefaultCapacity}), chars_(0) {}
  // Owned text, capacity = its length. Invalid UTF-8 is a broken invariant.
  static StringSlice owned(std::string text);
  // Owned text with a larger capacity (at least the text's length).
  static StringSlice owned_with_capacity(std::string text, size_t capacity);
  // A view of shared bytes. Invalid UTF-8 is a broken invariant.
  static StringSlice slice(BytesSlice bytes);

  StringSlice(const StringSlice& o);
  StringSlice& operator=(const StringSlice& o);
  StringSlice(StringSlice&&) noexcept = default;
  StringSlice& operator=(StringSlice&&) noexcept = default;

  bool is_slice() const { return std::holds_alternative<BytesSlice>(v_); }
  const BytesSlice& as_slice() const { return std::get<BytesSlice>(v_); }
  // Owned capacity in bytes (0 for a slice).
  size_t capacity() const { return is_slice() ? 0 : std::get<Owned>(v_).cap; }
  std::string_view text() const;
  size_t byte_len() const { return text().size(); }
  // Unicode scalar values.
  size_t unicode_len() const { return chars_; }

  // True when `next` can be appended in place: two touching slices of one
  // buffer, or two owned strings fitting this one's capacity.
  bool can_join(const StringSlice& next) const;
  // Appends `next`; requires can_join (fatal otherwise).
  void join_right(StringSlice&& next);
  // Puts `prev` in front: slices must touch (fatal otherwise); an owned
  // string grows its capacity when it lacks room.
  void join_left(StringSlice&& prev);
  // Inserts `other`'s text at character k; only into an owned string whose
  // capacity holds both. False (nothing changed) otherwise.
  bool insert_at(size_t k, const StringSlice& other);
  // Keeps the first k characters and returns the rest (a slice of the same
  // buffer, or a new owned string).
  StringSlice split_off(size_t k);

  // StringSlice { bytes: "text" }
  std::string debug() const;

 private:
  struct Owned {
    std::string s;
    size_t cap = 0;
  };
  explicit StringSlice(std::variant<BytesSlice, Owned> v, size_t chars)
      : v_(std::move(v)), chars_(chars) {}
  // An owned string built in place (one move of the text fewer).
  StringSlice(std::in_place_type_t<Owned>, std::string&& s, size_t cap, size_t chars)
      : v_(std::in_place_type<Owned>, std::move(s), cap), chars_(chars) {}
  std::variant<BytesSlice, Owned> v_;
  size_t chars_ = 0;
};

// Unicode scalar values in valid UTF-8 text (bytes that are not continuation bytes).
size_t count_unicode(std::string_view s);
// Byte offset of character k (k at most the character count).
size_t unicode_to_byte_offset(std::string_view s, size_t k);

// A map from style key to value, shared between copies and copied only when
// a holder changes it. Composition copies an item's attributes whenever it
// splits or copies the item; sharing keeps that free of allocation, and keeps
// the item small.
class StyleAttrMap {
 public:
  using Map = std::map<std::string, KesuValue>;

  StyleAttrMap() = default;
  StyleAttrMap(Map m)  // NOLINT: a plain map converts implicitly
      : p_(m.empty() ? nullptr : std::make_shared<Map>(std::move(m))) {}

  bool empty() const { return !p_ || p_->empty(); }
  size_t size() const { return p_ ? p_->size() : 0; }
  const Map& get() const { return p_ ? *p_ : empty_map(); }
  operator const Map&() const { return get(); }  // NOLINT
  Map::const_iterator begin() const { return get().begin(); }
  Map::const_iterator end() const { return get().end(); }
  Map::const_iterator find(const std::string& k) const { return get().find(k); }

  template <typename K, typename V>
  void emplace(K&& k, V&& v) {
    mut().emplace(std::forward<K>(k), std::forward<V>(v));
  }
  template <typename V>
  void insert_or_assign(const std::string& k, V&& v) {
    mut().insert_or_assign(k, std::forward<V>(v));
  }
  // Every entry of `from` replaces the entry of the same key.
  void merge_from(const StyleAttrMap& from) {
    if (from.empty() || p_ == from.p_) return;
    if (empty()) {
      p_ = from.p_;
      return;
    }
    Map& m = mut();
    for (const auto& [k, v] : *from.p_) m.insert_or_assign(k, v);
  }

  bool operator==(const StyleAttrMap& o) const { return p_ == o.p_ || get() == o.get(); }

 private:
  static const Map& empty_map() {
    static const Map m;
    return m;
  }
  // The map to change: a private copy when another holder shares it.
  Map& mut() {
    if (!p_) {
      p_ = std::make_shared<Map>();
    } else if (p_.use_count() > 1) {
      p_ = std::make_shared<Map>(*p_);
    }
    return *p_;
  }
  std::shared_ptr<Map> p_;
};

// Style attributes to set on inserted or retained text: style key -> value.
struct TextMeta {
  StyleAttrMap map;
  bool operator==(const TextMeta& o) const { return map == o.map; }
  // TextMeta({"bold": Bool(true)})
  std::string debug() const;
};

struct TextDeltaOps {
  using Value = StringSlice;
  using Attr = TextMeta;

  static size_t value_len(const Value& v) { return v.unicode_len(); }
  static Value default_value() { return {}; }
  static bool attr_is_default(const Attr& a) { return a.map.empty(); }
  // Every entry of `from` replaces the entry of the same key (null included).
  static void attr_merge(Attr& into, const Attr& from) { into.map.merge_from(from.map); }
  static bool can_join(const Value& l, const Value& r) { return l.can_join(r); }
  static void join_right(Value& l, Value&& r) { l.join_right(std::move(r)); }
  static void join_left(Value& r, Value&& l) { r.join_left(std::move(l)); }
  static bool insert_value(Value& v, size_t k, Value& n) { return v.insert_at(k, n); }
  static Value split_value(Value& v, size_t k) { return v.split_off(k); }
  static bool value_eq(const Value& a, const Value& b) { return a.text() == b.text(); }
  static std::string debug_value(const Value& v) { return v.debug(); }
  static std::string debug_attr(const Attr& a) { return a.debug(); }
};

}  // namespace kesu
