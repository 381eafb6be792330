// A plain model of sequences for the delta-rope tests: a delta is applied
// element by element to a vector, so that the ropes' merge, split and
// composition shortcuts are checked against the obvious meaning of a delta.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kesu/delta/delta_ropes.h"

namespace kesu::testing {

// One element of a text: a character (its UTF-8 bytes) and its styles.
struct TextElem {
  std::string ch;
  std::map<std::string, KesuValue> attrs;
  bool operator==(const TextElem&) const = default;
};

// One element of a list: the value and whether it came from a move.
struct ListElem {
  KesuValue v;
  bool from_move = false;
  bool operator==(const ListElem&) const = default;
};

inline std::vector<std::string> split_chars(std::string_view s) {
  std::vector<std::string> out;
  for (size_t i = 0; i < s.size();) {
    size_t w = unicode_to_byte_offset(s.substr(i), 1);
    out.emplace_back(s.substr(i, w));
    i += w;
  }
  return out;
}

// Applies a text delta; nullopt when a retain or delete reaches past the source.
inline std::optional<std::vector<TextElem>> apply_text(const std::vector<TextElem>& src,
                                                       const TextDelta& d) {
  std::vector<TextElem> out;
  size_t pos = 0;
  for (const TextDeltaItem& it : d) {
    if (it.is_retain()) {
      const auto& r = it.as_retain();
      if (pos + r.len > src.size()) return std::nullopt;
      for (size_t i = 0; i < r.len; ++i) {
        TextElem e = src[pos++];
        for (const auto& [k, v] : r.attr.map) e.attrs.insert_or_assign(k, v);
        out.push_back(std::move(e));
      }
    } else {
      const auto& r = it.as_replace();
      for (auto& c : split_chars(r.value.text())) out.push_back({c, r.attr.map});
      if (pos + r.del > src.size()) return std::nullopt;
      pos += r.del;
    }
  }
  out.insert(out.end(), src.begin() + pos, src.end());
  return out;
}

inline std::optional<std::vector<ListElem>> apply_list(const std::vector<ListElem>& src,
                                                       const ListDelta& d) {
  std::vector<ListElem> out;
  size_t pos = 0;
  for (const ListDeltaItem& it : d) {
    if (it.is_retain()) {
      const auto& r = it.as_retain();
      if (pos + r.len > src.size()) return std::nullopt;
      for (size_t i = 0; i < r.len; ++i) {
        ListElem e = src[pos++];
        e.from_move = e.from_move || r.attr.from_move;
        out.push_back(std::move(e));
      }
    } else {
      const auto& r = it.as_replace();
      for (const auto& v : r.value) out.push_back({v, r.attr.from_move});
      if (pos + r.del > src.size()) return std::nullopt;
      pos += r.del;
    }
  }
  out.insert(out.end(), src.begin() + pos, src.end());
  return out;
}

inline std::string text_of(const std::vector<TextElem>& v) {
  std::string s;
  for (const auto& e : v) s += e.ch;
  return s;
}

// Builds a text delta from text operations for readable tables.
struct T {
  static TextDeltaItem retain(size_t n, TextMeta m = {}) {
    return TextDeltaItem::retain(n, std::move(m));
  }
  static TextDeltaItem ins(std::string s, TextMeta m = {}, size_t del = 0) {
    return TextDeltaItem::replace(StringSlice::owned(std::move(s)), std::move(m), del);
  }
  static TextDeltaItem del(size_t n) { return TextDeltaItem::deletion(n); }
};

inline TextMeta meta(std::initializer_list<std::pair<const std::string, KesuValue>> kv) {
  TextMeta m;
  m.map = std::map<std::string, KesuValue>(kv);
  return m;
}

// A rope holding exactly these items, one leaf each (no merging on the way in).
template <typename Ops>
DeltaRope<Ops> rope_of(std::vector<DeltaItem<Ops>> items) {
  DeltaRope<Ops> r;
  r.tree_mut() = DeltaRope<Ops>::Tree::build_from_elems(std::move(items));
  return r;
}

template <typename Ops>
std::vector<DeltaItem<Ops>> items_of(std::initializer_list<DeltaItem<Ops>> l) {
  return std::vector<DeltaItem<Ops>>(l);
}

}  // namespace kesu::testing
