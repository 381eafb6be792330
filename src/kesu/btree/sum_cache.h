// Cache helpers for instances whose cache is one summed counter.
#pragma once

#include <cstddef>
#include <span>

#include "kesu/btree/node.h"

namespace kesu {

// Cache = an unsigned counter, CacheDiff = its signed difference (wrapping).
template <typename Cache, typename Diff>
struct SumCache {
  static Diff calc_cache_internal(Cache& out, std::span<const Child<Cache>> kids) {
    Cache sum = 0;
    for (const auto& k : kids) sum = static_cast<Cache>(sum + k.cache);
    Diff d = static_cast<Diff>(static_cast<Cache>(sum - out));
    out = sum;
    return d;
  }
  static void apply_cache_diff(Cache& c, const Diff& d) {
    c = static_cast<Cache>(c + static_cast<Cache>(d));
  }
  static void merge_cache_diff(Diff& a, const Diff& b) {
    a = static_cast<Diff>(static_cast<Cache>(a) + static_cast<Cache>(b));
  }
  static Diff cache_to_diff(const Cache& c) { return static_cast<Diff>(c); }
  static size_t cache_len(const Cache& c) { return static_cast<size_t>(c); }
};

}  // namespace kesu
