// The element contract of the sequence B-tree.
//
// An instance of BTree<T> is described by a trait type T with static members:
//
//   using Elem;        the element (one per leaf)
//   using Cache;       aggregate of a subtree; default-constructed = empty aggregate
//   using CacheDiff;   difference between two caches (an empty struct when unused)
//   static constexpr bool kUseDiff;  carry cache changes upward as differences
//                                    (true) or recompute every level (false)
//
//   size_t rle_len(const Elem&)                 length in the instance's unit
//   Elem split_at(Elem& e, size_t offset)       e keeps [0, offset), returns the rest
//   bool can_merge(const Elem& a, const Elem& b)  may b be joined onto the end of a
//   void merge_right(Elem& a, Elem&& b)         a absorbs b at its end
//   void merge_left(Elem& a, Elem&& b)          a absorbs b at its start (b came first)
//   bool insert_inside(Elem& e, size_t offset, Elem& n)
//                                               place n inside e and return true (n is
//                                               consumed), or return false leaving n as is
//   Cache elem_cache(const Elem&)               cache of a leaf holding the element
//   CacheDiff calc_cache_internal(Cache& out, std::span<const Child<Cache>> children)
//                                               aggregate written into out; returns new - old
//   void apply_cache_diff(Cache&, const CacheDiff&)
//   void merge_cache_diff(CacheDiff& into, const CacheDiff& other)
//   CacheDiff cache_to_diff(const Cache&)       the difference caused by adding that cache
//
// Optionally `std::string debug(const Elem&)`, used in fatal messages.
#pragma once

#include <concepts>
#include <cstddef>
#include <span>
#include <string>
#include <utility>

#include "kesu/btree/node.h"

namespace kesu {

template <typename T>
concept BTreeTrait = requires {
  typename T::Elem;
  typename T::Cache;
  typename T::CacheDiff;
  { T::kUseDiff } -> std::convertible_to<bool>;
}
&&std::default_initializable<typename T::Cache>&& std::movable<typename T::Elem>&& requires(
    typename T::Elem& e, const typename T::Elem& ce, typename T::Cache& c,
    const typename T::Cache& cc, typename T::CacheDiff& d, const typename T::CacheDiff& cd,
    std::span<const Child<typename T::Cache>> kids, size_t off) {
  { T::rle_len(ce) } -> std::convertible_to<size_t>;
  { T::split_at(e, off) } -> std::same_as<typename T::Elem>;
  { T::can_merge(ce, ce) } -> std::convertible_to<bool>;
  T::merge_right(e, std::move(e));
  T::merge_left(e, std::move(e));
  { T::insert_inside(e, off, e) } -> std::convertible_to<bool>;
  { T::elem_cache(ce) } -> std::same_as<typename T::Cache>;
  { T::calc_cache_internal(c, kids) } -> std::same_as<typename T::CacheDiff>;
  T::apply_cache_diff(c, cd);
  T::merge_cache_diff(d, cd);
  { T::cache_to_diff(cc) } -> std::same_as<typename T::CacheDiff>;
};

// A finder drives one search: asked once per level to choose among a node's
// children, and once at the leaf for the offset inside the element.
template <typename F, typename T>
concept BTreeFinder = requires(F f, const InternalNode<typename T::Cache>& node,
                               const typename T::Elem& e) {
  { f.find_node(node) } -> std::same_as<FindResult>;
  { f.confirm_elem(e) } -> std::same_as<FindResult>;
};

template <typename T>
std::string elem_debug(const typename T::Elem& e) {
  if constexpr (requires {
                  { T::debug(e) } -> std::convertible_to<std::string>;
                }) {
    return T::debug(e);
  } else {
    return "..";
  }
}

}  // namespace kesu
