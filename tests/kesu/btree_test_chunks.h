// A test instance of the B-tree: short text chunks that merge, split and take
// insertions inside up to a small capacity, with a two-counter cache (length
// and number of 'x' characters) carried as differences.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "kesu/btree/btree.h"
#include "kesu/btree/length_finder.h"

namespace kesu::testing {

struct Chunk {
  std::string s;
};

struct ChunkCache {
  int64_t len = 0;
  int64_t xs = 0;
  friend bool operator==(const ChunkCache&, const ChunkCache&) = default;
};

struct ChunkTrait {
  static constexpr size_t kMax = 8;  // capacity of one chunk
  using Elem = Chunk;
  using Cache = ChunkCache;
  using CacheDiff = ChunkCache;
  static constexpr bool kUseDiff = true;

  static size_t rle_len(const Elem& e) { return e.s.size(); }
  static size_t cache_len(const Cache& c) { return static_cast<size_t>(c.len); }
  static Elem split_at(Elem& e, size_t off) {
    Elem tail{e.s.substr(off)};
    e.s.resize(off);
    return tail;
  }
  static bool can_merge(const Elem& a, const Elem& b) { return a.s.size() + b.s.size() <= kMax; }
  static void merge_right(Elem& a, Elem&& b) { a.s += b.s; }
  static void merge_left(Elem& a, Elem&& b) { a.s = b.s + a.s; }
  static bool insert_inside(Elem& e, size_t off, Elem& n) {
    if (off == 0 || off >= e.s.size() || e.s.size() + n.s.size() > kMax) return false;
    e.s.insert(off, n.s);
    return true;
  }
  static Cache elem_cache(const Elem& e) {
    return {static_cast<int64_t>(e.s.size()), std::count(e.s.begin(), e.s.end(), 'x')};
  }
  static CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache sum;
    for (const auto& k : kids) {
      sum.len += k.cache.len;
      sum.xs += k.cache.xs;
    }
    CacheDiff d{sum.len - out.len, sum.xs - out.xs};
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const CacheDiff& d) {
    c.len += d.len;
    c.xs += d.xs;
  }
  static void merge_cache_diff(CacheDiff& a, const CacheDiff& b) { apply_cache_diff(a, b); }
  static CacheDiff cache_to_diff(const Cache& c) { return c; }
  static std::string debug(const Elem& e) { return "Chunk(\"" + e.s + "\")"; }
};

// Chunks that never merge nor take insertions: one leaf per pushed element.
struct SolidTrait : ChunkTrait {
  static bool can_merge(const Elem&, const Elem&) { return false; }
  static bool insert_inside(Elem&, size_t, Elem&) { return false; }
};

using ChunkTree = BTree<ChunkTrait>;
using SolidTree = BTree<SolidTrait>;
using ChunkFinder = LengthFinder<ChunkTrait>;
using SolidFinder = LengthFinder<SolidTrait>;

template <typename Tree>
std::string contents(const Tree& t) {
  std::string out;
  for (const auto& e : t) out += e.s;
  return out;
}

// Leaf lengths in order, e.g. "3,4".
template <typename Tree>
std::string shape(const Tree& t) {
  std::string out;
  for (const auto& e : t) {
    if (!out.empty()) out += ',';
    out += std::to_string(e.s.size());
  }
  return out;
}

}  // namespace kesu::testing
